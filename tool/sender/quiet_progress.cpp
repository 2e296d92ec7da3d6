// Progress line of a quiet sender run.
#include "tool/sender/quiet_progress.hpp"

#include <unistd.h>

#include <cstdio>

#include "utillib/utils.hpp"

namespace {
constexpr int bar_width = 40;
}

void quiet_progress_begin(quiet_progress* progress, bool quiet) {
    progress->enabled = quiet && isatty(STDOUT_FILENO) == 1;
    progress->shown = false;
    progress->last_percent = -1;
}

void quiet_progress_update(quiet_progress* progress, int done, int total, int sendpkts, int recvpkts) {
    if (!progress->enabled || total <= 0) return;
    int percent = static_cast<int>(static_cast<long long>(done) * 100 / total);
    if (percent == progress->last_percent && done != total) return;
    progress->last_percent = percent;
    char text[64];
    std::snprintf(text, sizeof text, "i=%06d S=%06d R=%06d", done, sendpkts, recvpkts);
    utillib::showstatusprogress("echomark_connect():", text, done, total, bar_width);
    progress->shown = true;
}

void quiet_progress_end(quiet_progress* progress) {
    if (progress->shown) {
        std::putchar('\n');
        std::fflush(stdout);
    }
    progress->shown = false;
}
