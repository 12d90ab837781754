// The fast fitting's inner loops: area averaging row by row with SSE2 (its
// wider steps with AVX2 where the processor has it) and sharpening with
// separable sums, each limited to the pixels the crop keeps.
// They compute the same integers as the straightforward loops of fitting.cpp,
// only in another order, so every output byte is the same.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include <cstdint>

// Where each output of an averaging pass (n samples down to m) closes: the
// sample whose weight completes its window, and the part of that sample, in
// 1/32768, that belongs to the next output. Output k sums the spill of
// sample last[k - 1], samples last[k - 1] + 1 .. last[k], less the spill of
// last[k]; the weights depend only on n and m, so every line shares them.
struct AveragingPlan {
    int32_t* last = nullptr;
    int32_t* carry = nullptr;
};

// Walks the weights as the straightforward pass does; false when they would
// not close exactly m outputs.
bool PlanAveraging(int32_t n, int32_t m, int64_t window, AveragingPlan& plan);

// Largest averaging window (in samples) whose sums fit 16-bit lanes.
constexpr double kNarrowSumLimit = 255.0;

// A divisor table (sums of a window of n / m samples to their average) as
// arithmetic: (i x factor) >> 32 with factor = ceil(2^32 m / n) is
// floor(m i / n) for 16-bit sums, and the table's double division agrees
// wherever m i / n is not a whole number. Where it is (bits 16..31 of
// i x factor are all zero), the double quotient q may fall just short and
// the table give one less. Whether it does depends only on where q lies
// between the powers of two around it: it does from a fixed fraction of the
// way up, the same for every such span. So an exact sum takes one less
// where q x threshold reaches 2^16 times the largest power of two not above
// q, that is where r = (q x threshold) >> 16 has the same top bit as q:
// (q xor r) < r. The divider is checked against every entry a sum of bytes
// can reach; one that fails the check leaves `multiply` clear, and every sum
// is looked up.
struct Divider {
    const uint8_t* table = nullptr;
    uint16_t high = 0, low = 0;  // the factor's halves
    bool multiply = false;
    bool corrects = false;  // some exact sums take one less
    uint16_t threshold = 0;
};
Divider MakeDivider(int32_t n, int32_t m, const uint8_t* table, int64_t entries);

// Rows (0-based first..end-1) of a vertical pass over `bytes` byte columns.
// rows(from, count) gives source rows from..from + count - 1, sourceStride
// apart, from the pass's first column on; each source row is asked for once,
// in order, after the row before the first window (for its spill). Narrow
// passes ask for a window's rows at once, wide ones for one row at a time. Each
// output row k is made in target[k % 2] and handed to rowDone at once, while
// it is in the cache; it stays there while row k + 1 is made. Narrow passes
// (16-bit lanes; the window at most kNarrowSumLimit samples) keep `bytes`
// spills in sums, wide ones 2 x `bytes`.
struct ColumnPass {
    const uint8_t* (*rows)(int32_t from, int32_t count, void* context);
    int64_t sourceStride;
    int32_t bytes;
    uint8_t* target[2];
    const AveragingPlan* plan;
    Divider divider;
    void (*rowDone)(const uint8_t* row, int32_t k, void* context);
    void* context;
};
void AverageColumnsNarrow(const ColumnPass& pass, int32_t first, int32_t end, uint16_t* sums);
// The narrow pass's step with 256-bit lanes; the pass calls it only where
// the processor has AVX2.
void CloseWindowAvx2(const uint8_t* row, int64_t stride, int32_t count, int32_t carry, uint16_t* spill,
                     const Divider& divider, uint8_t* out, int32_t bytes);
// The sharpening's sums and values of one kept row with 256-bit lanes;
// SharpenKeptRow calls it only where the processor has AVX2.
void SharpenSumsAvx2(const uint8_t* const* rows, int32_t width, int32_t left, int32_t w, uint16_t* columnSums,
                     uint8_t* sharpened, uint8_t* size);
// The horizontal pass's division of a row's sums with 256-bit lanes, as above.
void DivideSumsAvx2(const uint16_t* sums, int32_t count, const Divider& divider, uint8_t* out);
// Test hook: false keeps every step that comes in two widths to SSE2 where
// wider lanes are there too; true (the start) lets them take the widest.
void UseWideVectors(bool allowed);
void AverageColumnsWide(const ColumnPass& pass, int32_t first, int32_t end, uint32_t* sums);

// Outputs first..end-1 of one row of 24-bit pixels, the row starting at the
// source pixel last[first - 1] (or 0 when first is 0), written from out on.
void AverageRowPixels(const uint8_t* row, int32_t origin, const AveragingPlan& plan, int32_t first, int32_t end,
                      const uint8_t* divisor, uint8_t* out);
// The same for two rows at once (the same row may be given twice), with the
// three channels of each in 16-bit lanes (SSE2), for windows of at most
// kNarrowSumLimit samples. A row's sums gather in `sums` (2 x (3 x (end -
// first) + 32) of them) and are divided up to 32 at a time, so each out has
// 32 bytes to spare. Reads one byte past each row's last pixel.
void AverageRowPixelsNarrow(const uint8_t* const* rows, int32_t origin, const AveragingPlan& plan, int32_t first,
                            int32_t end, const Divider& divider, uint16_t* sums, uint8_t* const* out);

// The sharpening of one kept row of w pixels from `left` on, in a scaled
// row `width` pixels wide whose five rows around it (two above, itself, two
// below, the picture's edge rows repeated where it ends) are rows[0..4],
// each with 32 bytes readable past its last pixel. Every kept pixel is at
// least two pixels from the rows' ends or the end is the picture's, so the
// blur's edge repetition is the picture's. The blurred value is the box
// divisor's closed form; scratch holds 12 x w + 192 bytes.
void SharpenKeptRow(const uint8_t* const* rows, int32_t width, int32_t left, int32_t w, uint8_t* out, uint8_t* scratch);
