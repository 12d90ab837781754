// The version window: program name and version, the maker's notice and web
// address, and "OK". An ordinary window that disables the main window while
// it is open, so it acts as a modal dialog without being one.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include <windows.h>

class VersionWindow {
public:
    // Fills the texts and registers the two window classes.
    explicit VersionWindow(HINSTANCE programInstance);
    // Unregisters the classes and deletes the fonts.
    ~VersionWindow();
    VersionWindow(const VersionWindow&) = delete;
    VersionWindow& operator=(const VersionWindow&) = delete;

    // Disables the owner and creates the window centred over it.
    bool Open(HWND ownerWindow);

    HWND window = nullptr;
    HINSTANCE instance;
    HWND owner = nullptr;
    WCHAR titleLine[64];
    const WCHAR* noticeLine;
    const WCHAR* linkText;
    int linkLength;
    WNDPROC okButtonProc = nullptr;
    int dpi = 96;  // the DPI the window is laid out for
    // Made for dpi: the texts' UI font and the link's default GUI font.
    HFONT font = nullptr;
    HFONT linkFont = nullptr;
};

// The one version window, null while none exists.
extern VersionWindow* versionWindow;

// The "Ver." command: builds the object and opens the window over owner; the
// memory message when the object cannot be had. A window that cannot be
// created leaves the owner enabled and no object behind.
void OpenVersionWindow(HWND owner);

constexpr const WCHAR* kVersionWindowClass = L"ver_parent_class";
constexpr const WCHAR* kVersionLinkClass = L"ver_child_class";
