// Output written whole: log buffers to a descriptor, result files in one step.
#include "platform/output.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::FILE* file_begin(const char* path, char* temporary, int temporary_size)
{
    temporary[0] = '\0';
    struct stat existing {};
    bool exists = ::stat(path, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        return std::fopen(path, "w");
    // A file the user may not write is refused, even where its folder
    // would take a new one.
    if (exists && ::access(path, W_OK) != 0)
        return nullptr;
    int written = std::snprintf(temporary, static_cast<size_t>(temporary_size), "%s.XXXXXX", path);
    if (written < 0 || written >= temporary_size) {
        temporary[0] = '\0';
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int fd = mkstemp(temporary);
    if (fd < 0) {
        temporary[0] = '\0';
        return nullptr;
    }
    // The permissions a file made with fopen would have.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, exists ? existing.st_mode & 07777 : 0666 & ~mask);
    std::FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) {
        int saved = errno;
        ::close(fd);
        ::unlink(temporary);
        temporary[0] = '\0';
        errno = saved;
    }
    return file;
}

int file_commit(std::FILE* file, const char* path, const char* temporary, bool keep)
{
    int error = 0;
    if (std::fflush(file) != 0 || std::ferror(file))
        error = errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    if (temporary[0] == '\0')
        return error;
    if (error == 0 && keep && std::rename(temporary, path) != 0)
        error = errno != 0 ? errno : EIO;
    if (error != 0 || !keep)
        ::unlink(temporary);
    return error;
}

}  // namespace platform
