// Reports of a run of many targets and flows.
#include "tool/report/fleet_report.hpp"

#include <cinttypes>
#include <cmath>
#include <cstring>

#include "tool/log/step_log.hpp"
#include "tool/record/rtt_stream_merge.hpp"
#include "tool/report/flow_apart.hpp"

namespace {

double percentile(const rtt_stream* stream, double percent) { return rtt_stream_percentile(stream, percent); }

const run_flow* flow_of(const run_targets* targets, int t, int j) { return &targets->flow[t * targets->flows + j]; }

// What stands apart, as a file writes it: "", "loss", "delay" or "loss+delay".
const char* apart_text(const flow_apart& apart) {
    if (apart.loss && apart.delay) return "loss+delay";
    if (apart.loss) return "loss";
    if (apart.delay) return "delay";
    return "";
}

// --- one record of the files: a target, or one of its flows ----------------------------

struct row {
    const char* target;
    const char* address;
    int port;
    int flow;  // -1: the target's flows together
    int source_port;
    int64_t sent;
    const schedule_figures* figures;
    const char* apart;
};

struct column {
    const char* name;
    double value;
    bool present;
    bool whole;  // a count: written without decimals
};

constexpr int row_columns = 26;

void columns_of(const row& r, column (&out)[row_columns]) {
    const schedule_figures* f = r.figures;
    auto count = [](int64_t value) { return static_cast<double>(value); };
    const bool timed = f->rtt.count > 0;
    const bool varied = f->ipdv.count > 0;
    const bool lagged = f->lag.count > 0;
    const column columns[row_columns] = {
        {"sent", count(r.sent), true, true},
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
        {"loss_periods", count(f->loss_periods), true, true},
        {"loss_period_longest", count(f->loss_longest), true, true},
        {"rtt_count", count(f->rtt.count), true, true},
        {"rtt_min", f->rtt.min, timed, false},
        {"rtt_median", percentile(&f->rtt, 50), timed, false},
        {"rtt_mean", f->rtt.mean, timed, false},
        {"rtt_p99", percentile(&f->rtt, 99), timed, false},
        {"rtt_max", f->rtt.max, timed, false},
        {"ipdv_median", percentile(&f->ipdv, 50), varied, false},
        {"ipdv_p99", percentile(&f->ipdv, 99), varied, false},
        {"lag_median", percentile(&f->lag, 50), lagged, false},
        {"lag_p99", percentile(&f->lag, 99), lagged, false},
        {"lag_max", f->lag.max, lagged, false},
    };
    for (int k = 0; k < row_columns; k++) out[k] = columns[k];
}

void write_value(std::FILE* out, const column& c, const char* absent) {
    if (!c.present || !std::isfinite(c.value)) {
        std::fputs(absent, out);
    } else if (c.whole) {
        std::fprintf(out, "%.0f", c.value);
    } else {
        std::fprintf(out, "%.9f", c.value);
    }
}

// A JSON string: quotes, backslashes and every byte outside printable
// ASCII escaped (a label holds host characters only, but a file is valid
// whatever it holds).
void json_text(std::FILE* out, const char* text) {
    std::fputc('"', out);
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; c++) {
        if (*c == '"' || *c == '\\') {
            std::fputc('\\', out);
            std::fputc(*c, out);
        } else if (*c < 0x20 || *c >= 0x7F) {
            std::fprintf(out, "\\u%04x", *c);
        } else {
            std::fputc(*c, out);
        }
    }
    std::fputc('"', out);
}

void csv_row(std::FILE* out, const row& r) {
    std::fprintf(out, "%s,%s,%d,", r.target, r.address, r.port);
    if (r.flow < 0) {
        std::fputs("all,,", out);
    } else {
        std::fprintf(out, "%d,%d", r.flow, r.source_port);
        std::fputc(',', out);
    }
    column columns[row_columns];
    columns_of(r, columns);
    for (const column& c : columns) {
        write_value(out, c, "");
        std::fputc(',', out);
    }
    std::fprintf(out, "%s\n", r.apart);
}

void json_figures(std::FILE* out, const row& r) {
    column columns[row_columns];
    columns_of(r, columns);
    for (int k = 0; k < row_columns; k++) {
        std::fprintf(out, "%s\"%s\": ", k == 0 ? "" : ", ", columns[k].name);
        write_value(out, columns[k], "null");
    }
}

