#include "codecs/readers/mapped_file.h"

uint32_t MappedFile::Open(LPCWSTR name, CodecState& state, ByteReader& bytes) {
    state.inputFile = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (state.inputFile == INVALID_HANDLE_VALUE) {
        state.errorCode = kErrorCannotOpenInput;
        return 0;
    }
    state.inputMapping = CreateFileMappingW(state.inputFile, nullptr, PAGE_READONLY, 0, 0, nullptr);
    // A failed mapping (an empty file among them) gives no view either.
    state.inputView = state.inputMapping == nullptr
                          ? nullptr
                          : static_cast<const uint8_t*>(MapViewOfFile(state.inputMapping, FILE_MAP_READ, 0, 0, 0));
    if (state.inputView == nullptr) {
        state.errorCode = kErrorCannotOpenInput;
        return 0;
    }
    uint32_t size = GetFileSize(state.inputFile, nullptr);
    // A file that grew after it was mapped (which another process can do off
    // Windows) is read only as far as the view reaches.
    MEMORY_BASIC_INFORMATION view;
    if (VirtualQuery(state.inputView, &view, sizeof view) == 0) {
        state.errorCode = kErrorCannotOpenInput;
        return 0;
    }
    if (size > view.RegionSize) size = static_cast<uint32_t>(view.RegionSize);
    state.image.fileSize = size;
    bytes.cursor = state.inputView;
    bytes.end = state.inputView + size;
    return size;
}

uint32_t ByteReader::U16LE() {
    const uint32_t value = cursor[0] | (cursor[1] << 8);
    cursor += 2;
    return value;
}

uint32_t ByteReader::U16BE() {
    const uint32_t value = (cursor[0] << 8) | cursor[1];
    cursor += 2;
    return value;
}

uint32_t ByteReader::U32LE() {
    const uint32_t value = static_cast<uint32_t>(cursor[0]) | (static_cast<uint32_t>(cursor[1]) << 8) |
                           (static_cast<uint32_t>(cursor[2]) << 16) |
                           (static_cast<uint32_t>(cursor[3]) << 24);
    cursor += 4;
    return value;
}

uint32_t ByteReader::U32BE() {
    const uint32_t value = (static_cast<uint32_t>(cursor[0]) << 24) |
                           (static_cast<uint32_t>(cursor[1]) << 16) |
                           (static_cast<uint32_t>(cursor[2]) << 8) | static_cast<uint32_t>(cursor[3]);
    cursor += 4;
    return value;
}

uint32_t SwapU16(uint32_t value) { return ((value & 0xFF) << 8) | ((value >> 8) & 0xFF); }

uint32_t SwapU32(uint32_t value) {
    return (value << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) | (value >> 24);
}

BOOL WriteU32BE(CodecState& state, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return state.WriteOutput(bytes, 4);
}

void SetBitmapHeader(CodecState& state, int32_t width, int32_t height, int32_t bitCount,
                     int32_t xPelsPerMeter, int32_t yPelsPerMeter) {
    FillInfoHeader(state.image.header, width, height, bitCount, xPelsPerMeter, yPelsPerMeter, 0);
}
