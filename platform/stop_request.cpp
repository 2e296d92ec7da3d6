// Stop requests by signal.  The handler only stores the signal number and
// when it came; the measurement loop looks at it between steps.
#include "platform/stop_request.hpp"

#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {

volatile sig_atomic_t requested_by = 0;
// Monotonic time of the first request, in milliseconds (a 64-bit store may
// not be atomic, but only the handler writes it, before it sets requested_by).
volatile long long requested_at_ms = 0;
// Files to remove before a later signal ends the process.
const char* volatile doomed[stop_request_files] = {};

long long monotonic_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void note_stop(int signal_number)
{
    if (requested_by == 0) {
        requested_at_ms = monotonic_ms();
        requested_by = signal_number;
        return;
    }
    if (monotonic_ms() - requested_at_ms < static_cast<long long>(stop_request_grace * 1000))
        return;
    // The orderly end takes too long: end as the system would, leaving no
    // half-written result behind.
    for (const char* volatile& path : doomed) {
        if (path != nullptr)
            unlink(path);
    }
    struct sigaction fall_back {};
    fall_back.sa_handler = SIG_DFL;
    sigemptyset(&fall_back.sa_mask);
    sigaction(signal_number, &fall_back, nullptr);
    raise(signal_number);
}

void set_handler(void (*handler)(int), bool hangup)
{
    struct sigaction action {};
    action.sa_handler = handler;
    // No SA_RESTART: a wait in progress returns at once, interrupted.
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (hangup)
        sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

void stop_request_catch()
{
    requested_by = 0;
    set_handler(note_stop, false);
}

void stop_request_catch_with_hangup()
{
    requested_by = 0;
    set_handler(note_stop, true);
}

void stop_request_release()
{
    set_handler(SIG_DFL, true);
    requested_by = 0;
    for (const char* volatile& path : doomed)
        path = nullptr;
}

bool stop_requested()
{
    return requested_by != 0;
}

int stop_request_signal()
{
    return requested_by;
}

bool stop_request_remove_on_kill(const char* path)
{
    for (const char* volatile& slot : doomed) {
        if (slot == nullptr) {
            slot = path;
            return true;
        }
    }
    return false;
}

void stop_request_keep(const char* path)
{
    for (const char* volatile& slot : doomed) {
        if (slot == path)
            slot = nullptr;
    }
}

}  // namespace platform
