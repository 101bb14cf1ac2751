#!/usr/bin/env python3
"""A small DNS server for the end-to-end tests, on one loopback address.

usage: TinyDns.py READY_FILE ADDRESS NAME=IP[,IP...] ...

Answers A queries for the names given (without regard to letter case) on
UDP port 53 of ADDRESS. A name with several addresses answers with the next
one at each query, so its answers change between lookups. Known names get an
empty answer for other types; every other name, reverse lookups included,
NXDOMAIN. Writes READY_FILE once it listens; runs until killed. Needs the
right to bind port 53.
"""

import os
import socket
import struct
import sys


def parse_question(packet):
    """The question's name (lower case), type and the question's bytes."""
    labels = []
    i = 12
    while True:
        if i >= len(packet):
            raise ValueError("short question")
        n = packet[i]
        if n == 0:
            i += 1
            break
        if n & 0xC0:
            raise ValueError("compressed question")
        labels.append(packet[i + 1:i + 1 + n].decode("ascii", "replace"))
        i += 1 + n
    qtype, _qclass = struct.unpack("!HH", packet[i:i + 4])
    return ".".join(labels).lower(), qtype, packet[12:i + 4]


def answer(packet, table, turns):
    ident, flags = struct.unpack("!HH", packet[:4])
    name, qtype, question = parse_question(packet)
    rd = flags & 0x0100
    records = b""
    count = 0
    rcode = 0
    if name not in table:
        rcode = 3  # NXDOMAIN
    elif qtype == 1:
        addresses = table[name]
        turn = turns.get(name, 0)
        turns[name] = turn + 1
        ip = addresses[turn % len(addresses)]
        records = struct.pack("!HHHIH", 0xC00C, 1, 1, 0, 4) + socket.inet_aton(ip)
        count = 1
    header = struct.pack("!HHHHHH", ident, 0x8000 | 0x0080 | rd | rcode, 1, count, 0, 0)
    return header + question + records


def main():
    ready, address = sys.argv[1], sys.argv[2]
    table = {}
    for entry in sys.argv[3:]:
        name, ips = entry.split("=", 1)
        table[name.lower().rstrip(".")] = ips.split(",")
    turns = {}
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 53))
    with open(ready + ".tmp", "w") as f:
        f.write("ready\n")
    os.rename(ready + ".tmp", ready)
    while True:
        packet, peer = sock.recvfrom(4096)
        try:
            sock.sendto(answer(packet, table, turns), peer)
        except (ValueError, struct.error):
            continue


if __name__ == "__main__":
    main()
