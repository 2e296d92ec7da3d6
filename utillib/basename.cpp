// Last component of a Windows path.
#include "utillib/utils.hpp"

#include <cstring>

namespace utillib {

char* mybasename(const char* path, char* out)
{
    if (path == nullptr || out == nullptr)
        return out;
    const size_t length = std::strlen(path);
    std::memset(out, 0, length + 1);
    // Only the backslash separates: the paths come from the Windows side.
    const char* last = std::strrchr(path, '\\');
    const char* name = last != nullptr ? last + 1 : path;
    std::memcpy(out, name, length - static_cast<size_t>(name - path));
    return out;
}

}  // namespace utillib
