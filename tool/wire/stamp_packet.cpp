#include "tool/wire/stamp_packet.hpp"

#include "tool/wire/packet_fields.hpp"
#include "tool/wire/stamp_time.hpp"

namespace {

// In authenticated mode twelve must-be-zero bytes follow the sequence
// number and the time comes after them; in unauthenticated mode the time
// itself follows the sequence number.  A long packet with the first
// pattern is taken for authenticated.
bool looks_authenticated(field_reader* in) {
    if (in->length < stamp_authenticated_length) return false;
    return fields_all_zero(in, 4, 12) && !fields_all_zero(in, 16, 8);
}

int longer(int a, int b) { return a > b ? a : b; }

}  // namespace

int stamp_build_request(unsigned char* buffer, int size, int length, uint32_t sequence, int64_t t1_ns,
                        uint16_t error_estimate, uint16_t ssid) {
    if (length < stamp_packet_length) return stamp_too_short;
    field_writer out = fields_to_write(buffer, size);
    if (out.failed || length > size) return stamp_no_room;
    fields_write_u32(&out, stamp_sequence_offset, sequence);
    fields_write_u64(&out, stamp_timestamp_offset, stamp_timestamp_from_ns(t1_ns, error_estimate));
    fields_write_u16(&out, stamp_error_offset, error_estimate);
    fields_write_u16(&out, stamp_ssid_offset, ssid);
    fields_write_zeros(&out, stamp_request_mbz_offset, length - stamp_request_mbz_offset);
    return out.failed ? stamp_no_room : length;
}

int stamp_parse_request(const unsigned char* data, int length, stamp_request* out) {
    *out = stamp_request{};
    out->length = length;
    field_reader in = fields_to_read(data, length);
    if (in.failed || length < stamp_twamp_light_shortest) return stamp_too_short;
    if (looks_authenticated(&in)) return stamp_authenticated;
    // RFC 8762 reads a shorter (TWAMP-Light) packet as if zero-filled.
    unsigned char head[stamp_packet_length] = {};
    int present = length < stamp_packet_length ? length : stamp_packet_length;
    fields_read_bytes(&in, 0, head, present);
    field_reader r = fields_to_read(head, stamp_packet_length);
    out->sequence = fields_read_u32(&r, stamp_sequence_offset);
    out->timestamp = fields_read_u64(&r, stamp_timestamp_offset);
    out->error_estimate = fields_read_u16(&r, stamp_error_offset);
    out->ssid = fields_read_u16(&r, stamp_ssid_offset);
    out->mbz_nonzero = !fields_all_zero(&r, stamp_request_mbz_offset, stamp_request_mbz_size);
    out->zero_filled = length < stamp_packet_length;
    return in.failed || r.failed ? stamp_too_short : 0;
}

int stamp_set_send_time(unsigned char* packet, int length, int64_t ns) {
    field_reader in = fields_to_read(packet, length);
    uint16_t error_estimate = fields_read_u16(&in, stamp_error_offset);
    if (in.failed) return stamp_too_short;
    field_writer out = fields_to_write(packet, length);
    fields_write_u64(&out, stamp_timestamp_offset, stamp_timestamp_from_ns(ns, error_estimate));
    return out.failed ? stamp_too_short : 0;
}

