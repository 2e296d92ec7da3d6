// The clock, conversions to the socket time-out record, and the text forms of
// points in time and durations.
#include "utillib/utils.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "platform/clock.hpp"

namespace utillib {

namespace {

// Truncates toward zero into an int; out-of-range values are clamped and a
// value that is not a number gives 0, so no conversion is undefined.
int truncate_to_int(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

// atoi's reading (white space, optional sign, digits up to the first other
// character; no number reads 0) over at most `limit` characters, clamped to
// the int range instead of overflowing.
int read_int_field(const char* text, size_t limit)
{
    size_t i = 0;
    while (i < limit && text[i] != '\0' && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < limit && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr int64_t cap = static_cast<int64_t>(std::numeric_limits<int>::max()) + 1;
    int64_t value = 0;
    while (i < limit && text[i] >= '0' && text[i] <= '9') {
        value = std::min<int64_t>(value * 10 + (text[i] - '0'), cap);
        ++i;
    }
    if (negative)
        value = -value;
    return static_cast<int>(
        std::clamp<int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// Each field of a clock-style text is read from at most this many characters.
constexpr size_t field_limit = 30;

// Milliseconds of the fraction text after the ".", scaled by its length.
int fraction_to_ms(const char* fraction)
{
    size_t length = 0;
    while (length < field_limit && fraction[length] != '\0')
        ++length;
    switch (length) {
        case 0:
            return 0;
        case 1:
            return read_int_field(fraction, length) * 100;
        case 2:
            return read_int_field(fraction, length) * 10;
        case 3:
            return read_int_field(fraction, length);
        case 4:
            return read_int_field(fraction, length) / 10;
        default:
            // Longer fractions are read by their first three places, which are
            // the milliseconds; dividing by 10 once would not give milliseconds.
            return read_int_field(fraction, 3);
    }
}

}  // namespace

double getmicrotime()
{
    // Seconds and milliseconds come from the same reading: two readings can
    // fall on either side of a second boundary and be almost a second off.
    platform::clock_reading now = platform::realtime_now();
    return static_cast<double>(now.seconds) + (now.nanoseconds / 1000000) / 1000.0;
}

timeval int2timeval(int seconds)
{
    return timeval{seconds, 0};
}

timeval double2timeval(double seconds)
{
    return platform::timeval_from_seconds(seconds);
}

int64_t str2long(const char* text)
{
    if (text == nullptr)
        return 0;
    bool negative = text[0] == '-';
    if (text[0] == '-' || text[0] == '+')
        ++text;
    // Unsigned arithmetic wraps instead of overflowing.
    uint64_t value = 0;
    for (; *text != '\0'; ++text)
        value = value * 10 + static_cast<uint64_t>(static_cast<int64_t>(*text) - '0');
    if (negative)
        value = 0 - value;
    return static_cast<int64_t>(value);
}

namespace {

// The measurement loops stamp every line, many within the same second and
// the same millisecond.  The calendar text is kept per whole second (checked
// against a fresh local-time conversion, so a change of zone is seen) and
// the fraction's rendering per fraction value.
struct stamp_cache {
    bool valid_date = false;
    std::tm calendar{};
    char format[64] = "";
    int size = 0;
    char date[64] = "";
    size_t date_length = 0;

    bool valid_fraction = false;
    double fraction = 0.0;
    char rendering[16] = "";
};

thread_local stamp_cache cache;

bool same_calendar(const std::tm& a, const std::tm& b)
{
    return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
           a.tm_mon == b.tm_mon && a.tm_year == b.tm_year && a.tm_isdst == b.tm_isdst && a.tm_gmtoff == b.tm_gmtoff &&
           a.tm_zone == b.tm_zone;
}

// strftime into `buffer`, or the cached text of an equal earlier call.
// Returns the length, 0 when nothing was written.
size_t calendar_text(const std::tm& calendar, const char* format, char* buffer, int size)
{
    size_t format_length = std::strlen(format);
    bool cacheable = format_length < sizeof cache.format && static_cast<size_t>(size) <= sizeof cache.date;
    if (cacheable && cache.valid_date && cache.size == size && same_calendar(cache.calendar, calendar) &&
        std::strcmp(cache.format, format) == 0) {
        std::memcpy(buffer, cache.date, cache.date_length + 1);
        return cache.date_length;
    }
    size_t length = std::strftime(buffer, static_cast<size_t>(size), format, &calendar);
    if (cacheable) {
        cache.valid_date = true;
        cache.calendar = calendar;
        std::memcpy(cache.format, format, format_length + 1);
        cache.size = size;
        std::memcpy(cache.date, buffer, length);
        cache.date[length] = '\0';
        cache.date_length = length;
    }
    return length;
}

// "0." and nine digits of a fraction, rounded; "1.000000000" when it rounds up.
const char* fraction_rendering(double fraction)
{
    if (!cache.valid_fraction || cache.fraction != fraction) {
        std::snprintf(cache.rendering, sizeof cache.rendering, "%.9f", fraction);
        cache.fraction = fraction;
        cache.valid_fraction = true;
    }
    return cache.rendering;
}

}  // namespace

char* time2string(double t, const char* format, char* buffer, int size, unsigned digits)
{
    if (buffer == nullptr || size <= 0)
        return buffer;
    std::memset(buffer, 0, static_cast<size_t>(size));

    // Calendar conversions work on a 32-bit whole second.
    if (!(t > -2147483649.0 && t < 2147483648.0))
        return buffer;
    const int32_t whole = static_cast<int32_t>(t);
    std::tm calendar{};
    if (!platform::local_calendar(whole, &calendar))
        return buffer;

    const char* pattern = format != nullptr ? format : "";
    size_t length = calendar_text(calendar, pattern, buffer, size);
    if (length == 0 && pattern[0] != '\0') {
        // The calendar text did not fit; strftime leaves the buffer's content
        // unspecified, so it is cleared rather than left half written.
        std::memset(buffer, 0, static_cast<size_t>(size));
        return buffer;
    }

    const double fraction = t - whole;
    if (!(fraction > 0.0) || digits == 0)
        return buffer;

    // A fraction that rounds up to 1 reads "1.000000000"; the seconds are not
    // carried.
    const char* rendering = fraction_rendering(fraction);
    size_t keep = std::min<size_t>(digits, 13) + 2;  // never more than 15 characters
    keep = std::min(keep, std::strlen(rendering));

    const size_t room = static_cast<size_t>(size) - 1 - length;
    const size_t count = std::min(keep - 1, room);  // without the leading digit
    std::memcpy(buffer + length, rendering + 1, count);
    buffer[length + count] = '\0';
    return buffer;
}

char* timestamp2string(double seconds, char* buffer, int always_ms)
{
    if (buffer == nullptr)
        return buffer;
    const int hours = truncate_to_int(seconds / 3600);
    double rest = seconds - hours * 3600.0;
    const int minutes = truncate_to_int(rest / 60);
    rest -= minutes * 60.0;
    const int secs = truncate_to_int(rest);
    const int ms = truncate_to_int((rest - secs) * 1000);

    if (ms > 0 || always_ms == 1)
        std::snprintf(buffer, 18, "%02d:%02d:%02d.%03d", hours, minutes, secs, ms);
    else
        std::snprintf(buffer, 14, "%02d:%02d:%02d", hours, minutes, secs);
    return buffer;
}

double string2timestamp(const char* text)
{
    if (text == nullptr)
        return 0.0;
    const int hours_or_first = read_int_field(text, field_limit);
    double result = 0.0;
    if (hours_or_first >= 0)
        result = hours_or_first;

    const char* first_colon = std::strchr(text, ':');
    if (first_colon == nullptr)
        return result;
    const int second_field = read_int_field(first_colon + 1, field_limit);
    if (second_field >= 0)
        result = result * 60 + second_field;

    const char* second_colon = std::strchr(first_colon + 1, ':');
    if (second_colon == nullptr)
        return result;
    const int third_field = read_int_field(second_colon + 1, field_limit);
    if (third_field >= 0)
        result = result * 60 + third_field;

    const char* point = std::strchr(second_colon + 1, '.');
    if (point == nullptr)
        return result;
    const int ms = fraction_to_ms(point + 1);
    if (ms >= 0)
        result += ms / 1000.0;
    return result;
}

}  // namespace utillib
