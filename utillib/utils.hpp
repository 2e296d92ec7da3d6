// General utilities: the clock and the text forms of times, hex and binary
// helpers, progress lines and sizes written for people.
//
// Every function that produces text writes into a buffer the caller owns and
// returns a pointer to it; nothing is allocated.
#pragma once

#include <cstdint>

#include "platform/clock.hpp"

namespace utillib {

// Time-out record of the socket services: whole seconds and microseconds.
using timeval = platform::timeval;

// ---- Clock and time texts -------------------------------------------------

// Current point in time in seconds since 1970-01-01 UTC, millisecond
// resolution, from one reading of the clock.
double getmicrotime();

// {seconds, 0}.
timeval int2timeval(int seconds);

// {whole seconds, microseconds}, both truncated toward zero; values beyond
// the 32-bit seconds are clamped and a value that is not a number gives {0, 0}.
timeval double2timeval(double seconds);

// Decimal text with an optional sign to a 64-bit integer.  Characters are not
// checked: each one updates the value as value * 10 + (c - '0'), wrapping on
// overflow.  An empty text or a sign alone gives 0.
int64_t str2long(const char* text);

// Local calendar text of the point in time t (strftime format) followed by
// "." and `digits` digits of its fraction of a second (at most nine; none
// when the fraction is 0 or negative).  The result stays terminated within
// `size` bytes.  A time the local calendar cannot represent, or a calendar
// text that does not fit, leaves the buffer all zero.
char* time2string(double t, const char* format, char* buffer, int size, unsigned digits);

// Size of the buffer timestamp2string needs.
constexpr int timestamp_text_size = 18;

// Duration as "HH:MM:SS.mmm" when it has milliseconds or always_ms is exactly
// 1, else "HH:MM:SS".  Hours are not wrapped.  The buffer must hold
// timestamp_text_size bytes.
char* timestamp2string(double seconds, char* buffer, int always_ms);

// Reads "H:M:S.fff" (fewer fields allowed: "S", "M:S", "H:M:S") back into
// seconds.  A field that reads negative is skipped.
double string2timestamp(const char* text);

}  // namespace utillib
