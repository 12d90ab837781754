// Conversion of pixel rows between bit depths, and reduction to a 256-colour
// palette; the base of every codec state.
#pragma once

#include "platform/win32.h"

#include <cstdint>

class ColorReducer {
public:
    // Hands a pixel's quantisation error (blue, green, red) to the neighbours
    // its position allows.
    using SpreadOperation = void (ColorReducer::*)(uint8_t* pixel, const int32_t* error);

    ColorReducer();

    // Converts rows from sourceBitCount to targetBitCount (1->8, 4->8, 8->8,
    // 8->24), target rows stride apart; false for any other pair.
    bool Convert(RGBQUAD* outPalette, uint8_t* outPixels, const RGBQUAD* inPalette, const uint8_t* inPixels);

    // Turns 8- or 24-bit rows into unpadded 8-bit indices with a palette: the
    // picture's own colours when it has at most 256, otherwise a chosen palette
    // with error diffusion. outPalette holds 256 zeroed entries, outPixels
    // width x height bytes; targetBitCount must be 8.
    bool ReduceToPalette(const RGBQUAD* inPalette, const uint8_t* inPixels, RGBQUAD* outPalette, uint8_t* outPixels);

    const RGBQUAD* inPalette = nullptr;
    RGBQUAD* outPalette = nullptr;
    const uint8_t* inPixels = nullptr;
    uint8_t* outPixels = nullptr;
    int32_t ditherMode;
    int32_t rowBytes = 0;
    int32_t stride = 0;
    int32_t imageSize = 0;
    int32_t workStride = 0;
    uint8_t* workPixels = nullptr;
    uint8_t* cellBuffer = nullptr;
    int32_t squares[511];      // d * d at [d + 255]
    uint8_t clampTable[766];   // v = -255..510 limited to a byte, at [v + 255]
    int32_t weightBelowRight[511];  // an error's share for each neighbour, at [e + 255]
    int32_t weightBelowLeft[511];
    int32_t weightBelow[511];
    int32_t weightRight[511];
    SpreadOperation spreadFirst = nullptr;
    SpreadOperation spreadMiddle = nullptr;
    SpreadOperation spreadLast = nullptr;
    SpreadOperation spreadLastRow = nullptr;
    SpreadOperation spreadSingle = nullptr;
    int32_t width;
    int32_t height;
    int32_t sourceBitCount;
    int32_t targetBitCount;
    const int32_t* squaresTable;  // squares at d = 0 once filled

    // Bytes of the colour-cell histogram: the finest resolution has 32,768
    // cells of three 64-bit sums and a count.
    static constexpr uint32_t kCellBufferBytes = 32768u * 32u;

protected:
    // Steps of ReduceToPalette, each working on the members above.
    void SetUpDiffusion();
    // The number of distinct colours in workPixels; 0 when its bit set could
    // not be allocated.
    int32_t CountDistinctColors();
    // The picture's own colours into outPalette (count of them for a 24-bit
    // source, in brightness order; first-appearance order for 8 bits).
    void BuildExactPalette(int32_t count);
    // Fills cellBuffer with the average colour and pixel count of every cell;
    // returns the shift that gives a channel's cell coordinate.
    int32_t BuildCellHistogram();
    // Preferred cube colours, then the most populated cells, sorted by
    // brightness; uses the histogram of the given shift.
    void SelectPalette(int32_t shift);
    // The palette entry nearest to a blue-green-red pixel; the first on ties.
    int32_t NearestEntry(const uint8_t* pixel) const;

    void SpreadFirstPixel(uint8_t* pixel, const int32_t* error);
    void SpreadInnerPixel(uint8_t* pixel, const int32_t* error);
    void SpreadLastPixel(uint8_t* pixel, const int32_t* error);
    void SpreadAlongLastRow(uint8_t* pixel, const int32_t* error);
    void SpreadDownOnly(uint8_t* pixel, const int32_t* error);

private:
    bool FillWorkCopy();
    void FillSquares();
    void MapExactColors();
    void MapWithDiffusion();
    void Receive(uint8_t* neighbour, const int32_t* weight, const int32_t* error);
};

// table[i][j] is about i * j / 255 (exact at 0 and 255): the blend of the
// fitting tables and of the PNG reader's compositing.
void BuildBlendTable(uint8_t (&table)[256][256]);
