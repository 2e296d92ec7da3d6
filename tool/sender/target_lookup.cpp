// Names of a run's targets looked up again.
#include "tool/sender/target_lookup.hpp"

#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"

namespace {

// Numeric text of an address record of the family, or "-".
void address_text(const sockaddr_in6& address, int family, char (&text)[target_address_text_size]) {
    const void* bytes = nullptr;
    sockaddr_in v4;
    if (family == AF_INET) {
        std::memcpy(&v4, &address, sizeof v4);
        bytes = &v4.sin_addr;
    } else {
        bytes = &address.sin6_addr;
    }
    if (socketlib::inet_ntop(family, bytes, text, sizeof text) == nullptr) std::snprintf(text, sizeof text, "-");
}

// The address part of two records of the family is the same.
bool same_address(const sockaddr_in6& a, const sockaddr_in6& b, int family) {
    if (family == AF_INET6) return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
    sockaddr_in x;
    sockaddr_in y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x.sin_addr.s_addr == y.sin_addr.s_addr;
}

// The lookup of `t` ended: the target moves when it found another address.
int settle(run_target* target, int t, int result, const sockaddr_in6& found, int length) {
    if (result != platform::name_lookup_found) {
        std::printf("echomark_connect(): target=%s looked up again: no address, stays at %s\n", target->label,
                    target->address_text);
        return -1;
    }
    if (same_address(found, target->address, target->family)) return -1;
    char was[target_address_text_size];
    std::memcpy(was, target->address_text, sizeof was);
    // The port sits at the same place in both records.
    const uint16_t port = target->address.sin6_port;
    target->address = found;
    target->address.sin6_port = port;
    target->address_length = length;
    address_text(target->address, target->family, target->address_text);
    std::printf("echomark_connect(): target=%s looked up again: address=%s (was %s)\n", target->label,
                target->address_text, was);
    return t;
}

}  // namespace

void target_lookups_begin(target_lookups* lookups, const run_targets* targets, double now, double every) {
    std::memset(lookups, 0, sizeof *lookups);
    lookups->target = -1;
    lookups->every = every;
    for (int t = 0; t < targets->target_count; t++) lookups->next[t] = now + every;
}

bool target_lookups_due(const target_lookups* lookups, const run_targets* targets, double now) {
    if (lookups->target >= 0) return true;
    for (int t = 0; t < targets->target_count; t++) {
        if (targets->target[t].named && now >= lookups->next[t]) return true;
    }
    return false;
}

int target_lookups_work(target_lookups* lookups, run_targets* targets, double now) {
    if (lookups->target >= 0) {
        sockaddr_in6 found;
        int length = 0;
        const int result = platform::name_lookup_poll(&lookups->lookup, &found, &length);
        if (result == platform::name_lookup_pending) return -1;
        const int t = lookups->target;
        lookups->target = -1;
        return settle(&targets->target[t], t, result, found, length);
    }
    for (int k = 0; k < targets->target_count; k++) {
        const int t = (lookups->cursor + k) % targets->target_count;
        run_target* target = &targets->target[t];
        if (!target->named || now < lookups->next[t]) continue;
        lookups->next[t] = now + lookups->every;
        lookups->cursor = (t + 1) % targets->target_count;
        if (platform::name_lookup_start(&lookups->lookup, target->host, target->family)) {
            lookups->target = t;
        } else {
            std::printf("echomark_connect(): target=%s looked up again: no lookup could start, stays at %s\n",
                        target->label, target->address_text);
        }
        return -1;
    }
    return -1;
}

bool target_lookups_end(target_lookups* lookups) {
    if (lookups->target < 0) return true;
    if (!platform::name_lookup_cancel(&lookups->lookup)) return false;
    lookups->target = -1;
    return true;
}
