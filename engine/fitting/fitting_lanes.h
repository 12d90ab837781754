// The vertical pass's inner step, the division of sums and the sharpening's
// sums and values, written once for any width of 16-bit lanes: Lanes128
// (SSE2, every build) and Lanes256 (AVX2, compiled on its own and chosen at
// run time where the processor has it). Everything here has internal
// linkage, so each file that includes it, compiled for its own instruction
// set, keeps its own copy.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "engine/fitting/fitting_kernels.h"

#include <cstdint>

namespace {

// Asks for the bytes `distance` further on while these are being added: the
// vertical pass reads the picture from memory, and the processor's own
// prefetching starts every row's stream late. A prefetch never faults, so the
// address may lie past the picture; it is formed as an integer for that.
inline void PrefetchBelow(const uint8_t* p, int64_t distance) {
    __builtin_prefetch(
        reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(distance)));
}

// The bytes of one row, 2 x L::kLanes of them, widened and added to the sums.
template <class L>
inline void AddRow(const uint8_t* row, typename L::Vector& low, typename L::Vector& high) {
    typename L::Vector rowLow, rowHigh;
    L::Widen(row, rowLow, rowHigh);
    low = L::Add(low, rowLow);
    high = L::Add(high, rowHigh);
}

// The part of a sample that belongs to the next window, rounded down.
inline int32_t Spill(uint8_t sample, int32_t carry) { return (sample * carry) >> 15; }

// The spill of every byte of a row, 2 x L::kLanes at a time. For 16-bit
// lanes, (2p x carry) >> 16 is (p x carry) >> 15, as carry < 32768.
template <class L>
void SetSpill(const uint8_t* row, int32_t carry, uint16_t* spill, int32_t bytes) {
    using V = typename L::Vector;
    const V part = L::Set(static_cast<int16_t>(carry));
    int32_t j = 0;
    for (; j + 2 * L::kLanes <= bytes; j += 2 * L::kLanes) {
        V low, high;
        L::Widen(row + j, low, high);
        L::Store(spill + j, L::MulHigh(L::Add(low, low), part));
        L::Store(spill + j + L::kLanes, L::MulHigh(L::Add(high, high), part));
    }
    for (; j < bytes; ++j) spill[j] = static_cast<uint16_t>(Spill(row[j], carry));
}

// The divider in registers, for a row's worth of divisions.
template <class L>
struct DividerLanes {
    typename L::Vector high, low, threshold;
    const uint8_t* table;
    bool multiply, corrects;
};

template <class L>
DividerLanes<L> LoadDivider(const Divider& divider) {
    DividerLanes<L> lanes{};
    lanes.high = L::Set(static_cast<int16_t>(divider.high));
    lanes.low = L::Set(static_cast<int16_t>(divider.low));
    lanes.threshold = L::Set(static_cast<int16_t>(divider.threshold));
    lanes.table = divider.table;
    lanes.multiply = divider.multiply;
    lanes.corrects = divider.corrects;
    return lanes;
}

// The quotients of 16-bit sums: i x factor is P1 2^32 + (P0 + Q1) 2^16 + Q0
// with P = i x high and Q = i x low, so the quotient is P1 plus the carry
// out of P0 + Q1, and the sum is exact where P0 + Q1 ends in 16 zeros.
template <class L>
inline typename L::Vector Divide(typename L::Vector sums, const DividerLanes<L>& divider) {
    using V = typename L::Vector;
    const V sign = L::Set(static_cast<int16_t>(0x8000));
    const V p0 = L::MulLow(sums, divider.high);
    const V middle = L::Add(p0, L::MulHigh(sums, divider.low));
    const V carried = L::Greater(L::Xor(p0, sign), L::Xor(middle, sign));
    const V quotients = L::Sub(L::MulHigh(sums, divider.high), carried);
    if (!divider.corrects) return quotients;
    // Quotients are below 256, so the signed comparison serves.
    const V r = L::MulHigh(quotients, divider.threshold);
    const V high = L::Greater(r, L::Xor(quotients, r));
    const V exact = L::Equal(middle, L::Set(0));
    return L::Add(quotients, L::And(high, exact));
}

