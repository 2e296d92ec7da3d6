// The sender's wire formats.
#include "tool/sender/probe_format.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/clock_sync.hpp"
#include "socketlib/socket.hpp"
#include "tool/wire/packet_fields.hpp"
#include "tool/wire/probe_far_end.hpp"
#include "tool/wire/stamp_packet.hpp"
#include "tool/wire/stamp_time.hpp"

namespace {

// The kernel's word on our clock is read again after this long: its error
// bound grows between the time daemon's updates.
constexpr int64_t clock_look_ns = 1000000000;
// The probe number's field ends here: a shorter datagram names no probe.
constexpr int probe_number_end = 8;

bool is_stamp(const probe_format* f) { return f->wire == sender_wire_stamp; }

void look_at_clock(probe_format* f) {
    const int64_t now = platform::monotonic_ns();
    if (f->checked_ns >= 0 && now - f->checked_ns < clock_look_ns) return;
    const platform::clock_sync_state state = platform::clock_sync_now();
    f->synchronized = state.known && state.synchronized;
    f->error = platform::clock_sync_error_bound(&state);
    // Unsynchronized, the bound is infinite: the largest estimate, S clear.
    f->error_estimate = stamp_error_bits(stamp_error_from_seconds(f->error, f->synchronized, false));
    f->checked_ns = now;
}

// A field of our socket's probes: the value asked for, else the system's.
bool header_sent(const probe_socket* socket, int asked, int option, uint8_t* out) {
    int value = asked;
    if (value == sender_header_unset && socketlib::udp_sockoptget(socket->sock, option, &value) < 0) return false;
    if (value < 0 || value > 255) return false;
    *out = static_cast<uint8_t>(value);
    return true;
}

void stamp_header(const probe_format* f, unsigned char* probe, int64_t number) {
    field_writer out = fields_to_write(probe, f->sendsize);
    fields_write_u32(&out, stamp_sequence_offset, static_cast<uint32_t>(number));
    fields_write_u16(&out, stamp_error_offset, f->error_estimate);
}

bool read_probe(probe_format* f, const unsigned char* data, int length, bool from_destination, oneway_reply* reply) {
    if (length < probe_number_end || !from_destination) return false;
    if (f->figures == nullptr || !f->far_asked) return true;
    probe_far_end far;
    // A far end that does not know the flag echoes zeros: no times.
    if (!probe_far_end_read(data, length, &far) || far.received_ns <= 0 || far.sent_ns < far.received_ns) return true;
    reply->far_times = true;
    reply->t2_ns = far.received_ns;
    reply->t3_ns = far.sent_ns;
    reply->far_synchronized = far.clock_synchronized;
    reply->far_counts = true;
    reply->far_count = far.count;
    reply->ttl_out_known = far.ttl != 0;
    reply->ttl_out = far.ttl;
    reply->tos_out_known = true;
    reply->tos_out = far.tos;
    return true;
}

bool read_stamp(probe_format* f, const unsigned char* data, int length, bool from_destination, int32_t* number,
                oneway_reply* reply) {
    stamp_reply r;
    const int result = stamp_parse_reply(data, length, &r);
    if (result == 0) *number = static_cast<int32_t>(r.sender_sequence);
    if (!from_destination) return false;
    oneway_figures* figures = f->figures;
    if (result != 0) {
        if (figures != nullptr) {
            oneway_figures_problem(figures, result == stamp_authenticated ? oneway_authenticated : oneway_too_short);
        }
        return false;
    }
    // A reflector of RFC 8762 alone returns the SSID's bytes as zero.
    if (r.ssid != f->ssid && r.ssid != 0) {
        if (figures != nullptr) oneway_figures_problem(figures, oneway_other_session);
        return false;
    }
    if (figures != nullptr && r.mbz_nonzero) oneway_figures_problem(figures, oneway_mbz_nonzero);
    if (figures != nullptr && !r.far_times_known) oneway_figures_problem(figures, oneway_bad_times);
    const stamp_error far = stamp_error_of(r.error_estimate);
    const double far_error = stamp_error_seconds(far);
    reply->far_times = r.far_times_known;
    reply->t2_ns = r.t2_ns;
    reply->t3_ns = r.t3_ns;
    reply->far_synchronized = far.synchronized;
    reply->far_error = far_error >= 0.0 ? far_error : std::numeric_limits<double>::infinity();
    reply->far_counts = true;
    reply->count_may_copy = true;
    reply->far_count = r.sequence;
    reply->ttl_out_known = r.sender_ttl != 0;
    reply->ttl_out = r.sender_ttl;
    return true;
}

void print_setup(const probe_format* f) {
    const char* clock = f->synchronized ? "yes" : "no";
    if (f->wire == sender_wire_oneway && !f->far_asked) {
        std::printf(
            "echomark_connect(): oneway: recvsize=%d is shorter than the %d bytes that carry the far end's times: "
            "the run goes on without them\n",
            f->recvsize, probe_extension_end);
    } else if (f->wire == sender_wire_oneway) {
        std::printf("echomark_connect(): oneway: the far end's times asked for; our clock synchronized=%s\n", clock);
    } else if (is_stamp(f)) {
        std::printf(
            "echomark_connect(): stamp: session-sender, test packets of %d bytes, ssid=%u; our clock "
            "synchronized=%s error estimate=0x%04X\n",
            f->sendsize, f->ssid, clock, f->error_estimate);
    }
}

}  // namespace

