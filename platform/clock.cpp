#include "platform/clock.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/stop_request.hpp"

namespace platform {

timeval timeval_from_seconds(double seconds)
{
    if (std::isnan(seconds))
        return timeval{0, 0};
    constexpr double max_seconds = std::numeric_limits<int32_t>::max();
    constexpr double min_seconds = std::numeric_limits<int32_t>::min();
    if (seconds >= max_seconds)
        return timeval{std::numeric_limits<int32_t>::max(), 0};
    if (seconds <= min_seconds)
        return timeval{std::numeric_limits<int32_t>::min(), 0};
    timeval value;
    value.tv_sec = static_cast<int32_t>(seconds);  // truncates toward zero
    value.tv_usec = static_cast<int32_t>((seconds - value.tv_sec) * 1000000.0);
    return value;
}

clock_reading realtime_now()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return clock_reading{static_cast<int64_t>(now.tv_sec), static_cast<int32_t>(now.tv_nsec)};
}

double monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int64_t realtime_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

clock_pair clock_pair_now()
{
    clock_pair now;
    now.monotonic_ns = monotonic_ns();
    now.calendar_ns = realtime_ns();
    return now;
}

round_trip round_trip_between(clock_pair sent, bool stamp_known, int64_t stamp_ns, clock_pair taken)
{
    int64_t on_calendar = taken.calendar_ns - sent.calendar_ns;
    int64_t on_monotonic = taken.monotonic_ns - sent.monotonic_ns;
    int64_t moved = on_calendar - on_monotonic;
    bool calendar_kept_pace = moved <= calendar_step_tolerance_ns && moved >= -calendar_step_tolerance_ns;
    if (stamp_known && calendar_kept_pace && stamp_ns >= sent.calendar_ns && stamp_ns <= taken.calendar_ns)
        return round_trip{stamp_ns - sent.calendar_ns, true};
    return round_trip{on_monotonic > 0 ? on_monotonic : 0, false};
}

bool local_calendar(int64_t seconds, std::tm* out)
{
    if (seconds < std::numeric_limits<time_t>::min() || seconds > std::numeric_limits<time_t>::max())
        return false;
    // localtime_r loads the zone once; plain localtime would stat the zone
    // file on every call when TZ is unset.
    time_t whole = static_cast<time_t>(seconds);
    return localtime_r(&whole, out) != nullptr;
}

void GetLocalTime(SYSTEMTIME* out)
{
    clock_reading now = realtime_now();
    std::tm calendar{};
    local_calendar(now.seconds, &calendar);
    out->wYear = static_cast<uint16_t>(calendar.tm_year + 1900);
    out->wMonth = static_cast<uint16_t>(calendar.tm_mon + 1);
    out->wDayOfWeek = static_cast<uint16_t>(calendar.tm_wday);
    out->wDay = static_cast<uint16_t>(calendar.tm_mday);
    out->wHour = static_cast<uint16_t>(calendar.tm_hour);
    out->wMinute = static_cast<uint16_t>(calendar.tm_min);
    out->wSecond = static_cast<uint16_t>(calendar.tm_sec);
    out->wMilliseconds = static_cast<uint16_t>(now.nanoseconds / 1000000);
}

namespace {

constexpr long nanoseconds_per_second = 1000000000L;

struct timespec add_nanoseconds(struct timespec at, long long nanoseconds)
{
    long long total = static_cast<long long>(at.tv_nsec) + nanoseconds;
    at.tv_sec += static_cast<time_t>(total / nanoseconds_per_second);
    at.tv_nsec = static_cast<long>(total % nanoseconds_per_second);
    if (at.tv_nsec < 0) {
        at.tv_nsec += nanoseconds_per_second;
        at.tv_sec -= 1;
    }
    return at;
}

bool before(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The kernel wakes a sleeper some tens of microseconds late; the last stretch
// of a pause is waited out on the clock instead.
constexpr long long wake_up_margin_ns = 100000;

// Pauses for `nanoseconds` (at least 0) on the monotonic clock.
void pause_nanoseconds(long long nanoseconds)
{
    // The default slack of 50 us makes a 1 ms pause last about 1.09 ms.
    static thread_local bool slack_reduced = false;
    if (!slack_reduced) {
        timer_slack_least();
        slack_reduced = true;
    }
    int saved_errno = errno;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const struct timespec deadline = add_nanoseconds(start, nanoseconds);
    const struct timespec wake = add_nanoseconds(deadline, -wake_up_margin_ns);
    if (before(start, wake)) {
        // A stop request ends the pause at once; other signals do not.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            if (stop_requested()) {
                errno = saved_errno;
                return;
            }
        }
    }
    struct timespec now;
    do {
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while (before(now, deadline));
    errno = saved_errno;
}

}  // namespace

void timer_slack_least()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

bool short_time_slices()
{
    // The kernel's own layout of the request (sched_attr); its scheduler
    // (EEVDF) lets a thread whose slice is short preempt one running a
    // longer slice when it wakes, instead of waiting for that slice's end.
    struct {
        uint32_t size;
        uint32_t sched_policy;
        uint64_t sched_flags;
        int32_t sched_nice;
        uint32_t sched_priority;
        uint64_t sched_runtime;
        uint64_t sched_deadline;
        uint64_t sched_period;
    } attributes = {};
    static_assert(sizeof attributes == 48, "the first version of the kernel's sched_attr");
    attributes.size = sizeof attributes;
    attributes.sched_policy = SCHED_OTHER;
    attributes.sched_runtime = 100000;  // 100 us, the shortest slice the kernel grants
    int saved_errno = errno;
    long result = syscall(SYS_sched_setattr, 0, &attributes, 0);
    errno = saved_errno;
    return result == 0;
}

void Sleep(uint32_t milliseconds)
{
    pause_nanoseconds(static_cast<long long>(milliseconds) * 1000000LL);
}

void pause_seconds(double seconds)
{
    if (!(seconds > 0.0))
        return;
    if (seconds > 86400.0)
        seconds = 86400.0;
    pause_nanoseconds(static_cast<long long>(seconds * 1e9));
}

}  // namespace platform
