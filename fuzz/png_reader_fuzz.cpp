// Fuzz target: arbitrary bytes through the PNG reader.
#include "engine/load_picture.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzLoad(LoadPng, data, size); }
