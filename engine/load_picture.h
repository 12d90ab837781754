// From a file name to a decoded picture: the built-in reader of the file's
// format first, the picture plug-ins after.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "engine/picture_context.h"

// True with the context's current picture set; false with it null and no
// picture memory left allocated.
bool LoadPicture(PictureContext& context, LPCWSTR path);

bool LoadBmp(PictureContext& context, LPCWSTR path);
bool LoadPng(PictureContext& context, LPCWSTR path);
bool LoadJpeg(PictureContext& context, LPCWSTR path);
bool LoadTiff(PictureContext& context, LPCWSTR path);
bool LoadGif(PictureContext& context, LPCWSTR path);
bool LoadWithPlugin(PictureContext& context, LPCWSTR path);
