#include "link_types.h"

namespace {

// What stands in front of the IPv4 header, by link type.
struct LinkType {
    int number;  // DLT_*
    int32_t offset;
};
constexpr LinkType kLinkTypes[] = {
    {DLT_NULL, 4},         // address-family word
    {DLT_EN10MB, 14},      // Ethernet
    {DLT_IEEE802, 22},     // Token Ring with LLC/SNAP
    {DLT_SLIP, 16},        // SLIP pseudo-header
    {DLT_PPP, 4},          // PPP header
    {DLT_FDDI, 21},        // FDDI with LLC/SNAP
    {DLT_RAW, 0},          // the IPv4 header comes first
    {DLT_LOOP, 4},         // address-family word
    {DLT_LINUX_SLL, 16},   // cooked capture header
    {DLT_LINUX_SLL2, 20},  // cooked capture header, version 2 (tcpdump -i any)
};

// "DLT_EN10MB / 1", or "DLT_(unnamed) / 4711" for a number libpcap has no
// name for.
std::string linkTypeName(int linkType) {
    const char* name = pcap_datalink_val_to_name(linkType);
    return std::string("DLT_") + (name != nullptr ? name : "(unnamed)") + " / " +
           std::to_string(linkType);
}

}  // namespace

int32_t linkOffsetOf(int linkType) {
    for (const LinkType& known : kLinkTypes)
        if (known.number == linkType) return known.offset;
    return -1;
}

int32_t linkOffset(pcap_t* handle) { return linkOffsetOf(pcap_datalink(handle)); }

std::string describeUnknownLinkType(int linkType) {
    std::string text = linkTypeName(linkType) + "; supported: ";
    for (const LinkType& known : kLinkTypes) {
        if (&known != kLinkTypes) text += ", ";
        text += linkTypeName(known.number);
    }
    return text;
}
