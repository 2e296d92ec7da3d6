// Command line and program entry: parsed values, usage and missing-value
// lines, option errors (stderr, status -1) and the socket start-up failure.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"
#include "tool/echomarkcli.hpp"
#include "tool/cli/host_address.hpp"

namespace {

using tooltest::run_program;

// args_parse on a list of arguments (argv[0] included).
int parse(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    args_init();
    return args_parse("echomark", static_cast<int>(args.size()), argv.data());
}

TEST(ToolArgs, DefaultsAfterInit) {
    EXPECT_EQ(parse({"echomark"}), 1);
    EXPECT_EQ(cmdargs_int(cmdargs_mode), 2);
    EXPECT_STREQ(cmdargs_text(cmdargs_ipaddr), "");
    EXPECT_EQ(cmdargs_int(cmdargs_ipport), 0);
    EXPECT_EQ(cmdargs_int(cmdargs_sendsize), 8192);
    EXPECT_EQ(cmdargs_int(cmdargs_recvsize), 9192);
    EXPECT_DOUBLE_EQ(cmdargs_double(cmdargs_timeout), 0.25);
    EXPECT_EQ(cmdargs_int(cmdargs_count), 100);
    // Slots no option owns stay zero.
    for (int slot : {0, 1, 9, 49}) {
        for (int i = 0; i < cmdargs_slot_size; i++) ASSERT_EQ(cmdargs[slot][i], 0) << slot;
    }
}

TEST(ToolArgs, NoArgumentsAtAllReturnsOne) {
    args_init();
    EXPECT_EQ(args_parse("echomark", 0, nullptr), 1);
    EXPECT_EQ(cmdargs_int(cmdargs_count), 100);
}

TEST(ToolArgs, ValuesAndPrefixMatching) {
    EXPECT_EQ(parse({"e", "-x", "-h", "10.0.0.1", "-p", "7"}), 6);
    EXPECT_STREQ(cmdargs_text(cmdargs_ipaddr), "10.0.0.1");
    EXPECT_EQ(cmdargs_int(cmdargs_ipport), 7);
    EXPECT_EQ(cmdargs_int(cmdargs_mode), 2);

    EXPECT_EQ(parse({"e", "-h", "10.0.0.1", "-h", "10.0.0.2"}), 5);
    EXPECT_STREQ(cmdargs_text(cmdargs_ipaddr), "10.0.0.2");

    // Text joined to a key that takes the next argument is ignored.
    parse({"e", "-p8080", "7", "-c12abc", "12abc"});
    EXPECT_EQ(cmdargs_int(cmdargs_ipport), 7);
    EXPECT_EQ(cmdargs_int(cmdargs_count), 12);

    for (const char* listen : {"-l", "-lx", "--listen", "--listenmore"}) {
        parse({"e", listen});
        EXPECT_EQ(cmdargs_int(cmdargs_mode), 1) << listen;
    }
    parse({"e", "-help", "host"});
    EXPECT_STREQ(cmdargs_text(cmdargs_ipaddr), "host");

    parse({"e", "-t", "-1", "-c", "-3", "-p", "-5", "--sendsize=16", "--recvsize=65536"});
    EXPECT_DOUBLE_EQ(cmdargs_double(cmdargs_timeout), -1.0);
    EXPECT_EQ(cmdargs_int(cmdargs_count), -3);
    EXPECT_EQ(cmdargs_int(cmdargs_ipport), -5);
    EXPECT_EQ(cmdargs_int(cmdargs_sendsize), 16);
    EXPECT_EQ(cmdargs_int(cmdargs_recvsize), 65536);

    // Sizes below the header stay allowed.
    parse({"e", "--sendsize=1", "-t", "1.5"});
    EXPECT_EQ(cmdargs_int(cmdargs_sendsize), 1);
    EXPECT_DOUBLE_EQ(cmdargs_double(cmdargs_timeout), 1.5);
}

// Numbers beyond int are held at its limits, never wrapped into small ones.
TEST(ToolArgs, NumbersBeyondIntAreHeldAtItsLimits) {
    parse({"e", "-c", "4294967396", "-p", "-4294967303"});
    EXPECT_EQ(cmdargs_int(cmdargs_count), INT_MAX);
    EXPECT_EQ(cmdargs_int(cmdargs_ipport), INT_MIN);
}

TEST(ToolArgs, HostOfMostCharactersTheSlotHolds) {
    std::string host(cmdargs_slot_size - 1, 'a');
    parse({"e", "-h", host});
    EXPECT_EQ(std::string(cmdargs_text(cmdargs_ipaddr)), host);
    EXPECT_EQ(cmdargs[cmdargs_ipaddr][cmdargs_slot_size - 1], 0);
}

// What -h may name.  Only texts that need no resolver query are here (the
// name lookups themselves are the socket library's tests); "localhost" comes
// from the hosts file.
TEST(ToolHost, DottedIpv6NamesAndRefusedTexts) {
    struct host_case {
        const char* text;
        bool want_ipv6;
        int kind;
        int family;
        const char* numeric;
    };
    const host_case cases[] = {
        {"10.0.0.1", false, host_dotted, AF_INET, "10.0.0.1"},
        {"10.0.0.1", true, host_dotted, AF_INET, "10.0.0.1"},
        {"0.0.0.0", false, host_dotted, AF_INET, "0.0.0.0"},
        {"255.255.255.255", false, host_dotted, AF_INET, "255.255.255.255"},
        {"::1", false, host_ipv6, AF_INET6, "::1"},
        {"::", true, host_ipv6, AF_INET6, "::"},
        {"2001:db8::7", false, host_ipv6, AF_INET6, "2001:db8::7"},
        {"localhost", false, host_name, AF_INET, "127.0.0.1"},
        {"999.1.1.1", false, host_none, 0, ""},
        {"1.2.3.4.5", false, host_none, 0, ""},
        {"", false, host_none, 0, ""},
    };
    for (const host_case& c : cases) {
        host_address address;
        std::memset(&address, '#', sizeof address);
        int result = host_resolve(c.text, c.want_ipv6, &address);
        EXPECT_EQ(result, c.kind == host_none ? -1 : 0) << c.text;
        EXPECT_EQ(address.kind, c.kind) << c.text;
        EXPECT_EQ(address.family, c.family) << c.text;
        EXPECT_STREQ(address.text, c.numeric) << c.text;
    }
}

// --- the program's own output and status -------------------------------------

struct cli_case {
    std::vector<std::string> args;
    int status;
    std::string out;  // "@" stands for argv[0]
    std::string err;  // "%" stands for the program name
};

std::string expand(std::string text, const std::string& marker, const std::string& value) {
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size())) {
        text.replace(at, marker.size(), value);
    }
    return text;
}

