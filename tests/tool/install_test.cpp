// Installation: `cmake --install` into a fresh prefix gives the program, its
// man page and a package that another project finds and links; the man page
// documents every option.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"

namespace {

std::string build_folder() {
    std::string binary = ECHOMARK_BINARY;
    return binary.substr(0, binary.rfind('/'));
}

// Output and status of a shell command.
int shell(const std::string& command, std::string* output) {
    std::string path = tooltest::temp_path();
    int status = std::system((command + " >" + path + " 2>&1").c_str());
    *output = tooltest::read_file(path);
    std::remove(path.c_str());
    return status;
}

TEST(ToolInstall, PrefixHoldsProgramManPageAndAPackageAConsumerLinks) {
    if (std::system("command -v cmake >/dev/null 2>&1") != 0) GTEST_SKIP() << "cmake is not on the path";
    char work[] = "/tmp/echomark-install-XXXXXX";
    ASSERT_NE(mkdtemp(work), nullptr);
    // Libraries built with the sanitizers need them in the consumer as well.
#if defined(__SANITIZE_ADDRESS__)
    const std::string flags = "'-fsanitize=address,undefined'";
#else
    const std::string flags = "''";
#endif
    std::string output;
    int status = shell(
        "sh " ECHOMARK_SOURCE_DIR "/tests/install_consumer.sh " + build_folder() + " " + work + " " + flags, &output);
    EXPECT_EQ(status, 0) << output;
    // The consumer's own line: 127.0.0.1 as it lies in memory, the port, a size.
    EXPECT_NE(output.find("0100007F 7 2.000 kB\n"), std::string::npos) << output;
    shell(std::string("rm -rf ") + work, &output);
}

TEST(ToolInstall, ManPageDocumentsEveryOptionAndRendersCleanly) {
    std::string page = tooltest::read_file(ECHOMARK_SOURCE_DIR "/tool/echomark.1");
    ASSERT_FALSE(page.empty());
    // Every option has an item of its own: the line after a .TP names it.
    std::string items;
    std::vector<std::string> lines = tooltest::lines_of(page);
    for (std::size_t i = 0; i + 1 < lines.size(); i++) {
        if (lines[i] == ".TP") items += lines[i + 1] + "\n";
    }
    for (const char* option : {".BR \\-l \", \" \\-\\-listen\n", ".BI \\-h \" ipaddr\"\n", ".BI \\-p \" ipport\"\n",
                               ".BI \\-\\-sendsize= bytes\n", ".BI \\-\\-recvsize= bytes\n", ".BI \\-c \" count\"\n",
                               ".BI \\-t \" timeout\"\n", ".B \\-\\-stats\n", ".B \\-\\-precise\n",
                               ".BI \\-\\-csv= file\n", ".BI \\-\\-json= file\n", ".B \\-\\-quiet\n",
                               ".BI \\-\\-interval= seconds\n", ".BI \\-\\-maxreply= bytes\n", ".B \\-6\n",
                               ".BI \\-\\-fail\\-loss= percent\n", ".BI \\-\\-tos= n\n", ".BI \\-\\-ttl= n\n",
                               ".B \\-\\-help\n", ".B \\-\\-version\n", ".B \\-\\-echo\n",
                               ".B \\-\\-nobudget\n", ".BI \\-\\-count= n\n", ".BI \\-\\-duration= seconds\n",
                               ".BI \\-\\-every= seconds\n", ".BI \\-\\-rate= probes\n",
                               ".BI \\-\\-send\\-interval= seconds\n", ".BI \\-\\-schedule= kind\n",
                               ".BI \\-\\-seed= n\n", ".BI \\-\\-fail\\-rtt= figure : seconds\n",
                               ".BI \\-\\-fail\\-jitter= seconds\n", ".B \\-\\-oneway\n",
                               ".BI \\-\\-ssid= n\n"}) {
        EXPECT_NE(items.find(option), std::string::npos) << option;
    }
    for (const char* line : {"stats(): rtt count=", "stats(): jitter=", "stats(): hist ", "main(): i=",
                             "replysize>maxreply=", "index,sent,stime,rtime,reply,replies,rtt", "name,value",
                             "reason=R lastpkts=n", "stopped by signal", "create_sockaddr6in(AF_INET6",
                             "gethostbynamestr(", "every(): STAMP t=", "stats(): cycles=", "udp_probe(",
                             "stats(): loss periods=", "scheduled,send_time,arrival_order,outcome",
                             "stats(): oneway clocks", "t1_ns,t2_ns,t3_ns,t4_ns", "every(): STAMP t=T oneway"}) {
        EXPECT_NE(page.find(line), std::string::npos) << line;
    }
    if (std::system("command -v groff >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "groff is not installed: page not rendered";
    std::string warnings;
    EXPECT_EQ(shell("groff -man -Tutf8 -ww -z " ECHOMARK_SOURCE_DIR "/tool/echomark.1", &warnings), 0);
    EXPECT_EQ(warnings, "");
}

}  // namespace
