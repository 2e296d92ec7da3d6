// Options beyond the basic run: their parser and refusals, the per-probe
// facts, the statistics computed from them, the result files, and the pause.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "tests/tool_test_support.hpp"
#include "tool/echomarkcli.hpp"
#include "tool/long_run.hpp"
#include "tool/probe_facts.hpp"
#include "tool/results_file.hpp"
#include "tool/rtt_stream.hpp"
#include "tool/run_options.hpp"
#include "tool/statistics.hpp"

namespace {

using tooltest::run_program;

int parse(std::vector<std::string> args) {
    args.insert(args.begin(), "echomark");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    args_init();
    return args_parse("echomark", static_cast<int>(args.size()), argv.data());
}

TEST(ToolOptionsParse, DefaultsLeaveEverythingOff) {
    parse({"-h", "10.0.0.1"});
    EXPECT_FALSE(runopts.stats);
    EXPECT_FALSE(runopts.precise);
    EXPECT_FALSE(runopts.quiet);
    EXPECT_FALSE(runopts.interval_given);
    EXPECT_DOUBLE_EQ(runopts.interval, 0.001);
    EXPECT_EQ(runopts.maxreply, run_options_no_reply_limit);
    EXPECT_FALSE(runopts.echo);
    EXPECT_FALSE(runopts.nobudget);
    EXPECT_STREQ(runopts.csv_path, "");
    EXPECT_STREQ(runopts.json_path, "");
    EXPECT_STREQ(runopts.svg_path, "");
}

TEST(ToolOptionsParse, ValuesAndNeighbours) {
    parse({"--stats", "--precise", "--quiet", "--csv=out.csv", "--json=-", "--interval=0", "--maxreply=65536", "-c",
           "7", "--svg=run.svg", "--echo", "--nobudget"});
    EXPECT_TRUE(runopts.stats);
    EXPECT_TRUE(runopts.echo);
    EXPECT_TRUE(runopts.nobudget);
    EXPECT_TRUE(runopts.precise);
    EXPECT_TRUE(runopts.quiet);
    EXPECT_STREQ(runopts.csv_path, "out.csv");
    EXPECT_STREQ(runopts.json_path, "-");
    EXPECT_STREQ(runopts.svg_path, "run.svg");
    EXPECT_TRUE(runopts.interval_given);
    EXPECT_EQ(runopts.interval, 0.0);
    EXPECT_EQ(runopts.maxreply, 65536);
    EXPECT_EQ(cmdargs_int(cmdargs_count), 7);

    parse({"--interval=2.5", "--maxreply=0", "--interval=0.25"});
    EXPECT_DOUBLE_EQ(runopts.interval, 0.25);  // the later value wins
    EXPECT_EQ(runopts.maxreply, 0);

    // Switches are whole words; other near misses pass silently like any
    // unknown argument.
    parse({"--statsfile", "--precisely", "--quiet2", "--interval5", "--maxreplyx=3", "--csvfile=x", "--svgx=y",
           "--bogus", "--echoes", "--nobudget=1"});
    EXPECT_FALSE(runopts.stats);
    EXPECT_FALSE(runopts.echo);
    EXPECT_FALSE(runopts.nobudget);
    EXPECT_FALSE(runopts.precise);
    EXPECT_FALSE(runopts.quiet);
    EXPECT_FALSE(runopts.interval_given);
    EXPECT_EQ(runopts.maxreply, run_options_no_reply_limit);
    EXPECT_STREQ(runopts.csv_path, "");
    EXPECT_STREQ(runopts.svg_path, "");

    // A value option after one that takes the next argument is that value.
    parse({"-h", "--stats"});
    EXPECT_STREQ(cmdargs_text(cmdargs_ipaddr), "--stats");
    EXPECT_FALSE(runopts.stats);

    // The basic table keeps its free slots zero.
    for (int slot : {0, 1, 9, 49}) {
        for (int i = 0; i < cmdargs_slot_size; i++) ASSERT_EQ(cmdargs[slot][i], 0) << slot;
    }
}

struct refusal {
    std::vector<std::string> args;
    std::string err;
};

TEST(ToolOptionsProgram, BadValuesAreRefusedOnStderrWithStatusMinusOne) {
    const std::string long_path(run_options_path_size, 'p');
    const std::vector<refusal> cases = {
        {{"--interval=-1"}, "echomark: option --interval has invalid value: '--interval=-1'\n"},
        {{"--interval=-0.001"}, "echomark: option --interval has invalid value: '--interval=-0.001'\n"},
        {{"--interval=abc"}, "echomark: option --interval has invalid value: '--interval=abc'\n"},
        {{"--interval="}, "echomark: option --interval has invalid value: '--interval='\n"},
        {{"--interval=0.5s"}, "echomark: option --interval has invalid value: '--interval=0.5s'\n"},
        {{"--interval= 1"}, "echomark: option --interval has invalid value: '--interval= 1'\n"},
        {{"--interval=nan"}, "echomark: option --interval has invalid value: '--interval=nan'\n"},
        {{"--interval=inf"}, "echomark: option --interval has invalid value: '--interval=inf'\n"},
        {{"--interval=86401"}, "echomark: option --interval has invalid value: '--interval=86401'\n"},
        {{"--maxreply=-1"}, "echomark: option --maxreply has invalid value: '--maxreply=-1'\n"},
        {{"--maxreply=65537"}, "echomark: option --maxreply has invalid value: '--maxreply=65537'\n"},
        {{"--maxreply=12abc"}, "echomark: option --maxreply has invalid value: '--maxreply=12abc'\n"},
        {{"--maxreply=99999999999999999999"},
         "echomark: option --maxreply has invalid value: '--maxreply=99999999999999999999'\n"},
        {{"--maxreply="}, "echomark: option --maxreply has invalid value: '--maxreply='\n"},
        {{"--csv="}, "echomark: option --csv has invalid value: '--csv='\n"},
        {{"--json="}, "echomark: option --json has invalid value: '--json='\n"},
        {{"--json=" + long_path}, "echomark: option --json has invalid value: '--json=" + long_path + "'\n"},
        {{"--svg="}, "echomark: option --svg has invalid value: '--svg='\n"},
        {{"--interval", "0.5"}, "echomark: option: --interval require an argument\n"},
        {{"--maxreply"}, "echomark: option: --maxreply require an argument\n"},
        {{"--csv", "x.csv"}, "echomark: option: --csv require an argument\n"},
        {{"--json"}, "echomark: option: --json require an argument\n"},
        {{"--svg", "run.svg"}, "echomark: option: --svg require an argument\n"},
        {{"--fail-loss=100.5"}, "echomark: option --fail-loss has invalid value: '--fail-loss=100.5'\n"},
        {{"--fail-loss=-1"}, "echomark: option --fail-loss has invalid value: '--fail-loss=-1'\n"},
        {{"--tos=256"}, "echomark: option --tos has invalid value: '--tos=256'\n"},
        {{"--ttl=0"}, "echomark: option --ttl has invalid value: '--ttl=0'\n"},
        {{"--ttl=256"}, "echomark: option --ttl has invalid value: '--ttl=256'\n"},
        {{"--tos"}, "echomark: option: --tos require an argument\n"},
        {{"--count=0"}, "echomark: option --count has invalid value: '--count=0'\n"},
        {{"--count=2147483648"}, "echomark: option --count has invalid value: '--count=2147483648'\n"},
        {{"--duration=0"}, "echomark: option --duration has invalid value: '--duration=0'\n"},
        {{"--duration=nan"}, "echomark: option --duration has invalid value: '--duration=nan'\n"},
        {{"--every=-1"}, "echomark: option --every has invalid value: '--every=-1'\n"},
        {{"--every=86401"}, "echomark: option --every has invalid value: '--every=86401'\n"},
        {{"--count", "5"}, "echomark: option: --count require an argument\n"},
        {{"--every"}, "echomark: option: --every require an argument\n"},
        // The walk stops at the first error.
        {{"--interval=-1", "-t"}, "echomark: option --interval has invalid value: '--interval=-1'\n"},
    };
    for (const refusal& c : cases) {
        tooltest::run_result r = run_program(c.args);
        std::string where = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, 255) << where;
        EXPECT_EQ(r.out, "") << where;
        EXPECT_EQ(r.err, c.err) << where;
    }
}

