#include "tool/wire/stamp_time.hpp"

#include <cmath>

namespace {

constexpr int64_t nanoseconds_per_second = 1000000000;

// Whole seconds rounded toward minus infinity, and the nanoseconds left.
void split(int64_t ns, int64_t* seconds, int64_t* nanoseconds) {
    *seconds = ns / nanoseconds_per_second;
    *nanoseconds = ns % nanoseconds_per_second;
    if (*nanoseconds < 0) {
        *nanoseconds += nanoseconds_per_second;
        *seconds -= 1;
    }
}

constexpr uint16_t error_s_bit = 0x8000;
constexpr uint16_t error_z_bit = 0x4000;

}  // namespace

uint64_t ntp_from_unix_ns(int64_t ns) {
    int64_t seconds;
    int64_t nanoseconds;
    split(ns, &seconds, &nanoseconds);
    // The nearest fraction: 2^-32 s is finer than a nanosecond, so reading
    // it back to the nearest nanosecond gives `nanoseconds` again.
    uint64_t fraction = ((static_cast<uint64_t>(nanoseconds) << 32) + nanoseconds_per_second / 2) /
                        static_cast<uint64_t>(nanoseconds_per_second);
    uint32_t ntp_seconds = static_cast<uint32_t>(static_cast<uint64_t>(seconds + ntp_seconds_before_1970));
    return (static_cast<uint64_t>(ntp_seconds) << 32) | fraction;
}

int64_t ntp_to_unix_ns(uint64_t ntp) {
    uint32_t ntp_seconds = static_cast<uint32_t>(ntp >> 32);
    uint64_t fraction = ntp & 0xFFFFFFFFu;
    int64_t seconds = static_cast<int64_t>(ntp_seconds) - ntp_seconds_before_1970;
    if ((ntp_seconds & 0x80000000u) == 0) seconds += int64_t{1} << 32;
    // Rounded to the nearest nanosecond; may carry into the next second.
    int64_t nanoseconds =
        static_cast<int64_t>((fraction * static_cast<uint64_t>(nanoseconds_per_second) + (uint64_t{1} << 31)) >> 32);
    return seconds * nanoseconds_per_second + nanoseconds;
}

uint64_t ptp_from_unix_ns(int64_t ns) {
    int64_t seconds;
    int64_t nanoseconds;
    split(ns, &seconds, &nanoseconds);
    return (static_cast<uint64_t>(static_cast<uint32_t>(seconds)) << 32) | static_cast<uint64_t>(nanoseconds);
}

bool ptp_to_unix_ns(uint64_t ptp, int64_t* ns) {
    int64_t seconds = static_cast<int64_t>(ptp >> 32);
    int64_t nanoseconds = static_cast<int64_t>(ptp & 0xFFFFFFFFu);
    if (nanoseconds >= nanoseconds_per_second) return false;
    *ns = seconds * nanoseconds_per_second + nanoseconds;
    return true;
}

uint16_t stamp_error_bits(stamp_error e) {
    return static_cast<uint16_t>((e.synchronized ? error_s_bit : 0) | (e.ptp ? error_z_bit : 0) |
                                 ((e.scale & 0x3F) << 8) | e.multiplier);
}

stamp_error stamp_error_of(uint16_t bits) {
    return stamp_error{(bits & error_s_bit) != 0, (bits & error_z_bit) != 0, static_cast<uint8_t>((bits >> 8) & 0x3F),
                       static_cast<uint8_t>(bits & 0xFF)};
}

stamp_error stamp_error_from_seconds(double seconds, bool synchronized, bool ptp) {
    stamp_error e{synchronized, ptp, 63, 255};
    if (!(seconds <= stamp_error_seconds(e)))  // also a value that is not a number
        return e;
    if (seconds < 0.0) seconds = 0.0;
    for (int scale = 0; scale <= 63; scale++) {
        double multiplier = std::ceil(std::ldexp(seconds, 32 - scale));
        if (multiplier <= 255.0) {
            e.scale = static_cast<uint8_t>(scale);
            e.multiplier = static_cast<uint8_t>(multiplier < 1.0 ? 1.0 : multiplier);
            return e;
        }
    }
    return e;
}

double stamp_error_seconds(stamp_error e) {
    if (e.multiplier == 0) return -1.0;
    return std::ldexp(static_cast<double>(e.multiplier), e.scale - 32);
}

uint64_t stamp_timestamp_from_ns(int64_t ns, uint16_t error_bits) {
    return (error_bits & error_z_bit) != 0 ? ptp_from_unix_ns(ns) : ntp_from_unix_ns(ns);
}

bool stamp_timestamp_to_ns(uint64_t wire, uint16_t error_bits, int64_t* ns) {
    if (wire == 0) return false;
    if ((error_bits & error_z_bit) != 0) return ptp_to_unix_ns(wire, ns);
    *ns = ntp_to_unix_ns(wire);
    return true;
}
