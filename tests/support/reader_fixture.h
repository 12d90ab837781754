// The frame every reader test shares: a codec set per test, decoded pictures
// released as the batch driver releases them, and no memory left behind.
#pragma once

#include "engine/picture_records.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <string>

class ReaderTest : public testing::Test {
protected:
    TempFolder folder;
    int liveBefore = 0;

    void SetUp() override;
    void TearDown() override;
    // What the batch driver does after the last slot of a file.
    void ReleaseDecoded();
    // Loads with one reader's entry; a failed load must keep no memory.
    DecodedImage* LoadWith(bool (*load)(LPCWSTR), const std::wstring& path);
};
