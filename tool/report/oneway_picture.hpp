// The one-way panels of the run picture: under the round trips, the delay
// out and the delay back of every probe, drawn apart on one scale.  With
// both clocks synchronized they are the one-way delays; otherwise the
// queueing delays, which need no synchronized clocks.
#pragma once

#include <cstdio>

#include "tool/record/oneway_figures.hpp"
#include "tool/report/svg_picture.hpp"

// Height the panels add to the picture, in pixels.
constexpr int oneway_panel_height = 290;

// Fills the panels' input of the probes the picture holds from the figures
// (after oneway_figures_finish): their delays and what they are.
void oneway_picture_from_run(const oneway_figures* oneway, picture_run* run);

// Draws the panels from `top` (pixels from the picture's top) down.
void oneway_picture_write(std::FILE* out, const picture_run* run, picture_scratch* scratch, double top);
