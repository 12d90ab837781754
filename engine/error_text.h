// Readers' error codes as the reasons reports print. The numbers stay what
// each format defines, so the format says what a number means.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include <cstdint>

// The reason the reader of format (a FormatCode) gave with code; null for a
// format no built-in reader took.
const char* ReaderErrorText(int32_t format, int32_t code);
