#include "platform/output.hpp"

#include <unistd.h>

#include <cerrno>

namespace platform {

int write_whole(int fd, const void* data, int length)
{
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = ::write(fd, next, static_cast<size_t>(length));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        next += written;
        length -= static_cast<int>(written);
    }
    return 0;
}

}  // namespace platform
