// Counted start-up and clean-up of the socket services.  Linux needs no
// start-up; the count is kept so that every start-up can be matched by one
// clean-up, as the libraries promise, and tests can check the balance.
#include <atomic>
#include <cstring>

#include "platform/winsock.hpp"

namespace platform {

namespace {
std::atomic<int> outstanding{0};
std::atomic<int> failures_to_inject{0};
}  // namespace

int WSAStartup(uint16_t version_requested, WSADATA* data)
{
    int pending = failures_to_inject.load();
    while (pending > 0) {
        if (failures_to_inject.compare_exchange_weak(pending, pending - 1))
            return WSASYSNOTREADY;
    }
    if ((version_requested & 0xFF) < 1)
        return WSAVERNOTSUPPORTED;
    if (data != nullptr) {
        std::memset(data, 0, sizeof *data);
        data->wVersion = 0x0202;
        data->wHighVersion = 0x0202;
        std::strncpy(data->szDescription, "Linux sockets", sizeof data->szDescription - 1);
        std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
    }
    ++outstanding;
    return 0;
}

int WSACleanup()
{
    int count = outstanding.load();
    while (count > 0) {
        if (outstanding.compare_exchange_weak(count, count - 1))
            return 0;
    }
    WSASetLastError(WSANOTINITIALISED);
    return SOCKET_ERROR;
}

int startup_count()
{
    return outstanding.load();
}

void fail_next_startups(int count)
{
    failures_to_inject.store(count > 0 ? count : 0);
}

}  // namespace platform
