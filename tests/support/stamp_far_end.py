#!/usr/bin/python3
"""The far end's view of STAMP test packets, through scapy's independent
STAMP layer (scapy.contrib.stamp).

Reads one command per line on standard input and writes one line per
command on standard output:

  build-request key=value ...   ->  the packet in hex
  build-reply key=value ...     ->  the packet in hex
  parse-request HEX             ->  key=value ...
  parse-reply HEX               ->  key=value ...

Or, with the arguments "reflect PORT COUNT key=value ...", a small
session-reflector on 127.0.0.1:PORT whose answers scapy builds: it answers
test packets until COUNT have come (or none for 10 seconds) and writes one
line per packet: the request as scapy read it (seq t1 s z scale mult ssid
length, and ttl: the TTL it arrived with), then what the answer carries
(rseq t2 t3).  T2 is the kernel's receive stamp, T3 the clock just before
the send.  Keys: stateful=1 (its own count as sequence number), s scale
mult (its error estimate), drop=N (a sequence number it neither answers nor
counts, as if lost on the way out; repeatable).

Times are nanoseconds since 1970 in both directions; the script converts
them to and from what scapy's fields hold (NTP seconds since 1900 as a
decimal for Z=0; the raw 64-bit value for Z=1, which scapy keeps as one
integer).  Keys: seq t1 t2 t3 (times), s z scale mult (an error estimate),
ss sz sscale smult (the session-sender's, in a reply), ssid sseq ttl length.
Exit status 3 when scapy's STAMP layer cannot be imported.
"""
import socket
import struct
import sys
import time
from decimal import Decimal

try:
    from scapy.layers.inet import UDP
    from scapy.packet import Raw
    from scapy.contrib.stamp import (
        ErrorEstimate,
        STAMPSessionReflectorTestUnauthenticated as Reflector,
        STAMPSessionSenderTestUnauthenticated as Sender,
    )
except ImportError as error:
    print("no scapy.contrib.stamp: %s" % error, file=sys.stderr)
    sys.exit(3)

NTP_BEFORE_1970 = 2208988800
BILLION = 10 ** 9


