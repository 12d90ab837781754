#include "engine/fitting_kernels.h"

#include <emmintrin.h>

#include <cstring>

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

// Sums of five rows for `count` bytes from `first` on, into sums.
void FiveRowSums(const uint8_t* const* rows, int64_t first, int32_t count, uint16_t* sums) {
    const __m128i zero = _mm_setzero_si128();
    int32_t j = 0;
    for (; j + 16 <= count; j += 16) {
        __m128i low = zero;
        __m128i high = zero;
        for (int r = 0; r < 5; ++r) {
            const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + first + j));
            low = _mm_add_epi16(low, _mm_unpacklo_epi8(p, zero));
            high = _mm_add_epi16(high, _mm_unpackhi_epi8(p, zero));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + j + 8), high);
    }
    for (const uint8_t* const* r = rows; j < count; ++j)
        sums[j] = static_cast<uint16_t>(r[0][first + j] + r[1][first + j] + r[2][first + j] + r[3][first + j] +
                                        r[4][first + j]);
}

// Eight channels of one row: the 25-sample sums from the five-row sums of
// the five pixels around each (3 bytes apart), their average, the clamped
// difference from the source and the sharpened value.
// div25[s] = (35389 + 2621 (s - 1)) >> 16 = (2621 s + 32768) >> 16: the high
// half of 2621 s, plus one when its low half is 32768 or more.
inline void SharpenEight(const uint16_t* columnSums, __m128i source, __m128i& size, __m128i& sharpened) {
    __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(columnSums));
    for (int q = 1; q < 5; ++q)
        sum = _mm_add_epi16(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(columnSums + 3 * q)));
    const __m128i factor = _mm_set1_epi16(2621);
    const __m128i blurred =
        _mm_add_epi16(_mm_mulhi_epu16(sum, factor), _mm_srli_epi16(_mm_mullo_epi16(sum, factor), 15));
    __m128i d = _mm_sub_epi16(source, blurred);
    d = _mm_max_epi16(_mm_min_epi16(d, _mm_set1_epi16(127)), _mm_set1_epi16(-128));
    size = _mm_max_epi16(d, _mm_sub_epi16(_mm_setzero_si128(), d));
    // 3/8 of the difference, rounded towards minus infinity; packing clamps to bytes.
    sharpened = _mm_add_epi16(source, _mm_srai_epi16(_mm_add_epi16(d, _mm_add_epi16(d, d)), 3));
}

// The kept row's channels 16 at a time: the sharpened values and the size of
// each difference, for the per-pixel choice.
void SharpenChannels(const uint16_t* columnSums, const uint8_t* source, int32_t count, uint8_t* sharpened,
                     uint8_t* size) {
    const __m128i zero = _mm_setzero_si128();
    for (int32_t j = 0; j < count; j += 16) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + j));
        __m128i sizeLow, sizeHigh, low, high;
        SharpenEight(columnSums + j, _mm_unpacklo_epi8(p, zero), sizeLow, low);
        SharpenEight(columnSums + j + 8, _mm_unpackhi_epi8(p, zero), sizeHigh, high);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sharpened + j), _mm_packus_epi16(low, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(size + j), _mm_packus_epi16(sizeLow, sizeHigh));
    }
}

