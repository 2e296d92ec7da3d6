// The Prometheus text exposition format, version 0.0.4, written into a
// buffer the caller owns.
//
// A page is a list of families: a "# HELP" and a "# TYPE" line, then every
// sample of the family.  The writer keeps whole lines only: a line that does
// not fit is left out and so is everything after it, and the writer says so,
// so a page is either complete or known to be cut.
#pragma once

#include <cstdint>

enum prom_type { prom_counter, prom_gauge, prom_histogram };

struct prom_label {
    const char* name;
    const char* value;  // any bytes; escaped on output
};

// Labels one sample may carry, a histogram's "le" included.
constexpr int prom_max_labels = 8;
// Longest text of a value: "-1.2345678901234567e-308" and a terminator.
constexpr int prom_value_text_size = 32;

struct prom_writer {
    char* text;
    int capacity;
    int length;     // bytes of whole lines written
    bool full;      // a line did not fit: it and all later lines were left out
    bool bad_name;  // a metric or label name was not valid: its line was left out
};

// Histogram data at fixed upper bounds: cumulative[i] values were at most
// bounds[i] (ascending); count and sum cover every value, the "+Inf" bucket.
struct prom_buckets {
    const double* bounds;
    const uint64_t* cumulative;
    int bound_count;
    uint64_t count;
    double sum;
};

void prom_begin(prom_writer* writer, char* buffer, int capacity);
// True while the page is complete and every name was valid.
bool prom_ok(const prom_writer* writer);

// "# HELP name help" and "# TYPE name type"; the family's samples follow.
void prom_family(prom_writer* writer, const char* name, prom_type type, const char* help);
// One sample line: name{labels} value.
void prom_sample(prom_writer* writer, const char* name, const prom_label* labels, int label_count, double value);
// The same for a count: exact digits, however large.
void prom_sample_count(prom_writer* writer, const char* name, const prom_label* labels, int label_count,
                       uint64_t value);
// The lines of one histogram series of family `name`: name_bucket for each
// bound and "+Inf", name_sum, name_count.
void prom_histogram_sample(prom_writer* writer, const char* name, const prom_label* labels, int label_count,
                           const prom_buckets* buckets);

// A value as Prometheus reads it, whatever the locale: the shortest text that
// reads back to the same double, spelt as Go's %g does (0.0005, 5e-05,
// 1.5e+06), or "+Inf", "-Inf", "NaN".  Writes at most
// size bytes with the terminator; returns the length, or -1 when it does not
// fit (`out` then holds the empty text when size allows).
int prom_format_value(double value, char* out, int size);
