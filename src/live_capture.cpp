#include "live_capture.h"

#include <cstdio>
#include <cstring>

#include "alert.h"
#include "link_types.h"

namespace {

// Fixed capture parameters.
constexpr int kSnapLength = 68;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 10;
constexpr int kOptimizeFilter = 1;
constexpr bpf_u_int32 kFilterNetmask = 0;

// pcap_open_live's text for a failed activation (libpcap 1.10, pcap.c):
// the device, then libpcap's message, or the status described, or both;
// the same lengths kept, so that a long message is cut at the same place.
std::string openFailureText(const char* device, int status, const char* message) {
    char text[PCAP_ERRBUF_SIZE];
    if (status == PCAP_ERROR) {
        snprintf(text, sizeof text, "%s: %.*s", device, PCAP_ERRBUF_SIZE - 6, message);
    } else if ((status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
                status == PCAP_ERROR_PROMISC_PERM_DENIED) &&
               message[0] != '\0') {
        snprintf(text, sizeof text, "%s: %s (%.*s)", device, pcap_statustostr(status),
                 PCAP_ERRBUF_SIZE - 9, message);
    } else {
        snprintf(text, sizeof text, "%s: %s", device, pcap_statustostr(status));
    }
    return text;
}

// Whether `filter`, which compiled for `handle`, lets no IPv4 packet
// through: libpcap's optimiser reduces "ip and (FILTER)" to a program that
// rejects everything, which pcap_compile refuses when optimising and
// accepts otherwise. Where the optimiser cannot prove it, no warning.
bool filterMatchesNoIpv4(pcap_t* handle, const char* filter) {
    const std::string withIpv4 = std::string("ip and (") + filter + ")";
    bpf_program program;
    if (pcap_compile(handle, &program, withIpv4.c_str(), kOptimizeFilter, kFilterNetmask) == 0) {
        pcap_freecode(&program);
        return false;
    }
    if (pcap_compile(handle, &program, withIpv4.c_str(), 0, kFilterNetmask) != 0) return false;
    pcap_freecode(&program);
    return true;
}

bool forwardingOn() {
    FILE* file = fopen("/proc/sys/net/ipv4/ip_forward", "r");
    if (file == nullptr) return false;
    const int first = fgetc(file);
    fclose(file);
    return first == '1';
}

}  // namespace

void startupWarnings(pcap_t* handle, const char* interface, const char* filter) {
    if (strcmp(interface, "any") == 0 && forwardingOn())
        writeWarning(
            "Warning: the any device sees a forwarded packet twice (on its way in and out); "
            "rates of forwarded traffic read double");
    if (filterMatchesNoIpv4(handle, filter))
        writeWarning("Warning: the filter matches no IPv4 packet; nothing will be counted");
}

pcap_t* openInterface(const char* interface, int bufferBytes, std::string& failure) {
    char errorBuffer[PCAP_ERRBUF_SIZE];
    errorBuffer[0] = '\0';
    pcap_t* handle = pcap_create(interface, errorBuffer);
    if (handle == nullptr) {
        failure = errorBuffer;
        return nullptr;
    }
    // The setters fail only on a handle already active: as in
    // pcap_open_live, such a status would be reported like the activation's.
    int status = pcap_set_snaplen(handle, kSnapLength);
    if (status >= 0) status = pcap_set_promisc(handle, kPromiscuous);
    if (status >= 0) status = pcap_set_timeout(handle, kReadTimeoutMs);
    if (status >= 0) status = pcap_set_buffer_size(handle, bufferBytes);
    if (status >= 0) status = pcap_activate(handle);
    if (status >= 0) return handle;
    failure = openFailureText(interface, status, pcap_geterr(handle));
    pcap_close(handle);
    return nullptr;
}

pcap_t* reopenInterface(const char* interface, const char* filter, int bufferBytes,
                        int32_t& offset) {
    std::string ignored;
    pcap_t* handle = openInterface(interface, bufferBytes, ignored);
    if (handle == nullptr) return nullptr;
    bpf_program program;
    bool good = pcap_compile(handle, &program, filter, kOptimizeFilter, kFilterNetmask) == 0;
    if (good) {
        // libpcap keeps its own copy of an installed program.
        good = pcap_setfilter(handle, &program) == 0;
        pcap_freecode(&program);
    }
    const int32_t newOffset = good ? linkOffset(handle) : -1;
    if (newOffset < 0) {
        pcap_close(handle);
        return nullptr;
    }
    offset = newOffset;
    return handle;
}
