// The codec set's lifetime, the stride rule and the page allocator.
#include "support/test_context.h"
#include "engine/codec_set.h"
#include "core/codec_state.h"
#include "core/memory.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

std::vector<std::pair<int, bool>> events;

void Record(int index, bool created) { events.emplace_back(index, created); }

int LivingMembers() {
    const CodecSet& s = context.codecs;
    const void* members[] = {s.fitting.workspace, s.fitting.reducer, s.fitting.resize, s.fitting.sharpen,
                             s.bmpReader,         s.bmpWriter,       s.pngReader,      s.pngWriter,
                             s.jpegReader,        s.jpegWriter,      s.tiffReader,     s.gifReader,
                             s.gifWriter,         s.pluginHost,      s.webpWriter};
    int count = 0;
    for (const void* m : members) count += m != nullptr;
    return count;
}

class CodecSetTest : public testing::Test {
protected:
    void SetUp() override {
        events.clear();
        context.codecs.trace = Record;
        AllocationProbe::Reset();
    }
    void TearDown() override {
        DestroyCodecs(context.codecs);
        context.codecs.trace = nullptr;
        AllocationProbe::Reset();
    }
};

}  // namespace

TEST_F(CodecSetTest, CreatesInOrderAndDestroysInReverse) {
    ASSERT_TRUE(CreateCodecs(context.codecs));
    EXPECT_EQ(LivingMembers(), 15);
    EXPECT_EQ(context.codecs.bmpReader->errorCode, 0);
    EXPECT_EQ(context.codecs.bmpReader->inputFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(context.codecs.bmpReader->ditherMode, 0);
    DestroyCodecs(context.codecs);
    EXPECT_EQ(LivingMembers(), 0);
    ASSERT_EQ(events.size(), 30u);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(events[i], std::make_pair(i, true));
        EXPECT_EQ(events[15 + i], std::make_pair(14 - i, false));
    }
}

TEST_F(CodecSetTest, AFailedAllocationStopsCreationAndDestructionIsSafeAfterIt) {
    for (int failing = 1; failing <= 15; ++failing) {
        events.clear();
        AllocationProbe::FailAt(failing);
        EXPECT_FALSE(CreateCodecs(context.codecs));
        EXPECT_EQ(LivingMembers(), failing - 1) << "failing allocation " << failing;
        DestroyCodecs(context.codecs);
        EXPECT_EQ(LivingMembers(), 0);
        ASSERT_EQ(events.size(), 2u * (failing - 1));
        if (failing > 1) {
            EXPECT_EQ(events.back(), std::make_pair(0, false));
        }
    }
    DestroyCodecs(context.codecs);  // twice in a row is harmless
}

TEST_F(CodecSetTest, WorkspaceIsZeroFilled) {
    ASSERT_TRUE(CreateCodecs(context.codecs));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&context.codecs.fitting.workspace->div25[1]);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(context.codecs.fitting.workspace->sharpenProducts[0][0], 0);
}

TEST(ComputeStride, TableOfDepths) {
    struct Row {
        int32_t width, bits, rowBytes, stride;
    };
    const Row rows[] = {
        {1, 1, 1, 4},    {1, 8, 1, 4},      {1, 24, 3, 4},    {1, 48, 6, 6},  {1, 32, 4, 4},
        {5, 24, 15, 16}, {10, 1, 2, 4},     {33, 1, 5, 8},    {3, 2, 1, 4},   {17, 2, 5, 8},
        {3, 4, 2, 4},    {9, 4, 5, 8},      {6, 8, 6, 8},     {7, 48, 42, 42}, {3, 16, 12, 12},
        {0, 24, 0, 0},
    };
    for (const Row& r : rows) {
        ColorReducer state;
        state.width = r.width;
        state.height = 3;
        state.targetBitCount = r.bits;
        ComputeStride(state);
        EXPECT_EQ(state.rowBytes, r.rowBytes) << r.width << "x" << r.bits;
        EXPECT_EQ(state.stride, r.stride) << r.width << "x" << r.bits;
        EXPECT_EQ(state.imageSize, r.stride * 3);
    }
}

TEST(ComputeStride, OversizedProductsSaturateAndCannotBeAllocated) {
    ColorReducer state;
    state.width = 25000;
    state.height = 25000;
    state.targetBitCount = 48;
    ComputeStride(state);
    EXPECT_EQ(state.imageSize, INT32_MAX);
    EXPECT_EQ(AllocatePages(static_cast<uint64_t>(state.imageSize)), nullptr);
}

TEST(PageMemory, CountsLiveBlocksAndFailsTheChosenAllocation) {
    AllocationProbe::Reset();
    const int before = AllocationProbe::LiveBlocks();
    void* a = AllocatePages(100);
    void* b = AllocatePages(1 << 20);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(AllocationProbe::LiveBlocks(), before + 2);
    EXPECT_EQ(AllocationProbe::Allocations(), 2);
    AllocationProbe::FailAt(2);
    void* c = AllocatePages(10);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(AllocatePages(10), nullptr);
    void* d = AllocatePages(10);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(AllocatePages(0), nullptr);
    EXPECT_EQ(AllocatePages(uint64_t{1} << 31), nullptr);
    for (void* block : {a, b, c, d}) ReleasePages(block);
    ReleasePages(nullptr);
    EXPECT_EQ(AllocationProbe::LiveBlocks(), before);
    AllocationProbe::Reset();
}
