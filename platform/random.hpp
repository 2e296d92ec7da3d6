// Unpredictable bytes from the system, for keys that an outsider must not
// guess (the responder's cookie key).
#pragma once

namespace platform {

// Fills `length` bytes at `out` from the system's random source; false when
// the source fails, and then nothing in `out` may be used as a key.
bool random_bytes(void* out, int length);

}  // namespace platform
