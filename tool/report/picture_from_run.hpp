// Fills the run picture's input from what the sender recorded, after the run.
#pragma once

#include "tool/record/long_run.hpp"
#include "tool/record/probe_facts.hpp"
#include "tool/report/results_file.hpp"
#include "tool/report/statistics.hpp"
#include "tool/report/svg_picture.hpp"

// `whole` is the long run's figures when it went beyond the facts (or null):
// the headline is then of every probe, the marks of the probes the facts hold.
void picture_from_run(const run_settings* settings, const probe_facts* facts, const run_statistics* stats,
                      const long_run* whole, picture_run* out);
