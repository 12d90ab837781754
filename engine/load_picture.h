// From a file name to a decoded picture: the built-in reader of the file's
// format first, the picture plug-ins after.
#pragma once

#include "engine/picture_records.h"

// True with currentImage set to the picture; false with it null and no
// picture memory left allocated.
bool LoadPicture(LPCWSTR path);

bool LoadBmp(LPCWSTR path);
bool LoadPng(LPCWSTR path);
bool LoadJpeg(LPCWSTR path);
bool LoadTiff(LPCWSTR path);
bool LoadGif(LPCWSTR path);
bool LoadWithPlugin(LPCWSTR path);
