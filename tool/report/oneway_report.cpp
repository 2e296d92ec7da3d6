// Reports of the far end's times.
#include "tool/report/oneway_report.hpp"

#include <cinttypes>
#include <cmath>

#include "tool/log/step_log.hpp"

namespace {

bool stamp_wire(const oneway_figures* f) { return f->setup.wire == oneway_wire_stamp; }

// "synchronized" when every reply with times said so, "unsynchronized"
// when none did, "mixed" between.
const char* clock_word(int64_t synchronized, int64_t of) {
    if (synchronized == of) return "synchronized";
    return synchronized == 0 ? "unsynchronized" : "mixed";
}

// A header field over the replies: "64", "60..64", or "-" when never known.
void range_text(int64_t seen, uint8_t low, uint8_t high, char* text, int size) {
    if (seen == 0) {
        std::snprintf(text, static_cast<std::size_t>(size), "-");
    } else if (low == high) {
        std::snprintf(text, static_cast<std::size_t>(size), "%u", low);
    } else {
        std::snprintf(text, static_cast<std::size_t>(size), "%u..%u", low, high);
    }
}

// Nanoseconds since 1970 as a whole number: a double would lose them.
void put_ns(std::FILE* out, int64_t ns) { std::fprintf(out, "%" PRId64, ns); }

// A figure of the summary, as the CSV and JSON files write it.
struct figure {
    const char* name;
    double value;
    bool present;
    bool whole;  // a count: written without decimals
};

constexpr int summary_figures = 56;

void summary_of(const oneway_figures* f, figure (&out)[summary_figures]) {
    const oneway_summary& s = f->summary;
    auto count = [](int64_t value) { return static_cast<double>(value); };
    const bool timed = s.points > 0;
    const bool lost = s.loss_known;
    const bool trusted = oneway_figures_trusted(f);
    const figure figures[summary_figures] = {
        {"replies", count(f->replies), true, true},
        {"far_times", count(f->with_times), true, true},
        {"trusted", trusted ? 1.0 : 0.0, true, true},
        {"near_synchronized", count(f->near_synchronized), true, true},
        {"far_synchronized", count(f->far_synchronized), true, true},
        {"error_bound", f->error_bound, trusted && std::isfinite(f->error_bound), false},
        {"offset", f->offset, timed, false},
        {"out_min", s.out_min, timed, false},
        {"out_median", s.out_median, timed, false},
        {"out_p99", s.out_p99, timed, false},
        {"out_max", s.out_max, timed, false},
        {"out_mean", s.out_mean, timed, false},
        {"out_ipdv", s.out_ipdv, f->out.jitter_pairs > 0, false},
        {"back_min", s.back_min, timed, false},
        {"back_median", s.back_median, timed, false},
        {"back_p99", s.back_p99, timed, false},
        {"back_max", s.back_max, timed, false},
        {"back_mean", s.back_mean, timed, false},
        {"back_ipdv", s.back_ipdv, f->back.jitter_pairs > 0, false},
        {"far_min", s.far_min, timed, false},
        {"far_median", s.far_median, timed, false},
        {"far_max", s.far_max, timed, false},
        {"net_median", s.net_median, timed, false},
        {"out_drift", s.out_slope, timed, false},
        {"back_drift", s.back_slope, timed, false},
        {"queue_out_median", s.queue_out_median, timed, false},
        {"queue_out_p99", s.queue_out_p99, timed, false},
        {"queue_out_max", s.queue_out_max, timed, false},
        {"queue_back_median", s.queue_back_median, timed, false},
        {"queue_back_p99", s.queue_back_p99, timed, false},
        {"queue_back_max", s.queue_back_max, timed, false},
        {"loss_span", count(s.loss_span), lost, true},
        {"far_received", count(s.far_received), lost, true},
        {"loss_out", count(s.loss_out), lost, true},
        {"loss_back", count(s.loss_back), lost, true},
        {"ttl_sent", count(f->setup.ttl_sent), f->setup.ttl_sent_known, true},
        {"ttl_out_min", count(f->ttl_out_min), f->ttl_out_seen > 0, true},
        {"ttl_out_max", count(f->ttl_out_max), f->ttl_out_seen > 0, true},
        {"ttl_back_min", count(f->ttl_back_min), f->ttl_back_seen > 0, true},
        {"ttl_back_max", count(f->ttl_back_max), f->ttl_back_seen > 0, true},
        {"tos_sent", count(f->setup.tos_sent), f->setup.tos_sent_known, true},
        {"tos_out_min", count(f->tos_out_min), f->tos_out_seen > 0, true},
        {"tos_out_max", count(f->tos_out_max), f->tos_out_seen > 0, true},
        {"tos_back_min", count(f->tos_back_min), f->tos_back_seen > 0, true},
        {"tos_back_max", count(f->tos_back_max), f->tos_back_seen > 0, true},
        {"dscp_remarked", count(f->dscp_remarked), true, true},
        {"ecn_changed", count(f->ecn_changed), true, true},
        {"unknown_replies", count(f->unknown_number), true, true},
        {"too_short", count(f->too_short), true, true},
        {"authenticated", count(f->authenticated), true, true},
        {"other_session", count(f->other_session), true, true},
        {"bad_times", count(f->bad_times), true, true},
        {"mbz_nonzero", count(f->mbz_nonzero), true, true},
        {"points", count(s.points), true, true},
        {"sample_stride", count(f->stride), true, true},
        {"far_asked", f->setup.far_asked ? 1.0 : 0.0, true, true},
    };
    for (int k = 0; k < summary_figures; k++) out[k] = figures[k];
}

void write_value(std::FILE* out, const figure& f, const char* absent) {
    if (!f.present || !std::isfinite(f.value)) {
        std::fputs(absent, out);
    } else if (f.whole) {
        std::fprintf(out, "%.0f", f.value);
    } else {
        std::fprintf(out, "%.9f", f.value);
    }
}

// The values of probe i in column order; `absent` where unknown.
void probe_values(std::FILE* out, const oneway_figures* f, int i, const char* separator, const char* const* names,
                  const char* absent) {
    const oneway_probe* p = i >= 0 && i < f->count ? &f->probe[i] : nullptr;
    const uint8_t flags = p != nullptr ? p->flags : 0;
    const bool replied = (flags & oneway_has_reply) != 0;
    const bool timed = (flags & oneway_has_times) != 0;
    double queue_out = 0.0, queue_back = 0.0;
    const bool queued = oneway_probe_queueing(f, i, &queue_out, &queue_back);
    int column = 0;
    auto next = [&]() {
        std::fputs(separator, out);
        if (names != nullptr) std::fprintf(out, "\"%s\": ", names[column]);
        column++;
    };
    auto ns = [&](bool known, int64_t value) {
        next();
        if (known) {
            put_ns(out, value);
        } else {
            std::fputs(absent, out);
        }
    };
    auto seconds = [&](bool known, double value) {
        next();
        if (known && std::isfinite(value)) {
            std::fprintf(out, "%.9f", value);
        } else {
            std::fputs(absent, out);
        }
    };
    auto whole = [&](bool known, unsigned value) {
        next();
        if (known) {
            std::fprintf(out, "%u", value);
        } else {
            std::fputs(absent, out);
        }
    };
    ns(p != nullptr && p->t1_ns != 0, p != nullptr ? p->t1_ns : 0);
    ns(timed, timed ? p->t2_ns : 0);
    ns(timed, timed ? p->t3_ns : 0);
    ns(replied, replied ? p->t4_ns : 0);
    seconds(timed, timed ? static_cast<double>(p->t2_ns - p->t1_ns) / 1e9 : 0.0);
    seconds(timed, timed ? static_cast<double>(p->t4_ns - p->t3_ns) / 1e9 : 0.0);
    seconds(timed, timed ? static_cast<double>(p->t3_ns - p->t2_ns) / 1e9 : 0.0);
    seconds(queued, queue_out);
    seconds(queued, queue_back);
    whole((flags & oneway_has_count) != 0, p != nullptr ? p->far_count : 0);
    whole(timed, (flags & oneway_far_synchronized) != 0 ? 1 : 0);
    seconds(timed, p != nullptr ? static_cast<double>(p->far_error) : 0.0);
    whole((flags & oneway_has_ttl_out) != 0, p != nullptr ? p->ttl_out : 0);
    whole((flags & oneway_has_ttl_back) != 0, p != nullptr ? p->ttl_back : 0);
    whole((flags & oneway_has_tos_out) != 0, p != nullptr ? p->tos_out : 0);
    whole((flags & oneway_has_tos_back) != 0, p != nullptr ? p->tos_back : 0);
}

const char* const column_names[] = {"t1_ns",   "t2_ns",     "t3_ns",      "t4_ns",     "out",      "back",
                                    "far",     "queue_out", "queue_back", "far_count", "far_sync", "far_error",
                                    "ttl_out", "ttl_back",  "tos_out",    "tos_back"};

void print_delays(const char* direction, double min, double median, double p99, double max, double mean, double ipdv,
                  bool trusted, std::FILE* out) {
    std::fprintf(out, "stats(): oneway %s min=%.9f median=%.9f p99=%.9f max=%.9f mean=%.9f ipdv=%.9f [s]%s\n",
                 direction, min, median, p99, max, mean, ipdv,
                 trusted ? "" : " (clocks not synchronized: holds the offset)");
}

void print_clocks(const oneway_figures* f, std::FILE* out) {
    const bool trusted = oneway_figures_trusted(f);
    std::fprintf(out, "stats(): oneway clocks ours=%s far=%s offset=%+.9f [s] trusted=%s",
                 clock_word(f->near_synchronized, f->with_times), clock_word(f->far_synchronized, f->with_times),
                 f->offset, trusted ? "yes" : "no");
    if (trusted && std::isfinite(f->error_bound)) {
        std::fprintf(out, " error<=%.9f [s]\n", f->error_bound);
    } else if (trusted) {
        std::fputs(" error=- (the far end gives no bound)\n", out);
    } else {
        std::fputs(" (the far clock less ours, at the least round trip)\n", out);
    }
}

void print_loss(const oneway_figures* f, std::FILE* out) {
    const oneway_summary& s = f->summary;
    if (s.loss_known) {
        std::fprintf(out,
                     "stats(): oneway loss out=%" PRId64 " back=%" PRId64 " of %" PRId64
                     " probes from the first answered to the last (the far end received %" PRId64 ")\n",
                     s.loss_out, s.loss_back, s.loss_span, s.far_received);
    } else if (stamp_wire(f) && f->counted > 0) {
        std::fputs(
            "stats(): oneway loss out=- back=- (the reflector's numbers are ours: it keeps no count, or lost none "
            "on the way out)\n",
            out);
    } else {
        std::fputs("stats(): oneway loss out=- back=- (the far end gave no count)\n", out);
    }
}

void print_headers(const oneway_figures* f, std::FILE* out) {
    char sent[8] = "-", received[16], back[16];
    if (f->setup.ttl_sent_known) std::snprintf(sent, sizeof sent, "%u", f->setup.ttl_sent);
    range_text(f->ttl_out_seen, f->ttl_out_min, f->ttl_out_max, received, sizeof received);
    range_text(f->ttl_back_seen, f->ttl_back_min, f->ttl_back_max, back, sizeof back);
    std::fprintf(out, "stats(): oneway ttl out sent=%s received=%s", sent, received);
    if (f->setup.ttl_sent_known && f->ttl_out_seen > 0 && f->ttl_out_min == f->ttl_out_max &&
        f->ttl_out_min <= f->setup.ttl_sent) {
        std::fprintf(out, " (hops=%d)", f->setup.ttl_sent - f->ttl_out_min);
    }
    std::fprintf(out, " back received=%s\n", back);

    std::snprintf(sent, sizeof sent, "-");
    if (f->setup.tos_sent_known) std::snprintf(sent, sizeof sent, "%u", f->setup.tos_sent);
    range_text(f->tos_out_seen, f->tos_out_min, f->tos_out_max, received, sizeof received);
    range_text(f->tos_back_seen, f->tos_back_min, f->tos_back_max, back, sizeof back);
    std::fprintf(out, "stats(): oneway tos out sent=%s received=%s", sent, received);
    if (f->dscp_remarked > 0) {
        std::fprintf(out, " (remarked: %" PRId64 " probes)", f->dscp_remarked);
    } else if (f->ecn_changed > 0) {
        std::fprintf(out, " (ECN changed: %" PRId64 " probes)", f->ecn_changed);
    } else if (f->tos_out_seen == 0) {
        std::fputs(stamp_wire(f) ? " (a STAMP reflector does not say)" : "", out);
    }
    std::fprintf(out, " back received=%s\n", back);
}

}  // namespace

