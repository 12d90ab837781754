// The options dialog (shortcuts on the desktop and in Send To, the plug-in
// folder, turning photos upright and converting their colours to sRGB) and
// the shell services it and the main window use.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include <windows.h>

// Runs the modal dialog over the owner.
void ShowOptionsDialog(HWND owner);
INT_PTR CALLBACK OptionsDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Creates or deletes the two "Framelet.lnk" files from the dialog's boxes.
void ApplyShortcuts(HWND dialog);
// Writes a shell link to target (no arguments, icon 0, shown normally).
bool CreateShortcut(LPCWSTR linkPath, LPCWSTR target);
// The shell's folder browser; path (MAX_PATH) gives the folder to pre-select
// when not empty and receives the chosen one. False when cancelled or when
// the choice is no file-system folder; path is then unchanged.
bool BrowseForFolder(LPCWSTR title, WCHAR* path, HWND owner);

// The shortcut file's name in the desktop and Send To folders.
constexpr const WCHAR* kShortcutName = L"Framelet.lnk";
