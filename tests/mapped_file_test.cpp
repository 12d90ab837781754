// The mapped input file and the byte-order readers that walk it.
#include "codecs/readers/mapped_file.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

TEST(MappedFile, OpensWholeFileAndSetsCursorAndEnd) {
    TempFolder folder;
    const std::wstring path = folder.Write(L"data.bin", std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x01, 0x02, 0x03, 0x04});
    CodecState state;
    ByteReader bytes;
    state.ResetHandles();
    ASSERT_EQ(MappedFile::Open(path.c_str(), state, bytes), 12u);
    EXPECT_EQ(state.image.fileSize, 12u);
    EXPECT_EQ(bytes.cursor, state.inputView);
    EXPECT_EQ(bytes.end, state.inputView + 12);
    EXPECT_EQ(bytes.U16BE(), 0x1234u);
    EXPECT_EQ(bytes.cursor, state.inputView + 2);
    bytes.cursor = state.inputView;
    EXPECT_EQ(bytes.U16LE(), 0x3412u);
    EXPECT_EQ(bytes.cursor, state.inputView + 2);
    EXPECT_EQ(bytes.U32LE(), 0xBC9A7856u);
    EXPECT_EQ(bytes.U32BE(), 0xDEF00102u);
    EXPECT_EQ(bytes.cursor, state.inputView + 10);
    state.ReleaseHandles();
    EXPECT_EQ(state.inputView, nullptr);
    EXPECT_EQ(state.inputFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(state.errorCode, 0);
}

TEST(MappedFile, EmptyMissingAndLockedFilesFailWithCode4) {
    TempFolder folder;
    const std::wstring empty = folder.Write(L"empty.bin", std::vector<uint8_t>{});
    const std::wstring locked = folder.Write(L"locked.bin", std::string("data"));
    HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    for (const std::wstring& path : {empty, folder.Join(L"missing.bin"), locked}) {
        CodecState state;
        ByteReader bytes;
        state.ResetHandles();
        EXPECT_EQ(MappedFile::Open(path.c_str(), state, bytes), 0u);
        EXPECT_EQ(state.errorCode, kErrorCannotOpenInput);
        state.ReleaseHandles();
    }
    CloseHandle(holder);
    // Reading elsewhere does not stop the mapping: the file is opened with read sharing.
    HANDLE reader = CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    CodecState state;
    ByteReader bytes;
    state.ResetHandles();
    EXPECT_EQ(MappedFile::Open(locked.c_str(), state, bytes), 4u);
    state.ReleaseHandles();
    CloseHandle(reader);
}

TEST(ByteOrder, SwapsAndBigEndianWrite) {
    EXPECT_EQ(SwapU16(0x1234), 0x3412u);
    EXPECT_EQ(SwapU16(0xABCD1234), 0x3412u);  // the upper half is dropped
    EXPECT_EQ(SwapU32(0x12345678), 0x78563412u);
    EXPECT_EQ(SwapU32(0xFF000001), 0x010000FFu);

    TempFolder folder;
    const std::wstring path = folder.Join(L"out.bin");
    CodecState state;
    state.outputFile = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(state.outputFile, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteU32BE(state, 13));
    EXPECT_TRUE(WriteU32BE(state, 0x89504E47));
    state.ReleaseHandles();
    EXPECT_EQ(ReadWholeFile(path), (std::vector<uint8_t>{0, 0, 0, 0x0D, 0x89, 0x50, 0x4E, 0x47}));
}

TEST(BitmapHeader, FilledForTheDecodedImage) {
    CodecState state;
    state.image.header.biClrUsed = 99;
    SetBitmapHeader(state, 640, 480, 24, 2835, 3780);
    const BITMAPINFOHEADER& h = state.image.header;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 640);
    EXPECT_EQ(h.biHeight, 480);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biXPelsPerMeter, 2835);
    EXPECT_EQ(h.biYPelsPerMeter, 3780);
    EXPECT_EQ(h.biClrUsed, 0u);
    EXPECT_EQ(h.biClrImportant, 0u);
}
