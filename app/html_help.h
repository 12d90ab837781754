// HTML Help, found at run time: a system without it still runs the program.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include <windows.h>

#include <htmlhelp.h>

// HtmlHelpW when the help library can be loaded; null otherwise.
HWND CallHtmlHelp(HWND owner, LPCWSTR file, UINT command, DWORD_PTR data);
// Unloads the library after the last call.
void UnloadHtmlHelp();
