#include "engine/fitting_kernels.h"

#include <emmintrin.h>

namespace {

constexpr int64_t kWeightUnit = 32768;  // one source sample of an averaging window
constexpr int kSharpenThreshold = 20;

// The part of a sample that belongs to the next window, rounded down.
inline int32_t Spill(uint8_t sample, int32_t carry) { return (sample * carry) >> 15; }

// sums = the spill of every byte of the row. For 16-bit lanes,
// (2p x carry) >> 16 is (p x carry) >> 15, as carry < 32768.
void SetSpillNarrow(const uint8_t* row, int32_t carry, uint16_t* sums, int32_t bytes) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i part = _mm_set1_epi16(static_cast<int16_t>(carry));
    int32_t j = 0;
    for (; j + 16 <= bytes; j += 16) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j));
        const __m128i low = _mm_slli_epi16(_mm_unpacklo_epi8(p, zero), 1);
        const __m128i high = _mm_slli_epi16(_mm_unpackhi_epi8(p, zero), 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j), _mm_mulhi_epu16(low, part));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j + 8), _mm_mulhi_epu16(high, part));
    }
    for (; j < bytes; ++j) sums[j] = static_cast<uint16_t>(Spill(row[j], carry));
}

// One output row over every byte column, 16 at a time: the window's rows
// added to the spill it starts with, less the closing row's spill, which
// stays behind as the next window's start. `index` receives the sums.
void CloseWindowNarrow(const uint8_t* row, int64_t stride, int32_t count, int32_t carry, uint16_t* spill,
                       uint16_t* index, int32_t bytes) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i part = _mm_set1_epi16(static_cast<int16_t>(carry));
    const uint8_t* closing = row + (count - 1) * stride;
    int32_t j = 0;
    for (; j + 16 <= bytes; j += 16) {
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(spill + j));
        __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(spill + j + 8));
        __m128i p = zero;
        for (const uint8_t* in = row + j; in <= closing + j; in += stride) {
            p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            low = _mm_add_epi16(low, _mm_unpacklo_epi8(p, zero));
            high = _mm_add_epi16(high, _mm_unpackhi_epi8(p, zero));
        }
        const __m128i spillLow = _mm_mulhi_epu16(_mm_slli_epi16(_mm_unpacklo_epi8(p, zero), 1), part);
        const __m128i spillHigh = _mm_mulhi_epu16(_mm_slli_epi16(_mm_unpackhi_epi8(p, zero), 1), part);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(index + j), _mm_sub_epi16(low, spillLow));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(index + j + 8), _mm_sub_epi16(high, spillHigh));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(spill + j), spillLow);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(spill + j + 8), spillHigh);
    }
    for (; j < bytes; ++j) {
        int32_t sum = spill[j];
        for (int32_t i = 0; i < count; ++i) sum += row[i * stride + j];
        spill[j] = static_cast<uint16_t>(Spill(closing[j], carry));
        index[j] = static_cast<uint16_t>(sum - spill[j]);
    }
}

// Sums of five rows for the bytes first..end-1.
void FiveRowSums(const uint8_t* const* rows, int32_t first, int32_t end, uint16_t* sums) {
    const __m128i zero = _mm_setzero_si128();
    int32_t j = first;
    for (; j + 16 <= end; j += 16) {
        __m128i low = zero;
        __m128i high = zero;
        for (int r = 0; r < 5; ++r) {
            const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + j));
            low = _mm_add_epi16(low, _mm_unpacklo_epi8(p, zero));
            high = _mm_add_epi16(high, _mm_unpackhi_epi8(p, zero));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j + 8), high);
    }
    for (; j < end; ++j) sums[j] = static_cast<uint16_t>(rows[0][j] + rows[1][j] + rows[2][j] + rows[3][j] + rows[4][j]);
}

// One sharpened pixel from its 25-sample sums: pixels that differ enough
// from their surroundings move 3/8 further away.
inline void SharpenPixel(const SharpenRegion& region, const int32_t* sum, const uint8_t* source, uint8_t* out) {
    int32_t d[3];
    for (int c = 0; c < 3; ++c) {
        const int32_t difference = source[c] - region.div25[sum[c]];
        d[c] = difference < -128 ? -128 : difference > 127 ? 127 : difference;
    }
    const int32_t size = (d[0] < 0 ? -d[0] : d[0]) + (d[1] < 0 ? -d[1] : d[1]) + (d[2] < 0 ? -d[2] : d[2]);
    if (size > kSharpenThreshold) {
        for (int c = 0; c < 3; ++c) out[c] = region.clamp[source[c] + region.products[d[c]]];
    } else {
        for (int c = 0; c < 3; ++c) out[c] = source[c];
    }
}

