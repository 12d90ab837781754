// Which built-in reader a file belongs to, from its first bytes alone.
#pragma once

#include "engine/picture_records.h"

FormatCode DetectFormat(LPCWSTR path);
