#include "fuzz/fuzz_support.h"

#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "engine/prepare_picture.h"
#include "core/memory.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The largest page block a target lets a reader allocate: a picture of 16
// megapixels in 8-bit rows. The readers' own limits are far larger; inputs
// that claim such pictures would spend the run filling pixels instead of
// reaching new paths, and a refused block takes the readers through their
// out-of-memory paths.
constexpr uint64_t kLargestFuzzBlock = uint64_t{16} << 20;

// One codec set for the whole run, as one long batch would hold it.
PictureContext context;

const std::wstring& ScratchFile() {
    static const std::wstring path = [] {
        AllocationProbe::CapPageBlocks(kLargestFuzzBlock);
        privateHeap = HeapCreate(0, kPrivateHeapInitialSize, 0);
        if (privateHeap == nullptr || !CreateCodecs(context.codecs)) abort();
        const std::string narrow = "/dev/shm/framelet-fuzz-" + std::to_string(getpid());
        return std::wstring(narrow.begin(), narrow.end());
    }();
    return path;
}

}  // namespace

int FuzzLoad(LoadEntry load, const uint8_t* data, size_t size) {
    const std::wstring& path = ScratchFile();
    const std::string narrow(path.begin(), path.end());
    FILE* file = fopen(narrow.c_str(), "wb");
    if (file == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, file) != size) abort();
    fclose(file);
    const int liveBefore = AllocationProbe::LiveBlocks();
    const bool loaded = load(context, path.c_str());
    if (loaded != (context.current != nullptr)) abort();
    if (context.current != nullptr) {
        PreparedNotes notes;
        PreparePicture(*context.current, true, true, notes);
        ReleasePicture(*context.current);
        context.current = nullptr;
    }
    // Every page block of the load is gone again, whatever the input was.
    if (AllocationProbe::LiveBlocks() != liveBefore) abort();
    return 0;
}