void print_oneway_interval_line(oneway_figures* oneway, const long_run* run, double now, std::FILE* out) {
    if (oneway == nullptr) return;
    const oneway_interval& i = oneway->interval;
    char stamp[stamp_size];
    std::fprintf(out, "every(): %s t=%.3f oneway replies=%" PRId64 " times=%" PRId64, stamp_now(stamp),
                 now - run->started, i.replies, i.with_times);
    if (i.with_times == 0) {
        std::fputs(" out mean=- queue=- back mean=- queue=- far mean=-\n", out);
    } else {
        const double n = static_cast<double>(i.with_times);
        std::fprintf(out, " out mean=%.9f queue=%.9f back mean=%.9f queue=%.9f far mean=%.9f [s]\n", i.out_sum / n,
                     i.out_sum / n - oneway->out.min, i.back_sum / n, i.back_sum / n - oneway->back.min, i.far_sum / n);
    }
    std::fflush(out);
    oneway_figures_interval_done(oneway);
}

void oneway_statistics_print(const oneway_figures* oneway, std::FILE* out) {
    const oneway_figures* f = oneway;
    const oneway_summary& s = f->summary;
    std::fprintf(out, "stats(): oneway format=%s replies=%" PRId64 " far_times=%" PRId64 "\n",
                 stamp_wire(f) ? "stamp" : "probe", f->replies, f->with_times);
    if (!f->setup.far_asked) {
        std::fputs("stats(): oneway far-end times not asked for: the replies asked for are too short to carry them\n",
                   out);
    } else if (f->with_times == 0) {
        std::fputs(stamp_wire(f) ? "stats(): oneway no far-end stamps came: no answer carried the reflector's times\n"
                                 : "stats(): oneway no far-end stamps came: the far end does not fill them (a plain "
                                   "echo, or a responder that does not know the flag)\n",
                   out);
    } else {
        const bool trusted = oneway_figures_trusted(f);
        print_clocks(f, out);
        print_delays("out", s.out_min, s.out_median, s.out_p99, s.out_max, s.out_mean, s.out_ipdv, trusted, out);
        print_delays("back", s.back_min, s.back_median, s.back_p99, s.back_max, s.back_mean, s.back_ipdv, trusted, out);
        std::fprintf(out, "stats(): oneway far min=%.9f median=%.9f max=%.9f [s] net median=%.9f [s]\n", s.far_min,
                     s.far_median, s.far_max, s.net_median);
        std::fprintf(out,
                     "stats(): oneway queue out median=%.9f p99=%.9f max=%.9f back median=%.9f p99=%.9f max=%.9f "
                     "[s] drift out=%+.3f back=%+.3f [ppm]%s\n",
                     s.queue_out_median, s.queue_out_p99, s.queue_out_max, s.queue_back_median, s.queue_back_p99,
                     s.queue_back_max, s.out_slope * 1e6, s.back_slope * 1e6,
                     s.points < f->with_times ? " (from a sample spread over the run)" : "");
    }
    print_loss(f, out);
    print_headers(f, out);
    if (stamp_wire(f) || f->unknown_number > 0) {
        std::fprintf(out,
                     "stats(): oneway replies unknown=%" PRId64 " too_short=%" PRId64 " authenticated=%" PRId64
                     " other_session=%" PRId64 " bad_times=%" PRId64 " mbz_nonzero=%" PRId64 "\n",
                     f->unknown_number, f->too_short, f->authenticated, f->other_session, f->bad_times, f->mbz_nonzero);
    }
}

