// Host names looked up without waiting: the C library's asynchronous
// getaddrinfo, its requests run on a helper thread of the library's (with
// every signal blocked there), its state looked at with gai_error.
#include "platform/name_lookup.hpp"

#include <cerrno>
#include <cstring>

namespace platform {

bool name_lookup_start(name_lookup* lookup, const char* name, int family) {
    if (lookup->running || name == nullptr) return false;
    std::size_t length = strnlen(name, sizeof lookup->name);
    if (length == 0 || length >= sizeof lookup->name) return false;
    std::memset(lookup, 0, sizeof *lookup);
    std::memcpy(lookup->name, name, length);
    lookup->hints.ai_family = family;
    lookup->hints.ai_socktype = SOCK_DGRAM;
    lookup->request.ar_name = lookup->name;
    lookup->request.ar_request = &lookup->hints;
    lookup->list[0] = &lookup->request;
    const int saved = errno;
    const int result = ::getaddrinfo_a(GAI_NOWAIT, lookup->list, 1, nullptr);
    errno = saved;
    lookup->running = result == 0;
    return lookup->running;
}

int name_lookup_poll(name_lookup* lookup, sockaddr_in6* out, int* out_length) {
    if (!lookup->running) return name_lookup_failed;
    const int state = ::gai_error(&lookup->request);
    if (state == EAI_INPROGRESS) return name_lookup_pending;
    lookup->running = false;
    addrinfo* found = lookup->request.ar_result;
    lookup->request.ar_result = nullptr;
    int result = name_lookup_failed;
    for (const addrinfo* a = found; state == 0 && a != nullptr; a = a->ai_next) {
        if (a->ai_family != lookup->hints.ai_family || a->ai_addrlen > sizeof *out) continue;
        std::memset(out, 0, sizeof *out);
        std::memcpy(out, a->ai_addr, a->ai_addrlen);
        *out_length = static_cast<int>(a->ai_addrlen);
        result = name_lookup_found;
        break;
    }
    if (found != nullptr) ::freeaddrinfo(found);
    return result;
}

bool name_lookup_cancel(name_lookup* lookup) {
    if (!lookup->running) return true;
    const int result = ::gai_cancel(&lookup->request);
    if (result == EAI_CANCELED || result == EAI_ALLDONE) {
        // Ended one way or the other: whatever it found is given back.
        if (result == EAI_ALLDONE && lookup->request.ar_result != nullptr) ::freeaddrinfo(lookup->request.ar_result);
        lookup->request.ar_result = nullptr;
        lookup->running = false;
        return true;
    }
    return false;
}

}  // namespace platform
