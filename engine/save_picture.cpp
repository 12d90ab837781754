#include "engine/save_picture.h"

#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "settings/settings_store.h"

namespace {

// A clean writer holding the fitted picture's geometry, written out at
// targetBitCount.
void PrepareWriter(CodecState& writer, int32_t targetBitCount) {
    writer.width = fittedPicture.width;
    writer.height = fittedPicture.height;
    writer.sourceBitCount = fittedPicture.bitCount;
    writer.targetBitCount = targetBitCount;
    ComputeStride(writer);
}

const RGBQUAD* PictureColours() { return currentImage != nullptr ? currentImage->palette : nullptr; }

// The frame of the writers that keep the picture's depth.
template <class Writer>
bool SaveWith(Writer& writer, LPCWSTR path) {
    writer.Reset();
    PrepareWriter(writer, fittedPicture.bitCount);
    const bool result = writer.Save(path, PictureColours(), fittedPicture.pixels);
    writer.Release();
    return result;
}

}  // namespace

bool SaveBmp(LPCWSTR path) { return SaveWith(*bmpWriter, path); }

bool SavePng(LPCWSTR path) { return SaveWith(*pngWriter, path); }

// Always 24-bit; quality, sampling and the size limit come from the settings.
bool SaveJpeg(LPCWSTR path) {
    JpegWriter& writer = *jpegWriter;
    writer.Reset();
    PrepareWriter(writer, 24);
    writer.SetOptions(appSettings.Quality, appSettings.Sampling);
    const bool result = appSettings.Limit
                            ? writer.EncodeWithinLimit(path, PictureColours(), fittedPicture.pixels, appSettings.LmtVal)
                            : writer.Encode(path, PictureColours(), fittedPicture.pixels);
    writer.Release();
    return result;
}

bool SaveGif(LPCWSTR path) {
    GifWriter& writer = *gifWriter;
    writer.Reset();
    PrepareWriter(writer, 8);
    const bool result = writer.Save(path, PictureColours(), fittedPicture.pixels);
    writer.Release();
    return result;
}

bool SaveWebp(LPCWSTR path) {
    WebpWriter& writer = *webpWriter;
    writer.Reset();
    PrepareWriter(writer, 24);
    writer.SetQuality(appSettings.Quality);
    const bool result = appSettings.Limit
                            ? writer.EncodeWithinLimit(path, PictureColours(), fittedPicture.pixels, appSettings.LmtVal)
                            : writer.Encode(path, PictureColours(), fittedPicture.pixels);
    writer.Release();
    return result;
}
