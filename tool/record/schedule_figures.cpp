// Streaming figures of a scheduled run.  Each event costs O(1) except a
// reordered reply, which costs a bisection over at most
// schedule_extent_memory entries (12 steps).
#include "tool/record/schedule_figures.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

int ring_index(int64_t in_order) { return static_cast<int>(in_order % schedule_extent_memory); }

// RFC 4737: a reply is reordered when its number is below NextExp; its
// extent is its arrival position minus the earliest position of a reply
// with a larger number.  That earliest reply is always an in-order one (a
// reordered reply with a larger number came after an in-order reply with a
// larger number still), so only in-order arrivals are remembered.
void count_arrival(schedule_figures* figures, int64_t probe) {
    const int64_t position = ++figures->arrivals;
    if (probe >= figures->next_expected) {
        figures->next_expected = probe + 1;
        const int at = ring_index(figures->in_order++);
        figures->in_order_position[at] = position;
        figures->in_order_probe[at] = probe;
        return;
    }
    figures->reordered += 1;
    // Bisect the remembered in-order arrivals, oldest first, for the first
    // with a larger number.  The latest has one: it set NextExp above `probe`.
    int64_t low = std::max<int64_t>(0, figures->in_order - schedule_extent_memory);
    int64_t high = figures->in_order - 1;
    const bool reaches_beyond = low > 0 && figures->in_order_probe[ring_index(low)] > probe;
    while (low < high) {
        const int64_t middle = low + (high - low) / 2;
        if (figures->in_order_probe[ring_index(middle)] > probe) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    const int64_t extent = position - figures->in_order_position[ring_index(low)];
    figures->extent_sum += extent;
    if (reaches_beyond) figures->extent_beyond += 1;
    figures->extent_max = std::max(figures->extent_max, extent);
}

void count_lost(schedule_figures* figures) {
    figures->lost += 1;
    if (figures->loss_run == 0) figures->loss_periods += 1;
    figures->loss_run += 1;
    figures->loss_longest = std::max(figures->loss_longest, figures->loss_run);
}

void count_answered(schedule_figures* figures, const probe_slot* slot) {
    figures->answered += 1;
    figures->loss_run = 0;
    rtt_stream_add(&figures->rtt, slot->rtt);
    if (figures->previous_probe >= 0 && slot->probe == figures->previous_probe + 1) {
        rtt_stream_add(&figures->ipdv, std::fabs(slot->rtt - figures->previous_rtt));
    }
    figures->previous_probe = slot->probe;
    figures->previous_rtt = slot->rtt;
}

double percent(int64_t part, int64_t whole) {
    return whole > 0 ? static_cast<double>(part) * 100.0 / static_cast<double>(whole) : 0.0;
}

}  // namespace

void schedule_figures_reset(schedule_figures* figures) {
    std::memset(figures, 0, sizeof *figures);
    figures->previous_probe = -1;
}

void schedule_figures_reply(schedule_figures* figures, window_verdict verdict, int64_t probe) {
    switch (verdict) {
        case window_first:
            if (probe >= 0) {
                count_arrival(figures, probe);
                return;
            }
            break;
        case window_copy: figures->duplicates += 1; return;
        case window_late: figures->late += 1; return;
        default: break;
    }
    figures->unknown += 1;
}

void schedule_figures_retired(schedule_figures* figures, const probe_slot* slot) {
    figures->retired += 1;
    if (slot->outcome != outcome_unsent) rtt_stream_add(&figures->lag, slot->sent - slot->scheduled);
    if (slot->outcome == outcome_answered) {
        count_answered(figures, slot);
        return;
    }
    // Any other probe breaks the chain of consecutive answered ones.
    figures->previous_probe = -1;
    switch (slot->outcome) {
        case outcome_late:
        case outcome_lost: count_lost(figures); break;
        case outcome_cut_short:
            figures->cut_short += 1;
            count_lost(figures);
            break;
        case outcome_unsent: figures->unsent += 1; break;
        default:
            // Stopped (or still waiting, which the window never hands out):
            // no verdict on it, and a loss period neither grows nor ends.
            figures->stopped += 1;
            break;
    }
}

double schedule_figures_loss_percent(const schedule_figures* figures) {
    return percent(figures->lost, figures->answered + figures->lost);
}

double schedule_figures_reordered_percent(const schedule_figures* figures) {
    return percent(figures->reordered, figures->arrivals);
}

double schedule_figures_extent_mean(const schedule_figures* figures) {
    return figures->reordered > 0 ? static_cast<double>(figures->extent_sum) / static_cast<double>(figures->reordered)
                                  : 0.0;
}

double schedule_figures_loss_period_mean(const schedule_figures* figures) {
    return figures->loss_periods > 0 ? static_cast<double>(figures->lost) / static_cast<double>(figures->loss_periods)
                                     : 0.0;
}
