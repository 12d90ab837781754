#include "engine/color_reducer.h"

ColorReducer::ColorReducer() : ditherMode(0), width(0), height(0), sourceBitCount(0), targetBitCount(0) {}
