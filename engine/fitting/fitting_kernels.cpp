#include "engine/fitting/fitting_kernels.h"

#include "engine/fitting/fitting_lanes.h"

#include <emmintrin.h>

#include <cstring>

namespace {

constexpr int64_t kWeightUnit = 32768;  // one source sample of an averaging window
constexpr int kSharpenThreshold = 20;

// Eight 16-bit lanes: the width every build has.
struct Lanes128 {
    using Vector = __m128i;
    static constexpr int kLanes = 8;
    static Vector Set(int16_t value) { return _mm_set1_epi16(value); }
    static Vector Load(const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void Store(uint16_t* p, Vector v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    // Sixteen bytes as two vectors of eight.
    static void Widen(const uint8_t* p, Vector& low, Vector& high) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        low = _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
        high = _mm_unpackhi_epi8(bytes, _mm_setzero_si128());
    }
    static void PackStore(uint8_t* out, Vector low, Vector high) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
    }
    static Vector Add(Vector a, Vector b) { return _mm_add_epi16(a, b); }
    static Vector Sub(Vector a, Vector b) { return _mm_sub_epi16(a, b); }
    static Vector MulHigh(Vector a, Vector b) { return _mm_mulhi_epu16(a, b); }
    static Vector MulLow(Vector a, Vector b) { return _mm_mullo_epi16(a, b); }
    static Vector Xor(Vector a, Vector b) { return _mm_xor_si128(a, b); }
    static Vector And(Vector a, Vector b) { return _mm_and_si128(a, b); }
    static Vector Greater(Vector a, Vector b) { return _mm_cmpgt_epi16(a, b); }
    static Vector Equal(Vector a, Vector b) { return _mm_cmpeq_epi16(a, b); }
    static Vector Min(Vector a, Vector b) { return _mm_min_epi16(a, b); }
    static Vector Max(Vector a, Vector b) { return _mm_max_epi16(a, b); }
    static Vector ShiftRightUnsigned(Vector a, int bits) { return _mm_srli_epi16(a, bits); }
    static Vector ShiftRightSigned(Vector a, int bits) { return _mm_srai_epi16(a, bits); }
};

bool wideVectors = true;

// The steps that come in two widths, for this processor: 256-bit lanes where
// it has AVX2, unless a test asked for SSE2.
struct LaneSteps {
    void (*closeWindow)(const uint8_t*, int64_t, int32_t, int32_t, uint16_t*, const Divider&, uint8_t*, int32_t);
    void (*sharpenSums)(const uint8_t* const*, int32_t, int32_t, int32_t, uint16_t*, uint8_t*, uint8_t*);
    void (*divideSums)(const uint16_t*, int32_t, const Divider&, uint8_t*);
};

LaneSteps ChooseSteps() {
    __builtin_cpu_init();
    if (wideVectors && __builtin_cpu_supports("avx2")) return {CloseWindowAvx2, SharpenSumsAvx2, DivideSumsAvx2};
    return {CloseWindow<Lanes128>, SharpenSums<Lanes128>, DivideSums<Lanes128>};
}

// The per-pixel choice five pixels at a time: where the sizes of a pixel's
// three differences add up to more than the threshold, its sharpened bytes,
// else its source bytes. The sums saturate at 255, far above the threshold.
// Each step writes a sixteenth byte that the next one writes again; returns
// where the pixels left for one at a time start.
int32_t ChoosePixels(const uint8_t* source, const uint8_t* sharpened, const uint8_t* size, int32_t count,
                     uint8_t* out) {
    const __m128i starts = _mm_setr_epi8(-1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, 0);
    const __m128i threshold = _mm_set1_epi8(kSharpenThreshold);
    const __m128i zero = _mm_setzero_si128();
    int32_t j = 0;
    for (; j + 16 <= count; j += 15) {
        const __m128i sizes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(size + j));
        const __m128i total = _mm_adds_epu8(sizes, _mm_adds_epu8(_mm_srli_si128(sizes, 1), _mm_srli_si128(sizes, 2)));
        const __m128i over = _mm_andnot_si128(_mm_cmpeq_epi8(_mm_subs_epu8(total, threshold), zero), starts);
        const __m128i chosen = _mm_or_si128(over, _mm_or_si128(_mm_slli_si128(over, 1), _mm_slli_si128(over, 2)));
        const __m128i bytes =
            _mm_or_si128(_mm_and_si128(chosen, _mm_loadu_si128(reinterpret_cast<const __m128i*>(sharpened + j))),
                         _mm_andnot_si128(chosen, _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + j))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), bytes);
    }
    return j;
}

}  // namespace