int stamp_build_reply(const stamp_request* request, const unsigned char* request_data, const stamp_reflection* r,
                      unsigned char* reply, int reply_size) {
    int length = longer(request->length, stamp_packet_length);
    field_writer out = fields_to_write(reply, reply_size);
    if (out.failed || length > reply_size) return stamp_no_room;
    // TLVs and padding come back as they came (in place: already there).
    if (request->length > stamp_packet_length) {
        field_reader in = fields_to_read(request_data, request->length);
        fields_copy(&out, stamp_packet_length, &in, stamp_packet_length, request->length - stamp_packet_length);
        if (in.failed) return stamp_too_short;
    }
    fields_write_u32(&out, stamp_sequence_offset, r->sequence);
    fields_write_u64(&out, stamp_timestamp_offset, 0);
    fields_write_u16(&out, stamp_error_offset, r->error_estimate);
    fields_write_u16(&out, stamp_ssid_offset, request->ssid);
    fields_write_u64(&out, stamp_receive_timestamp_offset, stamp_timestamp_from_ns(r->received_ns, r->error_estimate));
    fields_write_u32(&out, stamp_sender_sequence_offset, request->sequence);
    fields_write_u64(&out, stamp_sender_timestamp_offset, request->timestamp);
    fields_write_u16(&out, stamp_sender_error_offset, request->error_estimate);
    fields_write_zeros(&out, stamp_reply_mbz1_offset, 2);
    fields_write_u8(&out, stamp_sender_ttl_offset, static_cast<uint8_t>(r->ttl >= 0 && r->ttl <= 255 ? r->ttl : 0));
    fields_write_zeros(&out, stamp_reply_mbz2_offset, stamp_packet_length - stamp_reply_mbz2_offset);
    return out.failed ? stamp_no_room : length;
}

int stamp_parse_reply(const unsigned char* data, int length, stamp_reply* out) {
    *out = stamp_reply{};
    out->length = length;
    field_reader in = fields_to_read(data, length);
    if (in.failed || length < stamp_reply_shortest) return stamp_too_short;
    if (looks_authenticated(&in)) return stamp_authenticated;
    out->sequence = fields_read_u32(&in, stamp_sequence_offset);
    out->timestamp = fields_read_u64(&in, stamp_timestamp_offset);
    out->error_estimate = fields_read_u16(&in, stamp_error_offset);
    out->ssid = fields_read_u16(&in, stamp_ssid_offset);
    out->receive_timestamp = fields_read_u64(&in, stamp_receive_timestamp_offset);
    out->sender_sequence = fields_read_u32(&in, stamp_sender_sequence_offset);
    out->sender_timestamp = fields_read_u64(&in, stamp_sender_timestamp_offset);
    out->sender_error_estimate = fields_read_u16(&in, stamp_sender_error_offset);
    out->sender_ttl = fields_read_u8(&in, stamp_sender_ttl_offset);
    // The second must-be-zero field may be cut short by a TWAMP-Light reflector.
    int mbz2 = (length < stamp_packet_length ? length : stamp_packet_length) - stamp_reply_mbz2_offset;
    out->mbz_nonzero =
        !fields_all_zero(&in, stamp_reply_mbz1_offset, 2) || !fields_all_zero(&in, stamp_reply_mbz2_offset, mbz2);
    if (in.failed) return stamp_too_short;
    out->t1_known = stamp_timestamp_to_ns(out->sender_timestamp, out->sender_error_estimate, &out->t1_ns);
    bool t2_known = stamp_timestamp_to_ns(out->receive_timestamp, out->error_estimate, &out->t2_ns);
    bool t3_known = stamp_timestamp_to_ns(out->timestamp, out->error_estimate, &out->t3_ns);
    out->far_times_known = t2_known && t3_known && out->t3_ns >= out->t2_ns;
    return 0;
}

namespace {

void count_failure(stamp_input_counts* counts, int result) {
    switch (result) {
        case stamp_too_short: counts->too_short++; break;
        case stamp_authenticated: counts->authenticated++; break;
        case stamp_no_room: counts->no_room++; break;
        case stamp_refused_source: counts->refused_source++; break;
        default: break;
    }
}

}  // namespace

void stamp_count_request(stamp_input_counts* counts, int result, const stamp_request* request) {
    if (result < 0) {
        count_failure(counts, result);
        return;
    }
    counts->accepted++;
    if (request->mbz_nonzero) counts->mbz_nonzero++;
    if (request->zero_filled) counts->zero_filled++;
}

void stamp_count_reply(stamp_input_counts* counts, int result, const stamp_reply* reply) {
    if (result < 0) {
        count_failure(counts, result);
        return;
    }
    counts->accepted++;
    if (reply->mbz_nonzero) counts->mbz_nonzero++;
    if (!reply->far_times_known) counts->bad_timestamp++;
}
