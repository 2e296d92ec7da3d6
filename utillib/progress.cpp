// Console progress lines that overwrite themselves: each starts with spaces
// that blank the tail of a longer previous line and backspaces that bring the
// cursor back to its start.
#include "utillib/utils.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace utillib {

namespace {

// Spinner position, kept between calls of showstatusprogress.
char chnow = '-';

char next_spinner(char current)
{
    switch (current) {
        case '-':
            return '\\';
        case '\\':
            return '|';
        case '|':
            return '/';
        default:
            return '-';
    }
}

void print_line_reset()
{
    std::fputs("        ", stdout);
    for (int i = 0; i < 255; ++i)
        std::putchar('\b');
}

// Truncated toward zero and held within the int range.
int clamped_int(double value)
{
    if (value >= 2147483647.0)
        return 2147483647;
    if (value <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int>(value);
}

void print_repeated(char c, int count)
{
    for (int i = 0; i < count; ++i)
        std::putchar(c);
}

}  // namespace

uint64_t showprogress(const char* label, uint64_t done, uint64_t total, int start, int now)
{
    // A total of 0 has no share done and no estimate, rather than a division by zero.
    const double percent = total == 0 ? 0.0 : static_cast<double>(done) * 100.0 / static_cast<double>(total);
    const double spent = static_cast<double>(static_cast<int64_t>(now) - start);
    const double estimate = percent > 0.001 ? std::trunc(spent * 100.0 / percent) : 0.0;

    char spent_text[timestamp_text_size];
    char estimate_text[timestamp_text_size];
    timestamp2string(spent, spent_text, 0);
    timestamp2string(estimate, estimate_text, 0);

    print_line_reset();
    std::printf("%s progress=%07.3f %% timespent=%s timeelapsed=%s", label != nullptr ? label : "", percent, spent_text,
                estimate_text);
    std::fflush(stdout);
    return done;
}

void showstatusprogress(const char* label, const char* text, int done, int total, int width)
{
    print_line_reset();
    if (label != nullptr)
        std::printf("%s", label);

    if (total > 0) {
        const double ratio = static_cast<double>(done) / total;
        std::printf(" %03d%%", clamped_int(ratio * 100));
        std::fputs(" [ ", stdout);
        const double filled = std::trunc(ratio * width);
        for (int i = 0; i < width; ++i)
            std::putchar(i < filled ? '=' : ' ');
        std::fputs(" ] ", stdout);
    } else {
        // Unknown size: a spinner that moves one step per call.
        std::fputs(" ... ", stdout);
        chnow = next_spinner(chnow);
        std::fputs(" [ ", stdout);
        const int before = width / 2 - 1;
        if (before > 0) {
            print_repeated(' ', before);
            std::putchar(chnow);
            print_repeated(' ', width - before - 1);
        }
        std::fputs(" ]", stdout);
    }

    if (text != nullptr)
        std::printf(" %s", text);
    std::fflush(stdout);
}

}  // namespace utillib
