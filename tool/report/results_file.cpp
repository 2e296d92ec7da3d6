// CSV and JSON results of a sender run.
#include "tool/report/results_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/output.hpp"
#include "platform/stop_request.hpp"
#include "tool/report/oneway_report.hpp"

int results_open(const char* path, results_file* out) {
    out->is_stdout = std::strcmp(path, "-") == 0;
    out->temporary[0] = '\0';
    if (out->is_stdout) {
        out->file = stdout;
        return 0;
    }
    std::size_t length = strnlen(path, results_path_size);
    if (length >= results_path_size) return ENAMETOOLONG;
    std::memcpy(out->path, path, length + 1);
    out->file = platform::file_begin(out->path, out->temporary, sizeof out->temporary);
    if (out->file == nullptr) return errno != 0 ? errno : EIO;
    // Should a second signal end the run before the file is complete, the
    // half-written temporary file goes with it.
    if (out->temporary[0] != '\0') platform::stop_request_remove_on_kill(out->temporary);
    return 0;
}

namespace {

// Flushes, closes a real file (putting it in its place), and reports the
// first failure seen.
int finish(results_file* target) {
    int error = 0;
    if (target->is_stdout) {
        if (std::fflush(target->file) != 0 || std::ferror(target->file)) error = errno != 0 ? errno : EIO;
    } else {
        error = platform::file_commit(target->file, target->path, target->temporary, true);
        platform::stop_request_keep(target->temporary);
    }
    target->file = nullptr;
    return error;
}

double ratio_percent(const echomark_record* record) {
    if (record->sendpkts <= 0) return 0.0;
    return static_cast<double>(record->recvpkts) * 100.0 / static_cast<double>(record->sendpkts);
}

// CSV field: quoted, with inner quotes doubled.
void csv_text(std::FILE* out, const char* text) {
    std::fputc('"', out);
    for (const char* c = text; *c != '\0'; c++) {
        if (*c == '"') std::fputc('"', out);
        std::fputc(*c, out);
    }
    std::fputc('"', out);
}

void csv_int(std::FILE* out, const char* name, int value) { std::fprintf(out, "%s,%d\n", name, value); }

void csv_seconds(std::FILE* out, const char* name, double value, bool present) {
    if (present) {
        std::fprintf(out, "%s,%.9f\n", name, value);
    } else {
        std::fprintf(out, "%s,\n", name);
    }
}

// JSON string: quotes, backslashes and every byte outside printable ASCII
// escaped, so the document is valid whatever the text holds.
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

void json_seconds(std::FILE* out, double value, bool present) {
    // JSON has no infinity (a time-out of "inf" passes the parser).
    if (present && std::isfinite(value)) {
        std::fprintf(out, "%.9f", value);
    } else {
        std::fputs("null", out);
    }
}

}  // namespace

int results_close(results_file* target) { return finish(target); }

int results_write_csv(results_file* target, const run_results* results) {
    std::FILE* out = target->file;
    const echomark_record* record = results->record;
    const probe_facts* facts = results->facts;
    const run_settings* settings = results->settings;
    const run_statistics* stats = results->stats;
    const rtt_figures& rtt = stats->rtt;

    std::fputs("index,sent,stime,rtime,reply,replies,rtt,sent_at", out);
    if (results->schedule != nullptr) schedule_csv_columns(out);
    if (results->oneway != nullptr) oneway_csv_columns(out);
    std::fputc('\n', out);
    for (int i = 0; i < facts->count; i++) {
        std::fprintf(out, "%d,%d,%.9f,%.9f,%s,%d,", i, facts->sent[i], record->Stime[i], record->Rtime[i],
                     reply_kind_name(facts->kind[i]), facts->copies[i]);
        if (facts->kind[i] != reply_never) std::fprintf(out, "%.9f", facts->rtt[i]);
        std::fputc(',', out);
        // Calendar seconds: a double holds them to about a microsecond.
        if (facts->sent[i] != 0) std::fprintf(out, "%.6f", facts->sent_at[i]);
        if (results->schedule != nullptr) schedule_csv_row(out, results->schedule, facts, i);
        if (results->oneway != nullptr) oneway_csv_row(out, results->oneway, i);
        std::fputc('\n', out);
    }

    std::fputs("\nname,value\n", out);
    std::fputs("address,", out);
    csv_text(out, settings->ipaddr);
    std::fputc('\n', out);
    csv_int(out, "port", settings->ipport);
    csv_int(out, "count", settings->count);
    csv_int(out, "sendsize", settings->sendsize);
    csv_int(out, "recvsize", settings->recvsize);
    csv_seconds(out, "timeout", settings->timeout, true);
    csv_seconds(out, "interval", settings->interval, true);
    csv_int(out, "precise", settings->precise ? 1 : 0);
    csv_int(out, "sendpkts", record->sendpkts);
    csv_int(out, "recvpkts", record->recvpkts);
    csv_int(out, "lastpkts", record->lastpkts);
    csv_seconds(out, "ratio", ratio_percent(record), record->sendpkts > 0);
    csv_int(out, "sent", stats->sent);
    csv_int(out, "own", stats->own);
    csv_int(out, "late", stats->late);
    csv_int(out, "late_cycle", stats->late_cycle);
    csv_int(out, "late_drain", stats->late_drain);
    csv_int(out, "never", stats->never);
    csv_int(out, "duplicates", stats->duplicates);
    csv_int(out, "foreign", stats->foreign);
    csv_int(out, "rtt_count", rtt.count);
    bool timed = rtt.count > 0;
    csv_seconds(out, "rtt_min", rtt.min, timed);
    csv_seconds(out, "rtt_mean", rtt.mean, timed);
    csv_seconds(out, "rtt_median", rtt.median, timed);
    csv_seconds(out, "rtt_max", rtt.max, timed);
    csv_seconds(out, "rtt_stddev", rtt.stddev, timed);
    csv_seconds(out, "rtt_p90", rtt.p90, timed);
    csv_seconds(out, "rtt_p99", rtt.p99, timed);
    csv_seconds(out, "jitter", rtt.jitter, rtt.jitter_pairs > 0);
    if (results->schedule != nullptr) schedule_csv_summary(out, results->schedule);
    if (results->oneway != nullptr) oneway_csv_summary(out, results->oneway);
    return finish(target);
}