void probe_format_begin(probe_format* format, const sender_settings* settings, const probe_socket* socket,
                        oneway_figures* figures, int count) {
    *format = probe_format{};
    format->wire = settings->wire;
    format->ssid = settings->ssid;
    format->sendsize = settings->sendsize;
    format->recvsize = settings->recvsize;
    format->far_asked =
        is_stamp(format) || (format->wire == sender_wire_oneway && settings->recvsize >= probe_extension_end);
    format->checked_ns = -1;
    format->figures = figures;
    if (format->wire == sender_wire_probe) return;
    look_at_clock(format);
    print_setup(format);
    if (figures == nullptr) return;
    // The reply's TTL and TOS come with it as the kernel's facts.
    platform::receive_facts_on(socket->sock);
    const bool six = socket->family == AF_INET6;
    oneway_setup setup{};
    setup.wire = is_stamp(format) ? oneway_wire_stamp : oneway_wire_probe;
    setup.far_asked = format->far_asked;
    setup.ttl_sent_known =
        header_sent(socket, settings->ttl, six ? socketlib::SOCK_OPT_HOPS : socketlib::SOCK_OPT_TTL, &setup.ttl_sent);
    setup.tos_sent_known =
        header_sent(socket, settings->tos, six ? socketlib::SOCK_OPT_TCLASS : socketlib::SOCK_OPT_TOS, &setup.tos_sent);
    oneway_figures_reset(figures, &setup, count);
}

void probe_format_build(probe_format* format, unsigned char* probe, int64_t number) {
    if (is_stamp(format)) {
        look_at_clock(format);
        // T1 follows right before the send.
        stamp_build_request(probe, datagram_buffer_size, format->sendsize, static_cast<uint32_t>(number), 0,
                            format->error_estimate, format->ssid);
        return;
    }
    data_value_set(probe, value_probe, static_cast<int32_t>(static_cast<uint32_t>(number)));
    data_value_set(probe, value_probesize, format->sendsize);
    data_value_set(probe, value_replysize, format->recvsize);
    if (format->far_asked) {
        look_at_clock(format);
        data_value_set(
            probe, value_reserved,
            static_cast<int>(static_cast<uint32_t>(data_value_get(probe, value_reserved)) | probe_ask_oneway));
    }
}

void probe_format_number(probe_format* format, unsigned char* probe, int64_t number) {
    if (is_stamp(format)) {
        look_at_clock(format);
        stamp_header(format, probe, number);
        return;
    }
    if (format->far_asked) look_at_clock(format);
    data_value_set(probe, value_probe, static_cast<int32_t>(static_cast<uint32_t>(number)));
}

void probe_format_leaving(const probe_format* format, unsigned char* probe, const platform::clock_pair& clocks) {
    if (is_stamp(format)) stamp_set_send_time(probe, format->sendsize, clocks.calendar_ns);
}

bool probe_format_read(probe_format* format, const unsigned char* data, int length, bool from_destination,
                       const platform::receive_facts* facts, int32_t* number, oneway_reply* reply) {
    *number = 0;
    *reply = oneway_reply{};
    reply->near_synchronized = format->synchronized;
    reply->near_error = format->error;
    reply->far_error = std::numeric_limits<double>::infinity();
    if (facts != nullptr) reply->back = *facts;
    if (is_stamp(format)) return read_stamp(format, data, length, from_destination, number, reply);
    if (length >= probe_number_end) *number = data_value_get(data, value_probe);
    return read_probe(format, data, length, from_destination, reply);
}
