// Log lines written out whole.
//
// Lines are gathered in a buffer that goes out only at line ends: when the
// next line would not fit, and when the caller flushes (before it blocks).
// A process killed at any moment, even by SIGKILL, loses buffered lines
// whole but never leaves one cut in the middle.  stdio alone cannot promise
// that: a full stdio buffer is written out wherever it happens to end.
#pragma once

#include <cstdarg>

constexpr int line_output_size = 1 << 16;

struct line_output {
    int used;
    char text[line_output_size];
};

// Appends one or more whole lines (the format ends with "\n").  A line longer
// than the whole buffer is cut to it and still ends with "\n".
[[gnu::format(printf, 2, 3)]] void line_print(line_output* out, const char* format, ...);
[[gnu::format(printf, 2, 0)]] void line_vprint(line_output* out, const char* format, va_list arguments);

// Appends `length` bytes of whole lines.
void line_append(line_output* out, const char* text, int length);

// Room for a line of at most `length` bytes (at most line_output_size) at
// the end of the buffer, the lines before it written out first when it lacks
// that much.  The caller writes the line there and then commits its length.
char* line_space(line_output* out, int length);
void line_commit(line_output* out, int length);

// Writes out whatever stdio holds, then the gathered lines, to standard output.
void line_flush(line_output* out);
