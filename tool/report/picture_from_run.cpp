// The run picture's input from the per-probe facts and the statistics.
#include "tool/report/picture_from_run.hpp"

namespace {

uint8_t picture_reply_of(int kind) {
    switch (kind) {
        case reply_own: return picture_own;
        case reply_late: return picture_late;
        case reply_drain: return picture_drain;
        default: return picture_never;
    }
}

}  // namespace

void picture_from_run(const run_settings* settings, const probe_facts* facts, const run_statistics* stats,
                      const long_run* whole, picture_run* out) {
    picture_title& title = out->title;
    title.destination = settings->ipaddr;
    title.port = settings->ipport;
    title.sendsize = settings->sendsize;
    title.recvsize = settings->recvsize;
    title.count = settings->count;
    title.sent = stats->sent;
    title.received = stats->own + stats->late;
    title.lost = stats->never;
    title.timed = stats->rtt.count > 0;
    title.median = stats->rtt.median;
    title.p99 = stats->rtt.p99;
    if (whole != nullptr) {
        title.count = whole->cycles;
        title.sent = whole->sent;
        title.received = whole->received;
        title.lost = whole->sent - whole->received;
        title.timed = whole->total.count > 0;
        title.median = rtt_stream_percentile(&whole->total, 50);
        title.p99 = rtt_stream_percentile(&whole->total, 99);
    }

    // The probes are drawn over the run's time, from the first send, on the
    // monotonic clock (the calendar may step); every reply has its round
    // trip, from the probe's send to the reply's arrival, whichever cycle
    // took it.
    out->probes = facts->count < picture_probes_max ? facts->count : picture_probes_max;
    int first = 0;
    while (first < out->probes && facts->sent[first] == 0) first++;
    out->by_time = first < out->probes;
    for (int i = 0; i < out->probes; i++) {
        picture_probe& p = out->probe[i];
        p.index = i;
        p.sent = facts->sent[i];
        p.sent_at = p.sent != 0 && out->by_time ? facts->sent_mono[i] - facts->sent_mono[first] : -1.0;
        p.reply = picture_reply_of(facts->kind[i]);
        p.rtt = p.sent != 0 && facts->kind[i] != reply_never ? facts->rtt[i] : -1.0;
        p.copies = facts->copies[i];
    }
}
