// The responder's cookie on the sender's side.
#include "tool/sender/probe_cookie.hpp"

#include <cstdio>
#include <cstring>

#include "platform/stop_request.hpp"

namespace {

// The hello's wait, at most: a responder that answers does so at once.
constexpr double hello_patience = 1.0;

uint32_t flags_of(const unsigned char* datagram) {
    return static_cast<uint32_t>(data_value_get(datagram, value_reserved));
}

}  // namespace

void probe_cookie_begin(probe_cookie* cookie, int sendsize, int recvsize) {
    std::memset(cookie, 0, sizeof *cookie);
    cookie->wanted = sendsize >= probe_cookie_end &&
                     static_cast<long long>(recvsize) > static_cast<long long>(probe_unproven_ratio) * sendsize;
}

void probe_cookie_hello(probe_cookie* cookie, const probe_socket* ps, double seconds, unsigned char* buffer) {
    if (!cookie->wanted) return;
    std::memset(buffer, 0, probe_cookie_end);
    data_value_set(buffer, value_reserved, static_cast<int>(probe_ask_cookie | probe_ask_hello));
    data_value_set(buffer, value_probe, -1);
    data_value_set(buffer, value_probesize, probe_cookie_end);
    data_value_set(buffer, value_replysize, probe_cookie_end);
    int sent = probe_socket_send(ps, buffer, probe_cookie_end);
    double wait = seconds > 0.0 && seconds < hello_patience ? seconds : hello_patience;
    double deadline = platform::monotonic_seconds() + wait;
    while (sent > 0 && !cookie->known && wait > 0.0) {
        platform::socket_set set;
        if (probe_socket_wait(ps, &set, true, wait) <= 0) break;
        sockaddr_in6 from;
        platform::receive_time arrival;
        int received = probe_socket_receive(ps, buffer, &from, &arrival);
        if (received >= probe_cookie_end && probe_socket_from_destination(ps, from) &&
            data_value_get(buffer, value_probe) == -1) {
            probe_cookie_learn(cookie, buffer, received);
            break;
        }
        wait = deadline - platform::monotonic_seconds();
    }
    std::printf("echomark_connect(): hello: %s\n",
                cookie->known ? "cookie received, replies may be larger than 16 times the probe"
                              : "no cookie, replies larger than 16 times the probe may be refused");
    std::memset(buffer, 0, probe_cookie_end);
}

void probe_cookie_present(const probe_cookie* cookie, unsigned char* probe) {
    if (!cookie->wanted) return;
    data_value_set(probe, value_reserved, static_cast<int>(flags_of(probe) | probe_ask_cookie));
    if (cookie->known) std::memcpy(probe + probe_cookie_offset, cookie->value, sizeof cookie->value);
}

void probe_cookie_learn(probe_cookie* cookie, const unsigned char* reply, int length) {
    if (!cookie->wanted || length < probe_cookie_end || (flags_of(reply) & probe_did_cookie) == 0) return;
    std::memcpy(cookie->value, reply + probe_cookie_offset, sizeof cookie->value);
    cookie->known = true;
}
