// The frame every reader test shares: a codec set per test, decoded pictures
// released as the batch driver releases them, and no memory left behind.
#pragma once

#include "core/memory.h"
#include "support/test_context.h"
#include "core/picture_records.h"
#include "codecs/readers/mapped_file.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

class ReaderTest : public testing::Test {
protected:
    TempFolder folder;
    int liveBefore = 0;

    void SetUp() override;
    void TearDown() override;
    // What the batch driver does after the last slot of a file.
    void ReleaseDecoded();
    // Loads with one reader's entry; a failed load must keep no memory.
    DecodedImage* LoadWith(bool (*load)(PictureContext&, LPCWSTR), const std::wstring& path);

    // Decodes bytes held in a heap block of exactly their size through a
    // reader that walks the read cursor, so that a sanitizer build sees any
    // read past the end (a mapped view ends on a page boundary instead).
    // prepare sets what the reader's load entry would. True when a picture
    // came out; it is released at once.
    template <class Reader, class Prepare>
    bool DecodeInMemory(Reader& reader, const std::vector<uint8_t>& bytes, int32_t& code, Prepare prepare) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
        if (!bytes.empty()) memcpy(copy.get(), bytes.data(), bytes.size());
        reader.ResetHandles();
        reader.Reset();
        prepare(reader);
        reader.bytes.cursor = copy.get();
        reader.bytes.end = copy.get() + bytes.size();
        DecodedImage* image = reader.Decode();
        reader.Release();
        code = reader.errorCode;
        if (image != nullptr) ReleasePicture(*image);
        return image != nullptr;
    }
};
