#include "platform/clock_sync.hpp"

#include <sys/timex.h>

#include <cerrno>
#include <limits>

namespace platform {

clock_sync_state clock_sync_from_kernel(int result, int status, long maximum_error_us, long estimated_error_us)
{
    clock_sync_state state{};
    state.known = result >= 0;
    state.synchronized = state.known && result != TIME_ERROR && (status & STA_UNSYNC) == 0;
    state.maximum_error =
        maximum_error_us >= 0 ? static_cast<double>(maximum_error_us) / 1e6 : std::numeric_limits<double>::infinity();
    state.estimated_error = estimated_error_us >= 0 ? static_cast<double>(estimated_error_us) / 1e6
                                                    : std::numeric_limits<double>::infinity();
    if (!state.known) {
        state.maximum_error = std::numeric_limits<double>::infinity();
        state.estimated_error = std::numeric_limits<double>::infinity();
    }
    return state;
}

clock_sync_state clock_sync_now()
{
    int saved = errno;
    struct timex reading {};
    reading.modes = 0;  // read only: needs no privilege
    int result = ::adjtimex(&reading);
    errno = saved;
    return clock_sync_from_kernel(result, reading.status, reading.maxerror, reading.esterror);
}

double clock_sync_error_bound(const clock_sync_state* state)
{
    if (!state->synchronized)
        return std::numeric_limits<double>::infinity();
    return state->maximum_error;
}

}  // namespace platform
