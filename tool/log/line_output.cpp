// Log lines written out whole.
#include "tool/log/line_output.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/output.hpp"

void line_print(line_output* out, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    line_vprint(out, format, arguments);
    va_end(arguments);
}

void line_vprint(line_output* out, const char* format, va_list arguments) {
    for (int attempt = 0; attempt < 2; attempt++) {
        int room = line_output_size - out->used;
        va_list copy;
        va_copy(copy, arguments);
        int length = std::vsnprintf(out->text + out->used, static_cast<size_t>(room), format, copy);
        va_end(copy);
        if (length < 0) return;
        if (length < room) {
            out->used += length;
            return;
        }
        if (out->used == 0) {
            // Longer than the whole buffer: keep what fits, as a whole line.
            out->text[line_output_size - 2] = '\n';
            out->used = line_output_size - 1;
            return;
        }
        // The line would not fit: the lines before it go out first.
        line_flush(out);
    }
}

void line_append(line_output* out, const char* text, int length) {
    if (length <= 0) return;
    if (length > line_output_size) length = line_output_size;
    std::memcpy(line_space(out, length), text, static_cast<size_t>(length));
    line_commit(out, length);
}

char* line_space(line_output* out, int length) {
    if (length > line_output_size - out->used) line_flush(out);
    return out->text + out->used;
}

void line_commit(line_output* out, int length) {
    if (length > 0 && length <= line_output_size - out->used) out->used += length;
}

void line_flush(line_output* out) {
    // Lines printed through stdio (the set-up lines) come first, and leave
    // stdio's buffer empty, so these bytes go out in one write.
    std::fflush(stdout);
    if (out->used > 0) platform::write_whole(fileno(stdout), out->text, out->used);
    out->used = 0;
}
