// The sender's families: one family at a time, every flow within it, as the
// text format wants a family's samples together.
#include "tool/metrics/sender_metrics.hpp"

#include <climits>
#include <cstdio>

#include "tool/metrics/rtt_buckets.hpp"

namespace {

// One family of the sender: counters read a count of each flow, histograms
// its stream, both by member pointer.
struct family {
    const char* name;
    const char* help;
    prom_type type;
    bool one_way;  // only flows with one-way figures, and only when some flow has them
    uint64_t sender_flow_metrics::*count;
    const rtt_stream* sender_flow_metrics::*stream;
};

// The one-way families come last: a page without one-way figures ends
// before them.
constexpr family families[] = {
    {"echomark_sender_probes_sent_total", "Probes that left for the target on this flow.", prom_counter, false,
     &sender_flow_metrics::probes_sent, nullptr},
    {"echomark_sender_replies_total", "First replies to probes of this flow.", prom_counter, false,
     &sender_flow_metrics::replies, nullptr},
    {"echomark_sender_lost_total", "Probes whose wait ended without a reply.", prom_counter, false,
     &sender_flow_metrics::lost, nullptr},
    {"echomark_sender_duplicate_replies_total", "Further copies of replies already counted.", prom_counter, false,
     &sender_flow_metrics::duplicates, nullptr},
    {"echomark_sender_reordered_replies_total", "First replies that came after a reply to a later probe.", prom_counter,
     false, &sender_flow_metrics::reordered, nullptr},
    {"echomark_sender_round_trip_seconds",
     "Round trips of first replies, from just before the send to the reply's arrival.", prom_histogram, false, nullptr,
     &sender_flow_metrics::round_trip},
    {"echomark_sender_forward_delay_seconds",
     "One-way delay of probes to the far end, on the two hosts' synchronized clocks.", prom_histogram, true, nullptr,
     &sender_flow_metrics::forward},
    {"echomark_sender_backward_delay_seconds",
     "One-way delay of replies from the far end, on the two hosts' synchronized clocks.", prom_histogram, true, nullptr,
     &sender_flow_metrics::backward},
    {"echomark_sender_far_end_received_total", "Probes of this flow that the far end counted as received.",
     prom_counter, true, &sender_flow_metrics::far_received, nullptr},
};
constexpr int family_count = static_cast<int>(sizeof families / sizeof families[0]);

bool any_one_way(const sender_metrics* metrics) {
    for (int i = 0; i < metrics->flow_count; i++) {
        if (metrics->flows[i].one_way) return true;
    }
    return false;
}

// The series of one flow in one family; a flow without the figure has none.
void write_series(prom_writer* writer, const family& f, const sender_flow_metrics* flow) {
    if (f.one_way && !flow->one_way) return;
    if (f.stream != nullptr && flow->*f.stream == nullptr) return;
    char flow_text[12];
    std::snprintf(flow_text, sizeof flow_text, "%d", flow->flow);
    const prom_label labels[] = {{"target", flow->target != nullptr ? flow->target : ""}, {"flow", flow_text}};
    if (f.count != nullptr) {
        prom_sample_count(writer, f.name, labels, 2, flow->*f.count);
        return;
    }
    rtt_buckets buckets;
    rtt_buckets_from_stream(flow->*f.stream, &buckets);
    prom_buckets view = rtt_buckets_view(&buckets);
    prom_histogram_sample(writer, f.name, labels, 2, &view);
}

}  // namespace

bool sender_metrics_write_some(prom_writer* writer, const sender_metrics* metrics, sender_metrics_progress* progress,
                               int series) {
    if (metrics->flow_count > 0 && metrics->flows == nullptr) return true;
    while (progress->family < family_count) {
        const family& f = families[progress->family];
        if (!progress->family_begun) {
            if (f.one_way && !any_one_way(metrics)) break;
            prom_family(writer, f.name, f.type, f.help);
            progress->family_begun = true;
        }
        for (; progress->flow < metrics->flow_count; progress->flow++) {
            if (series-- <= 0) return false;
            write_series(writer, f, &metrics->flows[progress->flow]);
        }
        progress->family++;
        progress->flow = 0;
        progress->family_begun = false;
    }
    progress->family = family_count;
    return true;
}

void sender_metrics_write(prom_writer* writer, const sender_metrics* metrics) {
    sender_metrics_progress progress = {};
    sender_metrics_write_some(writer, metrics, &progress, INT_MAX);
}