TEST(ToolOptionsProgram, ResultFileThatCannotBeWrittenIsRefusedBeforeAnyProbe) {
    int port = 0;
    int silent = tooltest::open_udp(&port);
    for (const char* option : {"--csv", "--json", "--svg"}) {
        std::string argument = std::string(option) + "=/nonexistent-folder/results";
        tooltest::run_result r = run_program({"-h", "127.0.0.1", "-p", std::to_string(port), argument});
        EXPECT_EQ(r.status, 255) << option;
        EXPECT_EQ(r.out, "") << option;
        EXPECT_EQ(r.err, std::string("echomark: option ") + option +
                             " cannot write '/nonexistent-folder/results': No such file or directory\n");
    }
    // Two documents into one file would interleave; standard output takes them in turn.
    std::string shared = tooltest::temp_path();
    tooltest::run_result r =
        run_program({"-h", "127.0.0.1", "-p", std::to_string(port), "--csv=" + shared, "--json=" + shared});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "echomark: option --json has invalid value: '--json=" + shared + "'\n");
    r = run_program({"-h", "127.0.0.1", "-p", std::to_string(port), "--json=" + shared, "--svg=" + shared});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "echomark: option --svg has invalid value: '--svg=" + shared + "'\n");
    std::remove(shared.c_str());
    char buffer[64];
    EXPECT_EQ(tooltest::receive_within(silent, buffer, sizeof buffer, 0.1), -2) << "a probe left";
    platform::closesocket(silent);
}

