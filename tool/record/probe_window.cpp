// Probes in flight in a ring of fixed size: a reply from the network can
// only ever touch the one slot its probe number maps to, and only while that
// slot still holds that probe.
#include "tool/record/probe_window.hpp"

#include <cmath>
#include <cstring>

namespace {

bool positive_finite(double value) { return std::isfinite(value) && value > 0.0; }

probe_slot* slot_of(probe_window* window, int64_t probe) {
    return &window->slot[probe & static_cast<int64_t>(window->size - 1)];
}

int take_slot(probe_window* window, int64_t probe, double scheduled, double sent, probe_outcome outcome) {
    if (probe != window->next) return -1;
    if (window->next - window->oldest >= window->size) return -2;
    probe_slot* slot = slot_of(window, probe);
    std::memset(slot, 0, sizeof *slot);
    slot->probe = probe;
    slot->scheduled = scheduled;
    slot->sent = sent;
    slot->arrival_order = -1;
    slot->outcome = outcome;
    window->next += 1;
    if (outcome == outcome_waiting) window->unanswered += 1;
    return 0;
}

void add_copy(probe_slot* slot) {
    if (slot->copies < UINT32_MAX) slot->copies += 1;
}

// Hands out the oldest probe, with `unanswered` as its outcome if it has no reply.
void retire_oldest(probe_window* window, probe_outcome unanswered, probe_slot* retired) {
    probe_slot* slot = slot_of(window, window->oldest);
    if (slot->outcome == outcome_waiting) {
        slot->outcome = unanswered;
        window->unanswered -= 1;
    }
    slot->retired = true;
    window->oldest += 1;
    *retired = *slot;
}

}  // namespace

int32_t probe_window_slots_for(double rate, double timeout) {
    if (!positive_finite(rate) || !positive_finite(timeout)) return -1;
    const double needed = 2.0 * rate * (timeout + probe_window_margin);
    if (!(needed <= probe_window_max_slots)) return -1;
    int32_t slots = probe_window_min_slots;
    while (slots < needed) slots *= 2;
    return slots;
}

int probe_window_init(probe_window* window, probe_slot* storage, int32_t slots, double timeout) {
    std::memset(window, 0, sizeof *window);
    if (storage == nullptr || slots < probe_window_min_slots || slots > probe_window_max_slots ||
        (slots & (slots - 1)) != 0 || !positive_finite(timeout)) {
        return -1;
    }
    window->slot = storage;
    window->size = slots;
    window->timeout = timeout;
    for (int32_t i = 0; i < slots; i++) {
        std::memset(&storage[i], 0, sizeof storage[i]);
        storage[i].probe = -1;
        storage[i].arrival_order = -1;
    }
    return 0;
}

int probe_window_sent(probe_window* window, int64_t probe, double scheduled, double sent) {
    return take_slot(window, probe, scheduled, sent, outcome_waiting);
}

int probe_window_send_failed(probe_window* window, int64_t probe, double scheduled) {
    return take_slot(window, probe, scheduled, 0.0, outcome_unsent);
}

int64_t probe_window_unwrap(const probe_window* window, uint32_t wire) {
    if (window->next <= 0) return -1;
    const int64_t latest = window->next - 1;
    const uint32_t behind = static_cast<uint32_t>(static_cast<uint64_t>(latest)) - wire;
    const int64_t probe = latest - static_cast<int64_t>(behind);
    return probe >= 0 ? probe : -1;
}

window_verdict probe_window_reply(probe_window* window, int64_t probe, double arrival) {
    const probe_slot* slot = probe_window_find(window, probe);
    return probe_window_reply_timed(window, probe, arrival, slot != nullptr ? arrival - slot->sent : 0.0);
}

window_verdict probe_window_reply_timed(probe_window* window, int64_t probe, double arrival, double rtt) {
    // Only the probes of the last `size` sends still have their slot.
    if (probe < 0 || probe >= window->next || window->next - probe > window->size) return window_unknown;
    probe_slot* slot = slot_of(window, probe);
    if (slot->probe != probe) return window_unknown;
    switch (slot->outcome) {
        case outcome_answered:
        case outcome_late: add_copy(slot); return window_copy;
        case outcome_waiting:
        case outcome_lost:
        case outcome_stopped: break;
        default:  // never left, or cut short (its slot is about to be reused)
            return window_unknown;
    }
    const bool in_time = slot->outcome == outcome_waiting && arrival - slot->sent <= window->timeout;
    if (slot->outcome == outcome_waiting) window->unanswered -= 1;
    add_copy(slot);
    slot->arrival = arrival;
    slot->rtt = rtt > 0.0 ? rtt : 0.0;
    if (!in_time) {
        slot->outcome = outcome_late;
        return window_late;
    }
    slot->outcome = outcome_answered;
    slot->arrival_order = window->replies++;
    return window_first;
}

const probe_slot* probe_window_find(const probe_window* window, int64_t probe) {
    if (probe < window->oldest || probe >= window->next) return nullptr;
    const probe_slot* slot = &window->slot[probe & static_cast<int64_t>(window->size - 1)];
    return slot->probe == probe ? slot : nullptr;
}

bool probe_window_retire_due(probe_window* window, double now, probe_slot* retired) {
    if (window->oldest >= window->next) return false;
    const probe_slot* slot = slot_of(window, window->oldest);
    if (slot->outcome != outcome_unsent && now < slot->sent + window->timeout) return false;
    retire_oldest(window, outcome_lost, retired);
    return true;
}

bool probe_window_make_room(probe_window* window, probe_slot* retired) {
    if (window->next - window->oldest < window->size) return false;
    retire_oldest(window, outcome_cut_short, retired);
    return true;
}

bool probe_window_retire_early(probe_window* window, probe_slot* retired) {
    if (window->oldest >= window->next) return false;
    retire_oldest(window, outcome_stopped, retired);
    return true;
}
