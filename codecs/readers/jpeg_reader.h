// Reads a JPEG file straight from its mapped view through the JPEG library:
// 8-bit grey rows with a grey palette for one component, 24-bit rows for
// three (colour) and four (CMYK, folded into colour).
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

// What a failed decode leaves in errorCode. A fatal error of the library
// (not a JPEG file, an unsupported or corrupt one) leaves it at 0.
enum JpegReaderError : int32_t {
    kJpegOutOfMemory = kErrorOutOfMemory,  // the pixel rows or the ICC profile could not be allocated
    // Decoded width or height outside 1..kLargestJpegSide, or a component
    // count other than 1, 3 and 4.
    kJpegInvalidPicture = kErrorInvalidPicture,
    kJpegCannotOpen = kErrorCannotOpenInput,  // missing, unmappable or empty file
};

constexpr uint32_t kLargestJpegSide = 25000;

class JpegReader : public CodecState {
public:
    // No handles, no error, a zero palette; the previous picture's rows now
    // belong to the batch driver.
    void Reset();
    // The decoded image, or null; on null no pixel memory is left.
    DecodedImage* Decode(LPCWSTR path);
    // Unmaps and closes the file; the decoded pixels stay.
    void Release();
};

// The reason a failed decode's errorCode names, as reports print it.
const char* JpegErrorText(int32_t code);
