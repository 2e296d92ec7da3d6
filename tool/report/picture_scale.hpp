// Axes of the run picture: where a value lies along an axis, which ticks it
// gets and how their labels read.  Round trips get a logarithmic axis when
// they span more than a factor of 20 (loopback microseconds beside a reply
// held for a second), a linear one with round steps otherwise; durations
// are labelled in us, ms or s as their size asks.
#pragma once

constexpr int scale_ticks_max = 16;

struct picture_axis {
    bool log;          // logarithmic: every value on it is above 0
    double low, high;  // the ends of the axis
    int ticks;
    double tick[scale_ticks_max];
    int kind;     // scale_kind: how labels read
    double unit;  // labels of a linear duration axis: seconds per unit
    const char* unit_name;
    int decimals;  // decimals of linear labels
};

enum scale_kind {
    scale_plain = 0,     // numbers (probe numbers, counts)
    scale_duration = 1,  // seconds, labelled in us/ms/s
};

// Axis for round trips from `min` to `max` seconds (count 0: none measured).
void scale_durations(double min, double max, int count, picture_axis* axis);
// Linear axis from 0 to `max` seconds of run time.
void scale_elapsed(double max, picture_axis* axis);
// Linear axis of whole numbers from `min` to `max`, in about `steps` steps.
void scale_numbers(double min, double max, int steps, picture_axis* axis);

// Where `value` lies along the axis, 0 at low and 1 at high (held inside).
double scale_fraction(const picture_axis* axis, double value);
// Label of a tick value.
void scale_label(const picture_axis* axis, double value, char* out, int size);
// A duration with three significant digits in its own unit: "45.2 us" (with
// the micro sign), "1.30 s"; "0" for zero.
void format_duration(double seconds, char* out, int size);