// 2 x L::kLanes averages from their sums, into out.
template <class L>
inline void DivideStep(typename L::Vector low, typename L::Vector high, const DividerLanes<L>& divider, uint8_t* out) {
    if (divider.multiply) {
        L::PackStore(out, Divide<L>(low, divider), Divide<L>(high, divider));
        return;
    }
    uint16_t sums[2 * L::kLanes];
    L::Store(sums, low);
    L::Store(sums + L::kLanes, high);
    const uint8_t* table = divider.table;  // held in a register: out may alias anything
    for (int lane = 0; lane < 2 * L::kLanes; lane += 4) {
        out[lane] = table[sums[lane]];
        out[lane + 1] = table[sums[lane + 1]];
        out[lane + 2] = table[sums[lane + 2]];
        out[lane + 3] = table[sums[lane + 3]];
    }
}

// The averages of `count` sums into out, 2 x L::kLanes at a time: the sums
// past count up to the next such step must be readable (they are divided
// too) and out must have room for their quotients.
template <class L>
void DivideSums(const uint16_t* sums, int32_t count, const Divider& divider, uint8_t* out) {
    const DividerLanes<L> lanes = LoadDivider<L>(divider);
    for (int32_t j = 0; j < count; j += 2 * L::kLanes)
        DivideStep<L>(L::Load(sums + j), L::Load(sums + j + L::kLanes), lanes, out + j);
}

// One output row over every byte column, 2 x L::kLanes at a time: the
// window's rows added to the spill it starts with, less the closing row's
// spill, which stays behind as the next window's start, divided into out.
// The closing row's spill is taken as in SetSpill.
template <class L>
void CloseWindow(const uint8_t* row, int64_t stride, int32_t count, int32_t carry, uint16_t* spill,
                 const Divider& divider, uint8_t* out, int32_t bytes) {
    using V = typename L::Vector;
    // A tall window (a small slot of a large picture) first adds its rows into
    // the spill buffer kGroupRows at a time, until at most 2 x kGroupRows are
    // left: walking all its rows side by side reads more streams at once than
    // the processor fetches ahead, and the picture comes from memory.
    constexpr int32_t kGroupRows = 8;
    for (; count > 2 * kGroupRows; count -= kGroupRows, row += kGroupRows * stride) {
        int32_t j = 0;
        for (; j + 2 * L::kLanes <= bytes; j += 2 * L::kLanes) {
            V low = L::Load(spill + j);
            V high = L::Load(spill + j + L::kLanes);
            for (int32_t r = 0; r < kGroupRows; ++r) {
                PrefetchBelow(row + r * stride + j, kGroupRows * stride);
                AddRow<L>(row + r * stride + j, low, high);
            }
            L::Store(spill + j, low);
            L::Store(spill + j + L::kLanes, high);
        }
        for (; j < bytes; ++j)
            for (int32_t r = 0; r < kGroupRows; ++r) spill[j] = static_cast<uint16_t>(spill[j] + row[r * stride + j]);
    }
    const DividerLanes<L> lanes = LoadDivider<L>(divider);
    const V part = L::Set(static_cast<int16_t>(carry));
    const uint8_t* closing = row + (count - 1) * stride;
    int32_t j = 0;
    for (; j + 2 * L::kLanes <= bytes; j += 2 * L::kLanes) {
        V low = L::Load(spill + j);
        V high = L::Load(spill + j + L::kLanes);
        V lastLow = L::Set(0), lastHigh = L::Set(0);
        for (const uint8_t* in = row + j; in <= closing + j; in += stride) {
            PrefetchBelow(in, count * stride);
            L::Widen(in, lastLow, lastHigh);
            low = L::Add(low, lastLow);
            high = L::Add(high, lastHigh);
        }
        const V spillLow = L::MulHigh(L::Add(lastLow, lastLow), part);
        const V spillHigh = L::MulHigh(L::Add(lastHigh, lastHigh), part);
        DivideStep<L>(L::Sub(low, spillLow), L::Sub(high, spillHigh), lanes, out + j);
        L::Store(spill + j, spillLow);
        L::Store(spill + j + L::kLanes, spillHigh);
    }
    for (; j < bytes; ++j) {
        int32_t sum = spill[j];
        for (int32_t i = 0; i < count; ++i) sum += row[i * stride + j];
        spill[j] = static_cast<uint16_t>(Spill(closing[j], carry));
        out[j] = divider.table[sum - spill[j]];
    }
}

