// Fitting a decoded picture to one output slot: resize, sharpen, crop.
#pragma once

#include <cstdint>

// Tables computed once per codec set; the blend table also serves the PNG reader.
struct FilterWorkspace {
    uint8_t blend[256][256];
    uint8_t div25[6376];
    int16_t sharpenProducts[101][256];
    uint8_t clamp[3443];
};

struct ResizeJob {
    int32_t srcWidth = 0;
    int32_t srcHeight = 0;
    uint8_t* srcRows = nullptr;
    uint8_t* dstRows = nullptr;
};

struct SharpenJob {
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    uint8_t* srcRows = nullptr;
    uint8_t* dstRows = nullptr;
    uint8_t* diffRows = nullptr;
};
