// What the command tells the user while a batch runs: with --verbose a line
// per written file, always why an input or a slot gave nothing, and on a
// terminal a progress line.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include "engine/batch.h"

#include <string>
#include <vector>

// From now on the batch's notes are reported for these pictures (as the user
// named them, in batch order).
void StartReporting(const std::vector<std::string>& arguments, bool verbose, bool progress);
// Reports one note of the batch; the batch host's report.
void ReportBatchNote(const BatchNote& note);
// Clears the progress line and stops reporting.
void StopReporting();

// Text as UTF-8 for the terminal.
std::string Utf8(const wchar_t* text);
