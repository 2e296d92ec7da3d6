// Helpers of the metrics tests: Prometheus' own checker on a page, and a
// small HTTP client over loopback built on the socket library.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/winsock.hpp"
#include "socketlib/socket.hpp"
#include "tests/support/tool_test_support.hpp"

namespace metricstest {

constexpr const char* promtool_path = "/usr/bin/promtool";
constexpr const char* prometheus_path = "/usr/bin/prometheus";

inline bool installed(const char* path) { return access(path, X_OK) == 0; }

// Runs `promtool check metrics` on the text (on its standard input): true
// when it accepts it; what it said goes to *said.
inline bool promtool_accepts(const std::string& text, std::string* said) {
    std::string out_path = tooltest::temp_path();
    std::string command = std::string(promtool_path) + " check metrics >" + out_path + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "w");
    if (pipe == nullptr) return false;
    std::fwrite(text.data(), 1, text.size(), pipe);
    int status = pclose(pipe);
    *said = tooltest::read_file(out_path);
    std::remove(out_path.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A TCP client socket that carries no start-up of the socket layer, so the
// tests can count the endpoint's alone.  -1 when the connection failed.
inline int connect_loopback(int port, double seconds = 2.0) {
    int sock = platform::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock < 0) return -1;
    sockaddr_in to = tooltest::loopback(port);
    if (socketlib::tcp_connect(sock, &to, seconds) <= 0) {
        platform::closesocket(sock);
        return -1;
    }
    return sock;
}

struct http_reply {
    int status = 0;       // the status code; 0 when no status line came
    bool closed = false;  // the server closed (or reset) the connection
    std::string head;     // up to the empty line
    std::string body;
    std::string raw;
};

// Reads until the server closes or `seconds` pass.
inline http_reply read_reply(int sock, double seconds) {
    http_reply reply;
    double until = platform::monotonic_seconds() + seconds;
    char buffer[16384];
    for (;;) {
        double left = until - platform::monotonic_seconds();
        if (left <= 0) break;
        int got = socketlib::tcp_onerecv(sock, buffer, sizeof buffer, left);
        if (got == socketlib::SOCK_ERR_TIMEOUT) break;
        if (got <= 0) {
            reply.closed = true;
            break;
        }
        reply.raw.append(buffer, static_cast<size_t>(got));
    }
    size_t end = reply.raw.find("\r\n\r\n");
    if (reply.raw.compare(0, 9, "HTTP/1.1 ") == 0 && end != std::string::npos) {
        reply.status = std::atoi(reply.raw.c_str() + 9);
        reply.head = reply.raw.substr(0, end + 4);
        reply.body = reply.raw.substr(end + 4);
    }
    return reply;
}

// Sends `request` whole and reads the reply.
inline http_reply ask(int port, const std::string& request, double seconds = 3.0) {
    int sock = connect_loopback(port);
    if (sock < 0) return {};
    socketlib::tcp_send(sock, request.data(), static_cast<int>(request.size()), seconds);
    http_reply reply = read_reply(sock, seconds);
    platform::closesocket(sock);
    return reply;
}

inline std::string get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: echomark-test\r\nConnection: close\r\n\r\n";
}

}  // namespace metricstest
