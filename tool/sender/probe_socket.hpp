// The sender's socket: its destination, the IP header fields of its probes,
// and the waits, sends and receives of one probe cycle.
//
// These call the platform directly rather than the library's UDP operations:
// the measurement is of exactly one select and one sendto or recvfrom per
// step, and the library's blocking receive would clear the whole 65536-byte
// buffer before every reply.
#pragma once

#include "platform/winsock.hpp"

struct probe_socket {
    int sock;
    sockaddr_in6 connaddr;  // either family: an IPv4 address fills the first 16 bytes
    int connaddr_length;
    int family;
};

// The destination's set-up lines and address; IPv6 text (it has a colon,
// dotted IPv4 never has) selects IPv6.  Then opens the socket, with the
// kernel's receive stamps on.
void probe_socket_open(probe_socket* ps, const char* ipaddr, int ipport);
// --tos= and --ttl= (sender_header_unset: leave the system's value).  A
// value the system refuses is said once; the probes then leave with its own.
void probe_socket_header(const probe_socket* ps, int tos, int ttl);

// What probe_socket_wait returns when a stop request interrupted it.
constexpr int probe_wait_stopped = -2;

// A wait for the socket alone to become readable (or writable), for at most
// `seconds`; `set` holds the socket afterwards when it is ready.  A wait
// interrupted by a stop request ends at once (probe_wait_stopped); other
// interruptions are waited out again, but not for ever.
int probe_socket_wait(const probe_socket* ps, platform::socket_set* set, bool for_read, double seconds);
// Sends `length` bytes of `buffer` to the destination.
int probe_socket_send(const probe_socket* ps, const unsigned char* buffer, int length);
// Receives one datagram into `buffer` (datagram_buffer_size bytes) and tells
// when it arrived, on the monotonic clock.
int probe_socket_receive(const probe_socket* ps, unsigned char* buffer, sockaddr_in6* from,
                         platform::receive_time* arrival);
// True when `from` is the destination's address and port.
bool probe_socket_from_destination(const probe_socket* ps, const sockaddr_in6& from);
