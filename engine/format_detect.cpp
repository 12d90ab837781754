#include "engine/format_detect.h"

namespace {

// One read of one byte; false when the file has no more.
bool ReadByte(HANDLE file, uint8_t& byte) {
    DWORD read = 0;
    return ReadFile(file, &byte, 1, &read, nullptr) && read == 1;
}

// Compares the next bytes one read at a time; a missing byte is unreadable.
FormatCode Expect(HANDLE file, const uint8_t* bytes, int count, FormatCode match) {
    for (int i = 0; i < count; ++i) {
        uint8_t byte;
        if (!ReadByte(file, byte)) return kFormatUnreadable;
        if (byte != bytes[i]) return kFormatUnknown;
    }
    return match;
}

FormatCode Classify(HANDLE file) {
    uint8_t first[2] = {0, 0};
    DWORD read = 0;
    if (!ReadFile(file, first, 2, &read, nullptr) || read == 0) return kFormatUnreadable;
    // A one-byte file has no second byte; taking it as zero leaves it unrecognised.
    static const uint8_t kF[] = {0x46};
    static const uint8_t kTiffMark[] = {0x2A};
    static const uint8_t kPngRest[] = {0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    const int pair = (first[0] << 8) | first[1];
    switch (pair) {
        case 0x424D: return kFormatBmp;
        case 0xFFD8: return kFormatJpeg;
        case 0x4749: return Expect(file, kF, 1, kFormatGif);
        case 0x4949: return Expect(file, kTiffMark, 1, kFormatTiff);
        case 0x4D4D: {
            uint8_t skipped;
            if (!ReadByte(file, skipped)) return kFormatUnreadable;
            return Expect(file, kTiffMark, 1, kFormatTiff);
        }
        case 0x8950: return Expect(file, kPngRest, 6, kFormatPng);
        default: return kFormatUnknown;
    }
}

}  // namespace

FormatCode DetectFormat(LPCWSTR path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kFormatUnknown;
    const FormatCode result = Classify(file);
    CloseHandle(file);
    return result;
}
