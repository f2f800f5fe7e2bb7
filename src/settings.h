// Settings from the environment (the service's per-interface conf file sets
// them): each one is optional, read once at start-up, and a bad value stops
// start-up with a message that names the variable and what it accepts.
#ifndef SURGEWATCH_SETTINGS_H
#define SURGEWATCH_SETTINGS_H

#include <cstdint>

// Reads the environment variable `name` as a whole decimal number from
// `minimum` to `maximum`. Unset: answers true and leaves `value`, the
// caller's default, alone. Set to anything else than such a number (empty,
// signed, spaces, out of range): prints
// "\nBad value for NAME: `TEXT` (expected a whole number from MIN to MAX)\n"
// on standard output and answers false.
bool readCountSetting(const char* name, uint64_t minimum, uint64_t maximum, uint64_t& value);

#endif
