// The figures of a whole sender run.
#include "tool/record/long_run.hpp"

#include <algorithm>
#include <cstring>

void long_run_begin(long_run* run, bool active, double duration, double every, double now) {
    std::memset(run, 0, sizeof *run);
    run->active = active;
    run->started = now;
    run->deadline = duration > 0.0 ? now + duration : 0.0;
    run->every = every;
    run->next_line = every > 0.0 ? now + every : 0.0;
}

bool long_run_over(const long_run* run, double now) { return run->deadline > 0.0 && now >= run->deadline; }

void long_run_sent(long_run* run) {
    run->sent += 1;
    run->interval_sent += 1;
}

void long_run_received(long_run* run, double rtt) {
    run->received += 1;
    run->interval_received += 1;
    if (rtt >= 0.0) {
        rtt_stream_add(&run->total, rtt);
        rtt_stream_add(&run->interval, rtt);
    }
}

bool long_run_interval_due(const long_run* run, double now) { return run->every > 0.0 && now >= run->next_line; }

void long_run_interval_done(long_run* run, double now) {
    run->interval_sent = 0;
    run->interval_received = 0;
    rtt_stream_reset(&run->interval);
    while (run->next_line <= now) run->next_line += run->every;
}

double loss_percent(int64_t sent, int64_t received) {
    if (sent <= 0) return 0.0;
    double lost = static_cast<double>(sent - received) * 100.0 / static_cast<double>(sent);
    return std::clamp(lost, 0.0, 100.0);
}
