// Link types: how many bytes of link-layer header stand in front of the
// IPv4 header, by libpcap's link-type number (DLT_*).
#ifndef SURGEWATCH_LINK_TYPES_H
#define SURGEWATCH_LINK_TYPES_H

#include <pcap/pcap.h>

#include <cstdint>
#include <string>

// Bytes in front of the IPv4 header for the handle's link type, or -1 for a
// link type the monitor does not know.
int32_t linkOffset(pcap_t* handle);
// The same for a link type number (DLT_*).
int32_t linkOffsetOf(int linkType);
// Names an unknown link type and the supported ones:
// "DLT_IEEE802_11 / 105; supported: DLT_NULL / 0, DLT_EN10MB / 1, ...".
std::string describeUnknownLinkType(int linkType);

#endif
