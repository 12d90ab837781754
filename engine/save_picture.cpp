#include "engine/save_picture.h"

#include "settings/settings_store.h"

namespace {

// A clean writer holding the fitted picture's geometry, written out at
// targetBitCount.
void PrepareWriter(CodecState& writer, const FittedPicture& picture, int32_t targetBitCount) {
    writer.width = picture.width;
    writer.height = picture.height;
    writer.sourceBitCount = picture.bitCount;
    writer.targetBitCount = targetBitCount;
    ComputeStride(writer);
}

// The frame of the writers that keep the picture's depth.
template <class Writer>
bool SaveWith(Writer& writer, const FittedPicture& picture, LPCWSTR path) {
    writer.Reset();
    PrepareWriter(writer, picture, picture.bitCount);
    const bool result = writer.Save(path, picture.palette, picture.pixels);
    writer.Release();
    return result;
}

// The frame of the writers with a quality: 24-bit, at the settings' quality
// or within their size limit; setOptions gives the writer its own options.
template <class Writer, class Options>
bool SaveAtQuality(Writer& writer, const FittedPicture& picture, LPCWSTR path, Options setOptions) {
    writer.Reset();
    PrepareWriter(writer, picture, 24);
    setOptions(writer);
    const bool result = appSettings.Limit
                            ? writer.EncodeWithinLimit(path, picture.palette, picture.pixels, appSettings.LmtVal)
                            : writer.Encode(path, picture.palette, picture.pixels);
    writer.Release();
    return result;
}

}  // namespace

bool SaveBmp(PictureContext& context, LPCWSTR path) { return SaveWith(*context.codecs.bmpWriter, context.fitted, path); }

bool SavePng(PictureContext& context, LPCWSTR path) { return SaveWith(*context.codecs.pngWriter, context.fitted, path); }

// Always 24-bit; quality, sampling and the size limit come from the settings.
bool SaveJpeg(PictureContext& context, LPCWSTR path) {
    return SaveAtQuality(*context.codecs.jpegWriter, context.fitted, path,
                         [](JpegWriter& writer) { writer.SetOptions(appSettings.Quality, appSettings.Sampling); });
}

bool SaveGif(PictureContext& context, LPCWSTR path) {
    GifWriter& writer = *context.codecs.gifWriter;
    const FittedPicture& picture = context.fitted;
    writer.Reset();
    PrepareWriter(writer, picture, 8);
    const bool result = writer.Save(path, picture.palette, picture.pixels);
    writer.Release();
    return result;
}

bool SaveWebp(PictureContext& context, LPCWSTR path) {
    return SaveAtQuality(*context.codecs.webpWriter, context.fitted, path,
                         [](WebpWriter& writer) { writer.SetQuality(appSettings.Quality); });
}
