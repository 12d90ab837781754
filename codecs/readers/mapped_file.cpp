#include "codecs/readers/mapped_file.h"

const uint8_t* readCursor = nullptr;
const uint8_t* readEnd = nullptr;

uint32_t MappedFile::Open(LPCWSTR name, CodecState& state) {
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
    readCursor = state.inputView;
    readEnd = state.inputView + size;
    return size;
}

uint32_t ReadU16LE() {
    const uint32_t value = readCursor[0] | (readCursor[1] << 8);
    readCursor += 2;
    return value;
}

uint32_t ReadU16BE() {
    const uint32_t value = (readCursor[0] << 8) | readCursor[1];
    readCursor += 2;
    return value;
}

uint32_t ReadU32LE() {
    const uint32_t value = static_cast<uint32_t>(readCursor[0]) | (static_cast<uint32_t>(readCursor[1]) << 8) |
                           (static_cast<uint32_t>(readCursor[2]) << 16) |
                           (static_cast<uint32_t>(readCursor[3]) << 24);
    readCursor += 4;
    return value;
}

uint32_t ReadU32BE() {
    const uint32_t value = (static_cast<uint32_t>(readCursor[0]) << 24) |
                           (static_cast<uint32_t>(readCursor[1]) << 16) |
                           (static_cast<uint32_t>(readCursor[2]) << 8) | static_cast<uint32_t>(readCursor[3]);
    readCursor += 4;
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
