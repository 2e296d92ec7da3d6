// File sizes written for people, in units of 1024 bytes.
#include "utillib/utils.hpp"

#include <cstdio>
#include <cstring>

namespace utillib {

namespace {

struct size_unit {
    double below;  // sizes under this value use this row
    const char* format;
    double divisor;
};

constexpr double kib = 1024.0;
constexpr double mib = kib * 1024.0;
constexpr double gib = mib * 1024.0;

// The number of decimals drops as the value grows, so the text stays short.
constexpr size_unit units[] = {
    {kib, "%.0f B", 1.0},        {100 * kib, "%.3f kB", kib}, {mib, "%.2f kB", kib},
    {100 * mib, "%.3f MB", mib}, {gib, "%.2f MB", mib},       {10 * gib, "%.2f GB", gib},
};

}  // namespace

char* hrfilesize(double size, char* out, int outsize, char separator)
{
    if (out == nullptr || outsize <= 0)
        return out;
    std::memset(out, 0, static_cast<size_t>(outsize));

    // Negative sizes and values that are not numbers fall through to the last row.
    const char* format = "%.1f GB";
    double divisor = gib;
    if (size >= 0) {
        for (const size_unit& unit : units) {
            if (size < unit.below) {
                format = unit.format;
                divisor = unit.divisor;
                break;
            }
        }
    }
    std::snprintf(out, static_cast<size_t>(outsize), format, size / divisor);

    for (char* p = out; *p != '\0'; ++p) {
        if (*p == '.')
            *p = separator;
    }
    return out;
}

}  // namespace utillib
