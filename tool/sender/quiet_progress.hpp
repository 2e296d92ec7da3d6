// The one progress line of a quiet sender run on a terminal.
#pragma once

struct quiet_progress {
    bool enabled;      // --quiet and standard output is a terminal
    bool shown;        // a progress line is on the screen
    int last_percent;  // the share last drawn, so a long run redraws at most 101 times
};

// Enables the line when the run is quiet and standard output is a terminal.
void quiet_progress_begin(quiet_progress* progress, bool quiet);
// Redraws the line after cycle `done` of `total` when its share changed.
void quiet_progress_update(quiet_progress* progress, int done, int total, int sendpkts, int recvpkts);
// Ends the line, so the lines after it start on their own.
void quiet_progress_end(quiet_progress* progress);