def to_field(ns, z):
    if z:
        return (ns // BILLION) << 32 | (ns % BILLION)
    return Decimal(ns) / BILLION + NTP_BEFORE_1970


def from_field(value, z):
    if z:
        return (int(value) >> 32) * BILLION + (int(value) & 0xFFFFFFFF)
    # Scapy gives the NTP value as a decimal rounded to the nanosecond.
    return int(((Decimal(value) - NTP_BEFORE_1970) * BILLION).to_integral_value())


def estimate(args, prefix=""):
    return ErrorEstimate(S=args[prefix + "s"], Z=args[prefix + "z"],
                         scale=args[prefix + "scale"], multiplier=args[prefix + "mult"])


def padded(packet, length):
    data = bytes(packet)
    return data + b"\0" * (length - len(data))


# The layer picks each time stamp's format from its estimate's Z bit as the
# time is assigned, so the times are assigned after the estimates.
def build_request(a):
    packet = Sender(err_estimate=estimate(a), seq=a["seq"], ssid=a["ssid"])
    packet.ts = to_field(a["t1"], a["z"])
    return padded(packet, a["length"]).hex()


def build_reply(a):
    packet = Reflector(err_estimate=estimate(a), err_estimate_sender=estimate(a, "s"), seq=a["seq"],
                       ssid=a["ssid"], seq_sender=a["sseq"], ttl_sender=a["ttl"])
    packet.ts = to_field(a["t3"], a["z"])
    packet.ts_rx = to_field(a["t2"], a["z"])
    packet.ts_sender = to_field(a["t1"], a["sz"])
    return padded(packet, a["length"]).hex()


def dissect(data, reflector):
    # The layer is dissected under a UDP header on the port that selects it.
    # Its TLV list cannot be dissected (it asks for a parent that dissection
    # does not set), so only the 44 bytes before the TLVs are given to it.
    ports = dict(sport=862, dport=40000) if reflector else dict(sport=40000, dport=862)
    head = data[:44]
    wrapped = UDP(bytes(UDP(len=8 + len(head), **ports) / Raw(head)))
    return wrapped[Reflector if reflector else Sender]


def fields(pairs):
    return " ".join("%s=%d" % pair for pair in pairs)


def parse_request(data):
    p = dissect(data, False)
    e = p.err_estimate
    return fields([("seq", p.seq), ("t1", from_field(p.ts, e.Z)), ("s", e.S), ("z", e.Z), ("scale", e.scale),
                   ("mult", e.multiplier), ("ssid", p.ssid), ("mbz", int(p.mbz != 0)), ("length", len(data))])


def parse_reply(data):
    p = dissect(data, True)
    e = p.err_estimate
    se = p.err_estimate_sender
    return fields([("seq", p.seq), ("t3", from_field(p.ts, e.Z)), ("s", e.S), ("z", e.Z), ("scale", e.scale),
                   ("mult", e.multiplier), ("ssid", p.ssid), ("t2", from_field(p.ts_rx, e.Z)),
                   ("sseq", p.seq_sender), ("t1", from_field(p.ts_sender, se.Z)), ("ss", se.S), ("sz", se.Z),
                   ("sscale", se.scale), ("smult", se.multiplier), ("mbz", int(p.mbz1 != 0 or p.mbz2 != 0)),
                   ("ttl", p.ttl_sender), ("length", len(data))])


def reflect(port, count, words):
    drop = {int(w.split("=", 1)[1]) for w in words if w.startswith("drop=")}
    a = {k: int(v) for k, v in (w.split("=", 1) for w in words if not w.startswith("drop="))}
    own = ErrorEstimate(S=a.get("s", 0), Z=0, scale=a.get("scale", 63), multiplier=a.get("mult", 255))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_TIMESTAMPNS", 35), 1)
    sock.setsockopt(socket.IPPROTO_IP, getattr(socket, "IP_RECVTTL", 12), 1)
    sock.bind(("127.0.0.1", port))
    sock.settimeout(10.0)
    answered = 0
    for _ in range(count):
        try:
            data, ancillary, _, source = sock.recvmsg(65536, 256)
        except socket.timeout:
            break
        t2 = time.time_ns()
        ttl = 0
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and len(value) >= 16:
                seconds, nanoseconds = struct.unpack("qq", value[:16])
                t2 = seconds * BILLION + nanoseconds
            elif level == socket.IPPROTO_IP and kind == socket.IP_TTL:
                ttl = struct.unpack("i", value[:4])[0]
        p = dissect(data, False)
        e = p.err_estimate
        seen = fields([("seq", p.seq), ("t1", from_field(p.ts, e.Z)), ("s", e.S), ("z", e.Z), ("scale", e.scale),
                       ("mult", e.multiplier), ("ssid", p.ssid), ("length", len(data)), ("ttl", ttl)])
        if p.seq in drop:
            print(seen + " dropped=1", flush=True)
            continue
        rseq = answered if a.get("stateful", 0) else p.seq
        answered += 1
        answer = Reflector(err_estimate=own, err_estimate_sender=e, seq=rseq, ssid=p.ssid, seq_sender=p.seq,
                           ttl_sender=ttl)
        answer.ts_rx = to_field(t2, 0)
        answer.ts_sender = p.ts
        t3 = time.time_ns()
        answer.ts = to_field(t3, 0)
        sock.sendto(padded(answer, len(data)), source)
        print(seen + " " + fields([("rseq", rseq), ("t2", t2), ("t3", t3)]), flush=True)


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "reflect":
        reflect(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:])
        return
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        command = words[0]
        if command.startswith("build-"):
            args = {k: int(v) for k, v in (w.split("=", 1) for w in words[1:])}
            out = build_request(args) if command == "build-request" else build_reply(args)
        elif command == "parse-request":
            out = parse_request(bytes.fromhex(words[1]))
        elif command == "parse-reply":
            out = parse_reply(bytes.fromhex(words[1]))
        else:
            out = "unknown command"
        print(out, flush=True)


main()
