// Options beyond the basic run: their parser, their refusals on the
// program's standard error, the usage line and --help.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"
#include "tool/echomarkcli.hpp"
#include "tool/cli/run_options.hpp"
#include "tool/cli/target_list.hpp"

namespace {

using tooltest::run_program;

// The options beyond the basic ones, as the latest parse left them.
const run_options& parsed() { return *args_options(); }

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
    EXPECT_FALSE(parsed().stats);
    EXPECT_FALSE(parsed().precise);
    EXPECT_FALSE(parsed().quiet);
    EXPECT_FALSE(parsed().interval_given);
    EXPECT_DOUBLE_EQ(parsed().interval, 0.001);
    EXPECT_EQ(parsed().maxreply, run_options_no_reply_limit);
    EXPECT_FALSE(parsed().echo);
    EXPECT_FALSE(parsed().nobudget);
    EXPECT_STREQ(parsed().csv_path, "");
    EXPECT_STREQ(parsed().json_path, "");
    EXPECT_STREQ(parsed().svg_path, "");
}

TEST(ToolOptionsParse, ValuesAndNeighbours) {
    parse({"--stats", "--precise", "--quiet", "--csv=out.csv", "--json=-", "--interval=0", "--maxreply=65536", "-c",
           "7", "--svg=run.svg", "--echo", "--nobudget"});
    EXPECT_TRUE(parsed().stats);
    EXPECT_TRUE(parsed().echo);
    EXPECT_TRUE(parsed().nobudget);
    EXPECT_TRUE(parsed().precise);
    EXPECT_TRUE(parsed().quiet);
    EXPECT_STREQ(parsed().csv_path, "out.csv");
    EXPECT_STREQ(parsed().json_path, "-");
    EXPECT_STREQ(parsed().svg_path, "run.svg");
    EXPECT_TRUE(parsed().interval_given);
    EXPECT_EQ(parsed().interval, 0.0);
    EXPECT_EQ(parsed().maxreply, 65536);
    EXPECT_EQ(cmdargs_int(cmdargs_count), 7);

    parse({"--interval=2.5", "--maxreply=0", "--interval=0.25"});
    EXPECT_DOUBLE_EQ(parsed().interval, 0.25);  // the later value wins
    EXPECT_EQ(parsed().maxreply, 0);

    // Switches are whole words; other near misses pass silently like any
    // unknown argument.
    parse({"--statsfile", "--precisely", "--quiet2", "--interval5", "--maxreplyx=3", "--csvfile=x", "--svgx=y",
           "--bogus", "--echoes", "--nobudget=1"});
    EXPECT_FALSE(parsed().stats);
    EXPECT_FALSE(parsed().echo);
    EXPECT_FALSE(parsed().nobudget);
    EXPECT_FALSE(parsed().precise);
    EXPECT_FALSE(parsed().quiet);
    EXPECT_FALSE(parsed().interval_given);
    EXPECT_EQ(parsed().maxreply, run_options_no_reply_limit);
    EXPECT_STREQ(parsed().csv_path, "");
    EXPECT_STREQ(parsed().svg_path, "");

    // --stamp and its two kinds; --metrics with a port, an IPv4 address, or
    // an IPv6 address in brackets.
    const struct {
        const char* argument;
        run_stamp_mode stamp;
        const char* address;
        const char* port;
    } stamp_and_metrics[] = {
        {"--stamp", run_stamp_stateless, "", ""},
        {"--stamp=stateless", run_stamp_stateless, "", ""},
        {"--stamp=stateful", run_stamp_stateful, "", ""},
        {"--metrics=9100", run_stamp_off, "", "9100"},
        {"--metrics=0.0.0.0:09100", run_stamp_off, "0.0.0.0", "9100"},
        {"--metrics=[::1]:65535", run_stamp_off, "::1", "65535"},
    };
    for (const auto& c : stamp_and_metrics) {
        parse({c.argument});
        EXPECT_EQ(parsed().stamp, c.stamp) << c.argument;
        EXPECT_EQ(parsed().metrics, c.port[0] != '\0') << c.argument;
        EXPECT_STREQ(parsed().metrics_address, c.address) << c.argument;
        EXPECT_STREQ(parsed().metrics_port, c.port) << c.argument;
    }

    // The far end's times and the STAMP session's SSID.
    parse({"--oneway", "--ssid=65535"});
    EXPECT_TRUE(parsed().measure.oneway);
    EXPECT_EQ(parsed().measure.ssid, 65535);
    parse({"--onewayx", "--ssid7"});
    EXPECT_FALSE(parsed().measure.oneway);
    EXPECT_EQ(parsed().measure.ssid, 0);

    // A value option after one that takes the next argument is that value.
    parse({"-h", "--stats"});
    EXPECT_STREQ(cmdargs_text(cmdargs_ipaddr), "--stats");
    EXPECT_FALSE(parsed().stats);

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
        {{"--stamp=stateful2"}, "echomark: option --stamp has invalid value: '--stamp=stateful2'\n"},
        {{"--stamp="}, "echomark: option --stamp has invalid value: '--stamp='\n"},
        {{"--metrics"}, "echomark: option: --metrics require an argument\n"},
        {{"--metrics=0"}, "echomark: option --metrics has invalid value: '--metrics=0'\n"},
        {{"--metrics=65536"}, "echomark: option --metrics has invalid value: '--metrics=65536'\n"},
        {{"--metrics=localhost:9100"}, "echomark: option --metrics has invalid value: '--metrics=localhost:9100'\n"},
        {{"--metrics=::1:9100"}, "echomark: option --metrics has invalid value: '--metrics=::1:9100'\n"},
        {{"--metrics=[127.0.0.1]:9100"},
         "echomark: option --metrics has invalid value: '--metrics=[127.0.0.1]:9100'\n"},
        {{"--metrics=:9100"}, "echomark: option --metrics has invalid value: '--metrics=:9100'\n"},
        {{"--count=0"}, "echomark: option --count has invalid value: '--count=0'\n"},
        {{"--count=2147483648"}, "echomark: option --count has invalid value: '--count=2147483648'\n"},
        {{"--duration=0"}, "echomark: option --duration has invalid value: '--duration=0'\n"},
        {{"--duration=nan"}, "echomark: option --duration has invalid value: '--duration=nan'\n"},
        {{"--every=-1"}, "echomark: option --every has invalid value: '--every=-1'\n"},
        {{"--every=86401"}, "echomark: option --every has invalid value: '--every=86401'\n"},
        {{"--every=0.001"}, "echomark: option --every has invalid value: '--every=0.001'\n"},
        {{"--every=1e-300"}, "echomark: option --every has invalid value: '--every=1e-300'\n"},
        {{"--count", "5"}, "echomark: option: --count require an argument\n"},
        {{"--every"}, "echomark: option: --every require an argument\n"},
        {{"--rate=0"}, "echomark: option --rate has invalid value: '--rate=0'\n"},
        {{"--rate=-5"}, "echomark: option --rate has invalid value: '--rate=-5'\n"},
        {{"--rate=inf"}, "echomark: option --rate has invalid value: '--rate=inf'\n"},
        {{"--rate=nan"}, "echomark: option --rate has invalid value: '--rate=nan'\n"},
        {{"--rate=1k"}, "echomark: option --rate has invalid value: '--rate=1k'\n"},
        {{"--send-interval=0"}, "echomark: option --send-interval has invalid value: '--send-interval=0'\n"},
        {{"--send-interval=86401"}, "echomark: option --send-interval has invalid value: '--send-interval=86401'\n"},
        {{"--schedule=burst"}, "echomark: option --schedule has invalid value: '--schedule=burst'\n"},
        {{"--seed=-1"}, "echomark: option --seed has invalid value: '--seed=-1'\n"},
        {{"--seed=1.5"}, "echomark: option --seed has invalid value: '--seed=1.5'\n"},
        {{"--seed=18446744073709551616"},
         "echomark: option --seed has invalid value: '--seed=18446744073709551616'\n"},
        {{"--fail-rtt=p99"}, "echomark: option --fail-rtt has invalid value: '--fail-rtt=p99'\n"},
        {{"--fail-rtt=p0:1"}, "echomark: option --fail-rtt has invalid value: '--fail-rtt=p0:1'\n"},
        {{"--fail-rtt=p101:1"}, "echomark: option --fail-rtt has invalid value: '--fail-rtt=p101:1'\n"},
        {{"--fail-rtt=q99:1"}, "echomark: option --fail-rtt has invalid value: '--fail-rtt=q99:1'\n"},
        {{"--fail-rtt=p99:-1"}, "echomark: option --fail-rtt has invalid value: '--fail-rtt=p99:-1'\n"},
        {{"--fail-rtt=max:"}, "echomark: option --fail-rtt has invalid value: '--fail-rtt=max:'\n"},
        {{"--fail-jitter=abc"}, "echomark: option --fail-jitter has invalid value: '--fail-jitter=abc'\n"},
        {{"--rate"}, "echomark: option: --rate require an argument\n"},
        {{"--ssid"}, "echomark: option: --ssid require an argument\n"},
        {{"--ssid=65536"}, "echomark: option --ssid has invalid value: '--ssid=65536'\n"},
        {{"--ssid=-1"}, "echomark: option --ssid has invalid value: '--ssid=-1'\n"},
        {{"--seed", "7"}, "echomark: option: --seed require an argument\n"},
        // A window no memory of the program holds: refused before any probe.
        {{"-h", "127.0.0.1", "-p", "9", "--rate=1e8"}, "echomark: option --rate has invalid value: '--rate=1e8'\n"},
        {{"-h", "127.0.0.1", "-p", "9", "--send-interval=0.000001", "-t", "1"},
         "echomark: option --send-interval has invalid value: '--send-interval=0.000001'\n"},
        // The walk stops at the first error.
        {{"--interval=-1", "-t"}, "echomark: option --interval has invalid value: '--interval=-1'\n"},
        // Runs of many targets and flows.
        {{"--flows=0"}, "echomark: option --flows has invalid value: '--flows=0'\n"},
        {{"--flows=65"}, "echomark: option --flows has invalid value: '--flows=65'\n"},
        {{"--flows=2x"}, "echomark: option --flows has invalid value: '--flows=2x'\n"},
        {{"--target="}, "echomark: option --target has invalid value: '--target='\n"},
        {{"--targets="}, "echomark: option --targets has invalid value: '--targets='\n"},
        {{"--target", "a:1"}, "echomark: option: --target require an argument\n"},
        {{"--target=127.0.0.1"}, "echomark: option --target '127.0.0.1': no port: give one, or -p\n"},
        {{"--target=127.0.0.1:0"}, "echomark: option --target has invalid value: '127.0.0.1:0'\n"},
        {{"--target=[::1:9"}, "echomark: option --target has invalid value: '[::1:9'\n"},
        {{"--target=a b:9"}, "echomark: option --target has invalid value: 'a b:9'\n"},
        {{"--target=127.0.0.1:9", "--target=127.0.0.1:9"},
         "echomark: target '127.0.0.1:9': the same address and port as an earlier target\n"},
        {{"--target=no-such-host.invalid:9"}, "echomark: target 'no-such-host.invalid:9': names no address\n"},
        {{"--targets=/nonexistent-folder/peers"},
         "echomark: option --targets cannot read '/nonexistent-folder/peers': No such file or directory\n"},
        {{"--target=127.0.0.1:9", "--target=127.0.0.2:9", "--target=127.0.0.3:9", "--target=127.0.0.4:9",
          "--target=127.0.0.5:9", "--flows=64"},
         "echomark: option --flows '64': more targets times flows than a run holds (256)\n"},
        {{"--target=127.0.0.1:9", "--svg=run.svg"},
         "echomark: option --svg 'run.svg': the picture is of a run of one target and one flow\n"},
        // The sender's page is served between the sends of a schedule.
        {{"-h", "127.0.0.1", "-p", "9", "--metrics=9100"},
         "echomark: option --metrics needs a scheduled sender run: add --rate= or --send-interval=\n"},
    };
    for (const refusal& c : cases) {
        tooltest::run_result r = run_program(c.args);
        std::string where = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, 255) << where;
        EXPECT_EQ(r.out, "") << where;
        EXPECT_EQ(r.err, c.err) << where;
    }
}