row target_row(const fleet_results* results, int t) {
    const run_target& target = results->targets->target[t];
    target_figures_of(results->targets, t, results->scratch);
    return {target.label, target.address_text, target.port, -1, 0, results->scratch->sent,
            &results->scratch->figures, ""};
}

row flow_row(const fleet_results* results, int t, int j, const flow_apart& apart) {
    const run_target& target = results->targets->target[t];
    const run_flow* flow = flow_of(results->targets, t, j);
    return {target.label, target.address_text, target.port,      j,
            flow->source_port, flow->record.sent, &flow->record.figures, apart_text(apart)};
}

double ratio_percent(const echomark_record* record) {
    return record->sendpkts > 0 ? static_cast<double>(record->recvpkts) * 100.0 / static_cast<double>(record->sendpkts)
                                : 0.0;
}

}  // namespace

void target_figures_of(const run_targets* targets, int t, target_figures* out) {
    out->sent = 0;
    schedule_figures_reset(&out->figures);
    for (int j = 0; j < targets->flows; j++) {
        const run_flow* flow = flow_of(targets, t, j);
        out->sent += flow->record.sent;
        schedule_figures_merge(&out->figures, &flow->record.figures);
    }
}

void print_fleet_interval_lines(const run_targets* targets, const long_run* run, double now,
                                fleet_interval_scratch* scratch, std::FILE* out) {
    char stamp[stamp_size];
    stamp_now(stamp);
    for (int t = 0; t < targets->target_count; t++) {
        int64_t sent = 0;
        int64_t received = 0;
        rtt_stream_reset(&scratch->rtt);
        rtt_stream_reset(&scratch->lag);
        for (int j = 0; j < targets->flows; j++) {
            const flow_record& record = flow_of(targets, t, j)->record;
            sent += record.interval_sent;
            received += record.interval_received;
            rtt_stream_merge(&scratch->rtt, &record.interval_rtt);
            rtt_stream_merge(&scratch->lag, &record.interval_lag);
        }
        std::fprintf(out, "every(): %s target=%s t=%.3f sent=%lld received=%lld loss=%.3f[%%]", stamp,
                     targets->target[t].label, now - run->started, static_cast<long long>(sent),
                     static_cast<long long>(received), loss_percent(sent, received));
        if (scratch->rtt.count == 0) {
            std::fputs(" rtt median=- p99=-", out);
        } else {
            std::fprintf(out, " rtt median=%.9f p99=%.9f [s]", percentile(&scratch->rtt, 50),
                         percentile(&scratch->rtt, 99));
        }
        if (scratch->lag.count == 0) {
            std::fputs(" lag p99=- max=-\n", out);
        } else {
            std::fprintf(out, " lag p99=%.9f max=%.9f [s]\n", percentile(&scratch->lag, 99), scratch->lag.max);
        }
    }
    std::fflush(out);
}

void print_fleet_closing(const fleet_results* results, std::FILE* out) {
    const run_targets* targets = results->targets;
    for (int t = 0; t < targets->target_count; t++) {
        const run_target& target = targets->target[t];
        target_figures_of(targets, t, results->scratch);
        const schedule_figures& f = results->scratch->figures;
        std::fprintf(out, "main(): target=%s address=%s sent=%lld answered=%lld lost=%lld loss=%.3f[%%]", target.label,
                     target.address_text, static_cast<long long>(results->scratch->sent),
                     static_cast<long long>(f.answered), static_cast<long long>(f.lost),
                     schedule_figures_loss_percent(&f));
        if (f.rtt.count > 0) {
            std::fprintf(out, " rtt median=%.9f [s]\n", percentile(&f.rtt, 50));
        } else {
            std::fputs(" rtt median=-\n", out);
        }
        for (int j = 0; j < targets->flows; j++) {
            const flow_apart apart = flow_apart_judge(targets, t, j);
            if (!apart.loss && !apart.delay) continue;
            std::fprintf(out, "main(): target=%s flow=%d port=%d stands apart:", target.label, j,
                         flow_of(targets, t, j)->source_port);
            if (apart.loss) std::fprintf(out, " loss=%.3f[%%] others=%.3f[%%]", apart.loss_percent, apart.others_loss_percent);
            if (apart.delay) std::fprintf(out, " rtt median=%.9f others=%.9f [s]", apart.median, apart.others_median);
            std::fputc('\n', out);
        }
    }
    std::fflush(out);
}