// One kept row. The five-row sums cover the kept columns and two more each
// side, the picture's edge columns repeated where it ends; pixels that differ
// enough from their surroundings take the sharpened value.
void SharpenRow(const SharpenRegion& region, int32_t y, uint16_t* columnSums, uint8_t* sharpened, uint8_t* size) {
    const uint8_t* rows[5];
    for (int r = 0; r < 5; ++r) {
        const int32_t yy = y + r - 2;
        rows[r] = region.rows + (yy < 0 ? 0 : yy >= region.height ? region.height - 1 : yy) * region.stride;
    }
    const int32_t first = region.left < 2 ? 0 : region.left - 2;
    const int32_t end = region.left + region.w + 2 > region.width ? region.width : region.left + region.w + 2;
    const int32_t before = first - (region.left - 2);  // columns repeated on the left
    FiveRowSums(rows, 3 * static_cast<int64_t>(first), 3 * (end - first), columnSums + 3 * before);
    for (int32_t q = 0; q < before; ++q)
        for (int c = 0; c < 3; ++c) columnSums[3 * q + c] = columnSums[3 * before + c];
    for (int32_t q = before + end - first; q < region.w + 4; ++q)
        for (int c = 0; c < 3; ++c) columnSums[3 * q + c] = columnSums[3 * (before + end - first - 1) + c];
    const uint8_t* source = rows[2] + 3 * static_cast<int64_t>(region.left);
    SharpenChannels(columnSums, source, 3 * region.w, sharpened, size);
    uint8_t* out = region.out + static_cast<int64_t>(y - region.bottom) * region.outStride;
    for (int32_t j = 0; j < 3 * region.w; j += 3) {
        const uint8_t* chosen = size[j] + size[j + 1] + size[j + 2] > kSharpenThreshold ? sharpened : source;
        out[j] = chosen[j];
        out[j + 1] = chosen[j + 1];
        out[j + 2] = chosen[j + 2];
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
        uint8_t* out = pass.target;
        int32_t j = 0;
        for (; j + 4 <= pass.bytes; j += 4) {
            out[j] = pass.divisor[index[j]];
            out[j + 1] = pass.divisor[index[j + 1]];
            out[j + 2] = pass.divisor[index[j + 2]];
            out[j + 3] = pass.divisor[index[j + 3]];
        }
        for (; j < pass.bytes; ++j) out[j] = pass.divisor[index[j]];
        pass.rowDone(out, k, pass.context);
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
        for (int32_t j = 0; j < pass.bytes; ++j)
            pass.target[j] = pass.divisor[sums[j] - Spill(closing[j], plan.carry[k])];
        pass.rowDone(pass.target, k, pass.context);
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

void AverageRowPixelsNarrow(const uint8_t* row, int32_t origin, const AveragingPlan& plan, int32_t first,
                            int32_t end, const uint8_t* divisor, uint8_t* out) {
    // A pixel's three channels (and the next byte, in a lane of its own) as 16-bit lanes.
    auto pixel = [](const uint8_t* p) {
        int32_t bytes;
        memcpy(&bytes, p, 4);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), _mm_setzero_si128());
    };
    auto spill = [](__m128i lanes, int32_t carry) {
        return _mm_mulhi_epu16(_mm_slli_epi16(lanes, 1), _mm_set1_epi16(static_cast<int16_t>(carry)));
    };
    const uint8_t* p = row + 3 * static_cast<int64_t>((first == 0 ? 0 : plan.last[first - 1] + 1) - origin);
    __m128i sum = first == 0 ? _mm_setzero_si128() : spill(pixel(p - 3), plan.carry[first - 1]);
    for (int32_t k = first; k < end; ++k, out += 3) {
        const uint8_t* closing = row + 3 * static_cast<int64_t>(plan.last[k] - origin);
        __m128i last = sum;
        for (; p <= closing; p += 3) {
            last = pixel(p);
            sum = _mm_add_epi16(sum, last);
        }
        const __m128i carried = spill(last, plan.carry[k]);
        const __m128i index = _mm_sub_epi16(sum, carried);
        out[0] = divisor[_mm_extract_epi16(index, 0)];
        out[1] = divisor[_mm_extract_epi16(index, 1)];
        out[2] = divisor[_mm_extract_epi16(index, 2)];
        sum = carried;
    }
}

void SharpenKept(const SharpenRegion& region, uint8_t* scratch) {
    auto* columnSums = reinterpret_cast<uint16_t*>(scratch);
    uint8_t* sharpened = scratch + 2 * (3 * static_cast<int64_t>(region.w) + 64);
    uint8_t* size = sharpened + 3 * static_cast<int64_t>(region.w) + 16;
    for (int32_t y = region.bottom; y < region.bottom + region.h; ++y)
        SharpenRow(region, y, columnSums, sharpened, size);
}
