// Settings read from the environment at start-up: what is accepted, and the
// refusal of everything else.
#include "settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <optional>
#include <string>

#include "support.h"

namespace {

constexpr const char* kName = "SURGEWATCH_TEST_SETTING";
constexpr uint64_t kDefault = 77;

struct SettingCase {
    std::string name;
    std::optional<std::string> text;  // none: unset
    uint64_t minimum, maximum;
    bool accepted;
    uint64_t value;  // after the call
};

void PrintTo(const SettingCase& c, std::ostream* os) { *os << c.name; }

const SettingCase kCases[] = {
    {"unset_keeps_the_default", std::nullopt, 1, 100, true, kDefault},
    {"a_number_in_range", "64", 1, 100, true, 64},
    {"the_minimum", "1", 1, 100, true, 1},
    {"the_maximum", "100", 1, 100, true, 100},
    {"zero_where_allowed", "0", 0, 100, true, 0},
    {"the_largest_number", "18446744073709551615", 0, UINT64_MAX, true, UINT64_MAX},
    {"below_the_minimum", "0", 1, 100, false, kDefault},
    {"above_the_maximum", "101", 1, 100, false, kDefault},
    {"beyond_64_bits", "18446744073709551616", 0, UINT64_MAX, false, kDefault},
    {"empty", "", 1, 100, false, kDefault},
    {"negative", "-5", 1, 100, false, kDefault},
    {"plus_sign", "+5", 1, 100, false, kDefault},
    {"leading_space", " 5", 1, 100, false, kDefault},
    {"trailing_garbage", "5MB", 1, 100, false, kDefault},
    {"hexadecimal", "0x10", 1, 100, false, kDefault},
    {"fraction", "1.5", 1, 100, false, kDefault},
};

class Settings : public testing::TestWithParam<SettingCase> {
protected:
    ~Settings() override { unsetenv(kName); }
};

TEST_P(Settings, AcceptsWholeNumbersInRangeOnly) {
    const SettingCase& c = GetParam();
    if (c.text)
        setenv(kName, c.text->c_str(), 1);
    else
        unsetenv(kName);
    uint64_t value = kDefault;
    bool accepted = false;
    const std::string out =
        captureStdout([&] { accepted = readCountSetting(kName, c.minimum, c.maximum, value); });
    EXPECT_EQ(accepted, c.accepted);
    EXPECT_EQ(value, c.value);
    if (c.accepted) {
        EXPECT_EQ(out, "");
    } else {
        EXPECT_EQ(out, "\nBad value for SURGEWATCH_TEST_SETTING: `" + *c.text +
                           "` (expected a whole number from " + std::to_string(c.minimum) + " to " +
                           std::to_string(c.maximum) + ")\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Environment, Settings, testing::ValuesIn(kCases), CaseName());

}  // namespace
