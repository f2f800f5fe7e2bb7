#!/usr/bin/env python3
"""Writes the hand-made seeds of packet_fuzzer into fuzz/corpus/.

Each seed is a script in the format described at the top of
packet_fuzzer.cpp: the fuzzer starts from frames that reach every decoder
case and every flood rule, and mutates from there.
"""
import os
import struct

LINK_TYPES = ["null", "en10mb", "ieee802", "slip", "ppp", "fddi", "raw", "loop", "linux_sll", "unknown"]
OFFSETS = {"null": 4, "en10mb": 14, "ieee802": 22, "slip": 16, "ppp": 4, "fddi": 21, "raw": 0,
           "loop": 4, "linux_sll": 16, "unknown": 0}
START = 1_700_000_000


def ipv4(proto, src, dst, transport=b"", ihl=5, frag=0, tos=0, total=None):
    options = bytes(4 * (ihl - 5)) if ihl > 5 else b""
    total = 20 + len(options) + len(transport) if total is None else total
    header = struct.pack(">BBHHHBBH4s4s", 0x40 | ihl, tos, total, 1, frag, 64, proto, 0,
                         bytes(src), bytes(dst))
    return header + options + transport


def tcp(sport, dport, flags=0x02):
    return struct.pack(">HHIIBBHHH", sport, dport, 0, 0, 0x50, flags, 1024, 0, 0)


def udp(sport, dport):
    return struct.pack(">HHHH", sport, dport, 8, 0)


def icmp(kind, code):
    return struct.pack(">BBHI", kind, code, 0, 0)


def framed(link, packet):
    return bytes(OFFSETS[link]) + packet


def script(link, *steps, start=START):
    return bytes([LINK_TYPES.index(link)]) + struct.pack("<q", start) + b"".join(steps)


def sweep():
    return b"\x00"


def jump(time):
    return b"\x01" + struct.pack("<q", time)


def select_sweep(selector):
    return bytes([8, selector])


def frame(data, dt=0, length=None):
    return b"\x02" + struct.pack("<bBH", dt, len(data), len(data) if length is None else length) + data


def burst(data, count, vary=0):
    return b"\x07" + struct.pack("<HBB", count, vary, len(data)) + data


A, B, C = (192, 0, 2, 7), (198, 51, 100, 5), (203, 0, 113, 9)
SYN = ipv4(6, A, B, tcp(555, 80))
SEEDS = {
    "tcp_syn": script("en10mb", frame(framed("en10mb", SYN))),
    "decoder_cases": script(
        "raw",
        frame(ipv4(17, A, B, udp(53, 5353))),
        frame(ipv4(1, A, B, icmp(8, 0))),
        frame(ipv4(6, A, B, tcp(1, 2), ihl=6)),
        frame(ipv4(17, A, B, udp(1, 2), frag=0x2000)),
        frame(ipv4(47, A, B, bytes(8))),
        frame(ipv4(6, A, B, tcp(1, 2))[:22]),  # cut inside the ports
        frame(ipv4(6, A, B, tcp(1, 2), ihl=15)),  # header longer than captured
        frame(ipv4(6, A, B, tcp(1, 2), ihl=0)),  # transport inside the IPv4 header
        frame(b"\x45" * 19),  # one byte short of an IPv4 header
    ),
    "flow_flood": script("linux_sll", burst(framed("linux_sll", SYN), 12001),
                         frame(framed("linux_sll", SYN), dt=6)),
    "host_flows_flood": script("null", burst(framed("null", SYN), 601, vary=1),
                               frame(framed("null", ipv4(6, C, B, tcp(9, 80))), dt=6)),
    "host_packets_flood": script("raw", frame(SYN), frame(SYN, dt=1), burst(SYN, 30001),
                                 frame(SYN, dt=6)),
    "selected_sweeps": script("raw", burst(SYN, 3000, vary=1), burst(SYN, 3000, vary=2),
                              select_sweep(0), select_sweep(1), select_sweep(2), select_sweep(3),
                              select_sweep(4), select_sweep(5)),
    "sweeps": script("ppp", burst(framed("ppp", SYN), 200, vary=2), frame(framed("ppp", SYN), dt=12),
                     sweep(), frame(framed("ppp", SYN), dt=12), sweep(), frame(framed("ppp", SYN), dt=12),
                     sweep(), burst(framed("ppp", SYN), 50, vary=1), jump(-5), sweep(),
                     jump(2**63 - 3), frame(framed("ppp", SYN), dt=12), sweep(), frame(framed("ppp", SYN), dt=12),
                     sweep()),
}
for link in LINK_TYPES:
    SEEDS["link_" + link] = script(link, frame(framed(link, SYN)), frame(framed(link, SYN)[:OFFSETS[link] + 20]),
                                   frame(framed(link, SYN)[:OFFSETS[link] + 19]))

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, "seed_" + name), "wb") as f:
            f.write(data)
