// STAMP test packets in unauthenticated mode (RFC 8762, with the SSID of
// RFC 8972), which TWAMP-Light (RFC 5357) senders and reflectors share:
// the session-sender's test packet and the session-reflector's answer.
//
// Session-sender packet             Session-reflector packet
//   0  sequence number (4)            0  reflector's sequence number (4)
//   4  T1, send time (8)              4  T3, the reflector's send time (8)
//  12  error estimate (2)            12  reflector's error estimate (2)
//  14  SSID (2)                      14  SSID, copied (2)
//  16  must be zero (28)             16  T2, receive time (8)
//                                    24  sender's sequence number (4)
//                                    28  T1, copied (8)
//                                    36  sender's error estimate (2)
//                                    38  must be zero (2)
//                                    40  the test packet's TTL or hop limit (1)
//                                    41  must be zero (3)
//  44  TLVs or padding               44  TLVs or padding
//
// Times and error estimates are in the formats of tool/wire/stamp_time.hpp.
#pragma once

#include <cstdint>

constexpr int stamp_default_port = 862;
// Both packets without TLVs.
constexpr int stamp_packet_length = 44;
// A TWAMP-Light test packet: sequence number, time stamp, error estimate.
// Shorter STAMP requests are read as if zero-filled to stamp_packet_length.
constexpr int stamp_twamp_light_shortest = 14;
// A TWAMP-Light reflector packet ends after the sender's TTL.
constexpr int stamp_reply_shortest = 41;
// Authenticated mode (not supported): 112-byte packets.
constexpr int stamp_authenticated_length = 112;

// The field offsets above.
constexpr int stamp_sequence_offset = 0;
constexpr int stamp_timestamp_offset = 4;
constexpr int stamp_error_offset = 12;
constexpr int stamp_ssid_offset = 14;
constexpr int stamp_request_mbz_offset = 16;
constexpr int stamp_request_mbz_size = 28;
constexpr int stamp_receive_timestamp_offset = 16;
constexpr int stamp_sender_sequence_offset = 24;
constexpr int stamp_sender_timestamp_offset = 28;
constexpr int stamp_sender_error_offset = 36;
constexpr int stamp_reply_mbz1_offset = 38;
constexpr int stamp_sender_ttl_offset = 40;
constexpr int stamp_reply_mbz2_offset = 41;

// Results of parsing and building (0 or a length when all is well).
constexpr int stamp_too_short = -1;       // fewer bytes than the layout needs
constexpr int stamp_authenticated = -2;   // an authenticated-mode packet
constexpr int stamp_no_room = -3;         // building: the buffer cannot hold the packet
constexpr int stamp_refused_source = -4;  // reflecting: from port 0 or the reflector's own port

// A session-sender's test packet as it arrived.  Times and error estimates
// stay as on the wire: a reflector copies them, and the error estimate
// tells how to read the time (stamp_timestamp_to_ns).
struct stamp_request {
    uint32_t sequence;
    uint64_t timestamp;  // T1
    uint16_t error_estimate;
    uint16_t ssid;
    int length;        // bytes that arrived
    bool zero_filled;  // a short TWAMP-Light packet, read as if zero-filled to 44 bytes
    bool mbz_nonzero;  // must-be-zero bytes were not zero (ignored, as RFC 8762 asks)
};

// A session-reflector's packet as it arrived at the sender.
struct stamp_reply {
    uint32_t sequence;   // the reflector's: a copy of the sender's, or its own count (stateful)
    uint64_t timestamp;  // T3
    uint16_t error_estimate;
    uint16_t ssid;
    uint64_t receive_timestamp;  // T2, in the format of error_estimate
    uint32_t sender_sequence;
    uint64_t sender_timestamp;  // T1 as the sender wrote it
    uint16_t sender_error_estimate;
    uint8_t sender_ttl;
    int length;
    bool mbz_nonzero;
    // The times read: T2 and T3 only when both are times in their format
    // and T3 is not before T2, T1 when the copy is a time.
    int64_t t1_ns;
    int64_t t2_ns;
    int64_t t3_ns;
    bool t1_known;
    bool far_times_known;
};

// Writes a session-sender packet of `length` bytes (at least 44; TLV space
// and padding zero) into `buffer` of `size` bytes: the length, or
// stamp_too_short / stamp_no_room.  T1 is written in the format of the
// error estimate's Z bit; stamp_set_send_time writes it again right before
// the send.
int stamp_build_request(unsigned char* buffer, int size, int length, uint32_t sequence, int64_t t1_ns,
                        uint16_t error_estimate, uint16_t ssid);

// Reads a session-sender packet: 0, or stamp_too_short (under 14 bytes) or
// stamp_authenticated (112 bytes or more with the authenticated layout's
// must-be-zero bytes after the sequence number and a time after them).
int stamp_parse_request(const unsigned char* data, int length, stamp_request* out);

// Writes the send time (T1 of a request, T3 of a reply) at offset 4 of a
// built packet, in the format its own error estimate names: 0, or
// stamp_too_short when the packet is shorter than 14 bytes.
int stamp_set_send_time(unsigned char* packet, int length, int64_t ns);

// What a reflector puts into its answer besides the copied request.
struct stamp_reflection {
    uint32_t sequence;        // stateless: the request's; stateful: the reflector's own count
    int64_t received_ns;      // T2
    uint16_t error_estimate;  // the reflector's clock; its Z bit picks the format of T2 and T3
    int ttl;                  // of the request; 0 is written when it is not known (negative)
};

// Writes the reflector's packet answering `request` into `reply` (which
// may be the buffer the request arrived in): as long as the request and at
// least 44 bytes, the bytes after 44 copied from the request (TLVs and
// padding come back as they came), T3 left 0 for stamp_set_send_time.  The
// reply's length, or stamp_no_room.  `request_data` and its length are
// those the request was parsed from.
int stamp_build_reply(const stamp_request* request, const unsigned char* request_data, const stamp_reflection* r,
                      unsigned char* reply, int reply_size);

// Reads a session-reflector packet: 0, or stamp_too_short (under 41 bytes)
// or stamp_authenticated.  A packet whose far-end times are missing or no
// times still gives its round trip (far_times_known false).  Whether the
// sender sent what it answers is the sender's to check.
int stamp_parse_reply(const unsigned char* data, int length, stamp_reply* out);

// --- bad input, counted by the end that met it -------------------------------------

struct stamp_input_counts {
    uint64_t accepted;  // packets read and used (a reflector: answered)
    uint64_t too_short;
    uint64_t authenticated;
    uint64_t bad_timestamp;   // a reply whose T2 or T3 is missing, no time, or T3 before T2
    uint64_t refused_source;  // a reflector's: from port 0 or its own port
    uint64_t no_room;
    uint64_t mbz_nonzero;       // accepted with nonzero must-be-zero bytes
    uint64_t zero_filled;       // accepted short TWAMP-Light packets
    uint64_t never_sent;        // a sender's: answers to sequence numbers it never sent
    uint64_t sessions_evicted;  // a stateful reflector's: sessions that restarted their count
};

// Counts one result of the functions above (a negative code, or acceptance
// with the request's notes).
void stamp_count_request(stamp_input_counts* counts, int result, const stamp_request* request);
void stamp_count_reply(stamp_input_counts* counts, int result, const stamp_reply* reply);
