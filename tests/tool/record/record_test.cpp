// The sender's records: per-probe facts, streaming round-trip figures, and
// long runs beyond the record's slots.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"
#include "tool/record/beyond_record.hpp"
#include "tool/record/long_run.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/record/rtt_stream.hpp"
#include "tool/report/interval_line.hpp"

namespace {

probe_facts test_facts;

// --- per-probe facts -------------------------------------------------------------

struct reply_event {
    int probe;
    int cycle;     // facts_drain_cycle for the drain
    double after;  // arrival, in seconds after the probe's send
    reply_verdict verdict;
};

TEST(ToolProbeFacts, RepliesAreSortedByHowTheyCame) {
    probe_facts& f = test_facts;
    probe_facts_reset(&f, 8);
    // Probe p leaves at 100 + p on the monotonic clock; 7 never left.
    for (int probe : {0, 1, 2, 3, 4, 5, 6}) probe_facts_sent(&f, probe, 1.7e9 + probe, 100.0 + probe);
    const std::vector<reply_event> events = {
        {0, 0, 0.010, verdict_first},                    // own
        {1, 2, 0.020, verdict_first},                    // late: taken in cycle 2
        {2, 2, 0.030, verdict_first},                    // own
        {0, 3, 0.040, verdict_duplicate},                // duplicate of an own reply
        {3, facts_drain_cycle, 0.5, verdict_first},      // drain
        {3, facts_drain_cycle, 0.6, verdict_duplicate},  // duplicate in the drain
        {-1, 4, 0.0, verdict_foreign},                   // foreign: below the run
        {8, 4, 0.0, verdict_foreign},                    // foreign: beyond the run
        {7, 7, 0.0, verdict_foreign},                    // foreign: a probe that never left
        {6, 5, 0.0, verdict_foreign},                    // foreign: a probe not yet sent in cycle 5
        {6, 6, 0.050, verdict_first},                    // own after all
        {5, facts_drain_cycle, 0.7, verdict_first},      // drain
    };
    for (const reply_event& e : events) {
        double arrival = 100.0 + (e.probe >= 0 && e.probe < 8 ? e.probe : 0) + e.after;
        EXPECT_EQ(probe_facts_reply(&f, e.probe, e.cycle, arrival), e.verdict) << e.probe << " " << e.cycle;
    }
    probe_facts_not_reply(&f);  // a stranger's datagram

    const int kinds[] = {reply_own,   reply_late,  reply_own, reply_drain,
                         reply_never, reply_drain, reply_own, reply_never};
    const int copies[] = {2, 1, 1, 2, 0, 1, 1, 0};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(f.kind[i], kinds[i]) << i;
        EXPECT_EQ(f.copies[i], copies[i]) << i;
    }
    // Every first reply has its round trip from its own send, whichever
    // cycle took it; a duplicate does not overwrite it.
    const double rtts[] = {0.010, 0.020, 0.030, 0.5, 0.0, 0.7, 0.050, 0.0};
    for (int i = 0; i < 8; i++) EXPECT_NEAR(f.rtt[i], rtts[i], 1e-9) << i;
    EXPECT_DOUBLE_EQ(f.sent_at[4], 1.7e9 + 4);
    EXPECT_EQ(f.sent_at[7], 0.0);
    EXPECT_EQ(f.duplicates, 2);
    EXPECT_EQ(f.foreign, 5);
    EXPECT_EQ(f.sent[7], 0);
    EXPECT_STREQ(reply_kind_name(reply_drain), "drain");
    EXPECT_STREQ(reply_kind_name(99), "never");
}

TEST(ToolProbeFacts, CountIsHeldToTheRecord) {
    probe_facts_reset(&test_facts, 20000);
    EXPECT_EQ(test_facts.count, echomark_slots);
    probe_facts_sent(&test_facts, echomark_slots, 1.0, 1.0);  // ignored, no write beyond
    probe_facts_reply(&test_facts, echomark_slots - 1, echomark_slots - 1, 1.0);
    EXPECT_EQ(test_facts.foreign, 1);  // never sent
    probe_facts_reset(&test_facts, -4);
    EXPECT_EQ(test_facts.count, 0);
}

