// The far end's times in the responder's replies: a STAMP reflector's
// answers, and the far-end fields a probe asks for with probe_ask_oneway.
// T2 is the kernel's receive stamp, T3 one calendar reading per batch taken
// right before the send, and the clock claims synchronization only when the
// kernel says it is.
#include "platform/clock.hpp"
#include "platform/clock_sync.hpp"
#include "tool/responder/responder.hpp"
#include "tool/wire/probe_far_end.hpp"
#include "tool/wire/stamp_time.hpp"

namespace {

constexpr int64_t clock_check_us = 1000000;

// The arrival on the calendar clock: the kernel's stamp, else now.
int64_t arrival_ns(const platform::datagram* io) {
    return io->facts.stamp_known ? io->facts.stamp_ns : platform::realtime_ns();
}

}  // namespace

void responder_clock_refresh(responder* r, int64_t now_us) {
    if (r->clock.checked_us >= 0 && now_us - r->clock.checked_us < clock_check_us) return;
    platform::clock_sync_state state = platform::clock_sync_now();
    r->clock.checked_us = now_us;
    r->clock.synchronized = state.known && state.synchronized;
    // Unsynchronized, the bound is infinite: the largest estimate, S clear.
    double bound = platform::clock_sync_error_bound(&state);
    r->reflector.error_estimate = stamp_error_bits(stamp_error_from_seconds(bound, r->clock.synchronized, false));
}

int responder_stamp_answer(responder* r, responder_slot* s, const platform::datagram* io, int64_t now_us) {
    responder_clock_refresh(r, now_us);
    stamp_arrival arrival = {reinterpret_cast<const sockaddr*>(&io->address), io->address_length, arrival_ns(io),
                             io->facts.ttl_known ? io->facts.ttl : -1};
    return stamp_reflect(&r->reflector, &arrival, s->data, s->recvsize, s->data, datagram_buffer_size);
}

bool responder_oneway_answer(responder* r, responder_slot* s, const platform::datagram* io, uint32_t received,
                             int64_t now_us) {
    if (s->replysize < probe_extension_end) return false;
    responder_clock_refresh(r, now_us);
    probe_far_end far = {arrival_ns(io),
                         0,
                         received,
                         io->facts.ttl_known ? io->facts.ttl : uint8_t{0},
                         io->facts.tos_known ? io->facts.tos : uint8_t{0},
                         r->clock.synchronized};
    if (!probe_far_end_write(s->data, s->replysize, &far)) return false;
    if (s->dirty < probe_extension_end) s->dirty = probe_extension_end;
    return true;
}

void responder_send_times(responder* r, int taken, platform::datagram* replies) {
    int64_t sent_ns = platform::realtime_ns();
    for (int i = 0; i < taken; i++) {
        const responder_slot* s = &r->slots[i];
        if (s->replysize < 0) continue;
        const platform::datagram* reply = &replies[s->sent_at];
        unsigned char* data = static_cast<unsigned char*>(reply->data);
        if (s->send_time == send_time_stamp) stamp_set_send_time(data, reply->size, sent_ns);
        if (s->send_time == send_time_oneway) probe_far_end_set_sent(data, reply->size, sent_ns);
    }
}
