// Per-probe facts of a scheduled run.
#include "tool/record/scheduled_probes.hpp"

#include <cstring>

namespace {

bool in_record(int64_t probe) { return probe >= 0 && probe < echomark_slots; }

}  // namespace

void scheduled_probes_reset(scheduled_probes* probes, const schedule_setup* setup) {
    std::memset(probes, 0, sizeof *probes);
    probes->setup = *setup;
    for (int64_t& order : probes->arrival_order) order = -1;
}

void scheduled_probes_due(scheduled_probes* probes, int64_t probe, double scheduled) {
    if (in_record(probe)) probes->scheduled[probe] = scheduled;
}

void scheduled_probes_left(scheduled_probes* probes, double leaving) {
    if (probes->left == 0) probes->first_leaving = leaving;
    probes->last_leaving = leaving;
    probes->left += 1;
}

double scheduled_probes_rate(const scheduled_probes* probes) {
    const double span = probes->last_leaving - probes->first_leaving;
    return probes->left >= 2 && span > 0.0 ? static_cast<double>(probes->left - 1) / span : 0.0;
}

void scheduled_probes_retired(scheduled_probes* probes, const probe_slot* slot) {
    if (!in_record(slot->probe)) return;
    const int64_t probe = slot->probe;
    probes->outcome[probe] = slot->outcome;
    probes->retired[probe] = 1;
    if (slot->outcome == outcome_answered) {
        probes->arrival[probe] = slot->arrival;
        probes->arrival_order[probe] = slot->arrival_order;
    }
}

const char* probe_outcome_name(int outcome) {
    switch (outcome) {
        case outcome_answered: return "answered";
        case outcome_late: return "late";
        case outcome_lost: return "lost";
        case outcome_cut_short: return "cut_short";
        case outcome_unsent: return "unsent";
        case outcome_stopped: return "stopped";
        default: return "waiting";
    }
}
