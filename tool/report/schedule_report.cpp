// Reports of a scheduled run.
#include "tool/report/schedule_report.hpp"

#include <cinttypes>
#include <cmath>

#include "tool/log/step_log.hpp"

namespace {

double percentile(const rtt_stream* stream, double percent) { return rtt_stream_percentile(stream, percent); }

// What became of probe i; waiting for a probe the window never handed back.
int outcome_of(const scheduled_probes* p, int i) { return p->retired[i] != 0 ? p->outcome[i] : int{outcome_waiting}; }

const char* shape_name(int shape) { return shape == schedule_shape_poisson ? "poisson" : "fixed"; }

// A figure of the summary: its name and value, or no value when it does not exist.
struct figure {
    const char* name;
    double value;
    bool present;
    bool whole;  // a count: written without decimals
};

// The summary figures, in the order both files write them.
constexpr int summary_figures = 26;
void summary_of(const schedule_results* results, figure (&out)[summary_figures]) {
    const schedule_figures* f = results->figures;
    const schedule_setup& setup = results->probes->setup;
    auto count = [](int64_t value) { return static_cast<double>(value); };
    const bool timed = f->ipdv.count > 0;
    const bool lagged = f->lag.count > 0;
    const figure figures[summary_figures] = {
        {"send_interval", setup.interval, true, false},
        {"rate", 1.0 / setup.interval, true, false},
        {"achieved_rate", scheduled_probes_rate(results->probes), results->probes->left >= 2, false},
        {"window", count(setup.window_slots), true, true},
        {"probes", count(f->retired), true, true},
        {"answered", count(f->answered), true, true},
        {"lost", count(f->lost), true, true},
        {"loss", schedule_figures_loss_percent(f), f->answered + f->lost > 0, false},
        {"cut_short", count(f->cut_short), true, true},
        {"stopped", count(f->stopped), true, true},
        {"unsent", count(f->unsent), true, true},
        {"late_replies", count(f->late), true, true},
        {"duplicate_replies", count(f->duplicates), true, true},
        {"unknown_replies", count(f->unknown), true, true},
        {"reordered", count(f->reordered), true, true},
        {"reordered_ratio", schedule_figures_reordered_percent(f), f->arrivals > 0, false},
        {"reorder_extent_max", count(f->extent_max), true, true},
        {"reorder_extent_mean", schedule_figures_extent_mean(f), f->reordered > 0, false},
        {"loss_periods", count(f->loss_periods), true, true},
        {"loss_period_mean", schedule_figures_loss_period_mean(f), f->loss_periods > 0, false},
        {"loss_period_longest", count(f->loss_longest), true, true},
        {"ipdv_median", percentile(&f->ipdv, 50), timed, false},
        {"ipdv_p99", percentile(&f->ipdv, 99), timed, false},
        {"lag_median", percentile(&f->lag, 50), lagged, false},
        {"lag_p99", percentile(&f->lag, 99), lagged, false},
        {"lag_max", f->lag.max, lagged, false},
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

}  // namespace

void print_scheduled_interval_line(const long_run* run, const scheduled_probes* probes, double now, std::FILE* out) {
    char stamp[stamp_size];
    std::fprintf(out, "every(): %s t=%.3f sent=%lld received=%lld loss=%.3f[%%]", stamp_now(stamp), now - run->started,
                 static_cast<long long>(run->interval_sent), static_cast<long long>(run->interval_received),
                 loss_percent(run->interval_sent, run->interval_received));
    if (run->interval.count == 0) {
        std::fputs(" rtt median=- p99=-", out);
    } else {
        std::fprintf(out, " rtt median=%.9f p99=%.9f [s]", percentile(&run->interval, 50),
                     percentile(&run->interval, 99));
    }
    if (probes->interval_lag.count == 0) {
        std::fputs(" lag p99=- max=-\n", out);
    } else {
        std::fprintf(out, " lag p99=%.9f max=%.9f [s]\n", percentile(&probes->interval_lag, 99),
                     probes->interval_lag.max);
    }
    std::fflush(out);
}

void schedule_statistics_print(const schedule_results* results, std::FILE* out) {
    const schedule_figures* f = results->figures;
    const schedule_setup& setup = results->probes->setup;
    std::fprintf(out, "stats(): schedule=%s interval=%.9f [s] rate=%.3f [1/s]", shape_name(setup.shape),
                 setup.interval, 1.0 / setup.interval);
    if (setup.shape == schedule_shape_poisson) std::fprintf(out, " seed=%" PRIu64, setup.seed);
    std::fprintf(out, " window=%d\n", setup.window_slots);
    if (results->probes->left >= 2) {
        std::fprintf(out, "stats(): achieved rate=%.3f [1/s] over %.6f [s]\n", scheduled_probes_rate(results->probes),
                     results->probes->last_leaving - results->probes->first_leaving);
    }
    std::fprintf(out,
                 "stats(): probes=%lld answered=%lld lost=%lld loss=%.3f[%%] (cut_short=%lld) stopped=%lld "
                 "unsent=%lld\n",
                 static_cast<long long>(f->retired), static_cast<long long>(f->answered),
                 static_cast<long long>(f->lost), schedule_figures_loss_percent(f),
                 static_cast<long long>(f->cut_short), static_cast<long long>(f->stopped),
                 static_cast<long long>(f->unsent));
    std::fprintf(out, "stats(): replies late=%lld duplicates=%lld unknown=%lld\n", static_cast<long long>(f->late),
                 static_cast<long long>(f->duplicates), static_cast<long long>(f->unknown));
    std::fprintf(out, "stats(): loss periods=%lld mean=%.3f longest=%lld\n", static_cast<long long>(f->loss_periods),
                 schedule_figures_loss_period_mean(f), static_cast<long long>(f->loss_longest));
    std::fprintf(out, "stats(): reordered=%lld ratio=%.3f[%%] extent max=%lld mean=%.3f%s\n",
                 static_cast<long long>(f->reordered), schedule_figures_reordered_percent(f),
                 static_cast<long long>(f->extent_max), schedule_figures_extent_mean(f),
                 f->extent_beyond > 0 ? " (at least: beyond the arrivals remembered)" : "");
    if (f->ipdv.count == 0) {
        std::fputs("stats(): ipdv count=0\n", out);
    } else {
        std::fprintf(out, "stats(): ipdv count=%lld median=%.9f p99=%.9f [s] (|IPDV|, percentiles within 1.1 %%)\n",
                     static_cast<long long>(f->ipdv.count), percentile(&f->ipdv, 50), percentile(&f->ipdv, 99));
    }
    if (f->lag.count == 0) {
        std::fputs("stats(): lag count=0\n", out);
    } else {
        std::fprintf(out, "stats(): lag median=%.9f p99=%.9f max=%.9f [s]\n", percentile(&f->lag, 50),
                     percentile(&f->lag, 99), f->lag.max);
    }
}

void schedule_csv_columns(std::FILE* out) { std::fputs(",scheduled,send_time,arrival_order,outcome", out); }

void schedule_csv_row(std::FILE* out, const schedule_results* results, const probe_facts* facts, int i) {
    const scheduled_probes* p = results->probes;
    std::fprintf(out, ",%.9f,", p->scheduled[i] - p->setup.start);
    if (facts->sent[i] != 0) std::fprintf(out, "%.9f", facts->sent_mono[i] - p->setup.start);
    std::fputc(',', out);
    if (p->arrival_order[i] >= 0) std::fprintf(out, "%" PRId64, p->arrival_order[i]);
    std::fprintf(out, ",%s", probe_outcome_name(outcome_of(p, i)));
}

void schedule_csv_summary(std::FILE* out, const schedule_results* results) {
    std::fprintf(out, "schedule,%s\n", shape_name(results->probes->setup.shape));
    std::fputs("seed,", out);
    if (results->probes->setup.shape == schedule_shape_poisson) std::fprintf(out, "%" PRIu64, results->probes->setup.seed);
    std::fputc('\n', out);
    figure figures[summary_figures];
    summary_of(results, figures);
    for (const figure& f : figures) {
        std::fprintf(out, "%s,", f.name);
        write_value(out, f, "");
        std::fputc('\n', out);
    }
}

void schedule_json_probe(std::FILE* out, const schedule_results* results, const probe_facts* facts, int i) {
    const scheduled_probes* p = results->probes;
    std::fprintf(out, ", \"scheduled\": %.9f, \"send_time\": ", p->scheduled[i] - p->setup.start);
    if (facts->sent[i] != 0) {
        std::fprintf(out, "%.9f", facts->sent_mono[i] - p->setup.start);
    } else {
        std::fputs("null", out);
    }
    std::fputs(", \"arrival_order\": ", out);
    if (p->arrival_order[i] >= 0) {
        std::fprintf(out, "%" PRId64, p->arrival_order[i]);
    } else {
        std::fputs("null", out);
    }
    std::fprintf(out, ", \"outcome\": \"%s\"", probe_outcome_name(outcome_of(p, i)));
}

void schedule_json_summary(std::FILE* out, const schedule_results* results) {
    const schedule_setup& setup = results->probes->setup;
    std::fprintf(out, ",\n    \"schedule\": {\"shape\": \"%s\", \"seed\": ", shape_name(setup.shape));
    if (setup.shape == schedule_shape_poisson) {
        std::fprintf(out, "%" PRIu64, setup.seed);
    } else {
        std::fputs("null", out);
    }
    figure figures[summary_figures];
    summary_of(results, figures);
    for (const figure& f : figures) {
        std::fprintf(out, ", \"%s\": ", f.name);
        write_value(out, f, "null");
    }
    std::fputc('}', out);
}