const std::string usage_tail =
    " [-l|--listen] [--sendsize=<bytes|default=%1>] [--recvsize=<bytes|default=%2>] [-c <count|default=%3>] "
    "[-t <timeout|default=%4>] <-h ipaddr> <-p ipport>\n";

std::string usage(const char* sendsize, const char* recvsize, const char* count, const char* timeout) {
    std::string line = "Usage: @" + usage_tail;
    line = expand(line, "%1", sendsize);
    line = expand(line, "%2", recvsize);
    line = expand(line, "%3", count);
    return expand(line, "%4", timeout);
}

TEST(ToolProgram, UsageAndMissingHostOrPort) {
    const std::vector<cli_case> cases = {
        {{}, 1, usage("8192", "9192", "100", "0.250000"), ""},
        {{"--sendsize=100"}, 1, usage("100", "9192", "100", "0.250000"), ""},
        {{"-l"}, 1, usage("8192", "9192", "100", "0.250000"), ""},
        {{"--recvsize=77"}, 1, usage("8192", "77", "100", "0.250000"), ""},
        {{"-h", "10.0.0.1", "-l"}, 1, "@: port needed: -p\n", ""},
        {{"-l", "-p", "7"}, 1, "@: host needed: -h\n", ""},
        {{"-l", "-c", "5"}, 1, "@: host needed: -h\n@: port needed: -p\n", ""},
        {{"-h", "10.0.0.1", "-p", "-5"}, 1, "@: port needed: -p\n", ""},
    };
    for (const cli_case& c : cases) {
        tooltest::run_result r = run_program(c.args);
        std::string where = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << where;
        EXPECT_EQ(r.out, expand(c.out, "@", ECHOMARK_BINARY)) << where;
        EXPECT_EQ(r.err, c.err) << where;
    }
}

