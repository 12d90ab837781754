#include "support/reader_fixture.h"

#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"

void ReaderTest::SetUp() {
    ASSERT_TRUE(CreateCodecs());
    AllocationProbe::Reset();
    liveBefore = AllocationProbe::LiveBlocks();
}

void ReaderTest::TearDown() {
    ReleaseDecoded();
    DestroyCodecs();
    EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
}

void ReaderTest::ReleaseDecoded() {
    if (currentImage == nullptr) return;
    ReleasePicture(*currentImage);
    currentImage = nullptr;
}

DecodedImage* ReaderTest::LoadWith(bool (*load)(LPCWSTR), const std::wstring& path) {
    ReleaseDecoded();
    const bool loaded = load(path.c_str());
    EXPECT_EQ(loaded, currentImage != nullptr);
    if (!loaded) {
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << "a failed decode kept memory";
    }
    return currentImage;
}
