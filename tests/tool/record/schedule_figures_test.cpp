// A scheduled run's parts without sockets: the plan of deadlines, the window
// of probes in flight, the figures fed from both by scripted peers, and the
// figures of several flows taken together and set against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "tool/record/probe_window.hpp"
#include "tool/record/rtt_stream_merge.hpp"
#include "tool/record/schedule_figures.hpp"
#include "tool/report/flow_apart.hpp"
#include "tool/sender/schedule_plan.hpp"

namespace {

// --- the plan ------------------------------------------------------------------

// Each deadline comes from its probe number: after 10^8 probes at 10,000/s
// the deadline is still within one rounding of start + k * interval.
TEST(ToolSchedulePlan, FixedRateHasNoAccumulatedError) {
    schedule_plan plan;
    EXPECT_EQ(schedule_plan_fixed(&plan, 1.0, 0.0), -1);
    EXPECT_EQ(schedule_plan_fixed(&plan, 1.0, NAN), -1);
    const double start = 1000.123456789;
    const double interval = 1e-4;
    ASSERT_EQ(schedule_plan_fixed(&plan, start, interval), 0);
    double deadline = 0.0;
    for (int64_t k = 0; k <= 100000000; k++) {
        deadline = schedule_plan_next(&plan);
        if (k % 25000000 == 0) {
            const long double exact = static_cast<long double>(start) + static_cast<long double>(k) * interval;
            const double ulp = std::nextafter(static_cast<double>(exact), INFINITY) - static_cast<double>(exact);
            EXPECT_LE(std::fabs(static_cast<long double>(deadline) - exact), 1.5L * ulp) << k;
        }
    }
    EXPECT_EQ(plan.next_probe, 100000001);
}

TEST(ToolSchedulePlan, PoissonGapsAreExponentialAndRepeatWithTheSeed) {
    uint64_t zero = 0;
    EXPECT_EQ(schedule_splitmix64(&zero), 0xe220a8397b1dcdafULL);  // the published first output
    EXPECT_EQ(schedule_unit_interval(0), 0x1.0p-53);
    EXPECT_EQ(schedule_unit_interval(UINT64_MAX), 1.0);
    schedule_plan plan;
    EXPECT_EQ(schedule_plan_poisson(&plan, 5.0, -1e-3, 1), -1);

    constexpr int gaps = 10000;
    for (uint64_t seed : {1ULL, 42ULL, 0x5eedULL}) {
        ASSERT_EQ(schedule_plan_poisson(&plan, 5.0, 1e-3, seed), 0);
        std::vector<double> deadlines(gaps + 1);
        for (double& d : deadlines) d = schedule_plan_next(&plan);
        EXPECT_EQ(deadlines[0], 5.0);
        double sum = 0.0, squares = 0.0;
        for (int i = 0; i < gaps; i++) {
            double gap = deadlines[i + 1] - deadlines[i];
            ASSERT_GE(gap, 0.0);
            sum += gap;
            squares += gap * gap;
        }
        double mean = sum / gaps;
        double cv = std::sqrt(squares / gaps - mean * mean) / mean;
        EXPECT_NEAR(mean, 1e-3, 0.02e-3) << seed;
        EXPECT_GT(cv, 0.9) << seed;
        EXPECT_LT(cv, 1.1) << seed;

        schedule_plan again;
        schedule_plan_poisson(&again, 5.0, 1e-3, seed);
        for (double d : deadlines) ASSERT_EQ(schedule_plan_next(&again), d) << seed;
        schedule_plan other;
        schedule_plan_poisson(&other, 5.0, 1e-3, seed + 1);
        schedule_plan_next(&other);
        EXPECT_NE(schedule_plan_next(&other), deadlines[1]) << seed;
    }
}

// --- the window ----------------------------------------------------------------

// Probe k leaves at 1 + k/100 and waits 0.1 s; each event comes with what
// the window must answer: a send its result, a reply its verdict, a
// retiring call the number of probes it retired.
TEST(ToolProbeWindow, RepliesAreJudgedByProbeNumberAndArrival) {
    for (auto [rate, timeout, slots] : {std::tuple{1.0, 0.25, 64},
                                        {1e3, 0.25, 1024},
                                        {1e4, 0.25, 8192},
                                        {1e5, 1.0, 262144},
                                        {5.2e5, 0.9, 1 << 20},
                                        {6e5, 0.9, -1},
                                        {0.0, 0.25, -1},
                                        {1e3, NAN, -1}}) {
        EXPECT_EQ(probe_window_slots_for(rate, timeout), slots) << rate << " " << timeout;
    }
    static probe_slot storage[probe_window_min_slots];
    probe_window window;
    EXPECT_EQ(probe_window_init(&window, storage, 48, 0.1), -1);  // no power of two
    EXPECT_EQ(probe_window_init(&window, storage, 32, 0.1), -1);  // too few
    ASSERT_EQ(probe_window_init(&window, storage, probe_window_min_slots, 0.1), 0);

    enum action { send, fail, fill, reply, due, room, early };
    struct event {
        action act;
        int64_t probe;
        double at;
        int expected;
    };
    // 7 is not the next probe; 1's wait is over at 1.11, before its reply,
    // but it is not retired yet; 5 never left, 6 is not sent yet, -1 is
    // foreign; 3 is in time by its stamp, but already retired as lost; the
    // copy of 2 after retirement counts, and its record stays.  Then 6 to 69
    // fill the window, 6 is cut short for 70, and its reply names no slot.
    const event events[] = {{send, 0, 1.00, 0},
                            {send, 1, 1.01, 0},
                            {send, 2, 1.02, 0},
                            {send, 3, 1.03, 0},
                            {send, 4, 1.04, 0},
                            {fail, 5, 1.05, 0},
                            {send, 7, 1.07, -1},
                            {reply, 0, 1.02, window_first},
                            {reply, 0, 1.03, window_copy},
                            {reply, 2, 1.025, window_first},
                            {reply, 1, 1.20, window_late},
                            {reply, 1, 1.21, window_copy},
                            {reply, 5, 1.06, window_unknown},
                            {reply, 6, 1.06, window_unknown},
                            {reply, -1, 1.06, window_unknown},
                            {due, 0, 1.105, 1},
                            {due, 0, 1.50, 5},
                            {reply, 3, 1.06, window_late},
                            {reply, 2, 1.60, window_copy},
                            {fill, 6, 2.0, 0},
                            {send, 70, 2.0, -2},
                            {room, 0, 0.0, 1},
                            {room, 0, 0.0, 0},
                            {send, 70, 2.0, 0},
                            {reply, 6, 2.01, window_unknown},
                            {reply, 69, 2.01, window_first},
                            {early, 0, 0.0, probe_window_min_slots}};
    std::vector<probe_slot> retired;
    for (const event& e : events) {
        probe_slot slot;
        int result = 0;
        switch (e.act) {
            case send: result = probe_window_sent(&window, e.probe, e.at - 0.001, e.at); break;
            case fail: result = probe_window_send_failed(&window, e.probe, e.at); break;
            case fill:
                for (int64_t p = e.probe; p < e.probe + probe_window_min_slots; p++) {
                    result += probe_window_sent(&window, p, e.at, e.at);
                }
                break;
            case reply: result = probe_window_reply(&window, e.probe, e.at); break;
            case due:
                while (probe_window_retire_due(&window, e.at, &slot)) retired.push_back(slot), result++;
                break;
            case room:
                while (probe_window_make_room(&window, &slot)) retired.push_back(slot), result++;
                break;
            case early:
                while (probe_window_retire_early(&window, &slot)) retired.push_back(slot), result++;
                break;
        }
        EXPECT_EQ(result, e.expected) << "event " << (&e - events);
    }
    struct final_state {
        probe_outcome outcome;
        uint32_t copies;
        int64_t order;
        double rtt;
    };
    const final_state finals[] = {
        {outcome_answered, 2, 0, 0.02},  {outcome_late, 2, -1, 0.19}, {outcome_answered, 1, 1, 0.005},
        {outcome_lost, 0, -1, 0.0},      {outcome_lost, 0, -1, 0.0},  {outcome_unsent, 0, -1, 0.0},
        {outcome_cut_short, 0, -1, 0.0},
    };
    ASSERT_EQ(retired.size(), std::size(finals) + probe_window_min_slots);
    for (size_t i = 0; i < retired.size(); i++) {
        EXPECT_EQ(retired[i].probe, static_cast<int64_t>(i));  // in probe order
        if (i >= std::size(finals)) {
            EXPECT_EQ(retired[i].outcome, i == 69 ? outcome_answered : outcome_stopped) << i;
            continue;
        }
        EXPECT_EQ(retired[i].outcome, finals[i].outcome) << i;
        EXPECT_EQ(retired[i].copies, finals[i].copies) << i;
        EXPECT_EQ(retired[i].arrival_order, finals[i].order) << i;
        EXPECT_NEAR(retired[i].rtt, finals[i].rtt, 1e-12) << i;
    }
    EXPECT_DOUBLE_EQ(retired[4].scheduled, 1.039);
    EXPECT_EQ(window.unanswered, 0);

    // Numbers from the wire are the low 32 bits of the latest probe that has them.
    EXPECT_EQ(probe_window_unwrap(&window, 70), 70);
    EXPECT_EQ(probe_window_unwrap(&window, 71), -1);  // would be before probe 0
    window.next = (INT64_C(1) << 32) + 5;
    EXPECT_EQ(probe_window_unwrap(&window, 3), (INT64_C(1) << 32) + 3);
    EXPECT_EQ(probe_window_unwrap(&window, 0xfffffffeU), (INT64_C(1) << 32) - 2);
}

// --- the figures ---------------------------------------------------------------

// Arrival orders of first replies, and the reordering RFC 4737 finds in them.
TEST(ToolScheduleFigures, ReorderingAndItsExtent) {
    auto counting = [](int64_t from, int64_t to, int64_t then) {
        std::vector<int64_t> order;
        for (int64_t p = from; p <= to; p++) order.push_back(p);
        order.push_back(then);
        return order;
    };
    struct reordering {
        std::vector<int64_t> arrivals;
        int64_t reordered, extent_max;
        double extent_mean;
        int64_t beyond;
    };
    const std::vector<reordering> cases = {
        {{0, 1, 2, 3}, 0, 0, 0.0, 0},
        {{1, 0, 3, 2}, 2, 1, 1.0, 0},
        {{1, 2, 3, 0}, 1, 3, 3.0, 0},
        {{3, 0, 1, 2}, 3, 3, 2.0, 0},
        {{2, 1, 4, 3, 0}, 3, 4, 2.0, 0},
        {counting(1, schedule_extent_memory, 0), 1, schedule_extent_memory, schedule_extent_memory, 0},
        // The earliest larger number has left the memory: a lower bound.
        {counting(1, 5000, 0), 1, schedule_extent_memory, schedule_extent_memory, 1},
    };
    static schedule_figures figures;
    for (const reordering& c : cases) {
        schedule_figures_reset(&figures);
        for (int64_t probe : c.arrivals) schedule_figures_reply(&figures, window_first, probe);
        EXPECT_EQ(figures.reordered, c.reordered) << c.arrivals.size();
        EXPECT_EQ(figures.extent_max, c.extent_max) << c.arrivals.size();
        EXPECT_DOUBLE_EQ(schedule_figures_extent_mean(&figures), c.extent_mean) << c.arrivals.size();
        EXPECT_EQ(figures.extent_beyond, c.beyond) << c.arrivals.size();
    }
}

// A peer scripted per probe: 1,000 probes at 1,000/s, each waiting 0.25 s,
// through the window into the figures as a sender would feed them.
struct scripted_peer {
    const char* name;
    std::vector<double> (*replies)(int probe);  // arrival of each copy after the send; none: dropped
    double (*lag)(int probe);                   // actual send - scheduled
    double loss_percent;
    int64_t loss_periods, loss_longest;
    double reordered_percent;
    int64_t extent_max, duplicates, late;
    double rtt_median, ipdv_median, lag_p99;
};

std::vector<double> on_time(int) { return {0.0005}; }
double no_lag(int) { return 0.0; }

void run_peer(const scripted_peer& peer, schedule_figures* figures) {
    constexpr int probes = 1000;
    const int32_t slots = probe_window_slots_for(1000.0, 0.25);
    std::vector<probe_slot> storage(static_cast<size_t>(slots));
    probe_window window;
    ASSERT_EQ(probe_window_init(&window, storage.data(), slots, 0.25), 0);
    schedule_figures_reset(figures);
    struct event {
        double at;
        int probe;
        bool is_send;
    };
    std::vector<event> events;
    for (int k = 0; k < probes; k++) {
        double sent = k * 1e-3 + peer.lag(k);
        events.push_back({sent, k, true});
        for (double after : peer.replies(k)) events.push_back({sent + after, k, false});
    }
    std::stable_sort(events.begin(), events.end(), [](const event& a, const event& b) { return a.at < b.at; });
    probe_slot slot;
    for (const event& e : events) {
        if (!e.is_send) {
            schedule_figures_reply(figures, probe_window_reply(&window, e.probe, e.at), e.probe);
            continue;
        }
        while (probe_window_retire_due(&window, e.at, &slot)) schedule_figures_retired(figures, &slot);
        while (probe_window_make_room(&window, &slot)) schedule_figures_retired(figures, &slot);
        ASSERT_EQ(probe_window_sent(&window, e.probe, e.probe * 1e-3, e.at), 0);
    }
    while (probe_window_retire_due(&window, 1e9, &slot)) schedule_figures_retired(figures, &slot);
}

TEST(ToolScheduleFigures, ScriptedPeers) {
    const std::vector<scripted_peer> peers = {
        {"every tenth dropped", [](int k) { return k % 10 == 9 ? std::vector<double>{} : on_time(k); }, no_lag, 10.0,
         100, 1, 0.0, 0, 0, 0, 0.0005, 0.0, 0.0},
        {"five in a row dropped", [](int k) { return k >= 300 && k < 305 ? std::vector<double>{} : on_time(k); },
         no_lag, 0.5, 1, 5, 0.0, 0, 0, 0, 0.0005, 0.0, 0.0},
        // The reply to each even probe comes after the next one's.
        {"pairs swapped", [](int k) { return std::vector<double>{k % 2 == 0 ? 0.0017 : 0.0006}; }, no_lag, 0.0, 0, 0,
         50.0, 1, 0, 0, 0.0006, 0.0011, 0.0},
        {"every reply twice",
         [](int) {
             return std::vector<double>{0.0005, 0.0006};
         },
         no_lag, 0.0, 0, 0, 0.0, 0, 1000, 0, 0.0005, 0.0, 0.0},
        {"every 100th after the wait", [](int k) { return std::vector<double>{k % 100 == 0 ? 0.3 : 0.0005}; }, no_lag,
         1.0, 10, 1, 0.0, 0, 0, 10, 0.0005, 0.0, 0.0},
        // Every 50th probe leaves 200 us behind the schedule: 2 % of them, so p99 sees it.
        {"delayed 20 ms, sender behind at times", [](int) { return std::vector<double>{0.020}; },
         [](int k) { return k % 50 == 0 ? 200e-6 : 10e-6; }, 0.0, 0, 0, 0.0, 0, 0, 0, 0.020, 0.0, 200e-6},
    };
    static schedule_figures figures;
    const double bucket = std::exp2(0.5 / rtt_stream_per_doubling);  // half a bucket
    for (const scripted_peer& peer : peers) {
        run_peer(peer, &figures);
        SCOPED_TRACE(peer.name);
        EXPECT_EQ(figures.retired, 1000);
        EXPECT_EQ(figures.answered + figures.lost, 1000);
        EXPECT_DOUBLE_EQ(schedule_figures_loss_percent(&figures), peer.loss_percent);
        EXPECT_EQ(figures.loss_periods, peer.loss_periods);
        EXPECT_EQ(figures.loss_longest, peer.loss_longest);
        if (peer.loss_periods > 0) {
            EXPECT_DOUBLE_EQ(schedule_figures_loss_period_mean(&figures),
                             static_cast<double>(figures.lost) / peer.loss_periods);
        }
        EXPECT_DOUBLE_EQ(schedule_figures_reordered_percent(&figures), peer.reordered_percent);
        EXPECT_EQ(figures.extent_max, peer.extent_max);
        EXPECT_EQ(figures.duplicates, peer.duplicates);
        EXPECT_EQ(figures.late, peer.late);
        EXPECT_EQ(figures.unknown + figures.cut_short + figures.stopped + figures.unsent, 0);
        EXPECT_EQ(figures.lag.count, 1000);
        for (auto [found, expected] : {std::pair{rtt_stream_percentile(&figures.rtt, 50), peer.rtt_median},
                                       {rtt_stream_percentile(&figures.ipdv, 50), peer.ipdv_median},
                                       {rtt_stream_percentile(&figures.lag, 99), peer.lag_p99}}) {
            EXPECT_GE(found, expected / bucket - 1e-12);
            EXPECT_LE(found, expected * bucket + 1e-12);
        }
    }
}

// --- several flows --------------------------------------------------------------

// Streams merged are the stream of all their values: the same counts,
// extremes, buckets, mean and spread.
TEST(ToolFlowFigures, MergedStreamsEqualOneStreamOfEveryValue) {
    static rtt_stream whole, parts[3], merged;
    rtt_stream_reset(&whole);
    rtt_stream_reset(&merged);
    for (rtt_stream& part : parts) rtt_stream_reset(&part);
    for (int i = 0; i < 3000; i++) {
        const double value = 1e-4 * (1.0 + (i * 7919) % 997) * (i % 3 == 2 ? 10.0 : 1.0);
        rtt_stream_add(&whole, value);
        rtt_stream_add(&parts[i % 3], value);
    }
    for (const rtt_stream& part : parts) rtt_stream_merge(&merged, &part);
    EXPECT_EQ(merged.count, whole.count);
    EXPECT_EQ(merged.min, whole.min);
    EXPECT_EQ(merged.max, whole.max);
    EXPECT_NEAR(merged.mean, whole.mean, 1e-12);
    EXPECT_NEAR(rtt_stream_stddev(&merged), rtt_stream_stddev(&whole), 1e-12);
    EXPECT_TRUE(std::equal(std::begin(merged.buckets), std::end(merged.buckets), std::begin(whole.buckets)));
    EXPECT_EQ(rtt_stream_percentile(&merged, 99), rtt_stream_percentile(&whole, 99));
}

// A flow stands apart by its loss or its median round trip only when the
// difference is clear and its count is enough.
TEST(ToolFlowFigures, AFlowStandsApartOnlyByAClearMargin) {
    struct flow_case {
        const char* name;
        int lost;           // of the odd flow's 400 probes
        double median;      // the odd flow's round trips, seconds
        int others_lost;    // of each other flow's 400 probes
        double others;      // their round trips
        int probes;         // probes of every flow
        bool loss;
        bool delay;
    };
    const flow_case cases[] = {
        {"all alike", 4, 0.001, 4, 0.001, 400, false, false},
        {"a lossy path", 120, 0.001, 4, 0.001, 400, true, false},
        {"a little more loss", 12, 0.001, 4, 0.001, 400, false, false},
        {"a lossy path, too few probes", 10, 0.001, 0, 0.001, 15, false, false},
        {"loss everywhere, one flow clearly worse", 140, 0.001, 100, 0.001, 400, true, false},
        {"loss everywhere, one flow within chance", 112, 0.001, 100, 0.001, 400, false, false},
        {"a slow path", 0, 0.002, 0, 0.001, 400, false, true},
        {"a little slower", 0, 0.0011, 0, 0.001, 400, false, false},
        {"twice as slow, but by 50 us", 0, 0.0001, 0, 0.00005, 400, false, false},
        {"lossy and slow", 200, 0.005, 0, 0.001, 400, true, true},
    };
    constexpr int flows = 4;
    static run_flow flow[flows];
    static run_target target;
    run_targets targets = {1, flows, &target, flow};
    for (const flow_case& c : cases) {
        for (int j = 0; j < flows; j++) {
            flow_record_reset(&flow[j].record);
            const int lost = j == 2 ? c.lost * c.probes / 400 : c.others_lost * c.probes / 400;
            const double rtt = j == 2 ? c.median : c.others;
            for (int k = 0; k < c.probes; k++) {
                probe_slot slot = {};
                slot.probe = k;
                slot.sent = k * 0.01;
                slot.scheduled = slot.sent;
                slot.outcome = k < lost ? outcome_lost : outcome_answered;
                slot.rtt = rtt;
                flow_record_retired(&flow[j].record, &slot);
            }
        }
        for (int j = 0; j < flows; j++) {
            const flow_apart apart = flow_apart_judge(&targets, 0, j);
            EXPECT_EQ(apart.loss, j == 2 && c.loss) << c.name << " flow " << j;
            EXPECT_EQ(apart.delay, j == 2 && c.delay) << c.name << " flow " << j;
        }
    }
    // A target of one flow has no others to stand apart from.
    run_targets single = {1, 1, &target, flow};
    EXPECT_FALSE(flow_apart_judge(&single, 0, 0).loss);
}

}  // namespace
