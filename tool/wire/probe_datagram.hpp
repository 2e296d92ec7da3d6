// The probe datagram both ends agree on: its buffer and its header.  A probe
// is a UDP payload whose first 16 bytes are four little-endian 32-bit signed
// fields, addressed by value code; the reply is the probe sent back, cut or
// zero-filled to the length the probe asks for.
#pragma once

#include <cstdint>

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

// Field of the datagram (at least 16 bytes) selected by code; 0 for any other code.
int data_value_get(const void* data, int code);
// Writes value into the field selected by code; any other code changes nothing.
void data_value_set(void* data, int code, int value);