// One kept row: five-row sums of the columns it reads, then a running sum
// along the row (the same 25 integers as the direct sum, added in another order).
void SharpenRow(const SharpenRegion& region, int32_t y, const int32_t* columns, uint16_t* sums) {
    const uint8_t* rows[5];
    for (int r = 0; r < 5; ++r) {
        const int32_t yy = y + r - 2;
        rows[r] = region.rows + (yy < 0 ? 0 : yy >= region.height ? region.height - 1 : yy) * region.stride;
    }
    FiveRowSums(rows, columns[0], columns[region.w + 3] + 3, sums);
    int32_t sum[3] = {};
    for (int q = 0; q < 5; ++q)
        for (int c = 0; c < 3; ++c) sum[c] += sums[columns[q] + c];
    const uint8_t* source = rows[2] + 3 * static_cast<int64_t>(region.left);
    uint8_t* out = region.out + static_cast<int64_t>(y - region.bottom) * region.outStride;
    for (int32_t x = 0;; ++x, source += 3, out += 3) {
        SharpenPixel(region, sum, source, out);
        if (x + 1 == region.w) break;
        for (int c = 0; c < 3; ++c) sum[c] += sums[columns[x + 5] + c] - sums[columns[x] + c];
    }
}

}  // namespace

bool PlanAveraging(int32_t n, int32_t m, int64_t window, AveragingPlan& plan) {
    int64_t weight = 0;
    int32_t k = 0;
    for (int32_t i = 0; i < n - 1; ++i) {
        weight += kWeightUnit;
        if (weight < window) continue;
        if (k == m - 1) return false;
        weight -= window;
        plan.last[k] = i;
        plan.carry[k++] = static_cast<int32_t>(weight);
    }
    if (k != m - 1) return false;
    weight += kWeightUnit;
    plan.last[k] = n - 1;
    plan.carry[k] = weight >= window ? static_cast<int32_t>(weight - window) : 0;
    return true;
}

void AverageColumnsNarrow(const ColumnPass& pass, int32_t first, int32_t end, uint16_t* sums) {
    const AveragingPlan& plan = *pass.plan;
    uint16_t* spill = sums;
    uint16_t* index = sums + pass.bytes + 8;
    if (first == 0) {
        for (int32_t j = 0; j < pass.bytes; ++j) spill[j] = 0;
    } else {
        SetSpillNarrow(pass.source + plan.last[first - 1] * pass.sourceStride, plan.carry[first - 1], spill,
                       pass.bytes);
    }
    for (int32_t k = first; k < end; ++k) {
        const int32_t from = k == 0 ? 0 : plan.last[k - 1] + 1;
        CloseWindowNarrow(pass.source + from * pass.sourceStride, pass.sourceStride, plan.last[k] + 1 - from,
                          plan.carry[k], spill, index, pass.bytes);
        uint8_t* out = pass.target + (k - first) * pass.targetStride;
        for (int32_t j = 0; j < pass.bytes; ++j) out[j] = pass.divisor[index[j]];
    }
}

void AverageColumnsWide(const ColumnPass& pass, int32_t first, int32_t end, uint32_t* sums) {
    const AveragingPlan& plan = *pass.plan;
    auto row = [&pass](int32_t i) { return pass.source + i * pass.sourceStride; };
    for (int32_t k = first; k < end; ++k) {
        const int32_t from = k == 0 ? 0 : plan.last[k - 1] + 1;
        for (int32_t j = 0; j < pass.bytes; ++j) sums[j] = k == 0 ? 0 : Spill(row(from - 1)[j], plan.carry[k - 1]);
        for (int32_t i = from; i <= plan.last[k]; ++i)
            for (int32_t j = 0; j < pass.bytes; ++j) sums[j] += row(i)[j];
        const uint8_t* closing = row(plan.last[k]);
        uint8_t* out = pass.target + (k - first) * pass.targetStride;
        for (int32_t j = 0; j < pass.bytes; ++j) out[j] = pass.divisor[sums[j] - Spill(closing[j], plan.carry[k])];
    }
}

void AverageRowPixels(const uint8_t* row, int32_t origin, const AveragingPlan& plan, int32_t first, int32_t end,
                      const uint8_t* divisor, uint8_t* out) {
    const uint8_t* p = row + 3 * static_cast<int64_t>((first == 0 ? 0 : plan.last[first - 1] + 1) - origin);
    int32_t blue = 0, green = 0, red = 0;  // the spill the window starts with
    if (first > 0) {
        blue = Spill(p[-3], plan.carry[first - 1]);
        green = Spill(p[-2], plan.carry[first - 1]);
        red = Spill(p[-1], plan.carry[first - 1]);
    }
    for (int32_t k = first; k < end; ++k, out += 3) {
        const uint8_t* closing = row + 3 * static_cast<int64_t>(plan.last[k] - origin);
        for (; p <= closing; p += 3) {
            blue += p[0];
            green += p[1];
            red += p[2];
        }
        const int32_t carry = plan.carry[k];
        const int32_t spillBlue = Spill(closing[0], carry);
        const int32_t spillGreen = Spill(closing[1], carry);
        const int32_t spillRed = Spill(closing[2], carry);
        out[0] = divisor[blue - spillBlue];
        out[1] = divisor[green - spillGreen];
        out[2] = divisor[red - spillRed];
        blue = spillBlue;
        green = spillGreen;
        red = spillRed;
    }
}

void SharpenKept(const SharpenRegion& region, int32_t* columns, uint16_t* sums) {
    for (int32_t q = 0; q < region.w + 4; ++q) {
        const int32_t x = region.left + q - 2;
        columns[q] = 3 * (x < 0 ? 0 : x >= region.width ? region.width - 1 : x);
    }
    for (int32_t y = region.bottom; y < region.bottom + region.h; ++y) SharpenRow(region, y, columns, sums);
}
