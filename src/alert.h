// Everything the programs write to the system log: flood alerts, warnings
// about the monitor itself and start-up and capture failures, each written
// first to the system log (facility local6) and then to standard output.
#ifndef SURGEWATCH_ALERT_H
#define SURGEWATCH_ALERT_H

#include <syslog.h>

#include <cstddef>
#include <cstdint>

// LOG_LOCAL6 | LOG_ALERT: the priority of every alert and failure report.
constexpr int kAlertPriority = LOG_LOCAL6 | LOG_ALERT;
static_assert(kAlertPriority == 177, "alerts go to local6.alert");

// Off unless a program's main turns it on: only the monitor writes to the
// system log. Off, every line goes to standard output alone; replayed
// history, tests and measuring tools must never reach the system log, where
// they would read as live alerts.
extern bool g_alertsToSyslog;

// `format` ends without a newline; standard output gets one appended, and
// the stamp first when lines are stamped. The system log's copy never
// carries the stamp.
void writeAlert(const char* format, ...) __attribute__((format(printf, 1, 2)));

// LOG_LOCAL6 | LOG_WARNING: what the monitor reports about itself, below
// the priority of alerts.
constexpr int kWarningPriority = LOG_LOCAL6 | LOG_WARNING;
static_assert(kWarningPriority == 180, "warnings go to local6.warning");

// Like writeAlert, at kWarningPriority, never stamped.
void writeWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// LOG_LOCAL6 | LOG_INFO: the monitor's routine news (the heartbeat), below
// its warnings.
constexpr int kInfoPriority = LOG_LOCAL6 | LOG_INFO;
static_assert(kInfoPriority == 182, "routine news goes to local6.info");

// Like writeWarning, at kInfoPriority.
void writeInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes a start-up or capture failure at kAlertPriority: `logFormat` to the
// system log, then `outFormat`, which carries its own newlines, to standard
// output. Both formats begin with "%s %d " for this source file and the line
// of the writing statement, and may take `text` as a third placeholder.
void reportFailure(const char* logFormat, const char* outFormat, const char* text);

// Off in the monitor, whose output never changes. surgewatch-replay -t
// turns it on: every alert and sweep report line on standard output then
// begins with the packet time of the packet that raised it, in UTC, and a
// space ("2026-12-10T11:31:07Z FLOOD: ...").
extern bool g_stampLines;

// Room for the longest stamp formatPacketTime writes, with its null.
constexpr size_t kStampSize = 32;

// Writes `time`, in seconds since 1970-01-01 00:00:00 UTC, as
// "YYYY-MM-DDThh:mm:ssZ" in the proleptic Gregorian calendar (no leap
// seconds). Years outside 0000-9999 are written in the expanded form of
// ISO 8601, a sign and at least six digits ("+010000-01-01T00:00:00Z",
// "-000001-12-31T23:59:59Z"): times from a hostile file can be anything.
// Defined for every value; answers the length written.
size_t formatPacketTime(int64_t time, char (&out)[kStampSize]);

// When g_stampLines is set, writes the stamp of the packet clock and a
// space to standard output; otherwise nothing. Called at the start of each
// alert and sweep report line, never per packet.
void stampLine();

// The system-log identity (SURGEWATCH_SYSLOG_IDENT): 1 to 32 printable
// characters (the longest tag a classic syslog line carries), none of them
// a blank, ':' or '[', which would end the tag early in a log line.
constexpr size_t kMaxSyslogIdentity = 32;
bool validSyslogIdentity(const char* identity);

#endif
