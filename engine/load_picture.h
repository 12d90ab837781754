// From a file name to a decoded picture: the built-in reader of the file's
// format first, the picture plug-ins after.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/picture_records.h"

// The picture of the file being converted; null between files.
extern DecodedImage* currentImage;

// True with currentImage set to the picture; false with it null and no
// picture memory left allocated.
bool LoadPicture(LPCWSTR path);

bool LoadBmp(LPCWSTR path);
bool LoadPng(LPCWSTR path);
bool LoadJpeg(LPCWSTR path);
bool LoadTiff(LPCWSTR path);
bool LoadGif(LPCWSTR path);
bool LoadWithPlugin(LPCWSTR path);
