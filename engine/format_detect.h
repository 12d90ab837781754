// Which built-in reader a file belongs to, from its first bytes alone.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/picture_records.h"

FormatCode DetectFormat(LPCWSTR path);
