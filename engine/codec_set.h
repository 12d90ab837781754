// The state objects of one picture in flight: fitting records, one state per
// reader and writer, and the plug-in host. A batch creates one set for each
// of its workers and destroys them at its end.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "codecs/readers/bmp_reader.h"
#include "codecs/readers/gif_reader.h"
#include "codecs/readers/jpeg_reader.h"
#include "codecs/readers/plugin_host.h"
#include "codecs/readers/png_reader.h"
#include "codecs/readers/tiff_reader.h"
#include "codecs/writers/bmp_writer.h"
#include "codecs/writers/gif_writer.h"
#include "codecs/writers/jpeg_writer.h"
#include "codecs/writers/png_writer.h"
#include "codecs/writers/webp_writer.h"
#include "core/color_reducer.h"
#include "engine/fitting/fitting.h"

struct CodecSet {
    FittingRecords fitting;
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
    // Test hook: told of each object by its creation index (0 = workspace) as
    // it is created or destroyed.
    void (*trace)(int index, bool created) = nullptr;
};

// Creates the set in its fixed order; on a failed allocation stops and returns
// false, leaving what exists for DestroyCodecs.
bool CreateCodecs(CodecSet& set);
// Destroys what exists, in the reverse order, and nulls each pointer.
void DestroyCodecs(CodecSet& set);
