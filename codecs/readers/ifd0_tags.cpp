#include "codecs/readers/ifd0_tags.h"

namespace {

constexpr uint32_t kOrientationTag = 274;
constexpr uint32_t kIccProfileTag = 34675;
constexpr uint64_t kEntryBytes = 12;

// A block with its byte order; reads are made only where Holds said yes.
struct Block {
    const uint8_t* start;
    uint64_t size;
    bool littleEndian;

    bool Holds(uint64_t offset, uint64_t count) const { return offset <= size && count <= size - offset; }
    uint32_t U16(uint64_t at) const {
        const uint8_t* p = start + at;
        return littleEndian ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1];
    }
    uint32_t U32(uint64_t at) const {
        const uint32_t first = U16(at);
        const uint32_t second = U16(at + 2);
        return littleEndian ? first | (second << 16) : (first << 16) | second;
    }
};

struct Entry {
    uint32_t type;
    uint32_t count;
    uint64_t fieldAt;  // the value field: the value itself, or its offset
};

bool OpenBlock(const uint8_t* start, uint64_t size, Block& block) {
    if (start == nullptr || size < 8) return false;
    if (start[0] == 'I' && start[1] == 'I') {
        block = {start, size, true};
    } else if (start[0] == 'M' && start[1] == 'M') {
        block = {start, size, false};
    } else {
        return false;
    }
    return block.U16(2) == 42;
}

// IFD0's first entry of the tag; false when the block or its directory is
// unreadable or the tag is missing.
bool FindEntry(const uint8_t* start, uint64_t size, uint32_t tag, Block& block, Entry& entry) {
    if (!OpenBlock(start, size, block)) return false;
    const uint64_t directory = block.U32(4);
    if (!block.Holds(directory, 2)) return false;
    const uint32_t entries = block.U16(directory);
    if (!block.Holds(directory + 2, entries * kEntryBytes)) return false;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint64_t at = directory + 2 + i * kEntryBytes;
        if (block.U16(at) != tag) continue;
        entry = {block.U16(at + 2), block.U32(at + 4), at + 8};
        return true;
    }
    return false;
}

}  // namespace

int32_t ReadOrientation(const uint8_t* start, uint64_t size) {
    Block block;
    Entry entry;
    if (!FindEntry(start, size, kOrientationTag, block, entry) || entry.type != kTiffShort || entry.count != 1) return 1;
    const uint32_t value = block.U16(entry.fieldAt);
    return value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
}

bool FindIccProfile(const uint8_t* start, uint64_t size, const uint8_t*& bytes, uint32_t& count) {
    Block block;
    Entry entry;
    if (!FindEntry(start, size, kIccProfileTag, block, entry)) return false;
    // Four bytes or fewer would sit in the value field; no profile is that short.
    if ((entry.type != kTiffUndefined && entry.type != kTiffByte) || entry.count <= 4) return false;
    const uint64_t offset = block.U32(entry.fieldAt);
    if (!block.Holds(offset, entry.count)) return false;
    bytes = start + offset;
    count = entry.count;
    return true;
}
