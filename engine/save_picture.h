// From the fitted picture to a written file: one save entry per output
// format, each handing the picture to its writer.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "platform/win32.h"

// Each writes fittedPicture, with currentImage's palette, to path; false with
// the writer's errorCode set.
bool SaveBmp(LPCWSTR path);
bool SavePng(LPCWSTR path);
bool SaveJpeg(LPCWSTR path);
// Reduced to at most 256 colours whatever the picture's depth.
bool SaveGif(LPCWSTR path);
// At the JPEG quality, within the JPEG size limit when that is on.
bool SaveWebp(LPCWSTR path);
