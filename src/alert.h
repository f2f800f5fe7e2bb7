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

// LOG_LOCAL6 | LOG_WARNING: what the monitor reports about itself, below
// the priority of alerts.
constexpr int kWarningPriority = LOG_LOCAL6 | LOG_WARNING;
static_assert(kWarningPriority == 180, "warnings go to local6.warning");

// Like writeAlert, at kWarningPriority.
void writeWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
