#!/usr/bin/env python3
"""A small DNS server for the end-to-end tests, on one loopback address.

usage: TinyDns.py READY_FILE ADDRESS [OPTION...] NAME=VALUE[,VALUE...] ...

Answers queries for the names given (without regard to letter case) on
port 53 of ADDRESS, over UDP and, where the port can be had, over TCP (a
2-byte length before each message). A VALUE is an IPv4 address (an A
record), an IPv6 address (AAAA) or "@TARGET" (a CNAME to TARGET, whose
own records follow in the answer, as far as the table goes). A name with
several addresses of a family answers with the next one at each query, so
its answers change between lookups. Known names get an empty answer for
other types; every other name NXDOMAIN. Options:
  --log=FILE          append "TYPE NAME udp|tcp" per query received
  --ptr=ADDRESS=NAME  answer the reverse lookup of ADDRESS with NAME
  --silent            receive and log, never answer
  --truncate=NAME     over UDP, answer NAME truncated (TC set, no records),
                      so the client asks again over TCP
Writes READY_FILE once it listens; runs until killed. Needs the right to
bind port 53.
"""

import ipaddress
import os
import socket
import struct
import sys
import threading

TYPE_A, TYPE_CNAME, TYPE_PTR, TYPE_AAAA = 1, 5, 12, 28
TYPE_NAMES = {TYPE_A: "A", TYPE_CNAME: "CNAME", TYPE_PTR: "PTR", TYPE_AAAA: "AAAA"}


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


def encode_name(name):
    out = b""
    for label in name.split("."):
        if label:
            out += bytes([len(label)]) + label.encode("ascii")
    return out + b"\0"


def record(owner, rtype, rdata):
    return encode_name(owner) + struct.pack("!HHIH", rtype, 1, 0, len(rdata)) + rdata


class Server:
    def __init__(self, table, ptrs, log, silent, truncated=()):
        self.table = table
        self.truncated = set(truncated)
        self.ptrs = ptrs
        self.log = log
        self.silent = silent
        self.turns = {}
        self.lock = threading.Lock()

    def note(self, qtype, name, proto):
        if not self.log:
            return
        with self.lock, open(self.log, "a") as f:
            f.write("%s %s %s\n" % (TYPE_NAMES.get(qtype, str(qtype)), name, proto))

    def addresses(self, name, family):
        values = [v for v in self.table[name] if not v.startswith("@")]
        values = [v for v in values if (":" in v) == (family == TYPE_AAAA)]
        if not values:
            return []
        key = (name, family)
        turn = self.turns.get(key, 0)
        self.turns[key] = turn + 1
        return [values[turn % len(values)]]

    def answer(self, packet):
        ident, flags = struct.unpack("!HH", packet[:4])
        name, qtype, question = parse_question(packet)
        rd = flags & 0x0100
        records = []
        rcode = 0
        with self.lock:
            if qtype == TYPE_PTR and name in self.ptrs:
                records.append(record(name, TYPE_PTR, encode_name(self.ptrs[name])))
            elif name not in self.table:
                rcode = 3  # NXDOMAIN
            else:
                owner, seen = name, set()
                while owner in self.table and owner not in seen:
                    seen.add(owner)
                    target = next((v[1:] for v in self.table[owner] if v.startswith("@")), None)
                    if target is not None:
                        records.append(record(owner, TYPE_CNAME, encode_name(target)))
                        owner = target.lower().rstrip(".")
                        continue
                    if qtype in (TYPE_A, TYPE_AAAA):
                        family = socket.AF_INET if qtype == TYPE_A else socket.AF_INET6
                        for ip in self.addresses(owner, qtype):
                            records.append(record(owner, qtype, socket.inet_pton(family, ip)))
                    break
        header = struct.pack("!HHHHHH", ident, 0x8000 | 0x0080 | rd | rcode, 1, len(records), 0, 0)
        return header + question + b"".join(records)

    def serve_udp(self, sock):
        while True:
            packet, peer = sock.recvfrom(4096)
            try:
                name, qtype, _ = parse_question(packet)
                self.note(qtype, name, "udp")
                if self.silent:
                    continue
                if name in self.truncated:
                    ident, flags = struct.unpack("!HH", packet[:4])
                    _, _, question = parse_question(packet)
                    header = struct.pack("!HHHHHH", ident, 0x8000 | 0x0200 | 0x0080 | (flags & 0x0100), 1, 0, 0, 0)
                    sock.sendto(header + question, peer)
                else:
                    sock.sendto(self.answer(packet), peer)
            except (ValueError, struct.error):
                continue

    def serve_tcp_client(self, conn):
        with conn:
            while True:
                head = self.read_exactly(conn, 2)
                if head is None:
                    return
                packet = self.read_exactly(conn, struct.unpack("!H", head)[0])
                if packet is None:
                    return
                try:
                    name, qtype, _ = parse_question(packet)
                    self.note(qtype, name, "tcp")
                    if not self.silent:
                        reply = self.answer(packet)
                        conn.sendall(struct.pack("!H", len(reply)) + reply)
                except (ValueError, struct.error, OSError):
                    return

    @staticmethod
    def read_exactly(conn, n):
        data = b""
        while len(data) < n:
            try:
                chunk = conn.recv(n - len(data))
            except OSError:
                return None
            if not chunk:
                return None
            data += chunk
        return data

    def serve_tcp(self, sock):
        while True:
            conn, _ = sock.accept()
            threading.Thread(target=self.serve_tcp_client, args=(conn,), daemon=True).start()


def reverse_name(address):
    return ipaddress.ip_address(address).reverse_pointer.lower()


def main():
    ready, address = sys.argv[1], sys.argv[2]
    table, ptrs, log, silent, truncated = {}, {}, None, False, []
    for entry in sys.argv[3:]:
        if entry.startswith("--log="):
            log = entry[len("--log="):]
        elif entry.startswith("--ptr="):
            ip, name = entry[len("--ptr="):].split("=", 1)
            ptrs[reverse_name(ip)] = name
        elif entry.startswith("--truncate="):
            truncated.append(entry[len("--truncate="):].lower().rstrip("."))
        elif entry == "--silent":
            silent = True
        else:
            name, values = entry.split("=", 1)
            table[name.lower().rstrip(".")] = values.split(",")
    server = Server(table, ptrs, log, silent, truncated)
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    udp = socket.socket(family, socket.SOCK_DGRAM)
    udp.bind((address, 53))
    tcp = socket.socket(family, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        tcp.bind((address, 53))
        tcp.listen(16)
        threading.Thread(target=server.serve_tcp, args=(tcp,), daemon=True).start()
    except OSError as e:
        sys.stderr.write("no TCP on %s: %s\n" % (address, e))
    with open(ready + ".tmp", "w") as f:
        f.write("ready\n")
    os.rename(ready + ".tmp", ready)
    server.serve_udp(udp)


if __name__ == "__main__":
    main()
