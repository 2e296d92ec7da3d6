#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "utillib/utils.hpp"

namespace {

// Sets the process time zone for one test and restores the previous one.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
    {
        const char* old = std::getenv("TZ");
        had_old_ = old != nullptr;
        if (had_old_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (had_old_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_old_ = false;
    std::string old_;
};

constexpr const char* kStampFormat = "%Y/%m/%d %H:%M:%S";
constexpr double kMillennium = 1000000000.0;  // 2001-09-09 01:46:40 UTC

std::string stamp(double t, int size, unsigned digits, const char* format = kStampFormat)
{
    char buffer[64];
    std::memset(buffer, 'X', sizeof buffer);
    char* result = utillib::time2string(t, format, buffer, size, digits);
    EXPECT_EQ(result, buffer);
    // Nothing written past the given size, and terminated within it.
    for (size_t i = static_cast<size_t>(size); i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], 'X') << "byte " << i << " written past size " << size;
    EXPECT_NE(std::memchr(buffer, '\0', static_cast<size_t>(size)), nullptr);
    return std::string(buffer);
}

TEST(Clock, GetmicrotimeIsNowWithMillisecondResolution)
{
    const double before = static_cast<double>(std::time(nullptr));
    const double now = utillib::getmicrotime();
    const double after = static_cast<double>(std::time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LT(now, after + 1.0);
    const double ms = (now - std::floor(now)) * 1000.0;
    EXPECT_NEAR(ms, std::round(ms), 1e-3);
}

TEST(Clock, Int2timeval)
{
    utillib::timeval value = utillib::int2timeval(7);
    EXPECT_EQ(value.tv_sec, 7);
    EXPECT_EQ(value.tv_usec, 0);
    value = utillib::int2timeval(-3);
    EXPECT_EQ(value.tv_sec, -3);
    EXPECT_EQ(value.tv_usec, 0);
}

TEST(Clock, Double2timevalTruncatesTowardZero)
{
    struct Case {
        double seconds;
        int32_t sec;
        int32_t usec;
    };
    const Case cases[] = {
        {1.5, 1, 500000},
        {-1.5, -1, -500000},
        {0.0000004, 0, 0},
        {0.0000005, 0, 0},
        {2.0000019, 2, 1},
        {0.0, 0, 0},
        {1e12, std::numeric_limits<int32_t>::max(), 0},
        {-1e12, std::numeric_limits<int32_t>::min(), 0},
        {std::nan(""), 0, 0},
    };
    for (const Case& c : cases) {
        utillib::timeval value = utillib::double2timeval(c.seconds);
        EXPECT_EQ(value.tv_sec, c.sec) << c.seconds;
        EXPECT_EQ(value.tv_usec, c.usec) << c.seconds;
    }
}

TEST(Clock, Str2long)
{
    struct Case {
        const char* text;
        int64_t value;
    };
    const Case cases[] = {
        {"-42", -42},
        {"+7", 7},
        {"", 0},
        {"-", 0},
        {"+", 0},
        {"0012", 12},
        {"9000000000", 9000000000LL},
        {"9223372036854775807", std::numeric_limits<int64_t>::max()},
        {"9223372036854775808", std::numeric_limits<int64_t>::min()},  // wraps
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
        {"1a", 10 + ('a' - '0')},  // characters are not checked
    };
    for (const Case& c : cases)
        EXPECT_EQ(utillib::str2long(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(utillib::str2long(nullptr), 0);
}

TEST(TimeText, LocalCalendarFollowsZone)
{
    {
        ZoneGuard zone("UTC0");
        EXPECT_EQ(stamp(kMillennium + 0.25, 36, 6), "2001/09/09 01:46:40.250000");
    }
    {
        ZoneGuard zone("EST5");
        EXPECT_EQ(stamp(kMillennium + 0.25, 36, 6), "2001/09/08 20:46:40.250000");
    }
    {
        // Summer time in force on that date.
        ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(stamp(kMillennium + 0.5, 36, 3), "2001/09/09 03:46:40.500");
        EXPECT_EQ(stamp(kMillennium + 100 * 86400.0, 36, 0), "2001/12/18 02:46:40");
    }
}

TEST(TimeText, RepeatedStampsFollowZoneFormatAndSizeChanges)
{
    // Stamps of the same second are reused; a new zone, format or size must
    // still give its own text.
    const double t = kMillennium + 0.25;
    std::string utc, est;
    {
        ZoneGuard zone("UTC0");
        utc = stamp(t, 36, 6);
        EXPECT_EQ(stamp(t, 36, 6), utc);
    }
    {
        ZoneGuard zone("EST5");
        est = stamp(t, 36, 6);
    }
    EXPECT_EQ(utc, "2001/09/09 01:46:40.250000");
    EXPECT_EQ(est, "2001/09/08 20:46:40.250000");
    ZoneGuard zone("UTC0");
    EXPECT_EQ(stamp(t, 36, 6), utc);
    EXPECT_EQ(stamp(t, 36, 3, "%H:%M:%S"), "01:46:40.250");
    EXPECT_EQ(stamp(t, 12, 6), "");  // the date text itself does not fit
    EXPECT_EQ(stamp(t + 0.5, 36, 6), "2001/09/09 01:46:40.750000");
}

TEST(TimeText, FractionDigits)
{
    ZoneGuard zone("UTC0");
    struct Case {
        double t;
        unsigned digits;
        const char* expected;
    };
    const Case cases[] = {
        {kMillennium + 0.25, 0, "2001/09/09 01:46:40"},
        {kMillennium, 6, "2001/09/09 01:46:40"},  // whole second: no ".000000"
        {kMillennium + 0.5, 6, "2001/09/09 01:46:40.500000"},
        {kMillennium + 0.5, 1, "2001/09/09 01:46:40.5"},
        {kMillennium + 0.5, 9, "2001/09/09 01:46:40.500000000"},
        {kMillennium + 0.5, 12, "2001/09/09 01:46:40.500000000"},  // nine at most
        {kMillennium + 0.5, std::numeric_limits<unsigned>::max(), "2001/09/09 01:46:40.500000000"},
        {0.9999999996, 3, "1970/01/01 00:00:00.000"},  // rounds to 1, seconds not carried
        {0.9999999996, 9, "1970/01/01 00:00:00.000000000"},
        {-1.5, 6, "1969/12/31 23:59:59"},  // before the epoch: no fraction
        {2147483647.5, 1, "2038/01/19 03:14:07.5"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stamp(c.t, 40, c.digits), c.expected) << c.t << " digits " << c.digits;
}

TEST(TimeText, SmallBuffersCutTheFractionOrClearEverything)
{
    ZoneGuard zone("UTC0");
    const double t = kMillennium + 0.25;
    EXPECT_EQ(stamp(t, 20, 6), "2001/09/09 01:46:40");  // exactly the date
    EXPECT_EQ(stamp(t, 21, 6), "2001/09/09 01:46:40.");
    EXPECT_EQ(stamp(t, 23, 6), "2001/09/09 01:46:40.25");
    EXPECT_EQ(stamp(t, 26, 6), "2001/09/09 01:46:40.25000");
    EXPECT_EQ(stamp(t, 27, 6), "2001/09/09 01:46:40.250000");
    EXPECT_EQ(stamp(t, 19, 6), "");  // the date itself does not fit
    EXPECT_EQ(stamp(t, 1, 6), "");
    // An empty format still gets the fraction.
    EXPECT_EQ(stamp(t, 10, 3, ""), ".250");
    EXPECT_EQ(stamp(t, 10, 3, nullptr), ".250");

    char untouched = 'X';
    EXPECT_EQ(utillib::time2string(t, kStampFormat, &untouched, 0, 6), &untouched);
    EXPECT_EQ(untouched, 'X');
    EXPECT_EQ(utillib::time2string(t, kStampFormat, nullptr, 36, 6), nullptr);
}

TEST(TimeText, UnrepresentableTimesLeaveTheBufferEmpty)
{
    ZoneGuard zone("UTC0");
    const double times[] = {2147483648.0, -2147483649.0, 1e300,
                            -1e300,       std::nan(""),  std::numeric_limits<double>::infinity()};
    for (double t : times) {
        char buffer[36];
        std::memset(buffer, 'X', sizeof buffer);
        EXPECT_EQ(utillib::time2string(t, kStampFormat, buffer, sizeof buffer, 6), buffer);
        for (char c : buffer)
            ASSERT_EQ(c, '\0') << t;
    }
}

TEST(DurationText, Timestamp2string)
{
    struct Case {
        double seconds;
        int always_ms;
        const char* expected;
    };
    const Case cases[] = {
        {3661.5, 0, "01:01:01.500"},   {3661, 0, "01:01:01"},       {3661, 1, "01:01:01.000"},
        {90000, 0, "25:00:00"},        {0.0004, 0, "00:00:00"},     {0.0004, 1, "00:00:00.000"},
        {0.0004, 2, "00:00:00"},  // only exactly 1 asks for milliseconds
        {0.25, 0, "00:00:00.250"},     {59.999, 0, "00:00:59.999"}, {360000, 0, "100:00:00"},
        {std::nan(""), 0, "00:00:00"},
    };
    for (const Case& c : cases) {
        char buffer[utillib::timestamp_text_size];
        EXPECT_EQ(utillib::timestamp2string(c.seconds, buffer, c.always_ms), buffer);
        EXPECT_STREQ(buffer, c.expected) << c.seconds << " flag " << c.always_ms;
    }
}

TEST(DurationText, HugeDurationsStayWithinTheBuffer)
{
    const double values[] = {1e300, -1e300, 1e12, -3661.5};
    for (double v : values) {
        char buffer[utillib::timestamp_text_size + 8];
        std::memset(buffer, 'X', sizeof buffer);
        utillib::timestamp2string(v, buffer, 1);
        EXPECT_NE(std::memchr(buffer, '\0', utillib::timestamp_text_size), nullptr) << v;
        for (size_t i = utillib::timestamp_text_size; i < sizeof buffer; ++i)
            EXPECT_EQ(buffer[i], 'X') << v;
    }
}

TEST(DurationText, String2timestamp)
{
    struct Case {
        const char* text;
        double seconds;
    };
    const Case cases[] = {
        {"45", 45},
        {"1:30", 90},
        {"01:02:03", 3723},
        {"01:02:03.5", 3723.5},
        {"01:02:03.25", 3723.25},
        {"01:02:03.123", 3723.123},
        {"01:02:03.1234", 3723.123},
        {"01:02:03.123456", 3723.123},  // longer fractions: first three places
        {"01:02:03.9999999", 3723.999},
        {"01:02:03.", 3723},
        {"5:30.5", 330},  // a fraction after one ":" is not read
        {"1:2:3:4", 3723},
        {" 7", 7},
        {"", 0},
        {"abc", 0},
        {"-1:30", 30},  // negative field skipped, not shifted
        {"1:-5:10", 70},
        {"1:2:3.-5", 3723},
        {"99999999999:1", 2147483647.0 * 60 + 1},  // clamped, not overflowed
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(utillib::string2timestamp(c.text), c.seconds) << '"' << c.text << '"';
    EXPECT_DOUBLE_EQ(utillib::string2timestamp(nullptr), 0.0);
}

TEST(DurationText, RoundTrip)
{
    const double values[] = {0, 1, 59, 61.5, 3723.125, 90000, 359999};
    for (double v : values) {
        char buffer[utillib::timestamp_text_size];
        utillib::timestamp2string(v, buffer, 1);
        EXPECT_DOUBLE_EQ(utillib::string2timestamp(buffer), v) << buffer;
    }
}

}  // namespace
