// Statistics computed from the per-probe facts, their text block, and the
// result files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/report/results_file.hpp"
#include "tool/report/statistics.hpp"

namespace {

probe_facts test_facts;

void statistics_compute(const probe_facts* facts, run_statistics* stats) {
    static statistics_scratch scratch;
    ::statistics_compute(facts, stats, &scratch);
}

// --- statistics ---------------------------------------------------------------------

// Facts of a run whose probes all left at 0 on the monotonic clock; rtts[i]
// > 0 is an own-cycle round trip, 0 a probe without reply.
void facts_with(const std::vector<double>& rtts) {
    probe_facts_reset(&test_facts, static_cast<int>(rtts.size()));
    for (int i = 0; i < static_cast<int>(rtts.size()); i++) {
        probe_facts_sent(&test_facts, i, 0.0, 0.0);
        if (rtts[i] > 0) probe_facts_reply(&test_facts, i, i, rtts[i]);
    }
}

TEST(ToolStatistics, FiguresOfAKnownSet) {
    facts_with({0.004, 0.001, 0, 0.003, 0.002});
    // The drained reply has its round trip too.
    probe_facts_reply(&test_facts, 2, facts_drain_cycle, 0.005);
    run_statistics s;
    statistics_compute(&test_facts, &s);
    EXPECT_EQ(s.probes, 5);
    EXPECT_EQ(s.sent, 5);
    EXPECT_EQ(s.own, 4);
    EXPECT_EQ(s.late, 1);
    EXPECT_EQ(s.late_drain, 1);
    EXPECT_EQ(s.never, 0);
    EXPECT_EQ(s.rtt.count, 5);
    EXPECT_DOUBLE_EQ(s.rtt.min, 0.001);
    EXPECT_DOUBLE_EQ(s.rtt.max, 0.005);
    EXPECT_DOUBLE_EQ(s.rtt.mean, 0.003);
    EXPECT_DOUBLE_EQ(s.rtt.median, 0.003);
    EXPECT_NEAR(s.rtt.stddev, std::sqrt(2e-6), 1e-15);
    EXPECT_DOUBLE_EQ(s.rtt.p90, 0.005);
    EXPECT_DOUBLE_EQ(s.rtt.p99, 0.005);
    // In probe order 4, 1, 5, 3, 2 (ms): differences 3, 4, 2, 1.
    EXPECT_EQ(s.rtt.jitter_pairs, 4);
    EXPECT_NEAR(s.rtt.jitter, 0.0025, 1e-15);
    int total = 0;
    for (int b : s.rtt.bins) total += b;
    EXPECT_EQ(total, 5);
    EXPECT_EQ(s.rtt.bins[0], 1);
    EXPECT_EQ(s.rtt.bins[histogram_bins - 1], 1);  // the maximum closes the last bin
}

struct percentile_case {
    int values;  // round trips 1..values ms, given in reverse order
    double median, p90, p99;
};

TEST(ToolStatistics, MedianAndNearestRankPercentiles) {
    const std::vector<percentile_case> cases = {
        {1, 1, 1, 1}, {2, 1.5, 2, 2}, {3, 2, 3, 3}, {10, 5.5, 9, 10}, {100, 50.5, 90, 99}, {101, 51, 91, 100},
    };
    for (const percentile_case& c : cases) {
        std::vector<double> rtts;
        for (int v = c.values; v >= 1; v--) rtts.push_back(v / 1000.0);
        facts_with(rtts);
        run_statistics s;
        statistics_compute(&test_facts, &s);
        EXPECT_DOUBLE_EQ(s.rtt.median, c.median / 1000.0) << c.values;
        EXPECT_DOUBLE_EQ(s.rtt.p90, c.p90 / 1000.0) << c.values;
        EXPECT_DOUBLE_EQ(s.rtt.p99, c.p99 / 1000.0) << c.values;
        EXPECT_NEAR(s.rtt.jitter, c.values > 1 ? 0.001 : 0.0, 1e-12) << c.values;
    }
}

std::string printed(const run_statistics& s) {
    std::string path = tooltest::temp_path();
    std::FILE* out = std::fopen(path.c_str(), "w");
    statistics_print(&s, nullptr, out);
    std::fclose(out);
    std::string text = tooltest::read_file(path);
    std::remove(path.c_str());
    return text;
}

TEST(ToolStatistics, BlockWithoutRoundTripsAndWithOne) {
    facts_with({0, 0});
    probe_facts_reply(&test_facts, 40, 1, 0.5);
    run_statistics s;
    statistics_compute(&test_facts, &s);
    EXPECT_EQ(printed(s),
              "stats(): probes=2 sent=2 own=0 late=0 (cycle=0 drain=0) never=2\n"
              "stats(): duplicates=0 foreign=1\n"
              "stats(): rtt count=0\n");

    facts_with({0, 0});
    probe_facts_reply(&test_facts, 0, 1, 0.000123456);  // late
    probe_facts_reply(&test_facts, 0, 1, 0.5);          // and again
    statistics_compute(&test_facts, &s);
    EXPECT_EQ(printed(s),
              "stats(): probes=2 sent=2 own=0 late=1 (cycle=1 drain=0) never=1\n"
              "stats(): duplicates=1 foreign=0\n"
              "stats(): rtt count=1\n"
              "stats(): rtt min=0.000123456 mean=0.000123456 median=0.000123456 max=0.000123456 [s]\n"
              "stats(): rtt stddev=0.000000000 p90=0.000123456 p99=0.000123456 [s]\n"
              "stats(): jitter=- (one round trip)\n"
              "stats(): hist 0.000123456-0.000123456 |########################################| 1\n");
}

TEST(ToolStatistics, HistogramBarsScaleToTheFullestBin) {
    // Nine values in the first bin, three in the last.
    facts_with({0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.011, 0.011, 0.011});
    run_statistics s;
    statistics_compute(&test_facts, &s);
    std::vector<std::string> hist = tooltest::matching(tooltest::lines_of(printed(s)), "stats\\(\\): hist .*");
    ASSERT_EQ(hist.size(), static_cast<size_t>(histogram_bins));
    EXPECT_EQ(hist[0], "stats(): hist 0.001000000-0.002000000 |" + std::string(40, '#') + "| 9");
    EXPECT_EQ(hist[1], "stats(): hist 0.002000000-0.003000000 |" + std::string(40, ' ') + "| 0");
    EXPECT_EQ(hist[9], "stats(): hist 0.010000000-0.011000000 |" + std::string(14, '#') + std::string(26, ' ') + "| 3");
}

// Streaming figures: exact where they can be, percentiles within half a bucket.

// --- result files ---------------------------------------------------------------------

TEST(ToolResultsFile, TextFieldsAreQuotedSoTheFilesStayReadable) {
    static echomark_record record;
    std::memset(&record, 0, sizeof record);
    facts_with({});
    run_statistics stats;
    statistics_compute(&test_facts, &stats);
    const char* address = "a\"b\\c,\n\x01\xff";
    run_settings settings = {address, 7, 0, 1, 2, INFINITY, 0.0, false};
    run_results results = {&settings, &record, &test_facts, &stats};

    std::string csv_path = tooltest::temp_path();
    results_file csv;
    ASSERT_EQ(results_open(csv_path.c_str(), &csv), 0);
    EXPECT_EQ(results_write_csv(&csv, &results), 0);
    std::string csv_text = tooltest::read_file(csv_path);
    EXPECT_EQ(
        csv_text.rfind(
            "index,sent,stime,rtime,reply,replies,rtt,sent_at\n\nname,value\naddress,\"a\"\"b\\c,\n\x01\xff\"\n", 0),
        0U)
        << csv_text;
    EXPECT_NE(csv_text.find("\nratio,\n"), std::string::npos);
    EXPECT_NE(csv_text.find("\nrtt_min,\n"), std::string::npos);

    std::string json_path = tooltest::temp_path();
    results_file json;
    ASSERT_EQ(results_open(json_path.c_str(), &json), 0);
    EXPECT_EQ(results_write_json(&json, &results), 0);
    std::string json_text = tooltest::read_file(json_path);
    EXPECT_NE(json_text.find("\"address\": \"a\\\"b\\\\c,\\u000a\\u0001\\u00ff\""), std::string::npos) << json_text;
    EXPECT_NE(json_text.find("\"timeout\": null"), std::string::npos) << json_text;  // no infinity in JSON
    EXPECT_NE(json_text.find("\"probes\": []"), std::string::npos) << json_text;
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        std::string script = tooltest::temp_path();
        std::FILE* code = std::fopen(script.c_str(), "w");
        std::fputs(
            "import json, sys\n"
            "d = json.load(open(sys.argv[1]))\n"
            "assert d['settings']['address'] == 'a\"b\\\\c,\\n\\x01\\xff', d['settings']['address']\n",
            code);
        std::fclose(code);
        EXPECT_EQ(std::system(("python3 " + script + " " + json_path).c_str()), 0) << json_text;
        std::remove(script.c_str());
    }
    std::remove(csv_path.c_str());
    std::remove(json_path.c_str());
}

}  // namespace
