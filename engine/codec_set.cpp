#include "engine/codec_set.h"

#include "core/memory.h"

#include <new>

FilterWorkspace* filterWorkspace = nullptr;
ColorReducer* colorReducer = nullptr;
ResizeJob* resizeJob = nullptr;
SharpenJob* sharpenJob = nullptr;
BmpReader* bmpReader = nullptr;
BmpWriter* bmpWriter = nullptr;
PngReader* pngReader = nullptr;
PngWriter* pngWriter = nullptr;
JpegReader* jpegReader = nullptr;
JpegWriter* jpegWriter = nullptr;
TiffReader* tiffReader = nullptr;
GifReader* gifReader = nullptr;
GifWriter* gifWriter = nullptr;
PluginHost* pluginHost = nullptr;
WebpWriter* webpWriter = nullptr;

void (*codecSetTrace)(int index, bool created) = nullptr;

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
bool CreateWorkspace() {
    filterWorkspace = AllocationProbe::Admit()
                          ? static_cast<FilterWorkspace*>(HeapAlloc(privateHeap, HEAP_ZERO_MEMORY, sizeof(FilterWorkspace)))
                          : nullptr;
    return filterWorkspace != nullptr;
}

void DestroyWorkspace() {
    ReleaseFittingBlocks(*filterWorkspace);
    HeapFree(privateHeap, 0, filterWorkspace);
    filterWorkspace = nullptr;
}

struct Member {
    bool (*create)();
    void (*destroy)();
    bool (*exists)();
};

#define CODEC_MEMBER(object) \
    Member { [] { return Create(object); }, [] { Destroy(object); }, [] { return object != nullptr; } }

// Creation order; destruction walks it backwards.
const Member kMembers[] = {
    Member{CreateWorkspace, DestroyWorkspace, [] { return filterWorkspace != nullptr; }},
    CODEC_MEMBER(colorReducer),
    CODEC_MEMBER(resizeJob),
    CODEC_MEMBER(sharpenJob),
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

bool CreateCodecs() {
    for (int i = 0; i < kMemberCount; ++i) {
        if (!kMembers[i].create()) return false;
        if (codecSetTrace != nullptr) codecSetTrace(i, true);
    }
    BuildFilterTables(*filterWorkspace);
    return true;
}

void DestroyCodecs() {
    for (int i = kMemberCount - 1; i >= 0; --i) {
        if (!kMembers[i].exists()) continue;
        kMembers[i].destroy();
        if (codecSetTrace != nullptr) codecSetTrace(i, false);
    }
}
