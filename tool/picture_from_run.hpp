// Fills the run picture's input from what the sender recorded, after the run.
#pragma once

#include "tool/probe_facts.hpp"
#include "tool/results_file.hpp"
#include "tool/statistics.hpp"
#include "tool/svg_picture.hpp"

void picture_from_run(const run_settings* settings, const probe_facts* facts, const run_statistics* stats,
                      picture_run* out);
