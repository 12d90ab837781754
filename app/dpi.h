// Display scaling. The windows' layouts are given in pixels at 96 DPI and
// scaled here, with the DPI of the window they are shown in. The per-monitor
// calls are looked up at run time: a system without them has one DPI, the
// system's, which every window then has.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include <windows.h>

namespace Dpi {

// The DPI the system draws the screen at.
int System();
// The DPI the window is shown at.
int Of(HWND window);
// The DPI a WM_DPICHANGED message brings (its two halves are equal).
inline int OfMessage(WPARAM wParam) { return HIWORD(wParam); }

// A length given at 96 DPI, at dpi.
int Scale(int length, int dpi);
// A rectangle given at 96 DPI as x, y, width and height, at dpi. Its edges
// are scaled, so controls that touch at 96 DPI touch at every DPI.
RECT Box(int x, int y, int width, int height, int dpi);
// A system metric (frame, caption) as the system draws it at dpi.
int Metric(int index, int dpi);

// The UI font, "MS UI Gothic" 12 pixels high at 96 DPI, made for dpi.
HFONT CreateUiFont(int dpi);
// The system's default GUI font, made for dpi.
HFONT CreateGuiFont(int dpi);

// Places a window on the rectangle a WM_DPICHANGED message suggests.
void TakeSuggestedRect(HWND window, LPARAM suggested);

}  // namespace Dpi