// Sums of five rows for `count` bytes from `first` on, into sums.
template <class L>
void FiveRowSums(const uint8_t* const* rows, int64_t first, int32_t count, uint16_t* sums) {
    using V = typename L::Vector;
    // The rows in locals, added in one straight run: the vector stores may
    // alias the table, which made the compiler load it and loop over it.
    const uint8_t* const r0 = rows[0] + first;
    const uint8_t* const r1 = rows[1] + first;
    const uint8_t* const r2 = rows[2] + first;
    const uint8_t* const r3 = rows[3] + first;
    const uint8_t* const r4 = rows[4] + first;
    int32_t j = 0;
    for (; j + 2 * L::kLanes <= count; j += 2 * L::kLanes) {
        V low, high;
        L::Widen(r0 + j, low, high);
        AddRow<L>(r1 + j, low, high);
        AddRow<L>(r2 + j, low, high);
        AddRow<L>(r3 + j, low, high);
        AddRow<L>(r4 + j, low, high);
        L::Store(sums + j, low);
        L::Store(sums + j + L::kLanes, high);
    }
    for (; j < count; ++j) sums[j] = static_cast<uint16_t>(r0[j] + r1[j] + r2[j] + r3[j] + r4[j]);
}

// L::kLanes channels of one row: the 25-sample sums from the five-row sums
// of the five pixels around each (3 bytes apart), their average, the clamped
// difference from the source and the sharpened value.
// div25[s] = (35389 + 2621 (s - 1)) >> 16 = (2621 s + 32768) >> 16: the high
// half of 2621 s, plus one when its low half is 32768 or more.
template <class L>
inline void SharpenLanes(const uint16_t* columnSums, typename L::Vector source, typename L::Vector& size,
                         typename L::Vector& sharpened) {
    using V = typename L::Vector;
    V sum = L::Load(columnSums);
    for (int q = 1; q < 5; ++q) sum = L::Add(sum, L::Load(columnSums + 3 * q));
    const V factor = L::Set(2621);
    const V blurred = L::Add(L::MulHigh(sum, factor), L::ShiftRightUnsigned(L::MulLow(sum, factor), 15));
    V d = L::Sub(source, blurred);
    d = L::Max(L::Min(d, L::Set(127)), L::Set(-128));
    size = L::Max(d, L::Sub(L::Set(0), d));
    // 3/8 of the difference, rounded towards minus infinity; packing clamps to bytes.
    sharpened = L::Add(source, L::ShiftRightSigned(L::Add(d, L::Add(d, d)), 3));
}

// The kept row's channels 2 x L::kLanes at a time: the sharpened values and
// the size of each difference, for the per-pixel choice. Writes up to
// 2 x L::kLanes - 1 bytes past count.
template <class L>
void SharpenChannels(const uint16_t* columnSums, const uint8_t* source, int32_t count, uint8_t* sharpened,
                     uint8_t* size) {
    using V = typename L::Vector;
    for (int32_t j = 0; j < count; j += 2 * L::kLanes) {
        V low, high, sizeLow, sizeHigh, sourceLow, sourceHigh;
        L::Widen(source + j, sourceLow, sourceHigh);
        SharpenLanes<L>(columnSums + j, sourceLow, sizeLow, low);
        SharpenLanes<L>(columnSums + j + L::kLanes, sourceHigh, sizeHigh, high);
        L::PackStore(sharpened + j, low, high);
        L::PackStore(size + j, sizeLow, sizeHigh);
    }
}

// The sharpened values and difference sizes of one kept row of w pixels
// from `left` on (see SharpenKeptRow). The five-row sums cover the kept
// columns and two more each side, the picture's edge columns repeated where
// it ends.
template <class L>
void SharpenSums(const uint8_t* const* rows, int32_t width, int32_t left, int32_t w, uint16_t* columnSums,
                 uint8_t* sharpened, uint8_t* size) {
    const int32_t first = left < 2 ? 0 : left - 2;
    const int32_t end = left + w + 2 > width ? width : left + w + 2;
    const int32_t before = first - (left - 2);  // columns repeated on the left
    FiveRowSums<L>(rows, 3 * static_cast<int64_t>(first), 3 * (end - first), columnSums + 3 * before);
    for (int32_t q = 0; q < before; ++q)
        for (int c = 0; c < 3; ++c) columnSums[3 * q + c] = columnSums[3 * before + c];
    for (int32_t q = before + end - first; q < w + 4; ++q)
        for (int c = 0; c < 3; ++c) columnSums[3 * q + c] = columnSums[3 * (before + end - first - 1) + c];
    SharpenChannels<L>(columnSums, rows[2] + 3 * static_cast<int64_t>(left), 3 * w, sharpened, size);
}

}  // namespace
