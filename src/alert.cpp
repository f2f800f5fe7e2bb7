#include "alert.h"

#include <cstdarg>
#include <cstdio>

bool g_alertsToSyslog = true;

void writeAlert(const char* format, ...) {
    va_list args;
    if (g_alertsToSyslog) {
        va_start(args, format);
        vsyslog(kAlertPriority, format, args);
        va_end(args);
    }
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

void writeWarning(const char* format, ...) {
    va_list args;
    if (g_alertsToSyslog) {
        va_start(args, format);
        vsyslog(kWarningPriority, format, args);
        va_end(args);
    }
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}
