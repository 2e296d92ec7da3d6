// Hand-made formatting of the lines written for every datagram.  A busy
// responder writes two lines per datagram; printf's interpretation of the
// format is most of their cost, so these put the pieces in directly, with
// printf's own results.
#pragma once

#include <cstddef>

// Writes into [at, end), always leaving room for a terminator.
struct line_builder {
    char* at;
    char* end;
};

void put_text(line_builder* line, const char* text);
// The first `length` bytes of `text`.
void put_bytes(line_builder* line, const char* text, size_t length);
// A string literal, its length known when compiled.
template <size_t size>
void put_literal(line_builder* line, const char (&text)[size]) {
    put_bytes(line, text, size - 1);
}
// The value as printf's "%0*d" writes it with this width (0: plain "%d"; at
// most 12).
void put_int(line_builder* line, int value, int width);
