// Helpers of the metrics tests: Prometheus' own checker on a page, a small
// HTTP client over loopback built on the socket library, and a real
// Prometheus server with its queries.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// The value of the sample `series` (name and labels as written) on a page;
// NaN when the page has no such line.
inline double sample(const std::string& page, const std::string& series) {
    std::string key = "\n" + series + " ";
    size_t at = ("\n" + page).find(key);
    if (at == std::string::npos) return std::nan("");
    return std::strtod(page.c_str() + at + key.size() - 1, nullptr);
}

// --- a real Prometheus server --------------------------------------------------------

inline int free_tcp_port() {
    int sock = platform::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = tooltest::loopback(0);
    platform::bind(sock, &address, sizeof address);
    int length = sizeof address;
    platform::getsockname(sock, &address, &length);
    platform::closesocket(sock);
    return ntohs(address.sin_port);
}

inline std::string url_encoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// Prometheus on loopback with a data folder of its own, scraping every
// second (job "echomark") the endpoints on 127.0.0.1 at `ports`.
struct prometheus_server {
    pid_t pid = -1;
    int port = 0;
    std::string folder;
    std::string log_path;
};

inline bool prometheus_start(prometheus_server* server, const std::vector<int>& ports) {
    char folder_pattern[] = "/tmp/echomark-prometheus-XXXXXX";
    if (mkdtemp(folder_pattern) == nullptr) return false;
    server->folder = folder_pattern;
    server->port = free_tcp_port();
    {
        std::ofstream config(server->folder + "/prometheus.yml");
        config << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
               << "scrape_configs:\n  - job_name: echomark\n    static_configs:\n      - targets: [";
        for (size_t i = 0; i < ports.size(); i++) config << (i > 0 ? ", " : "") << "'127.0.0.1:" << ports[i] << "'";
        config << "]\n";
    }
    const std::string config_flag = "--config.file=" + server->folder + "/prometheus.yml";
    const std::string storage_flag = "--storage.tsdb.path=" + server->folder + "/data";
    const std::string listen_flag = "--web.listen-address=127.0.0.1:" + std::to_string(server->port);
    server->log_path = server->folder + "/prometheus.log";
    std::fflush(stdout);
    server->pid = fork();
    if (server->pid == 0) {
        FILE* log = std::freopen(server->log_path.c_str(), "w", stderr);
        if (log != nullptr) dup2(fileno(log), 1);
        execl(prometheus_path, "prometheus", config_flag.c_str(), storage_flag.c_str(), listen_flag.c_str(),
              "--log.level=warn", static_cast<char*>(nullptr));
        _exit(127);
    }
    return server->pid > 0;
}

inline void prometheus_stop(prometheus_server* server) {
    if (server->pid > 0) {
        kill(server->pid, SIGTERM);
        tooltest::wait_program(server->pid, 15.0);
        server->pid = -1;
    }
    if (!server->folder.empty()) std::filesystem::remove_all(server->folder);
}

// The value of an instant query's first series; NaN when there is none.
inline double query(int port, const std::string& promql) {
    http_reply reply = ask(port, get("/api/v1/query?query=" + url_encoded(promql)), 5.0);
    size_t at = reply.body.find("\"value\":[");
    if (reply.status != 200 || at == std::string::npos) return std::nan("");
    size_t comma = reply.body.find(",\"", at);
    if (comma == std::string::npos) return std::nan("");
    return std::strtod(reply.body.c_str() + comma + 2, nullptr);
}

// Polls a query until it has a value, at most `seconds`.
inline double query_within(int port, const std::string& promql, double seconds) {
    double until = platform::monotonic_seconds() + seconds;
    double value = query(port, promql);
    while (std::isnan(value) && platform::monotonic_seconds() < until) {
        platform::Sleep(200);
        value = query(port, promql);
    }
    return value;
}

}  // namespace metricstest
