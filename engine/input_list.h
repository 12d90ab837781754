// A batch's inputs as the user gave them, folders among them, turned into
// the list of files the batch converts.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "platform/win32.h"

#include <string>
#include <vector>

struct ListedInput {
    std::wstring path;
    int given;  // the index of the input it was found under
};

// Every input that is not a folder as it is; every folder replaced by the
// files in it, in name order, then those of its sub-folders in name order,
// each sub-folder likewise. Hidden files and folders (a leading dot, or the
// hidden attribute) and links to folders are passed over, so a link can never
// lead the walk round in a loop. The whole tree is listed before anything is
// converted: files the batch writes into it are never among its inputs.
std::vector<ListedInput> ListInputs(int count, const WCHAR* const* inputs);
