// The run report of a sender run: one line per probe with its two times,
// and the summary lines the sender also closes its log with.
#pragma once

#include "tool/record/measurement_record.hpp"

// "main(): i=%06d Stime=%.6f Rtime=%.6f" for the first `count` probes (at
// most the record's slots), then the summary under "main():".
void print_report(const echomark_record* record, int count);

// The summary of a sender run, each line under `who`: probes sent, replies
// received, the last probe number plus one, and the ratio in percent.
void print_summary(const char* who, const echomark_record* record);
