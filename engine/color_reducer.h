// Conversion of pixel rows between bit depths; the base of every codec state.
#pragma once

#include "platform/win32.h"

#include <cstdint>

class ColorReducer {
public:
    ColorReducer();

    // Converts rows from sourceBitCount to targetBitCount (1->8, 4->8, 8->8,
    // 8->24), target rows stride apart; false for any other pair.
    bool Convert(RGBQUAD* outPalette, uint8_t* outPixels, const RGBQUAD* inPalette, const uint8_t* inPixels);

    RGBQUAD* inPalette = nullptr;
    RGBQUAD* outPalette = nullptr;
    uint8_t* inPixels = nullptr;
    uint8_t* outPixels = nullptr;
    int32_t ditherMode;
    int32_t rowBytes = 0;
    int32_t stride = 0;
    int32_t imageSize = 0;
    int32_t workStride = 0;
    uint8_t* workPixels = nullptr;
    uint8_t* cellBuffer = nullptr;
    int32_t width;
    int32_t height;
    int32_t sourceBitCount;
    int32_t targetBitCount;
};
