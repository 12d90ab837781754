#include "app/dpi.h"

namespace {

constexpr int kDesignDpi = 96;

using DpiForWindowEntry = UINT(WINAPI*)(HWND);
using MetricForDpiEntry = int(WINAPI*)(int, UINT);

// An entry of user32 that older systems lack; null there.
template <typename Entry>
Entry FindUserEntry(const char* name) {
    HMODULE user = GetModuleHandleW(L"user32.dll");
    return user != nullptr ? reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(user, name))) : nullptr;
}

// A font height (negative: the character height) given at 96 DPI, at dpi.
// It is never rounded up, so a text never grows faster than the box it was
// fitted to at 96 DPI.
LONG FontHeight(LONG height, int dpi) { return height * dpi / kDesignDpi; }

}  // namespace

namespace Dpi {

int System() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kDesignDpi;
}

int Of(HWND window) {
    static const auto entry = FindUserEntry<DpiForWindowEntry>("GetDpiForWindow");
    const int dpi = entry != nullptr && window != nullptr ? static_cast<int>(entry(window)) : 0;
    return dpi > 0 ? dpi : System();
}

int Scale(int length, int dpi) { return MulDiv(length, dpi, kDesignDpi); }

RECT Box(int x, int y, int width, int height, int dpi) {
    return {Scale(x, dpi), Scale(y, dpi), Scale(x + width, dpi), Scale(y + height, dpi)};
}

int Metric(int index, int dpi) {
    static const auto entry = FindUserEntry<MetricForDpiEntry>("GetSystemMetricsForDpi");
    return entry != nullptr ? entry(index, static_cast<UINT>(dpi)) : GetSystemMetrics(index);
}

HFONT CreateUiFont(int dpi) {
    return CreateFontW(FontHeight(-12, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       L"MS UI Gothic");
}

// The stock font is made for the system's DPI: its height at 96 DPI is
// found from that.
HFONT CreateGuiFont(int dpi) {
    LOGFONTW font{};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    font.lfHeight = FontHeight(MulDiv(font.lfHeight, kDesignDpi, System()), dpi);
    font.lfWidth = 0;
    return CreateFontIndirectW(&font);
}

void TakeSuggestedRect(HWND window, LPARAM suggested) {
    const RECT* r = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace Dpi
