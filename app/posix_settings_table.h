// --settings: where the settings file is and what a run would use, as a
// short table.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include "settings/settings_store.h"

#include <cstdio>

// Prints settings read from path; changed says the command line's options
// are applied on top of the file.
void PrintSettings(FILE* out, const WCHAR* path, const AppSettings& settings, bool changed);
