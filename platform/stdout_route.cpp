// Moving standard output aside for a document.
#include "platform/stdout_route.hpp"

#include <unistd.h>

namespace platform {

std::FILE* stdout_to_stderr()
{
    std::fflush(stdout);
    int original = ::dup(STDOUT_FILENO);
    if (original < 0)
        return nullptr;
    std::FILE* document = ::fdopen(original, "w");
    if (document == nullptr) {
        ::close(original);
        return nullptr;
    }
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fclose(document);
        return nullptr;
    }
    return document;
}

}  // namespace platform
