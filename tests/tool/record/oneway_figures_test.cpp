// The four-time figures from made-up runs whose truth is known: a far
// clock off and drifting, queues met by some probes only, runs beyond the
// sample, and far-end counts that wrap.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tool/record/oneway_figures.hpp"

namespace {

oneway_figures figures;  // too large for the stack

constexpr int64_t billion = 1000000000;

struct made_run {
    const char* name;
    int probes;
    double ahead;      // the far clock, seconds ahead of ours at the start
    double drift;      // and how fast it runs away, seconds per second
    int queued_every;  // probe n/2 of every n waits `queue` seconds out (0: none)
    double queue;
    double gap;  // seconds between probes
};

// Probe i: out 1 ms and back 2 ms of path, the far end 50 us, both ways seen
// through the far clock; one in every `queued_every` waits out in a queue.
void feed(const made_run& m) {
    oneway_setup setup{oneway_wire_probe, true, true, true, 64, 184};
    oneway_figures_reset(&figures, &setup, m.probes);
    const int64_t start = 1800000000 * billion;
    for (int i = 0; i < m.probes; i++) {
        const double t = i * m.gap;
        const double queue = m.queued_every > 0 && i % m.queued_every == m.queued_every / 2 ? m.queue : 0.0;
        const double far_clock = m.ahead + m.drift * t;
        const int64_t t1 = start + std::llround(t * 1e9);
        const int64_t t2 = t1 + std::llround((0.001 + queue + far_clock) * 1e9);
        const int64_t t3 = t2 + 50000;
        const int64_t t4 = t3 + std::llround((0.002 - far_clock) * 1e9) + (i == 7 ? 1000 : 0);
        oneway_reply reply{};
        reply.far_times = true;
        reply.t2_ns = t2;
        reply.t3_ns = t3;
        reply.far_counts = true;
        reply.far_count = static_cast<uint32_t>(0xFFFFFF00u + static_cast<uint32_t>(i));  // wraps past 2^32
        reply.ttl_out_known = reply.tos_out_known = true;
        reply.ttl_out = 61;
        reply.tos_out = i % 2 == 0 ? 184 : 0;
        oneway_figures_sent(&figures, i, t1);
        oneway_figures_reply(&figures, i, t1, t4 - t1, &reply);
    }
    oneway_figures_finish(&figures);
}

TEST(OnewayFigures, DriftOffsetAndQueuesComeOutOfMadeRuns) {
    const made_run runs[] = {
        {"clocks agree", 200, 0.0, 0.0, 0, 0.0, 0.01},
        {"far clock 3 s ahead", 200, 3.0, 0.0, 0, 0.0, 0.01},
        {"3 s ahead, 200 ppm fast, every 3rd probe 5 ms in a queue", 3000, 3.0, 200e-6, 3, 0.005, 0.01},
        {"40 ppm slow over a long run (sampled)", 40000, -0.5, -40e-6, 9, 0.002, 0.1},
    };
    for (const made_run& m : runs) {
        SCOPED_TRACE(m.name);
        feed(m);
        const oneway_summary& s = figures.summary;
        // The offset from the least round trip, the drift from the baselines.
        // Probe 0 has the least round trip: (out - back) / 2 there.
        EXPECT_NEAR(figures.offset, m.ahead - 0.0005, 1e-9);
        EXPECT_NEAR(s.out_slope, m.drift, 1e-9);
        EXPECT_NEAR(s.back_slope, -m.drift, 1e-9);
        // Queueing: the queued probes' wait, the others none.
        const bool queued = m.queued_every > 0;
        EXPECT_NEAR(s.queue_out_median, 0.0, 1e-8);
        EXPECT_NEAR(s.queue_out_max, queued ? m.queue : 0.0, 1e-8);
        EXPECT_NEAR(s.queue_back_max, 0.0, 1.1e-6);  // probe 7's microsecond
        EXPECT_NEAR(s.far_median, 50e-6, 1e-9);
        EXPECT_NEAR(s.net_median, 0.003, 1e-8);
        double out = 0.0, back = 0.0;
        ASSERT_TRUE(oneway_probe_queueing(&figures, queued ? m.queued_every / 2 : 1, &out, &back));
        EXPECT_NEAR(out, queued ? m.queue : 0.0, 1e-8);
        EXPECT_NEAR(back, 0.0, 1e-8);
        // Fixed memory: beyond the sample, every k-th probe is kept.
        EXPECT_LE(s.points, oneway_sample_size);
        EXPECT_EQ(s.points == m.probes, m.probes <= oneway_sample_size);
        // The count wrapped past 2^32 and nothing was lost.
        EXPECT_TRUE(s.loss_known);
        EXPECT_EQ(s.far_received, m.probes);
        EXPECT_EQ(s.loss_out + s.loss_back, 0);
        EXPECT_EQ(figures.dscp_remarked, m.probes / 2);
        EXPECT_FALSE(oneway_figures_trusted(&figures));
    }
}

// Loss each way from the far end's count; a STAMP reflector that copies
// our numbers says nothing of it; the drift of a noisy short run is held
// within what a clock can drift.
TEST(OnewayFigures, LossEachWayAndWhatCannotBeKnown) {
    struct loss_case {
        uint8_t wire;
        bool copies;  // the far count is our own number
        int64_t out, back;
        bool known;
    } cases[] = {
        {oneway_wire_probe, false, 3, 2, true},
        {oneway_wire_stamp, false, 3, 2, true},
        {oneway_wire_stamp, true, 0, 0, false},
    };
    for (const loss_case& c : cases) {
        oneway_setup setup{c.wire, true, false, false, 0, 0};
        oneway_figures_reset(&figures, &setup, 100);
        uint32_t count = 0;
        for (int i = 0; i < 100; i++) {
            const bool lost_out = i == 10 || i == 11 || i == 50;
            const bool lost_back = i == 20 || i == 70;
            if (!lost_out) count++;
            if (lost_out || lost_back) continue;
            oneway_reply reply{};
            reply.far_times = true;
            reply.t2_ns = 1000 + i * 10000000LL + (i % 2) * 400000;  // 0.4 ms of noise
            reply.t3_ns = reply.t2_ns;
            reply.far_counts = true;
            reply.count_may_copy = c.wire == oneway_wire_stamp;
            reply.far_count = c.copies ? static_cast<uint32_t>(i) : count - 1;
            oneway_figures_reply(&figures, i, i * 10000000LL, 2000, &reply);
        }
        oneway_figures_finish(&figures);
        const oneway_summary& s = figures.summary;
        EXPECT_EQ(s.loss_known, c.known);
        EXPECT_EQ(s.loss_out, c.out);
        EXPECT_EQ(s.loss_back, c.back);
        EXPECT_LE(std::fabs(s.out_slope), oneway_drift_most);
    }
    // Two probes a microsecond apart: no slope beyond the bound.
    oneway_setup setup{oneway_wire_probe, true, false, false, 0, 0};
    oneway_figures_reset(&figures, &setup, 2);
    for (int i = 0; i < 2; i++) {
        oneway_reply reply{};
        reply.far_times = true;
        reply.t2_ns = 5000 + i * 900000;
        reply.t3_ns = reply.t2_ns;
        oneway_figures_reply(&figures, i, i * 1000, 10000 + i * 900000, &reply);
    }
    oneway_figures_finish(&figures);
    EXPECT_DOUBLE_EQ(figures.summary.out_slope, oneway_drift_most);
    EXPECT_GE(figures.summary.queue_out_max, 0.0);
}

}  // namespace
