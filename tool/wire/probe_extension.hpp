// Opt-in fields of the probe datagram, after its 16-byte header.
//
// The header's reserved field carries flags that the sender sets to ask the
// responder for more than the echo.  A responder that knows none of them (a
// plain echo, or one that only echoes the header) sends the probe back as it
// came: the flags it answered are then missing from the reply and the fields
// read as the sender wrote them (zeros), so the sender can tell "not done"
// from a value.  Without flags the datagram is exactly the basic probe.
//
// All fields are little-endian, like the header.
#pragma once

#include <cstdint>

#include "tool/wire/probe_datagram.hpp"

// --- flags in the reserved field (value_reserved) ------------------------------

// Asked by the sender:
constexpr uint32_t probe_ask_oneway = 0x0001;  // fill in the far end's receive and send times
constexpr uint32_t probe_ask_cookie = 0x0002;  // put the responder's cookie for this source into the reply
constexpr uint32_t probe_ask_hello = 0x0004;   // a cookie request only: no probe of the run
// Set by the responder in the reply, for what it did:
constexpr uint32_t probe_did_oneway = 0x0100;  // the far-end fields below are filled in
constexpr uint32_t probe_did_cookie = 0x0200;  // the cookie field holds the responder's cookie
constexpr uint32_t probe_asked_mask = 0x00FF;
constexpr uint32_t probe_done_mask = 0xFF00;

// --- fields after the header ----------------------------------------------------

// The cookie: in a reply, a value only the responder can make, bound to the
// source address; in a later probe, returned to show that the sender receives
// at that address.  Zero when there is none.
constexpr int probe_cookie_offset = 16;  // 8 bytes
// The far end's times, nanoseconds since 1970-01-01 UTC on its own clock.
constexpr int probe_far_received_offset = 24;  // 8 bytes, signed: the probe's arrival (kernel stamp)
constexpr int probe_far_sent_offset = 32;      // 8 bytes, signed: just before the reply left
// Probes the far end received from this source (address and port), this one included.
constexpr int probe_far_count_offset = 40;  // 4 bytes, unsigned
// The probe's IP header as the far end saw it: time to live (IPv6 hop limit)
// and type of service (IPv6 traffic class); 0 when not known.
constexpr int probe_far_ttl_offset = 44;  // 1 byte
constexpr int probe_far_tos_offset = 45;  // 1 byte
// 1 when the far end's clock is synchronized to an external source, else 0.
constexpr int probe_far_clock_offset = 46;  // 1 byte
constexpr int probe_extension_end = 48;     // one byte after probe_far_clock_offset stays zero

// A probe (and its reply) must reach this far for what the flags ask.
constexpr int probe_cookie_end = probe_cookie_offset + 8;
static_assert(probe_cookie_end <= probe_far_received_offset);
static_assert(probe_extension_end <= datagram_buffer_size);

// Reply bytes a responder sends toward an address that has not shown it
// receives there: at most this many times the bytes received from it, so a
// forged source can make the responder send a victim no more than this
// multiple of what it sent.  A sender that asks for more first obtains a
// cookie.
constexpr int probe_unproven_ratio = 16;
