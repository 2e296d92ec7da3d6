// The sender's families: one family at a time, every flow within it, as the
// text format wants a family's samples together.
#include "tool/metrics/sender_metrics.hpp"

#include <cstddef>
#include <cstdio>

#include "tool/metrics/rtt_buckets.hpp"

namespace {

// The counters, each read from its flow record by a member pointer.
struct count_family {
    const char* name;
    const char* help;
    uint64_t sender_flow_metrics::*field;
};

constexpr count_family count_families[] = {
    {"echomark_sender_probes_sent_total", "Probes that left for the target on this flow.",
     &sender_flow_metrics::probes_sent},
    {"echomark_sender_replies_total", "First replies to probes of this flow.", &sender_flow_metrics::replies},
    {"echomark_sender_lost_total", "Probes whose wait ended without a reply.", &sender_flow_metrics::lost},
    {"echomark_sender_duplicate_replies_total", "Further copies of replies already counted.",
     &sender_flow_metrics::duplicates},
    {"echomark_sender_reordered_replies_total", "First replies that came after a reply to a later probe.",
     &sender_flow_metrics::reordered},
};

// The two labels of a flow; `flow_text` must outlive the labels.
struct flow_labels {
    char flow_text[12];
    prom_label labels[2];
};

void labels_of(const sender_flow_metrics* flow, flow_labels* out) {
    std::snprintf(out->flow_text, sizeof out->flow_text, "%d", flow->flow);
    out->labels[0] = {"target", flow->target != nullptr ? flow->target : ""};
    out->labels[1] = {"flow", out->flow_text};
}

bool any_one_way(const sender_metrics* metrics) {
    for (int i = 0; i < metrics->flow_count; i++) {
        if (metrics->flows[i].one_way) return true;
    }
    return false;
}

// A histogram family over the flows; `pick` chooses each flow's stream, and
// a flow without one is left out.
void histogram_family(prom_writer* writer, const sender_metrics* metrics, const char* name, const char* help,
                      const rtt_stream* (*pick)(const sender_flow_metrics*)) {
    prom_family(writer, name, prom_histogram, help);
    for (int i = 0; i < metrics->flow_count; i++) {
        const rtt_stream* stream = pick(&metrics->flows[i]);
        if (stream == nullptr) continue;
        flow_labels labels;
        labels_of(&metrics->flows[i], &labels);
        rtt_buckets buckets;
        rtt_buckets_from_stream(stream, &buckets);
        prom_buckets view = rtt_buckets_view(&buckets);
        prom_histogram_sample(writer, name, labels.labels, 2, &view);
    }
}

const rtt_stream* round_trip_of(const sender_flow_metrics* flow) { return flow->round_trip; }
const rtt_stream* forward_of(const sender_flow_metrics* flow) { return flow->one_way ? flow->forward : nullptr; }
const rtt_stream* backward_of(const sender_flow_metrics* flow) { return flow->one_way ? flow->backward : nullptr; }

}  // namespace

void sender_metrics_write(prom_writer* writer, const sender_metrics* metrics) {
    if (metrics->flow_count > 0 && metrics->flows == nullptr) return;
    for (const count_family& family : count_families) {
        prom_family(writer, family.name, prom_counter, family.help);
        for (int i = 0; i < metrics->flow_count; i++) {
            flow_labels labels;
            labels_of(&metrics->flows[i], &labels);
            prom_sample_count(writer, family.name, labels.labels, 2, metrics->flows[i].*family.field);
        }
    }
    histogram_family(writer, metrics, "echomark_sender_round_trip_seconds",
                     "Round trips of first replies, from just before the send to the reply's arrival.", round_trip_of);
    if (!any_one_way(metrics)) return;
    histogram_family(writer, metrics, "echomark_sender_forward_delay_seconds",
                     "One-way delay of probes to the far end, on the two hosts' synchronized clocks.", forward_of);
    histogram_family(writer, metrics, "echomark_sender_backward_delay_seconds",
                     "One-way delay of replies from the far end, on the two hosts' synchronized clocks.", backward_of);
    prom_family(writer, "echomark_sender_far_end_received_total", prom_counter,
                "Probes of this flow that the far end counted as received.");
    for (int i = 0; i < metrics->flow_count; i++) {
        if (!metrics->flows[i].one_way) continue;
        flow_labels labels;
        labels_of(&metrics->flows[i], &labels);
        prom_sample_count(writer, "echomark_sender_far_end_received_total", labels.labels, 2,
                          metrics->flows[i].far_received);
    }
}
