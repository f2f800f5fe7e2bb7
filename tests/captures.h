// Capture files written by the replay tests, as bytes: pcap through
// libpcap's own dumper, pcapng block by block (libpcap cannot write it),
// in either byte order and either time resolution, with lies where a test
// needs them.
#ifndef SURGEWATCH_TESTS_CAPTURES_H
#define SURGEWATCH_TESTS_CAPTURES_H

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "support.h"

namespace captures {

using Bytes = std::vector<uint8_t>;

// One record of a capture file.
struct Record {
    int64_t seconds;
    Bytes bytes;              // as captured
    uint32_t wireLength = 0;  // 0: as captured
    uint32_t micros = 0;      // the fraction of the second
};

inline uint32_t wireLengthOf(const Record& r) {
    return r.wireLength != 0 ? r.wireLength : uint32_t(r.bytes.size());
}

struct PcapFormat {
    int linkType = DLT_EN10MB;
    int snaplen = 65535;
    bool nano = false;  // nanosecond timestamps
};

// A pcap file in this machine's byte order, written by pcap_dump.
inline Bytes pcapFile(const std::vector<Record>& records, const PcapFormat& format = {}) {
    TempDir scratch;
    const std::string path = scratch.file("written.pcap");
    {
        std::unique_ptr<pcap_t, PcapCloser> dead(pcap_open_dead_with_tstamp_precision(
            format.linkType, format.snaplen,
            format.nano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO));
        if (dead == nullptr) {
            ADD_FAILURE() << "pcap_open_dead failed";
            return {};
        }
        PcapDumper dumper(pcap_dump_open(dead.get(), path.c_str()));
        if (dumper == nullptr) {
            ADD_FAILURE() << pcap_geterr(dead.get());
            return {};
        }
        for (const Record& r : records) {
            pcap_pkthdr header{};
            header.ts.tv_sec = r.seconds;
            header.ts.tv_usec = format.nano ? r.micros * 1000 : r.micros;
            header.caplen = uint32_t(r.bytes.size());
            header.len = wireLengthOf(r);
            pcap_dump(reinterpret_cast<u_char*>(dumper.get()), &header, r.bytes.data());
        }
    }
    return readFile(path);
}

// A classic pcap file written byte by byte, in little- or big-endian order
// whatever this machine's, with microsecond times: libpcap's dumper only
// writes this machine's order. The seconds go into the record's unsigned
// 32-bit field as they are.
inline Bytes classicPcapFile(const std::vector<Record>& records, bool bigEndian,
                             uint32_t linkType = DLT_EN10MB) {
    Bytes out;
    auto u16 = [&](uint16_t v) {
        if (bigEndian) v = uint16_t(v << 8 | v >> 8);
        out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)});
    };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (bigEndian ? 24 - 8 * i : 8 * i)));
    };
    u32(0xA1B2C3D4), u16(2), u16(4), u32(0), u32(0), u32(65535), u32(linkType);
    for (const Record& r : records) {
        u32(uint32_t(r.seconds)), u32(r.micros), u32(uint32_t(r.bytes.size())),
            u32(wireLengthOf(r));
        out.insert(out.end(), r.bytes.begin(), r.bytes.end());
    }
    return out;
}

struct PcapngFormat {
    uint16_t linkType = 1;  // LINKTYPE_ETHERNET
    bool bigEndian = false;
    bool nano = false;      // if_tsresol 10^-9 on the interface
    bool interface = true;  // false: no interface description block at all
    // What the last enhanced packet block claims; 0: the truth.
    uint32_t lastBlockLength = 0;
    uint32_t lastCaplen = 0;
};

// A pcapng file: section header, one interface, one enhanced packet block
// per record.
inline Bytes pcapngFile(const std::vector<Record>& records, const PcapngFormat& format = {}) {
    Bytes out;
    auto u16 = [&](uint16_t v) {
        if (format.bigEndian) v = uint16_t(v << 8 | v >> 8);
        out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)});
    };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(v >> (format.bigEndian ? 24 - 8 * i : 8 * i)));
    };
    u32(0x0A0D0D0A), u32(28), u32(0x1A2B3C4D), u16(1), u16(0), u32(0xFFFFFFFF), u32(0xFFFFFFFF),
        u32(28);
    if (format.interface) {
        const uint32_t idbLength = format.nano ? 32 : 20;
        u32(1), u32(idbLength), u16(format.linkType), u16(0), u32(65535);
        if (format.nano) {
            u16(9), u16(1);  // if_tsresol: 10^-9
            out.insert(out.end(), {9, 0, 0, 0});
            u16(0), u16(0);  // end of options
        }
        u32(idbLength);
    }
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        const bool last = i + 1 == records.size();
        const uint32_t padded = (uint32_t(r.bytes.size()) + 3) & ~3u;
        const uint64_t units = format.nano
                                   ? uint64_t(r.seconds) * 1000000000 + uint64_t(r.micros) * 1000
                                   : uint64_t(r.seconds) * 1000000 + r.micros;
        const uint32_t blockLength =
            last && format.lastBlockLength != 0 ? format.lastBlockLength : 32 + padded;
        const uint32_t caplen =
            last && format.lastCaplen != 0 ? format.lastCaplen : uint32_t(r.bytes.size());
        u32(6), u32(blockLength), u32(0), u32(uint32_t(units >> 32)), u32(uint32_t(units));
        u32(caplen), u32(wireLengthOf(r));
        out.insert(out.end(), r.bytes.begin(), r.bytes.end());
        out.resize(out.size() + padded - r.bytes.size(), 0);
        u32(32 + padded);
    }
    return out;
}

}  // namespace captures

#endif
