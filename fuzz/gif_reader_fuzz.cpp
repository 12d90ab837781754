// Fuzz target: arbitrary bytes through the GIF reader.
#include "engine/load_picture.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzLoad(LoadGif, data, size); }
