// The shapes both ends of a measurement agree on: the probe datagram's
// buffer and header, and the record the sender keeps its counts and times in.
// Everything that only needs these shapes includes this header, not the
// measurement loops'.
#pragma once

#include <cstdint>

// --- probe datagram ------------------------------------------------------------

// Every datagram, probe or reply, fits one buffer of this size.
constexpr int datagram_buffer_size = 65536;
// Header fields, four little-endian 32-bit signed ints, addressed by value code.
constexpr int datagram_header_size = 16;
constexpr int value_reserved = 1;   // offset 0
constexpr int value_probe = 5;      // offset 4: probe number
constexpr int value_probesize = 6;  // offset 8: length of the probe
constexpr int value_replysize = 7;  // offset 12: length of the reply asked for
// The header of a datagram must be readable even when fewer bytes arrived.
static_assert(datagram_buffer_size >= datagram_header_size);

// --- measurement record ----------------------------------------------------------

constexpr int echomark_slots = 10000;

struct echomark_record {
    int32_t lastpkts;              // probe number of the latest probe sent or reply received
    int32_t sendpkts;              // probes sent
    int32_t recvpkts;              // replies received
    double Stime[echomark_slots];  // per probe index: writability wait + send
    double Rtime[echomark_slots];  // per probe number: readability wait + receive
};
