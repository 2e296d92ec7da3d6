// Prometheus text format 0.0.4: one line at a time into the caller's buffer,
// each line checked against what is left before it counts.
#include "tool/metrics/prometheus_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// The line being written: `at` moves toward `end`; once a byte does not fit
// the line is lost and nothing more is written to it.
struct line_cursor {
    char* at;
    char* end;
    bool fits;
};

line_cursor line_start(const prom_writer* writer) {
    char* at = writer->text + writer->length;
    return {at, writer->text + writer->capacity, true};
}

void put_char(line_cursor* line, char c) {
    if (!line->fits || line->at >= line->end) {
        line->fits = false;
        return;
    }
    *line->at++ = c;
}

void put_bytes(line_cursor* line, const char* bytes, size_t length) {
    if (!line->fits || length > static_cast<size_t>(line->end - line->at)) {
        line->fits = false;
        return;
    }
    std::memcpy(line->at, bytes, length);
    line->at += length;
}

void put_text(line_cursor* line, const char* text) { put_bytes(line, text, std::strlen(text)); }

// Label values escape backslash, double quote and line feed; help texts
// escape only backslash and line feed.
void put_escaped(line_cursor* line, const char* text, bool quotes) {
    for (const char* c = text; *c != '\0'; c++) {
        if (*c == '\\') {
            put_bytes(line, "\\\\", 2);
        } else if (*c == '\n') {
            put_bytes(line, "\\n", 2);
        } else if (*c == '"' && quotes) {
            put_bytes(line, "\\\"", 2);
        } else {
            put_char(line, *c);
        }
    }
}

void put_value(line_cursor* line, double value) {
    char text[prom_value_text_size];
    int length = prom_format_value(value, text, sizeof text);
    if (length < 0) {
        line->fits = false;
        return;
    }
    put_bytes(line, text, static_cast<size_t>(length));
}

void put_count(line_cursor* line, uint64_t value) {
    char text[24];
    std::to_chars_result done = std::to_chars(text, text + sizeof text, value);
    put_bytes(line, text, static_cast<size_t>(done.ptr - text));
}

// The line counts only when it fitted whole, line feed included; after the
// first line that does not fit the page stays cut there.
void line_end(prom_writer* writer, line_cursor* line) {
    put_char(line, '\n');
    if (line->fits) {
        writer->length = static_cast<int>(line->at - writer->text);
    } else {
        writer->full = true;
    }
}

bool name_start(char c, bool colon) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':');
}

// Metric names: [a-zA-Z_:][a-zA-Z0-9_:]*; label names the same without ':'.
bool valid_name(const char* name, bool colon) {
    if (name == nullptr || !name_start(name[0], colon)) return false;
    for (const char* c = name + 1; *c != '\0'; c++) {
        if (!name_start(*c, colon) && !(*c >= '0' && *c <= '9')) return false;
    }
    return true;
}

bool valid_labels(const prom_label* labels, int count) {
    if (count < 0 || count > prom_max_labels || (count > 0 && labels == nullptr)) return false;
    for (int i = 0; i < count; i++) {
        if (!valid_name(labels[i].name, false) || labels[i].value == nullptr) return false;
    }
    return true;
}

// Writing is over once the page is cut; a bad name loses only its own line.
bool may_write(prom_writer* writer, bool names_valid) {
    if (writer->full) return false;
    if (!names_valid) writer->bad_name = true;
    return names_valid;
}

// name suffix{labels} -- the part of a sample line before its value.
void put_series(line_cursor* line, const char* name, const char* suffix, const prom_label* labels, int count) {
    put_text(line, name);
    put_text(line, suffix);
    if (count == 0) return;
    put_char(line, '{');
    for (int i = 0; i < count; i++) {
        if (i > 0) put_char(line, ',');
        put_text(line, labels[i].name);
        put_bytes(line, "=\"", 2);
        put_escaped(line, labels[i].value, true);
        put_char(line, '"');
    }
    put_char(line, '}');
}

void count_line(prom_writer* writer, const char* name, const char* suffix, const prom_label* labels, int count,
                uint64_t value) {
    line_cursor line = line_start(writer);
    put_series(&line, name, suffix, labels, count);
    put_char(&line, ' ');
    put_count(&line, value);
    line_end(writer, &line);
}

}  // namespace

void prom_begin(prom_writer* writer, char* buffer, int capacity) {
    writer->text = buffer;
    writer->capacity = buffer != nullptr && capacity > 0 ? capacity : 0;
    writer->length = 0;
    writer->full = false;
    writer->bad_name = false;
}

