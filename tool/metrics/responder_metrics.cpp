// The responder's families.
#include "tool/metrics/responder_metrics.hpp"

namespace {

constexpr const char* reasons[responder_refusal_kinds] = {
    "own_address", "port_zero", "loop", "budget", "too_large", "max_reply", "unproven",
};

struct count_family {
    const char* name;
    const char* help;
    uint64_t responder_metrics::*field;
};

constexpr count_family count_families[] = {
    {"echomark_responder_datagrams_total", "Datagrams received.", &responder_metrics::datagrams},
    {"echomark_responder_replies_total", "Replies sent.", &responder_metrics::replies},
    {"echomark_responder_received_bytes_total", "Bytes of the datagrams received.", &responder_metrics::received_bytes},
    {"echomark_responder_sent_bytes_total", "Bytes of the replies sent.", &responder_metrics::sent_bytes},
    {"echomark_responder_receive_errors_total", "Receives that failed.", &responder_metrics::receive_errors},
    {"echomark_responder_send_errors_total", "Replies whose send failed.", &responder_metrics::send_errors},
};

}  // namespace

void responder_metrics_write(prom_writer* writer, const responder_metrics* metrics) {
    for (const count_family& family : count_families) {
        prom_family(writer, family.name, prom_counter, family.help);
        prom_sample_count(writer, family.name, nullptr, 0, metrics->*family.field);
    }
    constexpr const char* refused = "echomark_responder_refused_total";
    prom_family(writer, refused, prom_counter, "Datagrams left without a reply by a safety rule, by rule.");
    for (int i = 0; i < responder_refusal_kinds; i++) {
        prom_label reason = {"reason", reasons[i]};
        prom_sample_count(writer, refused, &reason, 1, metrics->refused[i]);
    }
}

void responder_metrics_write_stamp(prom_writer* writer, const stamp_input_counts* counts) {
    constexpr const char* requests = "echomark_responder_stamp_requests_total";
    prom_family(writer, requests, prom_counter, "STAMP test packets, by what became of them.");
    const struct {
        const char* result;
        uint64_t count;
    } results[] = {
        {"answered", counts->accepted},
        {"too_short", counts->too_short},
        {"authenticated", counts->authenticated},
        {"reflector_port", counts->refused_source},
        {"no_room", counts->no_room},
    };
    for (const auto& r : results) {
        prom_label result = {"result", r.result};
        prom_sample_count(writer, requests, &result, 1, r.count);
    }
    const struct {
        const char* name;
        const char* help;
        uint64_t count;
    } notes[] = {
        {"echomark_responder_stamp_zero_filled_total", "Short TWAMP-Light test packets answered as if zero-filled.",
         counts->zero_filled},
        {"echomark_responder_stamp_mbz_nonzero_total", "Test packets answered whose must-be-zero bytes were not zero.",
         counts->mbz_nonzero},
        {"echomark_responder_stamp_sessions_evicted_total",
         "Sessions a stateful reflector pushed out of its table; each counts again from 0.", counts->sessions_evicted},
    };
    for (const auto& n : notes) {
        prom_family(writer, n.name, prom_counter, n.help);
        prom_sample_count(writer, n.name, nullptr, 0, n.count);
    }
}

responder_refusal responder_refusal_of(guard_verdict verdict) {
    switch (verdict) {
        case guard_own_address: return refusal_own_address;
        case guard_port_zero: return refusal_port_zero;
        case guard_loop: return refusal_loop;
        case guard_budget: return refusal_budget;
        case guard_answer: break;
    }
    return responder_refusal_kinds;
}

const char* responder_refusal_reason(responder_refusal refusal) {
    if (refusal < 0 || refusal >= responder_refusal_kinds) return "";
    return reasons[refusal];
}
