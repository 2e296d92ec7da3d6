// Random bytes from the kernel's generator (getrandom), which blocks only
// until the generator is seeded once after boot.
#include "platform/random.hpp"

#include <sys/random.h>

#include <cerrno>

namespace platform {

bool random_bytes(void* out, int length)
{
    unsigned char* at = static_cast<unsigned char*>(out);
    int done = 0;
    while (done < length) {
        ssize_t got = getrandom(at + done, static_cast<size_t>(length - done), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<int>(got);
    }
    return length >= 0;
}

}  // namespace platform