void UseWideVectors(bool allowed) { wideVectors = allowed; }

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

namespace {

// The divider's quotient of one sum, as the vector steps compute it.
int32_t DividedSum(const Divider& divider, uint64_t factor, uint64_t sum) {
    const uint64_t product = sum * factor;
    const auto quotient = static_cast<uint32_t>(product >> 32);
    if ((product & 0xFFFF0000u) != 0 || !divider.corrects) return static_cast<int32_t>(quotient);
    const uint32_t r = (quotient * divider.threshold) >> 16;
    return static_cast<int32_t>((quotient ^ r) < r ? quotient - 1 : quotient);
}

// The smallest threshold that makes every exact sum where the table gives
// one less take one less: q x threshold >= 2^16 x 2^e for each such q, with
// 2^e <= q < 2^(e + 1). False when none fits 16 bits.
bool FindThreshold(uint64_t factor, const uint8_t* table, uint64_t entries, Divider& divider) {
    uint32_t threshold = 0;
    for (uint64_t i = 1, product = factor; i < entries && (product >> 32) < 256; ++i, product += factor) {
        if ((product & 0xFFFF0000u) != 0) continue;
        const auto quotient = static_cast<uint32_t>(product >> 32);
        if (table[i] + 1u != quotient) continue;
        uint32_t power = 1;
        while (power * 2 <= quotient) power *= 2;
        const uint32_t least = ((power << 16) + quotient - 1) / quotient;
        if (least > threshold) threshold = least;
    }
    if (threshold > 0xFFFF) return false;
    divider.corrects = threshold != 0;
    divider.threshold = static_cast<uint16_t>(threshold);
    return true;
}

}  // namespace

Divider MakeDivider(int32_t n, int32_t m, const uint8_t* table, int64_t entries) {
    Divider divider;
    divider.table = table;
    if (n < 1 || m < 1 || m >= n || entries > 65536) return divider;
    const uint64_t factor =
        ((uint64_t{1} << 32) * static_cast<uint64_t>(m) + static_cast<uint64_t>(n) - 1) / static_cast<uint64_t>(n);
    const auto reachable = static_cast<uint64_t>(entries);
    if (!FindThreshold(factor, table, reachable, divider)) return Divider{table};
    // Sums of bytes average to at most 255; the entries past that are never read.
    for (uint64_t i = 0; i < reachable && ((i * factor) >> 32) < 256; ++i)
        if (DividedSum(divider, factor, i) != table[i]) return Divider{table};
    divider.high = static_cast<uint16_t>(factor >> 16);
    divider.low = static_cast<uint16_t>(factor);
    divider.multiply = true;
    return divider;
}

void AverageColumnsNarrow(const ColumnPass& pass, int32_t first, int32_t end, uint16_t* spill) {
    const AveragingPlan& plan = *pass.plan;
    auto* const closeWindow = ChooseSteps().closeWindow;
    if (first == 0) {
        for (int32_t j = 0; j < pass.bytes; ++j) spill[j] = 0;
    } else {
        SetSpill<Lanes128>(pass.rows(plan.last[first - 1], 1, pass.context), plan.carry[first - 1], spill, pass.bytes);
    }
    for (int32_t k = first; k < end; ++k) {
        const int32_t from = k == 0 ? 0 : plan.last[k - 1] + 1;
        const int32_t count = plan.last[k] + 1 - from;
        uint8_t* target = pass.target[k % 2];
        closeWindow(pass.rows(from, count, pass.context), pass.sourceStride, count, plan.carry[k], spill, pass.divider,
                    target, pass.bytes);
        pass.rowDone(target, k, pass.context);
    }
}

