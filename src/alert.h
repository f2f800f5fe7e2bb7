// Flood alerts: one text, written first to the system log (facility local6,
// level alert) and then, with a newline, to standard output.
#ifndef SURGEWATCH_ALERT_H
#define SURGEWATCH_ALERT_H

#include <syslog.h>

// LOG_LOCAL6 | LOG_ALERT: the priority of every alert and failure report.
constexpr int kAlertPriority = LOG_LOCAL6 | LOG_ALERT;
static_assert(kAlertPriority == 177, "alerts go to local6.alert");

// True in the monitor: alerts and failure reports go to the system log as
// well as to standard output. The replay program clears it: replayed history
// must not reach the system log, where it would read as live alerts.
extern bool g_alertsToSyslog;

// `format` ends without a newline; standard output gets one appended.
void writeAlert(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
