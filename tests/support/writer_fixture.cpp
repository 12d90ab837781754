#include "support/test_context.h"
#include "support/writer_fixture.h"

#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "settings/settings_store.h"

#include <cstring>
#include <cwchar>

void WriterTest::SetUp() {
    ASSERT_TRUE(CreateCodecs(context.codecs));
    context.current = &source;
    // Nothing of an earlier test's picture is left in the shared context.
    context.fitted = FittedPicture{};
    context.fitted.palette = source.palette;
    AllocationProbe::Reset();
    liveBefore = AllocationProbe::LiveBlocks();
}

void WriterTest::TearDown() {
    context.fitted.pixels = nullptr;
    DestroyCodecs(context.codecs);
    context.current = nullptr;
    EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
}

void WriterTest::Fit(TestPicture& picture) {
    memcpy(source.palette, picture.palette, sizeof source.palette);
    context.fitted.width = picture.width;
    context.fitted.height = picture.height;
    context.fitted.bitCount = picture.bitCount;
    context.fitted.pixels = picture.rows.data();
    context.fitted.palette = source.palette;
}

std::vector<uint8_t> WriterTest::SaveThrough(bool (*save)(PictureContext&, LPCWSTR), const CodecState& writer, TestPicture& picture,
                                             const wchar_t* name) {
    Fit(picture);
    const std::wstring path = folder.Join(name);
    const bool saved = save(context, path.c_str());
    context.fitted.pixels = nullptr;
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
