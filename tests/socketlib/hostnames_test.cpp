// Host name lookups through the platform resolver.  Each case runs in a
// child process with a mount namespace of its own, where a hosts file and a
// resolver configuration of the test's own stand in for the system's, so
// the answers are known and no query leaves the machine.
#include <gtest/gtest.h>

// Before the system headers: <sys/mount.h> defines FIONBIO as a macro.
#include "socketlib/socket.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

namespace {

using namespace socketlib;

constexpr int cannot_isolate = 77;

const char* const hosts_file =
    "127.0.0.1 localhost\n"
    "192.0.2.1 multi.test\n"
    "192.0.2.2 multi.test\n"
    "192.0.2.3 multi.test\n"
    "192.0.2.9 named.test alias.test\n"
    "2001:db8::5 six.test\n"
    "2001:db8::6 six.test\n";
// Nothing listens there: a query that reaches DNS is refused at once.
const char* const resolver_file = "nameserver 127.1.2.54\noptions timeout:1 attempts:1\n";

bool write_file(const std::string& path, const char* text)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    std::fputs(text, file);
    return std::fclose(file) == 0;
}

// Runs `lookups` in a child that sees the test's hosts file; what it writes
// to the string comes back.  Skips when the namespace cannot be made.
bool isolated(const std::function<void(std::string&)>& lookups, std::string* result, std::string* why)
{
    char folder[] = "/tmp/hostnames_test.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return *why = "no temporary folder", false;
    std::string hosts = std::string(folder) + "/hosts";
    std::string resolver = std::string(folder) + "/resolv.conf";
    write_file(hosts, hosts_file);
    write_file(resolver, resolver_file);

    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return *why = "no pipe", false;
    pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        alarm(30);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            mount(resolver.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            _exit(cannot_isolate);
        std::string text;
        lookups(text);
        ssize_t written = write(pipe_ends[1], text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipe_ends[1]);
    result->clear();
    char chunk[512];
    ssize_t got;
    while ((got = read(pipe_ends[0], chunk, sizeof chunk)) > 0)
        result->append(chunk, static_cast<size_t>(got));
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(hosts.c_str());
    unlink(resolver.c_str());
    rmdir(folder);
    if (WIFEXITED(status) && WEXITSTATUS(status) == cannot_isolate)
        return *why = "cannot make a mount namespace for a private hosts file (needs root)", false;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return *why = "the lookup child failed", false;
    return true;
}

#define RUN_ISOLATED(lookups, result)                       \
    do {                                                    \
        std::string why;                                    \
        if (!isolated(lookups, &result, &why)) {            \
            if (why.find("namespace") != std::string::npos) \
                GTEST_SKIP() << why;                        \
            FAIL() << why;                                  \
        }                                                   \
    } while (0)

std::string shown(const char* text)
{
    return text == nullptr ? "(null)" : text;
}

TEST(HostLookups, FirstAddressOfAName)
{
    std::string result;
    RUN_ISOLATED(
        [](std::string& out) {
            char address[16];
            out += shown(gethostbynamestr("multi.test", address)) + "|";
            out += shown(gethostbynamestr("localhost", address)) + "|";
            std::memset(address, '#', sizeof address);
            out += shown(gethostbynamestr("no-such-host.test", address)) + "|";
            out += std::to_string(address[0] == '\0' && address[15] == '\0');
        },
        result);
    EXPECT_EQ(result, "192.0.2.1|127.0.0.1|(null)|1");
}

TEST(HostLookups, FirstIpv6AddressOfAName)
{
    std::string result;
    RUN_ISOLATED(
        [](std::string& out) {
            char address[IPV6_TEXT_SIZE];
            out += shown(gethostbynamestr6("six.test", address)) + "|";
            std::memset(address, '#', sizeof address);
            // A name with only IPv4 addresses has no IPv6 answer, and the other way round.
            out += shown(gethostbynamestr6("multi.test", address)) + "|";
            out += std::to_string(address[0] == '\0' && address[IPV6_TEXT_SIZE - 1] == '\0') + "|";
            out += shown(gethostbynamestr("six.test", address)) + "|";
            out += shown(gethostbynamestr6("no-such-host.test", address));
        },
        result);
    EXPECT_EQ(result, "2001:db8::5|(null)|1|(null)|(null)");
}

TEST(HostLookups, AllAddressesWithinTheSlots)
{
    std::string result;
    RUN_ISOLATED(
        [](std::string& out) {
            char table[4][16];
            std::memset(table, '#', sizeof table);
            int count = gethostbynamestr_a("multi.test", table, 2);
            out += std::to_string(count) + ":" + table[0] + "," + table[1] + "," + std::string(table[2], 3) + "|";
            count = gethostbynamestr_a("multi.test", table, 4);
            out += std::to_string(count) + ":" + table[0] + "," + table[1] + "," + table[2] + "," +
                   std::to_string(table[3][0]) + "|";
            std::memset(table, '#', sizeof table);
            count = gethostbynamestr_a("multi.test", table, 0);
            out += std::to_string(count) + std::string(table[0], 1) + "|";
            count = gethostbynamestr_a("no-such-host.test", table, 1);
            out += std::to_string(count) + std::to_string(table[0][0]);
        },
        result);
    EXPECT_EQ(result, "2:192.0.2.1,192.0.2.2,###|3:192.0.2.1,192.0.2.2,192.0.2.3,0|0#|00");
}

TEST(HostLookups, NameOfAnAddress)
{
    std::string result;
    RUN_ISOLATED(
        [](std::string& out) {
            char name[NAMED_TEXT_SIZE];
            out += shown(gethostbyaddrstr("192.0.2.9", name)) + "|";
            std::memset(name, '#', sizeof name);
            out += shown(gethostbyaddrstr("not an address", name)) + "|";
            out += std::to_string(name[0] == '\0' && name[NAMED_TEXT_SIZE - 1] == '\0');
        },
        result);
    EXPECT_EQ(result, "named.test|(null)|1");
}

TEST(HostLookups, StartUpFailureLeavesTheOutputAlone)
{
    char address[16] = "untouched";
    char table[1][16] = {"untouched"};
    char name[NAMED_TEXT_SIZE] = "untouched";
    char six[IPV6_TEXT_SIZE] = "untouched";
    platform::fail_next_startups(4);
    EXPECT_EQ(gethostbynamestr("localhost", address), nullptr);
    EXPECT_EQ(gethostbynamestr_a("localhost", table, 1), SOCK_ERR_STARTUP);
    EXPECT_EQ(gethostbyaddrstr("127.0.0.1", name), nullptr);
    EXPECT_EQ(gethostbynamestr6("localhost", six), nullptr);
    platform::fail_next_startups(0);
    EXPECT_STREQ(address, "untouched");
    EXPECT_STREQ(table[0], "untouched");
    EXPECT_STREQ(name, "untouched");
    EXPECT_STREQ(six, "untouched");
}

}  // namespace
