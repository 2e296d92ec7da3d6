// The targets and flows of a run of many (--target=, --targets=, --flows=):
// what each target was named, where its probes go, and the record of each
// of its flows.  The entry fills the table once before the run; the engine
// moves a target to its new address when its name is looked up again; the
// reports and the metrics page read it.
#pragma once

#include "platform/winsock.hpp"
#include "tool/record/flow_record.hpp"

// Targets times flows in one run at most, and flows per target at most.
constexpr int run_flows_max = 256;
constexpr int run_flows_per_target_max = 64;
// A host as named: a name of at most 253 characters, or address text.
constexpr int target_host_size = 256;
// "host:port", "[v6]:port".
constexpr int target_label_size = target_host_size + 8;
constexpr int target_address_text_size = 46;

struct run_target {
    char label[target_label_size];  // as named, with its port: the reports' and the metrics' name
    char host[target_host_size];    // the host as named
    int port;
    bool named;  // a host name, not address text: looked up again during the run
    int family;  // AF_INET or AF_INET6
    sockaddr_in6 address;  // where its probes go (an IPv4 record fills the first bytes)
    int address_length;
    char address_text[target_address_text_size];  // numeric text of the address
};

struct run_flow {
    int target;       // index in the run's targets
    int flow;         // 0 .. flows-1 within the target
    int source_port;  // the port its probes leave from
    flow_record record;
};

struct run_targets {
    int target_count;
    int flows;          // per target
    run_target* target;  // target_count entries
    run_flow* flow;      // target_count * flows entries: target t's flow j at t * flows + j
};