void AverageColumnsWide(const ColumnPass& pass, int32_t first, int32_t end, uint32_t* sums) {
    const AveragingPlan& plan = *pass.plan;
    uint32_t* spill = sums + pass.bytes;
    const uint8_t* before = first == 0 ? nullptr : pass.rows(plan.last[first - 1], 1, pass.context);
    for (int32_t j = 0; j < pass.bytes; ++j)
        spill[j] = before == nullptr ? 0 : static_cast<uint32_t>(Spill(before[j], plan.carry[first - 1]));
    for (int32_t k = first; k < end; ++k) {
        const int32_t from = k == 0 ? 0 : plan.last[k - 1] + 1;
        // Row by row: a wide window can be most of the picture.
        const uint8_t* closing = nullptr;
        for (int32_t j = 0; j < pass.bytes; ++j) sums[j] = spill[j];
        for (int32_t i = from; i <= plan.last[k]; ++i) {
            closing = pass.rows(i, 1, pass.context);
            for (int32_t j = 0; j < pass.bytes; ++j) sums[j] += closing[j];
        }
        uint8_t* target = pass.target[k % 2];
        for (int32_t j = 0; j < pass.bytes; ++j) {
            spill[j] = static_cast<uint32_t>(Spill(closing[j], plan.carry[k]));
            target[j] = pass.divider.table[sums[j] - spill[j]];
        }
        pass.rowDone(target, k, pass.context);
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

void AverageRowPixelsNarrow(const uint8_t* const* rows, int32_t origin, const AveragingPlan& plan, int32_t first,
                            int32_t end, const Divider& divider, uint16_t* sums, uint8_t* const* out) {
    // A pixel of each row (its three channels and the next byte) as 16-bit
    // lanes: the first row's in lanes 0..3, the second's in lanes 4..7.
    auto pixels = [](const uint8_t* a, const uint8_t* b) {
        int32_t low, high;
        memcpy(&low, a, 4);
        memcpy(&high, b, 4);
        return _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(low), _mm_cvtsi32_si128(high)),
                                 _mm_setzero_si128());
    };
    auto spill = [](__m128i lanes, int32_t carry) {
        return _mm_mulhi_epu16(_mm_slli_epi16(lanes, 1), _mm_set1_epi16(static_cast<int16_t>(carry)));
    };
    // Held in locals: the stores of the sums could otherwise alias them.
    const uint8_t* const row0 = rows[0];
    const uint8_t* const row1 = rows[1];
    const int32_t* const lastColumn = plan.last;
    const int32_t* const carry = plan.carry;
    int64_t at = 3 * static_cast<int64_t>((first == 0 ? 0 : lastColumn[first - 1] + 1) - origin);
    __m128i sum = first == 0 ? _mm_setzero_si128() : spill(pixels(row0 + at - 3, row1 + at - 3), carry[first - 1]);
    const int32_t count = 3 * (end - first);
    uint16_t* firstSums = sums;
    uint16_t* secondSums = sums + count + 32;
    for (int32_t k = first; k < end; ++k, firstSums += 3, secondSums += 3) {
        const int64_t closing = 3 * static_cast<int64_t>(lastColumn[k] - origin);
        __m128i last = sum;
        for (; at <= closing; at += 3) {
            last = pixels(row0 + at, row1 + at);
            sum = _mm_add_epi16(sum, last);
        }
        const __m128i carried = spill(last, carry[k]);
        // Four lanes stored per row, the fourth overwritten by the next pixel's sums.
        const __m128i window = _mm_sub_epi16(sum, carried);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(firstSums), window);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(secondSums), _mm_unpackhi_epi64(window, window));
        sum = carried;
    }
    const LaneSteps steps = ChooseSteps();
    for (int r = 0; r < 2; ++r) {
        uint16_t* rowSums = sums + r * (count + 32);
        for (int32_t j = count; j < count + 32; ++j) rowSums[j] = 0;  // lanes past the row divide harmlessly
        steps.divideSums(rowSums, count, divider, out[r]);
    }
}

void SharpenKeptRow(const uint8_t* const* rows, int32_t width, int32_t left, int32_t w, uint8_t* out,
                    uint8_t* scratch) {
    auto* columnSums = reinterpret_cast<uint16_t*>(scratch);
    uint8_t* sharpened = scratch + 2 * (3 * static_cast<int64_t>(w) + 64);
    uint8_t* size = sharpened + 3 * static_cast<int64_t>(w) + 32;
    ChooseSteps().sharpenSums(rows, width, left, w, columnSums, sharpened, size);
    // The choice of each pixel's bytes: pixels that differ enough from their
    // surroundings take the sharpened value.
    const uint8_t* source = rows[2] + 3 * static_cast<int64_t>(left);
    int32_t j = ChoosePixels(source, sharpened, size, 3 * w, out);
    for (; j < 3 * w; j += 3) {
        const uint8_t* chosen = size[j] + size[j + 1] + size[j + 2] > kSharpenThreshold ? sharpened : source;
        out[j] = chosen[j];
        out[j + 1] = chosen[j + 1];
        out[j + 2] = chosen[j + 2];
    }
}