void print_fleet_statistics(const fleet_results* results, std::FILE* out) {
    const fleet_run_settings* s = results->settings;
    const run_targets* targets = results->targets;
    std::fprintf(out, "stats(): schedule=%s interval=%.9f [s] rate=%.3f [1/s] per target", s->poisson ? "poisson" : "fixed",
                 s->send_interval, 1.0 / s->send_interval);
    if (s->poisson) std::fprintf(out, " seed=%" PRIu64, s->seed);
    std::fprintf(out, " targets=%d flows=%d window=%d\n", targets->target_count, targets->flows, s->window);
    for (int t = 0; t < targets->target_count; t++) {
        const char* label = targets->target[t].label;
        target_figures_of(targets, t, results->scratch);
        const schedule_figures* f = &results->scratch->figures;
        std::fprintf(out,
                     "stats(): target=%s probes=%lld answered=%lld lost=%lld loss=%.3f[%%] (cut_short=%lld) "
                     "stopped=%lld unsent=%lld\n",
                     label, static_cast<long long>(f->retired), static_cast<long long>(f->answered),
                     static_cast<long long>(f->lost), schedule_figures_loss_percent(f),
                     static_cast<long long>(f->cut_short), static_cast<long long>(f->stopped),
                     static_cast<long long>(f->unsent));
        std::fprintf(out, "stats(): target=%s replies late=%lld duplicates=%lld unknown=%lld reordered=%lld ratio=%.3f[%%]\n",
                     label, static_cast<long long>(f->late), static_cast<long long>(f->duplicates),
                     static_cast<long long>(f->unknown), static_cast<long long>(f->reordered),
                     schedule_figures_reordered_percent(f));
        std::fprintf(out, "stats(): target=%s loss periods=%lld mean=%.3f longest=%lld\n", label,
                     static_cast<long long>(f->loss_periods), schedule_figures_loss_period_mean(f),
                     static_cast<long long>(f->loss_longest));
        if (f->rtt.count == 0) {
            std::fprintf(out, "stats(): target=%s rtt count=0\n", label);
        } else {
            std::fprintf(out, "stats(): target=%s rtt count=%lld min=%.9f median=%.9f p99=%.9f max=%.9f [s]\n", label,
                         static_cast<long long>(f->rtt.count), f->rtt.min, percentile(&f->rtt, 50),
                         percentile(&f->rtt, 99), f->rtt.max);
        }
        std::fprintf(out, "stats(): target=%s ipdv", label);
        if (f->ipdv.count == 0) {
            std::fputs(" count=0", out);
        } else {
            std::fprintf(out, " median=%.9f p99=%.9f [s]", percentile(&f->ipdv, 50), percentile(&f->ipdv, 99));
        }
        if (f->lag.count == 0) {
            std::fputs(" lag count=0\n", out);
        } else {
            std::fprintf(out, " lag median=%.9f p99=%.9f max=%.9f [s]\n", percentile(&f->lag, 50),
                         percentile(&f->lag, 99), f->lag.max);
        }
        if (targets->flows < 2) continue;
        for (int j = 0; j < targets->flows; j++) {
            const run_flow* flow = flow_of(targets, t, j);
            const schedule_figures* g = &flow->record.figures;
            std::fprintf(out, "stats(): target=%s flow=%d port=%d probes=%lld lost=%lld loss=%.3f[%%] reordered=%lld",
                         label, j, flow->source_port, static_cast<long long>(g->retired),
                         static_cast<long long>(g->lost), schedule_figures_loss_percent(g),
                         static_cast<long long>(g->reordered));
            if (g->rtt.count == 0) {
                std::fputs(" rtt median=- p99=-\n", out);
            } else {
                std::fprintf(out, " rtt median=%.9f p99=%.9f [s]\n", percentile(&g->rtt, 50), percentile(&g->rtt, 99));
            }
        }
    }
    std::fprintf(out, "stats(): datagrams from no target=%lld\n", static_cast<long long>(results->unknown));
}

