// The interval line of --every=.
#include "tool/report/interval_line.hpp"

#include "tool/log/step_log.hpp"

void print_interval_line(const long_run* run, double now, std::FILE* out) {
    char stamp[stamp_size];
    std::fprintf(out, "every(): %s t=%.3f sent=%lld received=%lld loss=%.3f[%%]", stamp_now(stamp), now - run->started,
                 static_cast<long long>(run->interval_sent), static_cast<long long>(run->interval_received),
                 loss_percent(run->interval_sent, run->interval_received));
    if (run->interval.count == 0) {
        std::fputs(" rtt median=- p99=-\n", out);
    } else {
        std::fprintf(out, " rtt median=%.9f p99=%.9f [s]\n", rtt_stream_percentile(&run->interval, 50),
                     rtt_stream_percentile(&run->interval, 99));
    }
    std::fflush(out);
}
