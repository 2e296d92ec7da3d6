// Figures of several flows taken together.
#include "tool/record/rtt_stream_merge.hpp"

#include <algorithm>

void rtt_stream_merge(rtt_stream* into, const rtt_stream* from) {
    if (from->count == 0) return;
    if (into->count == 0) {
        const double previous = into->previous;
        *into = *from;
        into->previous = previous;
        return;
    }
    const double n_into = static_cast<double>(into->count);
    const double n_from = static_cast<double>(from->count);
    const double total = n_into + n_from;
    const double delta = from->mean - into->mean;
    into->mean += delta * n_from / total;
    into->m2 += from->m2 + delta * delta * n_into * n_from / total;
    into->count += from->count;
    into->min = std::min(into->min, from->min);
    into->max = std::max(into->max, from->max);
    into->jitter_sum += from->jitter_sum;
    into->jitter_pairs += from->jitter_pairs;
    for (int i = 0; i < rtt_stream_buckets; i++) into->buckets[i] += from->buckets[i];
}

void schedule_figures_merge(schedule_figures* into, const schedule_figures* from) {
    int64_t schedule_figures::* const sums[] = {
        &schedule_figures::retired,    &schedule_figures::answered,  &schedule_figures::lost,
        &schedule_figures::cut_short,  &schedule_figures::stopped,   &schedule_figures::unsent,
        &schedule_figures::duplicates, &schedule_figures::late,      &schedule_figures::unknown,
        &schedule_figures::arrivals,   &schedule_figures::reordered, &schedule_figures::extent_sum,
        &schedule_figures::extent_beyond, &schedule_figures::loss_periods,
    };
    for (auto sum : sums) into->*sum += from->*sum;
    into->extent_max = std::max(into->extent_max, from->extent_max);
    into->loss_longest = std::max(into->loss_longest, from->loss_longest);
    rtt_stream_merge(&into->rtt, &from->rtt);
    rtt_stream_merge(&into->ipdv, &from->ipdv);
    rtt_stream_merge(&into->lag, &from->lag);
}
