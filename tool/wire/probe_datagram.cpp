// The probe datagram's header fields.
#include "tool/wire/probe_datagram.hpp"

namespace {

// Byte offset of a header field, or -1 for a code that names none.
int value_offset(int code) {
    switch (code) {
        case value_reserved: return 0;
        case value_probe: return 4;
        case value_probesize: return 8;
        case value_replysize: return 12;
        default: return -1;
    }
}

}  // namespace

int data_value_get(const void* data, int code) {
    int offset = value_offset(code);
    if (offset < 0) return 0;
    const unsigned char* field = static_cast<const unsigned char*>(data) + offset;
    uint32_t value = static_cast<uint32_t>(field[0]) | static_cast<uint32_t>(field[1]) << 8 |
                     static_cast<uint32_t>(field[2]) << 16 | static_cast<uint32_t>(field[3]) << 24;
    return static_cast<int32_t>(value);
}

void data_value_set(void* data, int code, int value) {
    int offset = value_offset(code);
    if (offset < 0) return;
    unsigned char* field = static_cast<unsigned char*>(data) + offset;
    uint32_t bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; i++) field[i] = static_cast<unsigned char>(bits >> (8 * i));
}
