#include "engine/error_text.h"

#include "engine/codec_set.h"

const char* ReaderErrorText(int32_t format, int32_t code) {
    switch (format) {
        case kFormatBmp: return BmpErrorText(code);
        case kFormatPng: return PngErrorText(code);
        case kFormatJpeg: return JpegErrorText(code);
        case kFormatTiff: return TiffErrorText(code);
        case kFormatGif: return GifErrorText(code);
        default: return nullptr;
    }
}