bool prom_ok(const prom_writer* writer) { return !writer->full && !writer->bad_name; }

int prom_format_value(double value, char* out, int size) {
    if (out == nullptr || size <= 0) return -1;
    out[0] = '\0';
    const char* special = nullptr;
    if (std::isnan(value)) special = "NaN";
    if (std::isinf(value)) special = value > 0 ? "+Inf" : "-Inf";
    if (special != nullptr) {
        int length = static_cast<int>(std::strlen(special));
        if (length >= size) return -1;
        std::memcpy(out, special, static_cast<size_t>(length) + 1);
        return length;
    }
    // Go's shortest %g, as Prometheus' own clients write values and bucket
    // bounds: plain digits for exponents -4 to 5, else d.ddde+XX.  to_chars
    // ignores the locale and gives the shortest digits that read back exactly.
    std::to_chars_result done = std::to_chars(out, out + size - 1, value, std::chars_format::scientific);
    if (done.ec == std::errc()) {
        // The exponent: what follows 'e' up to the end written (no terminator yet).
        const char* e = static_cast<const char*>(std::memchr(out, 'e', static_cast<size_t>(done.ptr - out)));
        int exponent = 0;
        if (e != nullptr) {
            bool negative = e[1] == '-';
            std::from_chars(e + 2, done.ptr, exponent);
            if (negative) exponent = -exponent;
        }
        if (exponent >= -4 && exponent < 6) done = std::to_chars(out, out + size - 1, value, std::chars_format::fixed);
    }
    if (done.ec != std::errc()) {
        out[0] = '\0';
        return -1;
    }
    *done.ptr = '\0';
    return static_cast<int>(done.ptr - out);
}

void prom_family(prom_writer* writer, const char* name, prom_type type, const char* help) {
    if (!may_write(writer, valid_name(name, true) && help != nullptr)) return;
    static constexpr const char* type_names[] = {"counter", "gauge", "histogram"};
    line_cursor line = line_start(writer);
    put_text(&line, "# HELP ");
    put_text(&line, name);
    put_char(&line, ' ');
    put_escaped(&line, help, false);
    line_end(writer, &line);
    if (writer->full) return;
    line = line_start(writer);
    put_text(&line, "# TYPE ");
    put_text(&line, name);
    put_char(&line, ' ');
    put_text(&line, type_names[type == prom_gauge ? 1 : type == prom_histogram ? 2 : 0]);
    line_end(writer, &line);
}

void prom_sample(prom_writer* writer, const char* name, const prom_label* labels, int label_count, double value) {
    if (!may_write(writer, valid_name(name, true) && valid_labels(labels, label_count))) return;
    line_cursor line = line_start(writer);
    put_series(&line, name, "", labels, label_count);
    put_char(&line, ' ');
    put_value(&line, value);
    line_end(writer, &line);
}

void prom_sample_count(prom_writer* writer, const char* name, const prom_label* labels, int label_count,
                       uint64_t value) {
    if (!may_write(writer, valid_name(name, true) && valid_labels(labels, label_count))) return;
    count_line(writer, name, "", labels, label_count, value);
}

void prom_histogram_sample(prom_writer* writer, const char* name, const prom_label* labels, int label_count,
                           const prom_buckets* buckets) {
    // "le" goes last, after the series' own labels.
    bool valid = valid_name(name, true) && label_count < prom_max_labels && valid_labels(labels, label_count) &&
                 buckets != nullptr && buckets->bound_count >= 0 &&
                 (buckets->bound_count == 0 || (buckets->bounds != nullptr && buckets->cumulative != nullptr));
    if (!may_write(writer, valid)) return;
    prom_label with_le[prom_max_labels];
    for (int i = 0; i < label_count; i++) with_le[i] = labels[i];
    char bound_text[prom_value_text_size];
    with_le[label_count] = {"le", bound_text};
    for (int i = 0; i < buckets->bound_count && !writer->full; i++) {
        if (prom_format_value(buckets->bounds[i], bound_text, sizeof bound_text) < 0) return;
        count_line(writer, name, "_bucket", with_le, label_count + 1, buckets->cumulative[i]);
    }
    with_le[label_count].value = "+Inf";
    if (!writer->full) count_line(writer, name, "_bucket", with_le, label_count + 1, buckets->count);
    if (!writer->full) {
        line_cursor line = line_start(writer);
        put_series(&line, name, "_sum", labels, label_count);
        put_char(&line, ' ');
        put_value(&line, buckets->sum);
        line_end(writer, &line);
    }
    if (!writer->full) count_line(writer, name, "_count", labels, label_count, buckets->count);
}
