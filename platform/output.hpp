// Output written whole: a buffer of log lines goes to its descriptor in
// full, whatever partial writes and interruptions happen on the way.
#pragma once

namespace platform {

// Writes all `length` bytes to the descriptor, going on after partial writes
// and interruptions.  0, or -1 with errno as the system left it.
int write_whole(int fd, const void* data, int length);

}  // namespace platform