TEST(ToolOptionsProgram, UsageLineIsUnchangedByNewOptions) {
    tooltest::run_result r = run_program({"--stats"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("Usage: ") + ECHOMARK_BINARY +
                         " [-l|--listen] [--sendsize=<bytes|default=8192>] [--recvsize=<bytes|default=9192>] "
                         "[-c <count|default=100>] [-t <timeout|default=0.250000>] <-h ipaddr> <-p ipport>\n");
}

// --help: the usage line, then one line for every option beyond it, status 0;
// --version likewise.  Both win over everything else on the line.
TEST(ToolOptionsProgram, HelpNamesEveryOptionAndVersionItsNumber) {
    tooltest::run_result r = run_program({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = tooltest::lines_of(r.out);
    ASSERT_GE(lines.size(), 2U) << r.out;
    EXPECT_EQ(lines[0], std::string("Usage: ") + ECHOMARK_BINARY +
                            " [-l|--listen] [--sendsize=<bytes|default=8192>] [--recvsize=<bytes|default=9192>] "
                            "[-c <count|default=100>] [-t <timeout|default=0.250000>] <-h ipaddr> <-p ipport>");
    for (const char* option : {"-6 ", "--help ", "--version ", "--count=<", "--duration=<", "--every=<",
                               "--fail-loss=<", "--stats ", "--precise ", "--csv=<", "--json=<", "--svg=<", "--quiet ",
                               "--interval=<", "--tos=<", "--ttl=<", "--maxreply=<"}) {
        EXPECT_EQ(
            tooltest::matching(lines, "  " + std::regex_replace(option, std::regex("[-=<]"), "\\$&") + ".*").size(), 1U)
            << option << "\n"
            << r.out;
    }
    tooltest::run_result version = run_program({"-h", "127.0.0.1", "--version", "-p", "9"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("echomark \\d+\\.\\d+\\.\\d+\n"))) << version.out;
}

// --- per-probe facts -------------------------------------------------------------

struct reply_event {
    int probe;
    int cycle;     // facts_drain_cycle for the drain
    double after;  // arrival, in seconds after the probe's send
    reply_verdict verdict;
};

TEST(ToolProbeFacts, RepliesAreSortedByHowTheyCame) {
    probe_facts& f = echomarkfacts;
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
    probe_facts_reset(&echomarkfacts, 20000);
    EXPECT_EQ(echomarkfacts.count, echomark_slots);
    probe_facts_sent(&echomarkfacts, echomark_slots, 1.0, 1.0);  // ignored, no write beyond
    probe_facts_reply(&echomarkfacts, echomark_slots - 1, echomark_slots - 1, 1.0);
    EXPECT_EQ(echomarkfacts.foreign, 1);  // never sent
    probe_facts_reset(&echomarkfacts, -4);
    EXPECT_EQ(echomarkfacts.count, 0);
}

// --- statistics ---------------------------------------------------------------------

// Facts of a run whose probes all left at 0 on the monotonic clock; rtts[i]
// > 0 is an own-cycle round trip, 0 a probe without reply.
void facts_with(const std::vector<double>& rtts) {
    probe_facts_reset(&echomarkfacts, static_cast<int>(rtts.size()));
    for (int i = 0; i < static_cast<int>(rtts.size()); i++) {
        probe_facts_sent(&echomarkfacts, i, 0.0, 0.0);
        if (rtts[i] > 0) probe_facts_reply(&echomarkfacts, i, i, rtts[i]);
    }
}

TEST(ToolStatistics, FiguresOfAKnownSet) {
    facts_with({0.004, 0.001, 0, 0.003, 0.002});
    // The drained reply has its round trip too.
    probe_facts_reply(&echomarkfacts, 2, facts_drain_cycle, 0.005);
    run_statistics s;
    statistics_compute(&echomarkfacts, &s);
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
        statistics_compute(&echomarkfacts, &s);
        EXPECT_DOUBLE_EQ(s.rtt.median, c.median / 1000.0) << c.values;
        EXPECT_DOUBLE_EQ(s.rtt.p90, c.p90 / 1000.0) << c.values;
        EXPECT_DOUBLE_EQ(s.rtt.p99, c.p99 / 1000.0) << c.values;
        EXPECT_NEAR(s.rtt.jitter, c.values > 1 ? 0.001 : 0.0, 1e-12) << c.values;
    }
}

std::string printed(const run_statistics& s) {
    std::string path = tooltest::temp_path();
    std::FILE* out = std::fopen(path.c_str(), "w");
    statistics_print(&s, out);
    std::fclose(out);
    std::string text = tooltest::read_file(path);
    std::remove(path.c_str());
    return text;
}

TEST(ToolStatistics, BlockWithoutRoundTripsAndWithOne) {
    facts_with({0, 0});
    probe_facts_reply(&echomarkfacts, 40, 1, 0.5);
    run_statistics s;
    statistics_compute(&echomarkfacts, &s);
    EXPECT_EQ(printed(s),
              "stats(): probes=2 sent=2 own=0 late=0 (cycle=0 drain=0) never=2\n"
              "stats(): duplicates=0 foreign=1\n"
              "stats(): rtt count=0\n");

    facts_with({0, 0});
    probe_facts_reply(&echomarkfacts, 0, 1, 0.000123456);  // late
    probe_facts_reply(&echomarkfacts, 0, 1, 0.5);          // and again
    statistics_compute(&echomarkfacts, &s);
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
    statistics_compute(&echomarkfacts, &s);
    std::vector<std::string> hist = tooltest::matching(tooltest::lines_of(printed(s)), "stats\\(\\): hist .*");
    ASSERT_EQ(hist.size(), static_cast<size_t>(histogram_bins));
    EXPECT_EQ(hist[0], "stats(): hist 0.001000000-0.002000000 |" + std::string(40, '#') + "| 9");
    EXPECT_EQ(hist[1], "stats(): hist 0.002000000-0.003000000 |" + std::string(40, ' ') + "| 0");
    EXPECT_EQ(hist[9], "stats(): hist 0.010000000-0.011000000 |" + std::string(14, '#') + std::string(26, ' ') + "| 3");
}

// Streaming figures: exact where they can be, percentiles within half a bucket.
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
TEST(ToolLongRun, RepliesBeyondTheRecordAndIntervalLines) {
    static long_run run;
    long_run_begin(&run, true, 10.0, 1.0, 100.0);
    EXPECT_FALSE(long_run_over(&run, 109.9));
    EXPECT_TRUE(long_run_over(&run, 110.0));
    for (int probe : {9999, 10000, 10001, 10002}) long_run_sent(&run, probe, 100.0 + probe * 1e-6);
    EXPECT_DOUBLE_EQ(long_run_leaving(&run, 10002), 100.0 + 10002 * 1e-6);
    EXPECT_DOUBLE_EQ(long_run_leaving(&run, 10000), 100.0 + 10000 * 1e-6);
    EXPECT_FALSE(long_run_first_beyond(&run, 9999));  // the record's own business
    EXPECT_TRUE(long_run_first_beyond(&run, 10001));
    EXPECT_FALSE(long_run_first_beyond(&run, 10001));  // a copy
    EXPECT_FALSE(long_run_first_beyond(&run, 10003));  // not sent yet
    EXPECT_FALSE(long_run_first_beyond(&run, -5));
    long_run_received(&run, 0.002);
    long_run_received(&run, -1.0);  // counted, with no round trip
    long_run_received(&run, 0.004);
    // A probe number a whole window later clears the slot it shares.
    long_run_sent(&run, 10001 + long_run_window, 101.0);
    EXPECT_FALSE(long_run_first_beyond(&run, 10001));  // older than the window
    EXPECT_TRUE(long_run_first_beyond(&run, 10001 + long_run_window));

    std::string path = tooltest::temp_path();
    std::FILE* out = std::fopen(path.c_str(), "w");
    long_run_tick(&run, 100.5, out);  // not due
    long_run_tick(&run, 103.7, out);  // due, and three intervals late: one line
    long_run_tick(&run, 103.9, out);  // next at 104
    long_run_tick(&run, 104.0, out);  // empty interval
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

// --- result files ---------------------------------------------------------------------

TEST(ToolResultsFile, TextFieldsAreQuotedSoTheFilesStayReadable) {
    static echomark_record record;
    std::memset(&record, 0, sizeof record);
    facts_with({});
    run_statistics stats;
    statistics_compute(&echomarkfacts, &stats);
    const char* address = "a\"b\\c,\n\x01\xff";
    run_settings settings = {address, 7, 0, 1, 2, INFINITY, 0.0, false};
    run_results results = {&settings, &record, &echomarkfacts, &stats};

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

// --- the pause ------------------------------------------------------------------------

TEST(ToolPause, LastsWhatItAsksAndNothingForNonPositiveValues) {
    for (double seconds : {0.0005, 0.02}) {
        double start = platform::monotonic_seconds();
        platform::pause_seconds(seconds);
        EXPECT_GE(platform::monotonic_seconds() - start, seconds) << seconds;
    }
    double start = platform::monotonic_seconds();
    platform::pause_seconds(0.0);
    platform::pause_seconds(-5.0);
    platform::pause_seconds(std::nan(""));
    EXPECT_LT(platform::monotonic_seconds() - start, 0.5);
}

}  // namespace
