#include "settings.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

bool readCountSetting(const char* name, uint64_t minimum, uint64_t maximum, uint64_t& value) {
    const char* text = getenv(name);
    if (text == nullptr) return true;
    // Digits only: strtoull alone would take spaces, a sign and "0x".
    uint64_t number = 0;
    bool good = *text != '\0';
    for (const char* c = text; good && *c != '\0'; ++c) {
        const unsigned digit = unsigned(*c) - '0';
        if (digit > 9 || number > (UINT64_MAX - digit) / 10) {
            good = false;
            break;
        }
        number = number * 10 + digit;
    }
    if (good && number >= minimum && number <= maximum) {
        value = number;
        return true;
    }
    printf("\nBad value for %s: `%s` (expected a whole number from %" PRIu64 " to %" PRIu64 ")\n",
           name, text, minimum, maximum);
    return false;
}