TEST(ToolProgram, OptionErrorsGoToStderrWithStatusMinusOne) {
    const std::string long_host(cmdargs_slot_size, 'h');
    const std::vector<cli_case> cases = {
        {{"-t"}, 255, "", "%: option: -t require an argument\n"},
        {{"-c", "3", "-h"}, 255, "", "%: option: -h require an argument\n"},
        {{"-h", "10.0.0.1", "-c", "5", "-p"}, 255, "", "%: option: -p require an argument\n"},
        {{"-h", "10.0.0.1", "-c"}, 255, "", "%: option: -c require an argument\n"},
        {{"-t", "0.000"}, 255, "", "%: option -t has invalid value: '0.000'\n"},
        {{"-t", "abc"}, 255, "", "%: option -t has invalid value: 'abc'\n"},
        {{"-t", "nan"}, 255, "", "%: option -t has invalid value: 'nan'\n"},
        {{"-t", "inf"}, 255, "", "%: option -t has invalid value: 'inf'\n"},
        {{"-t", "1e309"}, 255, "", "%: option -t has invalid value: '1e309'\n"},
        {{"-h", ""}, 255, "", "%: option -h has invalid value: ''\n"},
        {{"-h", long_host}, 255, "", "%: option -h has invalid value: '" + long_host + "'\n"},
        {{"-p", "0"}, 255, "", "%: option -p has invalid value: '0'\n"},
        {{"-p", "abc", "-t"}, 255, "", "%: option -p has invalid value: 'abc'\n"},
        // No port beyond 65535, and no text that names no address.
        {{"-h", "127.0.0.1", "-p", "70000"}, 255, "", "%: option -p has invalid value: '70000'\n"},
        {{"-l", "-h", "127.0.0.1", "-p", "65536"}, 255, "", "%: option -p has invalid value: '65536'\n"},
        {{"-h", "999.1.1.1", "-p", "7"}, 255, "", "%: option -h has invalid value: '999.1.1.1'\n"},
        {{"-l", "-h", "1.2.3.4.5", "-p", "7"}, 255, "", "%: option -h has invalid value: '1.2.3.4.5'\n"},
        {{"-c", "x12"}, 255, "", "%: option -c has invalid value: 'x12'\n"},
        {{"--sendsize="}, 255, "", "%: option --sendsize has invalid value: '--sendsize='\n"},
        {{"--sendsize=-1"}, 255, "", "%: option --sendsize has invalid value: '--sendsize=-1'\n"},
        {{"--sendsize=65537"}, 255, "", "%: option --sendsize has invalid value: '--sendsize=65537'\n"},
        {{"--sendsize=4294967297"}, 255, "", "%: option --sendsize has invalid value: '--sendsize=4294967297'\n"},
        {{"--recvsize=abc"}, 255, "", "%: option --recvsize has invalid value: '--recvsize=abc'\n"},
        {{"--recvsize=-20"}, 255, "", "%: option --recvsize has invalid value: '--recvsize=-20'\n"},
        {{"--recvsize=100000"}, 255, "", "%: option --recvsize has invalid value: '--recvsize=100000'\n"},
        {{"--recvsize=4294967308"}, 255, "", "%: option --recvsize has invalid value: '--recvsize=4294967308'\n"},
        // Sizes no datagram of the destination's family can carry.
        {{"-h", "127.0.0.1", "-p", "7", "--sendsize=65508"},
         255,
         "",
         "%: option --sendsize has invalid value: '--sendsize=65508'\n"},
        {{"-h", "127.0.0.1", "-p", "7", "--recvsize=65508"},
         255,
         "",
         "%: option --recvsize has invalid value: '--recvsize=65508'\n"},
        {{"-h", "::1", "-p", "7", "--recvsize=65528"}, 255, "", "%: option --recvsize has invalid value: '--recvsize=65528'\n"},
    };
    for (const cli_case& c : cases) {
        tooltest::run_result r = run_program(c.args);
        std::string where = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << where;
        EXPECT_EQ(r.out, c.out) << where;
        EXPECT_EQ(r.err, expand(c.err, "%", "echomark")) << where;
    }
}

TEST(ToolProgram, ProgramNameIsTheTextAfterTheLastSlash) {
    tooltest::run_result bare = run_program({"-t"}, 30.0, "plainname");
    EXPECT_EQ(bare.err, "plainname: option: -t require an argument\n");
    tooltest::run_result nested = run_program({"-t"}, 30.0, "/a/b/c/prog");
    EXPECT_EQ(nested.err, "prog: option: -t require an argument\n");
    // The usage line keeps argv[0] whole.
    tooltest::run_result usage_run = run_program({}, 30.0, "/a/b/c/prog");
    EXPECT_EQ(usage_run.out.rfind("Usage: /a/b/c/prog [-l|--listen]", 0), 0U) << usage_run.out;
}

TEST(ToolProgram, SocketStartUpFailure) {
    std::string a0 = "echomark", a1 = "-h", a2 = "127.0.0.1", a3 = "-p", a4 = "9";
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
    platform::fail_next_startups(1);
    ::testing::internal::CaptureStdout();
    int status = echomark_main(5, argv);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "sockWSASockInit(): Couldn't find usable socket driver.\n");
}

}  // namespace
