// Time stamps and error estimates of STAMP and TWAMP test packets (RFC 8762,
// RFC 5357, with the formats of RFC 4656 and RFC 8186).
//
// A time stamp is 64 bits on the wire, in one of two formats chosen by the
// Z bit of the error estimate that goes with it:
//   NTP (Z = 0): 32-bit seconds since 1900-01-01 UTC, 32-bit fraction (2^-32 s);
//   PTPv2 truncated (Z = 1): 32-bit seconds since 1970-01-01 UTC, 32-bit nanoseconds.
// Times here are nanoseconds since 1970-01-01 UTC (int64).  Both formats
// hold every nanosecond: a time converted to either and back is the same.
// The wire value 0 means "no time" in both.
#pragma once

#include <cstdint>

constexpr int64_t ntp_seconds_before_1970 = 2208988800;

// NTP seconds wrap in 2036.  A value whose top bit is set is read as before
// 2036 (1968 to 2036), one whose top bit is clear as after it (2036 to
// 2104), so times from 1968 to 2104 come back exactly.
uint64_t ntp_from_unix_ns(int64_t ns);
int64_t ntp_to_unix_ns(uint64_t ntp);

// PTP seconds are kept modulo 2^32: times from 1970 to 2106 come back exactly.
uint64_t ptp_from_unix_ns(int64_t ns);
// False for nanoseconds of a billion or more.
bool ptp_to_unix_ns(uint64_t ptp, int64_t* ns);

// --- the error estimate (16 bits) --------------------------------------------------
//
//   S (1 bit): the clock is synchronized to UTC by an external source;
//   Z (1 bit): the time stamps it goes with are PTP (1) or NTP (0);
//   scale (6 bits), multiplier (8 bits): the error is multiplier * 2^(scale - 32) s.
struct stamp_error {
    bool synchronized;
    bool ptp;
    uint8_t scale;       // 0 to 63
    uint8_t multiplier;  // 0 is not allowed
};

uint16_t stamp_error_bits(stamp_error e);
stamp_error stamp_error_of(uint16_t bits);

// The estimate for an error of at most `seconds`: the smallest scale whose
// multiplier (rounded up, so the estimate is never smaller than the error)
// fits 8 bits; at least 1 as multiplier.  Infinity, a value that is not a
// number, or one beyond the largest estimate give the largest estimate.
stamp_error stamp_error_from_seconds(double seconds, bool synchronized, bool ptp);

// The error in seconds; negative for a multiplier of 0.
double stamp_error_seconds(stamp_error e);

// A time stamp in the format the error estimate's Z bit names.
uint64_t stamp_timestamp_from_ns(int64_t ns, uint16_t error_bits);
// False for the wire value 0 (no time) and for a PTP value that is no time.
bool stamp_timestamp_to_ns(uint64_t wire, uint16_t error_bits, int64_t* ns);