int fleet_write_csv(results_file* target, const fleet_results* results) {
    std::FILE* out = target->file;
    const run_targets* targets = results->targets;
    std::fputs("target,address,port,flow,source_port", out);
    {
        column columns[row_columns];
        const schedule_figures empty = {};
        columns_of({"", "", 0, -1, 0, 0, &empty, ""}, columns);
        for (const column& c : columns) std::fprintf(out, ",%s", c.name);
    }
    std::fputs(",apart\n", out);
    for (int t = 0; t < targets->target_count; t++) {
        csv_row(out, target_row(results, t));
        for (int j = 0; j < targets->flows; j++) csv_row(out, flow_row(results, t, j, flow_apart_judge(targets, t, j)));
    }
    const fleet_run_settings* s = results->settings;
    const echomark_record* record = results->record;
    std::fprintf(out, "\nname,value\nschedule,%s\nseed,", s->poisson ? "poisson" : "fixed");
    if (s->poisson) std::fprintf(out, "%" PRIu64, s->seed);
    std::fprintf(out, "\nsend_interval,%.9f\nrate,%.9f\ntargets,%d\nflows,%d\nwindow,%d\ncount,%d\n", s->send_interval,
                 1.0 / s->send_interval, targets->target_count, targets->flows, s->window, s->count);
    std::fprintf(out, "sendsize,%d\nrecvsize,%d\ntimeout,%.9f\nsendpkts,%d\nrecvpkts,%d\n", s->sendsize, s->recvsize,
                 s->timeout, record->sendpkts, record->recvpkts);
    if (record->sendpkts > 0) {
        std::fprintf(out, "ratio,%.9f\n", ratio_percent(record));
    } else {
        std::fputs("ratio,\n", out);
    }
    std::fprintf(out, "unknown_datagrams,%lld\n", static_cast<long long>(results->unknown));
    return results_close(target);
}

int fleet_write_json(results_file* target, const fleet_results* results) {
    std::FILE* out = target->file;
    const run_targets* targets = results->targets;
    const fleet_run_settings* s = results->settings;
    const echomark_record* record = results->record;
    std::fprintf(out, "{\n  \"settings\": {\"schedule\": \"%s\", \"seed\": ", s->poisson ? "poisson" : "fixed");
    if (s->poisson) {
        std::fprintf(out, "%" PRIu64, s->seed);
    } else {
        std::fputs("null", out);
    }
    std::fprintf(out,
                 ", \"send_interval\": %.9f, \"rate\": %.9f, \"targets\": %d, \"flows\": %d, \"window\": %d, "
                 "\"count\": %d, \"sendsize\": %d, \"recvsize\": %d, \"timeout\": ",
                 s->send_interval, 1.0 / s->send_interval, targets->target_count, targets->flows, s->window, s->count,
                 s->sendsize, s->recvsize);
    if (std::isfinite(s->timeout)) {
        std::fprintf(out, "%.9f},\n", s->timeout);
    } else {
        std::fputs("null},\n", out);
    }
    std::fprintf(out, "  \"summary\": {\"sendpkts\": %d, \"recvpkts\": %d, \"ratio\": ", record->sendpkts,
                 record->recvpkts);
    if (record->sendpkts > 0) {
        std::fprintf(out, "%.9f", ratio_percent(record));
    } else {
        std::fputs("null", out);
    }
    std::fprintf(out, ", \"unknown_datagrams\": %lld},\n  \"targets\": [", static_cast<long long>(results->unknown));
    for (int t = 0; t < targets->target_count; t++) {
        const row whole = target_row(results, t);
        std::fputs(t == 0 ? "\n    {\"target\": " : ",\n    {\"target\": ", out);
        json_text(out, whole.target);
        std::fputs(", \"address\": ", out);
        json_text(out, whole.address);
        std::fprintf(out, ", \"port\": %d,\n     \"figures\": {", whole.port);
        json_figures(out, whole);
        std::fputs("},\n     \"flows\": [", out);
        for (int j = 0; j < targets->flows; j++) {
            const flow_apart apart = flow_apart_judge(targets, t, j);
            const row r = flow_row(results, t, j, apart);
            std::fprintf(out, "%s\n       {\"flow\": %d, \"source_port\": %d, \"apart\": ", j == 0 ? "" : ",", j,
                         r.source_port);
            if (r.apart[0] != '\0') {
                json_text(out, r.apart);
            } else {
                std::fputs("null", out);
            }
            std::fputs(", ", out);
            json_figures(out, r);
            std::fputc('}', out);
        }
        std::fputs("]}", out);
    }
    std::fputs(targets->target_count > 0 ? "\n  ]\n}\n" : "]\n}\n", out);
    return results_close(target);
}
