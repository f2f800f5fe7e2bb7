#include "alert.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "clock.h"

bool g_alertsToSyslog = false;
bool g_stampLines = false;

size_t formatPacketTime(int64_t time, char (&out)[kStampSize]) {
    constexpr int64_t kDay = 86400;
    // Floor division: the remainder is taken first, so that nothing
    // overflows, not even at INT64_MIN.
    int64_t second = time % kDay;
    int64_t days = time / kDay;
    if (second < 0) {
        second += kDay;
        --days;
    }
    // Civil date of a day count, by 400-year eras of 146097 days counted
    // from 0000-03-01, so that the leap day ends each year. |days| < 2^47:
    // nothing below comes near overflowing.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
    const int day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const int month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    const char* yearFormat = year >= 0 && year <= 9999 ? "%04" PRId64 : "%+07" PRId64;
    int length = snprintf(out, kStampSize, yearFormat, year);
    length += snprintf(out + length, kStampSize - size_t(length), "-%02d-%02dT%02d:%02d:%02dZ",
                       month, day, int(second / 3600), int(second / 60 % 60), int(second % 60));
    return size_t(length);
}

void stampLine() {
    if (!g_stampLines) return;
    char stamp[kStampSize];
    formatPacketTime(g_packetTime, stamp);
    fputs(stamp, stdout);
    putchar(' ');
}

namespace {

// The one writer of "system log, then standard output": `logFormat` at
// `priority` to the system log (when it is on), then `outFormat` to
// standard output, after the packet-time stamp when `stamp` is set, and a
// newline after it when `newline` is set.
void writeBoth(int priority, bool stamp, bool newline, const char* logFormat, const char* outFormat,
               va_list args) {
    if (g_alertsToSyslog) {
        va_list copy;
        va_copy(copy, args);
        vsyslog(priority, logFormat, copy);
        va_end(copy);
    }
    if (stamp) stampLine();
    vprintf(outFormat, args);
    if (newline) putchar('\n');
}

// writeBoth from a variadic caller.
void writeBothOf(int priority, bool stamp, bool newline, const char* logFormat,
                 const char* outFormat, ...) {
    va_list args;
    va_start(args, outFormat);
    writeBoth(priority, stamp, newline, logFormat, outFormat, args);
    va_end(args);
}

}  // namespace

void writeAlert(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeBoth(kAlertPriority, true, true, format, format, args);
    va_end(args);
}

void writeWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeBoth(kWarningPriority, false, true, format, format, args);
    va_end(args);
}

void writeInfo(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeBoth(kInfoPriority, false, true, format, format, args);
    va_end(args);
}

#ifndef __FILE_NAME__
#define __FILE_NAME__ "alert.cpp"
#endif

void reportFailure(const char* logFormat, const char* outFormat, const char* text) {
    writeBothOf(kAlertPriority, false, false, logFormat, outFormat, __FILE_NAME__, __LINE__, text);
}

bool validSyslogIdentity(const char* identity) {
    const size_t length = strlen(identity);
    if (length == 0 || length > kMaxSyslogIdentity) return false;
    for (const char* c = identity; *c != '\0'; ++c)
        if (*c <= ' ' || *c > '~' || *c == ':' || *c == '[') return false;
    return true;
}
