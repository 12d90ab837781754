// Times the batch fitting alone, without decoding or encoding: the picture
// is decoded once, then in each of `rounds` rounds it is prepared as the
// batch prepares it (turned upright, converted to sRGB: nothing to do for an
// upright untagged photo), every slot is fitted on its own, and then all of
// them together as the batch fits them (one read of the picture). Each round
// starts with the stored picture back in place, and the preparing and each
// fitting with the picture out of the caches, as it is after decoding (the
// decoder's stores bypass them).
// Prints the fastest and the median round of the preparing, per slot, for
// the slots one after another and for the slots together; on a shared
// machine the fastest round is the steadiest figure.
//   fitting_bench PICTURE [ROUNDS [WxH ...]]
// (50 rounds and the slots 1024x768, 800x600 and 160x120 unless given)
#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "engine/prepare_picture.h"
#include "core/memory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Slot {
    int32_t width, height;
    std::vector<double> ms;
};

// Reading a block larger than the last-level cache pushes the picture out.
void EvictCaches() {
    static std::vector<uint8_t> junk(size_t{128} << 20, 1);
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < junk.size(); i += 64) sink = static_cast<uint8_t>(sink + junk[i]);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One fitting of the decoded picture to the slots at once, in milliseconds;
// negative when the fitting refuses one.
double FitOnce(PictureContext& context, const Slot* slots, int count) {
    const DecodedImage& image = *context.current;
    FittedPicture fitted[kFittingsAtOnce];
    for (int i = 0; i < count; ++i)
        fitted[i] = FittedPicture{image.header.biWidth, image.header.biHeight, image.header.biBitCount, image.pixels,
                                  nullptr, slots[i].width, slots[i].height, image.palette};
    EvictCaches();
    const auto start = std::chrono::steady_clock::now();
    FitCroppedToSlots(context.codecs.fitting, fitted, count);
    const std::chrono::duration<double, std::milli> taken = std::chrono::steady_clock::now() - start;
    for (int i = 0; i < count; ++i)
        if (fitted[i].pixels == nullptr) return -1;  // the others' are the workspace's
    return taken.count();
}

// The decoded picture as the reader left it, put back before each round.
struct StoredPicture {
    DecodedImage image;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> profile;

    explicit StoredPicture(const DecodedImage& decoded)
        : image(decoded),
          pixels(decoded.pixels, decoded.pixels + PaddedRowBytes(decoded.header.biWidth, decoded.header.biBitCount) *
                                                      decoded.header.biHeight),
          profile(decoded.iccProfile, decoded.iccProfile + decoded.iccProfileSize) {}
    void Restore(DecodedImage& picture) const {
        ReleasePicture(picture);
        picture = image;
        picture.pixels = static_cast<uint8_t*>(AllocatePages(pixels.size()));
        if (picture.pixels != nullptr) memcpy(picture.pixels, pixels.data(), pixels.size());
        picture.iccProfile = nullptr;
        KeepIccProfile(picture, profile.data(), static_cast<uint32_t>(profile.size()));
    }
};

// The batch's preparing of the picture, in milliseconds; negative when memory ran out.
double PrepareOnce(DecodedImage& picture, PreparedNotes& notes) {
    const auto start = std::chrono::steady_clock::now();
    const bool prepared = PreparePicture(picture, true, true, notes);
    const std::chrono::duration<double, std::milli> taken = std::chrono::steady_clock::now() - start;
    return prepared ? taken.count() : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: fitting_bench PICTURE [ROUNDS [WxH ...]]\n");
        return 2;
    }
    const int rounds = argc > 2 ? atoi(argv[2]) : 50;
    std::vector<Slot> slots;
    for (int i = 3; i < argc; ++i) {
        Slot slot{};
        if (sscanf(argv[i], "%dx%d", &slot.width, &slot.height) != 2) return 2;
        slots.push_back(slot);
    }
    if (slots.empty()) slots = {{1024, 768, {}}, {800, 600, {}}, {160, 120, {}}};
    if (slots.size() > static_cast<size_t>(kFittingsAtOnce)) return 2;
    privateHeap = HeapCreate(0, kPrivateHeapInitialSize, 0);
    PictureContext context;
    const std::string name = argv[1];
    const std::wstring path(name.begin(), name.end());
    if (rounds < 1 || !CreateCodecs(context.codecs) || !LoadPicture(context, path.c_str())) {
        fprintf(stderr, "fitting_bench: cannot read %s\n", argv[1]);
        return 1;
    }
    const StoredPicture stored(*context.current);
    std::vector<double> totals;
    std::vector<double> together;
    std::vector<double> preparing;
    PreparedNotes notes;
    for (int round = 0; round < rounds; ++round) {
        double total = 0;
        stored.Restore(*context.current);
        EvictCaches();
        preparing.push_back(PrepareOnce(*context.current, notes));
        if (preparing.back() < 0 || context.current->pixels == nullptr) return 1;
        for (Slot& slot : slots) {
            const double ms = FitOnce(context, &slot, 1);
            if (ms < 0) {
                fprintf(stderr, "fitting_bench: %dx%d does not fit\n", slot.width, slot.height);
                return 1;
            }
            slot.ms.push_back(ms);
            total += ms;
        }
        totals.push_back(total);
        together.push_back(FitOnce(context, slots.data(), static_cast<int>(slots.size())));
    }
    printf("%s, %dx%d, %d rounds\n| slot | fastest ms | median ms |\n|---|---:|---:|\n", argv[1],
           context.current->header.biWidth, context.current->header.biHeight, rounds);
    printf("| preparing (turned from %d%s) | %.2f | %.2f |\n", notes.turnedFrom, notes.converted ? ", converted" : "",
           *std::min_element(preparing.begin(), preparing.end()), Median(preparing));
    for (const Slot& slot : slots)
        printf("| %dx%d | %.2f | %.2f |\n", slot.width, slot.height, *std::min_element(slot.ms.begin(), slot.ms.end()),
               Median(slot.ms));
    printf("| all, one after another | %.2f | %.2f |\n", *std::min_element(totals.begin(), totals.end()),
           Median(totals));
    printf("| all together | %.2f | %.2f |\n", *std::min_element(together.begin(), together.end()),
           Median(together));
    ReleasePicture(*context.current);
    context.current = nullptr;
    DestroyCodecs(context.codecs);
    HeapDestroy(privateHeap);
    return 0;
}
