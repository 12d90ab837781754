// From the fitted picture to a written file: one save entry per output
// format, each handing the picture to its writer.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "engine/picture_context.h"

// Each writes the context's fitted picture, with its palette, to path; false
// with the writer's errorCode set.
bool SaveBmp(PictureContext& context, LPCWSTR path);
bool SavePng(PictureContext& context, LPCWSTR path);
bool SaveJpeg(PictureContext& context, LPCWSTR path);
// Reduced to at most 256 colours whatever the picture's depth.
bool SaveGif(PictureContext& context, LPCWSTR path);
// At the JPEG quality, within the JPEG size limit when that is on.
bool SaveWebp(PictureContext& context, LPCWSTR path);