int results_write_json(results_file* target, const run_results* results) {
    std::FILE* out = target->file;
    const echomark_record* record = results->record;
    const probe_facts* facts = results->facts;
    const run_settings* settings = results->settings;
    const run_statistics* stats = results->stats;
    const rtt_figures& rtt = stats->rtt;
    bool timed = rtt.count > 0;

    std::fputs("{\n  \"settings\": {\"address\": ", out);
    json_text(out, settings->ipaddr);
    std::fprintf(out,
                 ", \"port\": %d, \"count\": %d, \"sendsize\": %d, \"recvsize\": %d, \"timeout\": ", settings->ipport,
                 settings->count, settings->sendsize, settings->recvsize);
    json_seconds(out, settings->timeout, true);
    std::fputs(", \"interval\": ", out);
    json_seconds(out, settings->interval, true);
    std::fprintf(out, ", \"precise\": %s},\n", settings->precise ? "true" : "false");

    std::fprintf(out,
                 "  \"summary\": {\"sendpkts\": %d, \"recvpkts\": %d, \"lastpkts\": %d, \"ratio\": ", record->sendpkts,
                 record->recvpkts, record->lastpkts);
    json_seconds(out, ratio_percent(record), record->sendpkts > 0);
    std::fprintf(out,
                 ",\n    \"sent\": %d, \"own\": %d, \"late\": %d, \"late_cycle\": %d, \"late_drain\": %d, "
                 "\"never\": %d, \"duplicates\": %d, \"foreign\": %d,\n    \"rtt\": {\"count\": %d",
                 stats->sent, stats->own, stats->late, stats->late_cycle, stats->late_drain, stats->never,
                 stats->duplicates, stats->foreign, rtt.count);
    const struct {
        const char* name;
        double value;
        bool present;
    } figures[] = {
        {"min", rtt.min, timed},       {"mean", rtt.mean, timed},
        {"median", rtt.median, timed}, {"max", rtt.max, timed},
        {"stddev", rtt.stddev, timed}, {"p90", rtt.p90, timed},
        {"p99", rtt.p99, timed},       {"jitter", rtt.jitter, rtt.jitter_pairs > 0},
    };
    for (const auto& figure : figures) {
        std::fprintf(out, ", \"%s\": ", figure.name);
        json_seconds(out, figure.value, figure.present);
    }
    std::fputc('}', out);
    if (results->schedule != nullptr) schedule_json_summary(out, results->schedule);
    if (results->oneway != nullptr) oneway_json_summary(out, results->oneway);
    std::fputs("},\n  \"probes\": [", out);

    for (int i = 0; i < facts->count; i++) {
        std::fprintf(out,
                     "%s\n    {\"index\": %d, \"sent\": %s, \"stime\": %.9f, \"rtime\": %.9f, \"reply\": \"%s\", "
                     "\"replies\": %d, \"rtt\": ",
                     i == 0 ? "" : ",", i, facts->sent[i] ? "true" : "false", record->Stime[i], record->Rtime[i],
                     reply_kind_name(facts->kind[i]), facts->copies[i]);
        json_seconds(out, facts->rtt[i], facts->kind[i] != reply_never);
        std::fputs(", \"sent_at\": ", out);
        if (facts->sent[i] != 0) {
            std::fprintf(out, "%.6f", facts->sent_at[i]);
        } else {
            std::fputs("null", out);
        }
        if (results->schedule != nullptr) schedule_json_probe(out, results->schedule, facts, i);
        if (results->oneway != nullptr) oneway_json_probe(out, results->oneway, i);
        std::fputc('}', out);
    }
    std::fputs(facts->count > 0 ? "\n  ]\n}\n" : "]\n}\n", out);
    return finish(target);
}
