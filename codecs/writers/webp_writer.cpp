#include "codecs/writers/webp_writer.h"

#include "codecs/writers/quality_search.h"
#include "core/memory.h"

#include <webp/encode.h>

void WebpWriter::Reset() {
    ResetHandles();
    conversionBuffer = nullptr;
    quality = 75;
    encoded = nullptr;
    encodedLength = 0;
}

void WebpWriter::SetQuality(int32_t newQuality) { quality = newQuality > 100 ? 75 : newQuality < 1 ? 1 : newQuality; }

void WebpWriter::ReleaseStream() {
    WebPFree(encoded);
    encoded = nullptr;
    encodedLength = 0;
}

// What cwebp -q does with a picture it reads: the default configuration at
// the quality, and the rows imported straight to YUV (no sharp conversion,
// no ARGB detour). Our rows lie bottom-up, so the import starts at the last
// one and steps backwards.
bool WebpWriter::EncodeToMemory(const uint8_t* rows, int32_t atQuality) {
    ReleaseStream();
    WebPConfig config;
    WebPPicture picture;
    if (!WebPConfigPreset(&config, WEBP_PRESET_DEFAULT, static_cast<float>(atQuality)) || !WebPPictureInit(&picture))
        return Fail(kErrorInvalidPicture);
    WebPMemoryWriter memory;
    WebPMemoryWriterInit(&memory);
    picture.width = width;
    picture.height = height;
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &memory;
    const int stride = static_cast<int>(PaddedRowBytes(width, 24));
    const uint8_t* top = rows + static_cast<int64_t>(height - 1) * stride;
    const bool encodedOk = WebPPictureImportBGR(&picture, top, -stride) && WebPEncode(&config, &picture);
    const WebPEncodingError error = picture.error_code;
    WebPPictureFree(&picture);
    // Files of 4 GiB and more are refused by the library itself.
    if (!encodedOk || memory.size > UINT32_MAX) {
        WebPMemoryWriterClear(&memory);
        const bool noMemory = error == VP8_ENC_ERROR_OUT_OF_MEMORY || error == VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY;
        return Fail(noMemory ? kErrorOutOfMemory : kErrorInvalidPicture);
    }
    encoded = memory.mem;
    encodedLength = static_cast<uint32_t>(memory.size);
    return true;
}

const uint8_t* WebpWriter::CheckedRows(const RGBQUAD* palette, const uint8_t* pixels) {
    // Checked before any memory is asked for: the library would refuse such a
    // picture only after importing it.
    if (width < 1 || height < 1 || width > kWebpLargestSide || height > kWebpLargestSide) {
        errorCode = kErrorInvalidPicture;
        return nullptr;
    }
    return Rows24(palette, pixels);
}

bool WebpWriter::WriteStream(LPCWSTR path) { return CreateOutput(path) && WriteOutput(encoded, encodedLength); }

bool WebpWriter::Encode(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels) {
    const uint8_t* rows = CheckedRows(palette, pixels);
    return rows != nullptr && EncodeToMemory(rows, quality) && WriteStream(path);
}

bool WebpWriter::EncodeWithinLimit(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels, int32_t limitKiB) {
    const uint8_t* rows = CheckedRows(palette, pixels);
    if (rows == nullptr) return false;
    MemoryTrial<WebpWriter> trial(*this, rows);
    return SearchQualityWithinLimit(trial, limitKiB, qualityTrace) && WriteStream(path);
}

void WebpWriter::Release() {
    ReleaseAndClear(conversionBuffer);
    ReleaseStream();
    ReleaseHandles();
}

void PrepareWebpForWorkers() {
    const uint8_t pixels[16 * 16 * 3] = {};
    uint8_t* stream = nullptr;
    if (WebPEncodeBGR(pixels, 16, 16, 16 * 3, 75, &stream) > 0) WebPFree(stream);
}
