// The program's one window: six output slots, the save options and the
// buttons, built from tables; drops and the command line start batches.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include <windows.h>

#include <cstdint>

extern HWND mainWindow;  // null while no window exists
extern int32_t osClass;  // 1 = 5.1, 2 = 6.x, 3 = 7 and later, 0 = unsupported
extern HFONT uiFont;     // made by the main window for its DPI, deleted at exit
extern DWORD_PTR helpCookie;
extern LPWSTR* argList;  // argument 0 is the program
extern int argCount;
extern bool alwaysOnTop;
extern WCHAR** dropList;  // the files of the drop being handled, in privateHeap
extern int dropCount;

namespace MainWindow {
// Loads the settings, registers the class and creates the window; then
// shows it, or converts the command line's files and closes it.
bool Create(HINSTANCE instance);
// Copies the controls into appSettings.
void CollectSettings();
// Runs a batch on the pending drop list, else on the command line's files.
void StartBatch();
void ApplySlotEnabling(int slot);
// The JPEG controls for the format list's index: quality and size limit for
// JPEG and WebP, the sampling for JPEG alone, none for the others.
void ApplyFormatEnabling(int listIndex);
// Shows index + 2 slot groups and puts the save options below them.
void Relayout(int shownIndex);
// One message of the loop. The window's dialog keys are routed: Tab and
// Shift+Tab step through its controls, the arrows between the two radios;
// Enter and Esc become commands 1 and 2, which the window ignores.
void Route(MSG& message);
LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
}  // namespace MainWindow

// The window class, also the mark of a running instance.
constexpr const WCHAR* kMainWindowClass = L"Framelet_setting_class";
