// Start-up, shared by the monitor and the replay: the tables, the command
// line, the capture opened and filtered, and the link offset.
#ifndef SURGEWATCH_STARTUP_H
#define SURGEWATCH_STARTUP_H

#include <pcap/pcap.h>

#include <cstdint>
#include <string>

// What start-up opens: a live interface (the monitor) or a capture file
// (the replay). The formats are those of the usage line, the open step's
// progress text, and the two copies of the open failure report.
struct CaptureSource {
    const char* usage;  // "\nUsage: %s <interface> <filter>\n"
    const char* opening;
    // Opens `name`; answers null with the report's text in `failure`.
    pcap_t* (*open)(const char* name, std::string& failure);
    const char* openFailureLog;
    const char* openFailureOut;
    // The link-type failure; a "%s" after the two leading placeholders takes
    // describeUnknownLinkType's text.
    const char* unknownLinkLog;
    const char* unknownLinkOut;
};

// The start-up steps, in order, each with its progress line and failure
// report: the two tables, standard output line-buffered, the argument
// check (program, source name, filter), the tables' capacities
// (setTableCapacities, tables.h), the open call, the filter compiled
// (optimised, netmask 0) and installed, and the link offset. Answers the
// link offset, or -1 after a failure report. `*handle` is set as soon as
// the capture is open, also when a later step fails; the caller owns it.
// The compiled program is never released.
int32_t startCapture(int argc, char** argv, const CaptureSource& source, pcap_t** handle);

#endif
