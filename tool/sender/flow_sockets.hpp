// The sockets of a run of many flows: flow j of every target leaves from
// the j-th socket of the target's address family, so each target sees as
// many source ports as the run has flows, and a run of many targets needs
// no more sockets than flows (per family).  Each socket is bound to a port
// of its own at once, so the set-up lines can name it.
#pragma once

#include "tool/record/run_targets.hpp"

constexpr int flow_sockets_max = 2 * run_flows_per_target_max;

struct flow_socket {
    int sock;
    int family;  // AF_INET or AF_INET6
    int flow;    // 0 .. flows-1
    int port;    // the source port the system gave it
};

struct flow_sockets {
    int count;
    flow_socket list[flow_sockets_max];
};

// Opens `flows` sockets of each family asked for (with the kernel's receive
// stamps, a receive queue of `queue_bytes` asked for, the IP header fields
// `tos` and `ttl` where set) and prints one line for each:
//   "echomark_connect(): flow=%d sock=udp_open(AF_INET): port=%d"
// 0, or -1 after the line of the first socket that could not be had (the
// sockets opened before it are closed again).
int flow_sockets_open(flow_sockets* sockets, int flows, bool ipv4, bool ipv6, int queue_bytes, int tos, int ttl);
// The index of flow `flow`'s socket of `family`, -1 when there is none.
int flow_sockets_find(const flow_sockets* sockets, int family, int flow);
void flow_sockets_close(flow_sockets* sockets);
