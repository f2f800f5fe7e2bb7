#include <gtest/gtest.h>

#include <cstring>

#include "flow.h"

namespace {

uint32_t addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

uint16_t wire16(uint16_t port) {
    const uint8_t bytes[2] = {uint8_t(port >> 8), uint8_t(port)};
    uint16_t value;
    std::memcpy(&value, bytes, 2);
    return value;
}

TEST(FlowRecord, ListingOfTheSynExample) {
    FlowRecord r(addr(192, 0, 2, 7), addr(198, 51, 100, 5), wire16(555), wire16(80), 0x02, 6, 0xB8, 60, 100);
    testing::internal::CaptureStdout();
    r.printListing();
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nc0000207c6336405022b0050  21d4137ad961847a7e79a9f2230a58f9\n");
}

}  // namespace
