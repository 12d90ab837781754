// The frame the writer tests share: a codec set per test, the picture handed
// to a save entry as the batch driver hands it, and no memory left behind.
#pragma once

#include "support/test_context.h"
#include "core/codec_state.h"
#include "support/test_context.h"
#include "support/temp_folder.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

class WriterTest : public testing::Test {
protected:
    TempFolder folder;
    DecodedImage source{};  // the decoded picture: the palette the save entries read
    int liveBefore = 0;

    void SetUp() override;
    void TearDown() override;
    // Makes the picture the fitted picture, with its palette as the source's.
    void Fit(TestPicture& picture);
    // Saves the picture into the test folder through a save entry, as the
    // driver would; the file's bytes, or empty when the save failed. The save
    // must keep no memory and leave writer's output file closed.
    std::vector<uint8_t> SaveThrough(bool (*save)(PictureContext&, LPCWSTR), const CodecState& writer, TestPicture& picture,
                                     const wchar_t* name);
};

// Whole batches with the default settings (read from no file) and a fresh
// allocation probe.
class DefaultSettingsBatch : public testing::Test {
protected:
    TempFolder folder;
    void SetUp() override;
};
