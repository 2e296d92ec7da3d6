// The far end's fields of a probe's reply, little-endian like the header.
#include "tool/wire/probe_far_end.hpp"

namespace {

void put_le(unsigned char* at, uint64_t value, int size) {
    for (int i = 0; i < size; i++) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t get_le(const unsigned char* at, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; i--) value = value << 8 | at[i];
    return value;
}

uint32_t flags_of(const unsigned char* data) { return static_cast<uint32_t>(data_value_get(data, value_reserved)); }

}  // namespace

bool probe_far_end_write(unsigned char* data, int length, const probe_far_end* far) {
    if (data == nullptr || length < probe_extension_end) return false;
    put_le(data + probe_far_received_offset, static_cast<uint64_t>(far->received_ns), 8);
    put_le(data + probe_far_sent_offset, static_cast<uint64_t>(far->sent_ns), 8);
    put_le(data + probe_far_count_offset, far->count, 4);
    data[probe_far_ttl_offset] = far->ttl;
    data[probe_far_tos_offset] = far->tos;
    data[probe_far_clock_offset] = far->clock_synchronized ? 1 : 0;
    data[probe_far_clock_offset + 1] = 0;
    data_value_set(data, value_reserved, static_cast<int>(flags_of(data) | probe_did_oneway));
    return true;
}

void probe_far_end_set_sent(unsigned char* data, int length, int64_t sent_ns) {
    if (data == nullptr || length < probe_extension_end) return;
    put_le(data + probe_far_sent_offset, static_cast<uint64_t>(sent_ns), 8);
}

bool probe_far_end_read(const unsigned char* data, int length, probe_far_end* out) {
    *out = probe_far_end{};
    if (data == nullptr || length < probe_extension_end || (flags_of(data) & probe_did_oneway) == 0) return false;
    out->received_ns = static_cast<int64_t>(get_le(data + probe_far_received_offset, 8));
    out->sent_ns = static_cast<int64_t>(get_le(data + probe_far_sent_offset, 8));
    out->count = static_cast<uint32_t>(get_le(data + probe_far_count_offset, 4));
    out->ttl = data[probe_far_ttl_offset];
    out->tos = data[probe_far_tos_offset];
    out->clock_synchronized = data[probe_far_clock_offset] != 0;
    return true;
}
