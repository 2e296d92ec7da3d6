// Long sender runs in fixed memory.  The interval line is meant for a
// monitoring check that reads the output as it comes.
#include "tool/record/long_run.hpp"

#include <algorithm>
#include <cstring>

#include "tool/record/measurement_record.hpp"
#include "tool/log/step_log.hpp"

long_run echomarklong;

namespace {

// Loss in percent of what left; late replies to earlier probes can make
// the count of replies larger than the count of probes.
double loss_percent(int64_t sent, int64_t received) {
    if (sent <= 0) return 0.0;
    double lost = static_cast<double>(sent - received) * 100.0 / static_cast<double>(sent);
    return std::clamp(lost, 0.0, 100.0);
}

void print_rtt(const rtt_stream* stream, std::FILE* out) {
    if (stream->count == 0) {
        std::fputs(" rtt median=- p99=-\n", out);
        return;
    }
    std::fprintf(out, " rtt median=%.9f p99=%.9f [s]\n", rtt_stream_percentile(stream, 50),
                 rtt_stream_percentile(stream, 99));
}

}  // namespace

void long_run_begin(long_run* run, bool active, double duration, double every, double now) {
    std::memset(run, 0, sizeof *run);
    run->active = active;
    run->started = now;
    run->deadline = duration > 0.0 ? now + duration : 0.0;
    run->every = every;
    run->next_line = every > 0.0 ? now + every : 0.0;
    run->highest_sent = -1;
}

bool long_run_over(const long_run* run, double now) { return run->deadline > 0.0 && now >= run->deadline; }

void long_run_tick(long_run* run, double now, std::FILE* out) {
    if (run->every <= 0.0 || now < run->next_line) return;
    char stamp[stamp_size];
    std::fprintf(out, "every(): %s t=%.3f sent=%lld received=%lld loss=%.3f[%%]", stamp_now(stamp), now - run->started,
                 static_cast<long long>(run->interval_sent), static_cast<long long>(run->interval_received),
                 loss_percent(run->interval_sent, run->interval_received));
    print_rtt(&run->interval, out);
    std::fflush(out);
    run->interval_sent = 0;
    run->interval_received = 0;
    rtt_stream_reset(&run->interval);
    // A cycle longer than the interval gives one line, not a burst of empty ones.
    while (run->next_line <= now) run->next_line += run->every;
}

void long_run_sent(long_run* run, int probe, double leaving) {
    run->sent += 1;
    run->interval_sent += 1;
    if (probe >= echomark_slots) {
        run->highest_sent = probe;
        run->leaving[probe % long_run_window] = leaving;
        run->answered[(probe % long_run_window) / 32] &= ~(1U << (probe % 32));
    }
}

bool long_run_first_beyond(long_run* run, int probe) {
    if (probe < echomark_slots || probe > run->highest_sent || run->highest_sent - probe >= long_run_window) {
        return false;
    }
    uint32_t& word = run->answered[(probe % long_run_window) / 32];
    uint32_t bit = 1U << (probe % 32);
    if ((word & bit) != 0) return false;
    word |= bit;
    return true;
}

double long_run_leaving(const long_run* run, int probe) { return run->leaving[probe % long_run_window]; }

void long_run_received(long_run* run, double rtt) {
    run->received += 1;
    run->interval_received += 1;
    if (rtt >= 0.0) {
        rtt_stream_add(&run->total, rtt);
        rtt_stream_add(&run->interval, rtt);
    }
}

void long_run_print_stats(const long_run* run, std::FILE* out) {
    std::fprintf(out, "stats(): cycles=%lld sent=%lld received=%lld loss=%.3f[%%] (every probe; the table keeps %d)\n",
                 static_cast<long long>(run->cycles), static_cast<long long>(run->sent),
                 static_cast<long long>(run->received), loss_percent(run->sent, run->received), echomark_slots);
    const rtt_stream& rtt = run->total;
    std::fprintf(out, "stats(): rtt count=%lld\n", static_cast<long long>(rtt.count));
    if (rtt.count == 0) return;
    std::fprintf(out, "stats(): rtt min=%.9f mean=%.9f median=%.9f max=%.9f [s]\n", rtt.min, rtt.mean,
                 rtt_stream_percentile(&rtt, 50), rtt.max);
    std::fprintf(out, "stats(): rtt stddev=%.9f p90=%.9f p99=%.9f [s] (percentiles within 1.1 %%)\n",
                 rtt_stream_stddev(&rtt), rtt_stream_percentile(&rtt, 90), rtt_stream_percentile(&rtt, 99));
    if (rtt.jitter_pairs > 0) {
        std::fprintf(out, "stats(): jitter=%.9f [s] over %lld pairs\n",
                     rtt.jitter_sum / static_cast<double>(rtt.jitter_pairs), static_cast<long long>(rtt.jitter_pairs));
    }
}
