#include "support/test_context.h"
#include "support/reader_fixture.h"

#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"

void ReaderTest::SetUp() {
    ASSERT_TRUE(CreateCodecs(context.codecs));
    AllocationProbe::Reset();
    liveBefore = AllocationProbe::LiveBlocks();
}

void ReaderTest::TearDown() {
    ReleaseDecoded();
    DestroyCodecs(context.codecs);
    EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
}

void ReaderTest::ReleaseDecoded() {
    if (context.current == nullptr) return;
    ReleasePicture(*context.current);
    context.current = nullptr;
}

DecodedImage* ReaderTest::LoadWith(bool (*load)(PictureContext&, LPCWSTR), const std::wstring& path) {
    ReleaseDecoded();
    const bool loaded = load(context, path.c_str());
    EXPECT_EQ(loaded, context.current != nullptr);
    if (!loaded) {
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << "a failed decode kept memory";
    }
    return context.current;
}
