// A stop asked for from outside (Ctrl-C, kill): the process notes it and
// finishes its work in order instead of dying mid-run.
#pragma once

namespace platform {

// From now on the first SIGINT or SIGTERM only notes a stop request; a
// second one ends the process as the system would.  Waits it interrupts
// fail with WSAEINTR.
void stop_request_catch();
// As stop_request_catch, and SIGHUP as well: a responder whose terminal goes
// away ends in order too.
void stop_request_catch_with_hangup();
// Back to the system's handling of the signals; the request is cleared.
void stop_request_release();
// True once a stop was asked for since stop_request_catch.
bool stop_requested();
// The signal that asked for the stop, 0 when none did.
int stop_request_signal();

}  // namespace platform
