#include "support/writer_fixture.h"

#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "settings/settings_store.h"

#include <cstring>
#include <cwchar>

void WriterTest::SetUp() {
    ASSERT_TRUE(CreateCodecs());
    currentImage = &source;
    AllocationProbe::Reset();
    liveBefore = AllocationProbe::LiveBlocks();
}

void WriterTest::TearDown() {
    fittedPicture.pixels = nullptr;
    DestroyCodecs();
    currentImage = nullptr;
    EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
}

void WriterTest::Fit(TestPicture& picture) {
    memcpy(source.palette, picture.palette, sizeof source.palette);
    fittedPicture.width = picture.width;
    fittedPicture.height = picture.height;
    fittedPicture.bitCount = picture.bitCount;
    fittedPicture.pixels = picture.rows.data();
}

std::vector<uint8_t> WriterTest::SaveThrough(bool (*save)(LPCWSTR), const CodecState& writer, TestPicture& picture,
                                             const wchar_t* name) {
    Fit(picture);
    const std::wstring path = folder.Join(name);
    const bool saved = save(path.c_str());
    fittedPicture.pixels = nullptr;
    EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << "a save kept memory";
    EXPECT_EQ(writer.outputFile, INVALID_HANDLE_VALUE);
    return saved ? ReadWholeFile(path) : std::vector<uint8_t>{};
}

void DefaultSettingsBatch::SetUp() {
    appSettings = AppSettings{};
    wcscpy(settingsPath, folder.Join(L"none.ini").c_str());
    SettingsStore::Load();
    AllocationProbe::Reset();
}
