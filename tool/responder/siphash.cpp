// SipHash-2-4: two compression rounds per 8-byte word, four to finish.
#include "tool/responder/siphash.hpp"

#include <bit>
#include <cstring>

namespace {

uint64_t rotate(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

uint64_t little_endian(const unsigned char* bytes, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; i--) value = (value << 8) | bytes[i];
    return value;
}

// A whole word in one load where the machine is little-endian, as all the
// ones this runs on are.
uint64_t word_at(const unsigned char* bytes) {
    if constexpr (std::endian::native != std::endian::little) return little_endian(bytes, 8);
    uint64_t value;
    std::memcpy(&value, bytes, 8);
    return value;
}

struct sip_state {
    uint64_t v0, v1, v2, v3;
};

void sip_round(sip_state* s) {
    s->v0 += s->v1;
    s->v1 = rotate(s->v1, 13) ^ s->v0;
    s->v0 = rotate(s->v0, 32);
    s->v2 += s->v3;
    s->v3 = rotate(s->v3, 16) ^ s->v2;
    s->v0 += s->v3;
    s->v3 = rotate(s->v3, 21) ^ s->v0;
    s->v2 += s->v1;
    s->v1 = rotate(s->v1, 17) ^ s->v2;
    s->v2 = rotate(s->v2, 32);
}

void absorb(sip_state* s, uint64_t word) {
    s->v3 ^= word;
    sip_round(s);
    sip_round(s);
    s->v0 ^= word;
}

}  // namespace

uint64_t siphash24(const unsigned char (&key)[siphash_key_size], const unsigned char* data, int length) {
    if (length < 0) length = 0;
    uint64_t k0 = little_endian(key, 8);
    uint64_t k1 = little_endian(key + 8, 8);
    sip_state s = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                   k1 ^ 0x7465646279746573ULL};
    int whole = length - length % 8;
    for (int at = 0; at < whole; at += 8) absorb(&s, word_at(data + at));
    // The last word holds the remaining bytes and the length's low byte on top.
    uint64_t last = little_endian(data + whole, length - whole) | (static_cast<uint64_t>(length & 0xFF) << 56);
    absorb(&s, last);
    s.v2 ^= 0xFF;
    for (int i = 0; i < 4; i++) sip_round(&s);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
