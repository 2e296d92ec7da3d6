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

// ---- Hex and escape texts ---------------------------------------------------

// Turns the escapes \xHH, \r, \n, \t, \b and \s of the text into their
// bytes, in place.  Zeroes the bytes freed at the end and returns the new
// length (0 for a null text).
int stringhex2bin(char* text);

// Value of the four hex digits p[0..3]; a character that is not a hex digit
// counts as 0.  The four characters must exist.
uint32_t chunk2uint32(const char* p);

// Prints the bytes as rows of 16 hex bytes with their characters.  A size of
// -1 dumps the text length of the bytes; any other negative size prints
// nothing.
void hexdumpbuff(const void* bytes, int size, const char* name);

// ---- Progress lines -----------------------------------------------------------

// Prints "<label> progress=PPP.PPP % timespent=... timeelapsed=..." over the
// previous progress line: the share done, the time spent since `start` and the
// projected whole duration (times in whole seconds).  A total of 0 shows 0
// percent.  Returns done.
uint64_t showprogress(const char* label, uint64_t done, uint64_t total, int start, int now);

// Prints a percentage and a bar of `width` positions over the previous line,
// or, for a total of 0 or less, a spinner that advances one step per call.
// The label and the trailing text may be null.
void showstatusprogress(const char* label, const char* text, int done, int total, int width);

// ---- Paths, byte search and reversal ----------------------------------------------

// Last component of a path whose parts are separated by "\" (the whole path
// when it has none), copied into out, which holds at least strlen(path) + 1
// bytes.
char* mybasename(const char* path, char* out);

// Offset of the first occurrence of the pattern text in the first count
// bytes, or -1.  An empty pattern is found at 0.
int binstrpos(const char* pattern, const void* bytes, int count);

// Longest run binstrrev reverses.
constexpr unsigned binstrrev_max = 65536;

// Reverses the first count bytes in place.  Returns 0, or -1 (bytes left
// unchanged) for a count above binstrrev_max.
int binstrrev(void* bytes, unsigned count);

// ---- Sizes for people -----------------------------------------------------------

// Size in bytes as "N B", "N.NNN kB", "N.NN MB", "N.NN GB"... (units of 1024),
// with the decimal point written as `separator`, within outsize bytes.
char* hrfilesize(double size, char* out, int outsize, char separator);

}  // namespace utillib
