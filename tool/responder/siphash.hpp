// SipHash-2-4 (Aumasson and Bernstein): a keyed hash whose output nobody
// without the key can predict or forge, fast on short inputs.  The responder
// makes its cookies and places its table entries with it, so neither can be
// aimed at from outside.
#pragma once

#include <cstdint>

constexpr int siphash_key_size = 16;

// The 64-bit SipHash-2-4 of `length` bytes at `data` under `key`; the
// reference's 8 output bytes are this value in little-endian order.
uint64_t siphash24(const unsigned char (&key)[siphash_key_size], const unsigned char* data, int length);
