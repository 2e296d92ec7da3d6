// Standard output kept for one document: when a result file goes to
// standard output, everything else the program prints there is moved to
// standard error, so a pipe reads only the document.
#pragma once

#include <cstdio>

namespace platform {

// From now on standard output (the stream and descriptor 1) writes to
// standard error.  Returns a stream on the original standard output, or
// null (nothing moved) when it cannot be made.
std::FILE* stdout_to_stderr();

}  // namespace platform