// A targets file: comments and blank lines skipped, the line of a bad
// target named.
TEST(ToolOptionsProgram, TargetsFileIsRefusedAtItsBadLine) {
    const std::string path = tooltest::temp_path();
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"# peers\n\n127.0.0.1:9 # first\n   [::1\n", "line 4: no target"},
        {"127.0.0.1:9\nlocalhost\n", "line 2: a target without a port, and no -p"},
    };
    for (const auto& c : cases) {
        std::FILE* file = std::fopen(path.c_str(), "w");
        std::fputs(c.text, file);
        std::fclose(file);
        tooltest::run_result r = run_program({"--targets=" + path});
        EXPECT_EQ(r.status, 255) << c.text;
        EXPECT_EQ(r.err, "echomark: option --targets '" + path + "': " + c.why + "\n") << c.text;
    }
    std::remove(path.c_str());
    // Nothing to probe: said as a missing host is.
    tooltest::run_result r = run_program({"--flows=2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "echomark: target needed: -h, --target= or --targets=\n");
}

// How a target is read: its host, its port (or the run's), and its name in
// the reports.
TEST(ToolTargetText, HostPortAndLabel) {
    const struct {
        const char* text;
        int default_port;
        int result;
        const char* host;
        int port;
        const char* label;
    } cases[] = {
        {"peer.example:4000", 0, target_text_ok, "peer.example", 4000, "peer.example:4000"},
        {"peer.example", 7, target_text_ok, "peer.example", 7, "peer.example:7"},
        {"10.0.0.1:65535", 7, target_text_ok, "10.0.0.1", 65535, "10.0.0.1:65535"},
        {"[2001:db8::1]:862", 0, target_text_ok, "2001:db8::1", 862, "[2001:db8::1]:862"},
        {"[::1]", 9, target_text_ok, "::1", 9, "[::1]:9"},
        {"fe80::1", 9, target_text_ok, "fe80::1", 9, "[fe80::1]:9"},
        {"peer.example", 0, target_text_no_port, "", 0, ""},
        {"::1", 0, target_text_no_port, "", 0, ""},
        {"peer:65536", 0, target_text_bad, "", 0, ""},
        {"peer:", 7, target_text_bad, "", 0, ""},
        {":4000", 0, target_text_bad, "", 0, ""},
        {"[peer]:4000", 0, target_text_bad, "", 0, ""},
        {"[::1]4000", 0, target_text_bad, "", 0, ""},
        {"pe/er:4000", 0, target_text_bad, "", 0, ""},
        {"1:2:3", 0, target_text_bad, "", 0, ""},
    };
    for (const auto& c : cases) {
        run_target target;
        EXPECT_EQ(target_text_read(c.text, c.default_port, &target), c.result) << c.text;
        if (c.result != target_text_ok) continue;
        EXPECT_STREQ(target.host, c.host) << c.text;
        EXPECT_EQ(target.port, c.port) << c.text;
        EXPECT_STREQ(target.label, c.label) << c.text;
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
                               "--interval=<", "--tos=<", "--ttl=<", "--maxreply=<", "--stamp[", "--metrics=[",
                               "--rate=<", "--send-interval=<", "--schedule=<", "--seed=<", "--fail-rtt=<",
                               "--fail-jitter=<", "--oneway ", "--ssid=<", "--target=<", "--targets=<", "--flows=<"}) {
        EXPECT_EQ(
            tooltest::matching(lines, "  " + std::regex_replace(option, std::regex("[-=<\\[]"), "\\$&") + ".*").size(),
            1U)
            << option << "\n"
            << r.out;
    }
    tooltest::run_result version = run_program({"-h", "127.0.0.1", "--version", "-p", "9"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("echomark \\d+\\.\\d+\\.\\d+\n"))) << version.out;
}

}  // namespace
