// The state objects of one batch: fitting records, one state per reader and
// writer, and the plug-in host. Created at the start of a batch, destroyed at
// its end, each object behind one process-wide pointer.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/color_reducer.h"
#include "engine/fitting/fitting.h"
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

extern BmpReader* bmpReader;
extern BmpWriter* bmpWriter;
extern PngReader* pngReader;
extern PngWriter* pngWriter;
extern JpegReader* jpegReader;
extern JpegWriter* jpegWriter;
extern TiffReader* tiffReader;
extern GifReader* gifReader;
extern GifWriter* gifWriter;
extern PluginHost* pluginHost;
extern WebpWriter* webpWriter;

// Creates the set in its fixed order; on a failed allocation stops and returns
// false, leaving what exists for DestroyCodecs.
bool CreateCodecs();
// Destroys what exists, in the reverse order, and nulls each pointer.
void DestroyCodecs();

// Test hook: told of each object by its creation index (0 = workspace) as it
// is created or destroyed.
extern void (*codecSetTrace)(int index, bool created);
