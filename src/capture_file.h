// Opening a capture file for reading.
#ifndef SURGEWATCH_CAPTURE_FILE_H
#define SURGEWATCH_CAPTURE_FILE_H

#include <pcap/pcap.h>

#include <cstddef>

// A capture file's read buffer: libpcap reads a record at a time through
// the file's stream, and with the stream's default of a few kilobytes the
// system calls and their copies cost a sixth of a replay whose tables stay
// in the caches; a megabyte makes them vanish.
constexpr size_t kCaptureReadBuffer = 1 << 20;

// Opens `file` as pcap_open_offline does, with the same failure texts in
// `errorBuffer` ("-" is standard input). A regular file is read through
// `buffer` (`size` bytes), which must outlive the handle; anything else
// (standard input, a pipe, a device), or a null buffer, is opened by
// libpcap alone.
pcap_t* openCaptureFile(const char* file, char* errorBuffer, char* buffer, size_t size);

#endif
