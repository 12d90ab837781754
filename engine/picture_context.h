// What one picture in flight needs: its codec set, the decoded picture and
// the fitted one. A batch gives each of its workers one context, so two
// pictures never share a reader, a writer or a workspace.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/picture_records.h"
#include "engine/codec_set.h"

#include <mutex>

struct PictureContext {
    CodecSet codecs;
    DecodedImage* current = nullptr;  // the picture being converted; null between files
    FittedPicture fitted{};
    // Why the last load gave nothing: the format found and its reader's code.
    int32_t loadFormat = kFormatUnknown;
    int32_t loadError = 0;
    // Held around every plug-in call: plug-ins are not made for two threads.
    // Null when the context has the plug-ins to itself.
    std::mutex* pluginLock = nullptr;
};
