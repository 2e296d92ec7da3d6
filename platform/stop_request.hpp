// A stop asked for from outside (Ctrl-C, kill): the process notes it and
// finishes its work in order instead of dying mid-run.
#pragma once

namespace platform {

// After the first stop signal, further ones within this many seconds are
// the same request: tools such as timeout(1) signal the process and then
// its whole group, so two arrive at once.
constexpr double stop_request_grace = 0.5;

// From now on the first SIGINT or SIGTERM only notes a stop request; a later
// one (after the grace) ends the process as the system would, after
// removing the files named with stop_request_remove_on_kill.  Waits a signal
// interrupts fail with WSAEINTR.
void stop_request_catch();
// As stop_request_catch, and SIGHUP as well: a responder whose terminal goes
// away ends in order too.
void stop_request_catch_with_hangup();
// Back to the system's handling of the signals; the request is cleared and
// no file is to be removed any more.
void stop_request_release();
// True once a stop was asked for since stop_request_catch.
bool stop_requested();
// The signal that asked for the stop, 0 when none did.
int stop_request_signal();
// A file (a result being written under a temporary name) to remove should a
// later signal end the process; the text must live until it is released.
// Up to stop_request_files of them; false when there is no room.
constexpr int stop_request_files = 8;
bool stop_request_remove_on_kill(const char* path);
// The file is complete (or gone): it is not to be removed any more.
void stop_request_keep(const char* path);

}  // namespace platform
