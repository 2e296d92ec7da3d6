// Figures of several flows taken together: the round-trip streams and the
// scheduled-run figures of each flow added into one, for a target's line
// and the whole run's.
#pragma once

#include "tool/record/rtt_stream.hpp"
#include "tool/record/schedule_figures.hpp"

// Adds `from` into `into`: counts, extremes and buckets add up, the mean and
// the spread combine exactly (the pairwise update of Chan et al.), and so do
// the sums behind the jitter.  The latest value stays `into`'s.
void rtt_stream_merge(rtt_stream* into, const rtt_stream* from);

// Adds the figures of one flow into those of several (start from
// schedule_figures_reset): the counts add up, the longest loss period and
// the largest reordering extent are the largest of any flow, the streams
// merge.  What only makes sense in one flow's probe order (the in-order
// arrivals remembered, the loss period going on, the previous probe) is
// left as reset.
void schedule_figures_merge(schedule_figures* into, const schedule_figures* from);
