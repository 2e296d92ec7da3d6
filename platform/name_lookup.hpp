// A host name looked up without waiting for the answer, as Windows gives
// it with GetAddrInfoEx and an overlapped record: the lookup is started,
// runs on the system's side, and the caller looks at it again from its own
// loop until it has ended.  The record belongs to the lookup from its start
// to its end: it must stay where it is while the lookup runs.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include "platform/winsock.hpp"

namespace platform {

// Longest name a lookup takes (a DNS name has at most 253 characters).
constexpr int name_lookup_name_size = 256;

struct name_lookup {
    bool running;  // started and not yet seen to end
    char name[name_lookup_name_size];
    addrinfo hints;
    gaicb request;
    gaicb* list[1];
};

// Starts looking `name` up for its first address of `family` (AF_INET or
// AF_INET6).  False when the lookup could not start (a name too long, a
// lookup of this record still running, the system refusing).
bool name_lookup_start(name_lookup* lookup, const char* name, int family);

constexpr int name_lookup_pending = 0;
constexpr int name_lookup_found = 1;
constexpr int name_lookup_failed = -1;
// Looks at the lookup without waiting: name_lookup_pending while it runs;
// name_lookup_found with the address in *out (port 0, `out_length` its
// length); name_lookup_failed when the name has no address of the family
// or the lookup could not be made.  The record is free again after either.
int name_lookup_poll(name_lookup* lookup, sockaddr_in6* out, int* out_length);

// Asks a lookup still running to stop.  True when the record is free now;
// false when the lookup goes on (the record must then stay untouched until
// the process ends).
bool name_lookup_cancel(name_lookup* lookup);

}  // namespace platform
