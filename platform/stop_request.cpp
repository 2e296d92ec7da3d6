// Stop requests by signal.  The handler only stores the signal number; the
// measurement loop looks at it between steps.
#include "platform/stop_request.hpp"

#include <signal.h>

namespace platform {

namespace {

volatile sig_atomic_t requested_by = 0;

void note_stop(int signal_number)
{
    requested_by = signal_number;
}

void set_handler(void (*handler)(int), int flags, bool hangup = false)
{
    struct sigaction action {};
    action.sa_handler = handler;
    // No SA_RESTART: a wait in progress returns at once, interrupted.
    action.sa_flags = flags;
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
    // Once caught, the handler is the system's again: a second Ctrl-C ends a
    // run whose orderly end takes too long.
    set_handler(note_stop, SA_RESETHAND);
}

void stop_request_catch_with_hangup()
{
    requested_by = 0;
    set_handler(note_stop, SA_RESETHAND, true);
}

void stop_request_release()
{
    set_handler(SIG_DFL, 0, true);
    requested_by = 0;
}

bool stop_requested()
{
    return requested_by != 0;
}

int stop_request_signal()
{
    return requested_by;
}

}  // namespace platform