void oneway_csv_columns(std::FILE* out) {
    for (const char* name : column_names) std::fprintf(out, ",%s", name);
}

void oneway_csv_row(std::FILE* out, const oneway_figures* oneway, int i) {
    probe_values(out, oneway, i, ",", nullptr, "");
}

void oneway_csv_summary(std::FILE* out, const oneway_figures* oneway) {
    std::fprintf(out, "oneway_format,%s\n", stamp_wire(oneway) ? "stamp" : "probe");
    figure figures[summary_figures];
    summary_of(oneway, figures);
    for (const figure& f : figures) {
        std::fprintf(out, "oneway_%s,", f.name);
        write_value(out, f, "");
        std::fputc('\n', out);
    }
}

void oneway_json_probe(std::FILE* out, const oneway_figures* oneway, int i) {
    probe_values(out, oneway, i, ", ", column_names, "null");
}

void oneway_json_summary(std::FILE* out, const oneway_figures* oneway) {
    std::fprintf(out, ",\n    \"oneway\": {\"format\": \"%s\"", stamp_wire(oneway) ? "stamp" : "probe");
    figure figures[summary_figures];
    summary_of(oneway, figures);
    for (const figure& f : figures) {
        std::fprintf(out, ", \"%s\": ", f.name);
        write_value(out, f, "null");
    }
    std::fputc('}', out);
}
