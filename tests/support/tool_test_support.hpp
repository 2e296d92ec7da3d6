// Helpers shared by the tool's tests: loopback UDP peers, the built program
// as a child process, and line matching on captured output.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/winsock.hpp"

namespace tooltest {

// --- loopback UDP ------------------------------------------------------------

inline sockaddr_in loopback(int port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A UDP socket bound to 127.0.0.1 at a free port (written to *port).
inline int open_udp(int* port) {
    int sock = platform::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0) return -1;
    sockaddr_in address = loopback(0);
    if (platform::bind(sock, &address, sizeof address) != 0) {
        platform::closesocket(sock);
        return -1;
    }
    int length = sizeof address;
    platform::getsockname(sock, &address, &length);
    *port = ntohs(address.sin_port);
    return sock;
}

// A port nobody is bound to right now.
inline int free_port() {
    int port = 0;
    int sock = open_udp(&port);
    platform::closesocket(sock);
    return port;
}

// True when some socket already holds 127.0.0.1:port.
inline bool port_taken(int port) {
    int sock = platform::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = loopback(port);
    bool taken = platform::bind(sock, &address, sizeof address) != 0;
    platform::closesocket(sock);
    return taken;
}

// Waits up to `seconds` for someone to bind the port.
inline bool wait_port_taken(int port, double seconds) {
    double deadline = platform::monotonic_seconds() + seconds;
    while (!port_taken(port)) {
        if (platform::monotonic_seconds() > deadline) return false;
        platform::Sleep(10);
    }
    return true;
}

inline int send_to(int sock, const void* data, int length, int port) {
    sockaddr_in to = loopback(port);
    return platform::sendto(sock, data, length, 0, &to, sizeof to);
}

// Receives one datagram within `seconds`: its length, -2 on time-out, -1 on error.
inline int receive_within(int sock, void* buffer, int length, double seconds, sockaddr_in* from = nullptr) {
    platform::socket_set set;
    platform::socket_set_zero(&set);
    platform::socket_set_add(sock, &set);
    platform::timeval tv = platform::timeval_from_seconds(seconds);
    int ready = platform::select(sock + 1, &set, nullptr, nullptr, &tv);
    if (ready == 0) return -2;
    if (ready < 0) return -1;
    sockaddr_in source;
    int source_length = sizeof source;
    int received = platform::recvfrom(sock, buffer, length, 0, &source, &source_length);
    if (from != nullptr) *from = source;
    return received;
}

// --- the built program as a child process ------------------------------------

struct run_result {
    int status = -1000;  // exit status, or -1000 - signal when killed
    std::string out;
    std::string err;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string temp_path() {
    char pattern[] = "/tmp/echomark-test-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    return pattern;
}

// Starts the program with the arguments after argv[0]; stdout and stderr go to files.
inline pid_t start_program(const std::vector<std::string>& args, const std::string& out_path,
                           const std::string& err_path, const char* argv0 = ECHOMARK_BINARY) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(argv0));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        execv(ECHOMARK_BINARY, argv.data());
        _exit(127);
    }
    return pid;
}

// Waits up to `seconds` for the child; kills it when it takes longer.
inline int wait_program(pid_t pid, double seconds) {
    double deadline = platform::monotonic_seconds() + seconds;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (platform::monotonic_seconds() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        platform::Sleep(5);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1000 - WTERMSIG(status);
}

inline run_result run_program(const std::vector<std::string>& args, double seconds = 30.0,
                              const char* argv0 = ECHOMARK_BINARY) {
    std::string out_path = temp_path();
    std::string err_path = temp_path();
    pid_t pid = start_program(args, out_path, err_path, argv0);
    run_result result;
    result.status = wait_program(pid, seconds);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return result;
}

// --- output lines --------------------------------------------------------------

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Lines that match the pattern completely.
inline std::vector<std::string> matching(const std::vector<std::string>& lines, const std::string& pattern) {
    std::regex re(pattern);
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (std::regex_match(line, re)) found.push_back(line);
    }
    return found;
}

inline int count_matching(const std::string& text, const std::string& pattern) {
    return static_cast<int>(matching(lines_of(text), pattern).size());
}

// The time stamp that starts every line about a datagram.
inline const std::string stamp = R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d(\.\d{6})?)";

}  // namespace tooltest