TEST(ToolRttStream, FiguresOfAKnownSetInFixedMemory) {
    static rtt_stream stream;
    rtt_stream_reset(&stream);
    EXPECT_EQ(rtt_stream_percentile(&stream, 50), 0.0);
    // 1 .. 1000 microseconds, from the top down.
    for (int v = 1000; v >= 1; v--) rtt_stream_add(&stream, v * 1e-6);
    EXPECT_EQ(stream.count, 1000);
    EXPECT_DOUBLE_EQ(stream.min, 1e-6);
    EXPECT_DOUBLE_EQ(stream.max, 1e-3);
    EXPECT_NEAR(stream.mean, 500.5e-6, 1e-12);
    EXPECT_NEAR(rtt_stream_stddev(&stream), std::sqrt((1000.0 * 1000.0 - 1) / 12) * 1e-6, 1e-12);
    EXPECT_EQ(stream.jitter_pairs, 999);
    EXPECT_NEAR(stream.jitter_sum / stream.jitter_pairs, 1e-6, 1e-12);
    const double half_bucket = std::exp2(0.5 / rtt_stream_per_doubling);
    for (auto [percent, exact] : {std::pair{50.0, 500e-6}, {90.0, 900e-6}, {99.0, 990e-6}, {1.0, 10e-6}}) {
        double found = rtt_stream_percentile(&stream, percent);
        EXPECT_LE(found, exact * half_bucket * 1.0001) << percent;
        EXPECT_GE(found, exact / half_bucket / 1.0001) << percent;
    }
    EXPECT_DOUBLE_EQ(rtt_stream_percentile(&stream, 100), 1e-3);  // held within the extremes

    // One value, values below the first bucket and beyond the last.
    rtt_stream_reset(&stream);
    rtt_stream_add(&stream, 0.000123456);
    EXPECT_DOUBLE_EQ(rtt_stream_percentile(&stream, 50), 0.000123456);
    EXPECT_EQ(rtt_stream_stddev(&stream), 0.0);
    rtt_stream_reset(&stream);
    for (double v : {0.0, -1.0, 1e-9, 5000.0}) rtt_stream_add(&stream, v);
    EXPECT_EQ(stream.buckets[0], 3U);
    EXPECT_EQ(stream.buckets[rtt_stream_buckets - 1], 1U);
    EXPECT_DOUBLE_EQ(rtt_stream_percentile(&stream, 10), -1.0);
    EXPECT_DOUBLE_EQ(rtt_stream_percentile(&stream, 100), 5000.0);
}

// Replies beyond the record: first or copy over the window of recent
// probes; interval lines when due, one per call, and the counts they reset.
// Both clocks of a send at `seconds` on the monotonic clock.
platform::clock_pair at(double seconds) { return {0, static_cast<int64_t>(seconds * 1e9)}; }

// The interval line when one is due at `now`, as the sender writes it.
void interval_tick(long_run* run, double now, std::FILE* out) {
    if (!long_run_interval_due(run, now)) return;
    print_interval_line(run, now, out);
    long_run_interval_done(run, now);
}

TEST(ToolLongRun, RepliesBeyondTheRecordAndIntervalLines) {
    static long_run run;
    static beyond_record beyond;
    long_run_begin(&run, true, 10.0, 1.0, 100.0);
    beyond_reset(&beyond);
    EXPECT_FALSE(long_run_over(&run, 109.9));
    EXPECT_TRUE(long_run_over(&run, 110.0));
    for (int probe : {9999, 10000, 10001, 10002}) {
        long_run_sent(&run);
        beyond_sent(&beyond, probe, at(100.0 + probe * 1e-6));
    }
    EXPECT_NEAR(beyond_leaving(&beyond, 10002).monotonic_ns / 1e9, 100.0 + 10002 * 1e-6, 1e-9);
    EXPECT_NEAR(beyond_leaving(&beyond, 10000).monotonic_ns / 1e9, 100.0 + 10000 * 1e-6, 1e-9);
    EXPECT_FALSE(beyond_first_reply(&beyond, 9999));  // the record's own business
    EXPECT_TRUE(beyond_first_reply(&beyond, 10001));
    EXPECT_FALSE(beyond_first_reply(&beyond, 10001));  // a copy
    EXPECT_FALSE(beyond_first_reply(&beyond, 10003));  // not sent yet
    EXPECT_FALSE(beyond_first_reply(&beyond, -5));
    long_run_received(&run, 0.002);
    long_run_received(&run, -1.0);  // counted, with no round trip
    long_run_received(&run, 0.004);
    // A probe number a whole window later clears the slot it shares.
    long_run_sent(&run);
    beyond_sent(&beyond, 10001 + beyond_window, at(101.0));
    EXPECT_FALSE(beyond_first_reply(&beyond, 10001));  // older than the window
    EXPECT_TRUE(beyond_first_reply(&beyond, 10001 + beyond_window));

    std::string path = tooltest::temp_path();
    std::FILE* out = std::fopen(path.c_str(), "w");
    interval_tick(&run, 100.5, out);  // not due
    interval_tick(&run, 103.7, out);  // due, and three intervals late: one line
    interval_tick(&run, 103.9, out);  // next at 104
    interval_tick(&run, 104.0, out);  // empty interval
    std::fclose(out);
    std::vector<std::string> lines = tooltest::lines_of(tooltest::read_file(path));
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("every\\(\\): " + tooltest::stamp +
                                                      " t=3\\.700 sent=5 received=3 loss=40\\.000\\[%\\] rtt "
                                                      "median=0\\.00[24]\\d* p99=0\\.004\\d* \\[s\\]")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("every\\(\\): " + tooltest::stamp +
                                                      " t=4\\.000 sent=0 received=0 loss=0\\.000\\[%\\] rtt "
                                                      "median=- p99=-")))
        << lines[1];
    EXPECT_EQ(run.sent, 5);
    EXPECT_EQ(run.received, 3);
    EXPECT_EQ(run.total.count, 2);
}

}  // namespace
