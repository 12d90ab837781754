#include "engine/codec_set.h"

#include "core/memory.h"

#include <new>

namespace {

template <class T>
bool Create(T*& object) {
    object = AllocationProbe::Admit() ? new (std::nothrow) T : nullptr;
    return object != nullptr;
}

template <class T>
void Destroy(T*& object) {
    delete object;
    object = nullptr;
}

// The workspace is one zero-filled block of the private heap.
bool CreateWorkspace(FilterWorkspace*& workspace) {
    workspace = AllocationProbe::Admit()
                    ? static_cast<FilterWorkspace*>(HeapAlloc(privateHeap, HEAP_ZERO_MEMORY, sizeof(FilterWorkspace)))
                    : nullptr;
    return workspace != nullptr;
}

void DestroyWorkspace(FilterWorkspace*& workspace) {
    ReleaseFittingBlocks(*workspace);
    HeapFree(privateHeap, 0, workspace);
    workspace = nullptr;
}

struct Member {
    bool (*create)(CodecSet&);
    void (*destroy)(CodecSet&);
    bool (*exists)(const CodecSet&);
};

#define CODEC_MEMBER(object)                                        \
    Member {                                                        \
        [](CodecSet& set) { return Create(set.object); },           \
        [](CodecSet& set) { Destroy(set.object); },                 \
        [](const CodecSet& set) { return set.object != nullptr; }   \
    }

// Creation order; destruction walks it backwards.
const Member kMembers[] = {
    Member{[](CodecSet& set) { return CreateWorkspace(set.fitting.workspace); },
           [](CodecSet& set) { DestroyWorkspace(set.fitting.workspace); },
           [](const CodecSet& set) { return set.fitting.workspace != nullptr; }},
    CODEC_MEMBER(fitting.reducer),
    CODEC_MEMBER(fitting.resize),
    CODEC_MEMBER(fitting.sharpen),
    CODEC_MEMBER(bmpReader),
    CODEC_MEMBER(bmpWriter),
    CODEC_MEMBER(pngReader),
    CODEC_MEMBER(pngWriter),
    CODEC_MEMBER(jpegReader),
    CODEC_MEMBER(jpegWriter),
    CODEC_MEMBER(tiffReader),
    CODEC_MEMBER(gifReader),
    CODEC_MEMBER(gifWriter),
    CODEC_MEMBER(pluginHost),
    CODEC_MEMBER(webpWriter),
};

#undef CODEC_MEMBER

constexpr int kMemberCount = static_cast<int>(sizeof kMembers / sizeof kMembers[0]);

}  // namespace

bool CreateCodecs(CodecSet& set) {
    for (int i = 0; i < kMemberCount; ++i) {
        if (!kMembers[i].create(set)) return false;
        if (set.trace != nullptr) set.trace(i, true);
    }
    BuildFilterTables(*set.fitting.workspace);
    return true;
}

void DestroyCodecs(CodecSet& set) {
    for (int i = kMemberCount - 1; i >= 0; --i) {
        if (!kMembers[i].exists(set)) continue;
        kMembers[i].destroy(set);
        if (set.trace != nullptr) set.trace(i, false);
    }
}
