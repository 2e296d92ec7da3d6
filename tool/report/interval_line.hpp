// The interval line of --every=: what left and came back since the latest
// line, and the round trips of that interval, for a monitoring check that
// reads the output as it comes.
#pragma once

#include <cstdio>

#include "tool/record/long_run.hpp"

// "every(): <stamp> t=<seconds since the start> sent=.. received=.. loss=..[%]
// rtt median=.. p99=.. [s]" (median=- p99=- without round trips), flushed.
void print_interval_line(const long_run* run, double now, std::FILE* out);
