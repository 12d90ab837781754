#include "app/options_dialog.h"

#include "app/control_ids.h"
#include "settings/settings_store.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>

namespace {

// The shell's link object and the two interfaces it is used through.
constexpr CLSID kShellLinkClass = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kShellLinkInterface = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kPersistFileInterface = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr const WCHAR* kPluginFolderTitle = L"設定パス: ";

bool Ticked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

// The shortcut's path in one shell folder; false when the folder is unknown.
bool ShortcutPath(int folder, WCHAR* path) {
    if (FAILED(SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path))) return false;
    return PathAppendW(path, kShortcutName) != FALSE;
}

// Makes the file at one folder's shortcut path exist or not, as the box says.
// An existing file is never replaced, whatever it points at.
void ApplyShortcut(HWND dialog, int box, int folder) {
    WCHAR link[MAX_PATH];
    if (!ShortcutPath(folder, link)) return;
    const bool exists = PathFileExistsW(link) != FALSE;
    if (!Ticked(dialog, box)) {
        if (exists) DeleteFileW(link);
        return;
    }
    WCHAR program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (!exists && length > 0 && length < MAX_PATH) CreateShortcut(link, program);
}

RECT BoundsIn(HWND dialog, int id) {
    RECT bounds{};
    GetWindowRect(GetDlgItem(dialog, id), &bounds);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&bounds), 2);
    return bounds;
}

// Widens a box to the size its caption needs, as far as limit. Dialog units
// follow the font's average Latin letter, which grows more slowly than its
// kana at some sizes: a box that holds its caption at 96 DPI can cut it at
// 144 or 192. A box is never narrowed.
void WidenToCaption(HWND dialog, int id, int limit) {
    SIZE ideal{};
    HWND box = GetDlgItem(dialog, id);
    if (!SendMessageW(box, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal))) return;
    const RECT bounds = BoundsIn(dialog, id);
    const int right = std::min(static_cast<int>(bounds.left + ideal.cx), limit);
    if (right > bounds.right)
        SetWindowPos(box, nullptr, 0, 0, right - bounds.left, bounds.bottom - bounds.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The shortcut and photo boxes may reach the dialog's right edge, the
// plug-in box its "設定" button.
void WidenBoxes(HWND dialog) {
    RECT client{};
    GetClientRect(dialog, &client);
    for (int id : {kDesktopShortcutBox, kSendToShortcutBox, kAutoRotateBox, kToSrgbBox})
        WidenToCaption(dialog, id, client.right);
    WidenToCaption(dialog, kUsePluginsBox, BoundsIn(dialog, kPluginFolderButton).left);
}

void OnInitDialog(HWND dialog) {
    WidenBoxes(dialog);
    WCHAR link[MAX_PATH];
    if (ShortcutPath(CSIDL_DESKTOP, link) && PathFileExistsW(link))
        CheckDlgButton(dialog, kDesktopShortcutBox, BST_CHECKED);
    if (ShortcutPath(CSIDL_SENDTO, link) && PathFileExistsW(link))
        CheckDlgButton(dialog, kSendToShortcutBox, BST_CHECKED);
    if (!PathIsDirectoryW(appSettings.SpiPath)) {
        appSettings.SpiPath[0] = 0;
        appSettings.UseSpi = false;
    } else if (appSettings.UseSpi) {
        CheckDlgButton(dialog, kUsePluginsBox, BST_CHECKED);
    }
    CheckDlgButton(dialog, kAutoRotateBox, appSettings.AutoRot ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, kToSrgbBox, appSettings.ToSRGB ? BST_CHECKED : BST_UNCHECKED);
}

void ChoosePluginFolder(HWND dialog) {
    WCHAR directory[MAX_PATH];
    const DWORD kept = GetCurrentDirectoryW(MAX_PATH, directory);
    WCHAR path[MAX_PATH];
    lstrcpynW(path, appSettings.SpiPath, MAX_PATH);
    WCHAR title[MAX_PATH + 16];
    swprintf(title, MAX_PATH + 16, L"%ls%ls", kPluginFolderTitle, appSettings.SpiPath);
    if (BrowseForFolder(title, path, dialog)) lstrcpynW(appSettings.SpiPath, path, MAX_PATH);
    if (kept > 0 && kept < MAX_PATH) SetCurrentDirectoryW(directory);
}

// Selects the caller's folder once the browser is ready.
int CALLBACK PreselectFolder(HWND browser, UINT message, LPARAM, LPARAM data) {
    const auto* path = reinterpret_cast<const WCHAR*>(data);
    if (message == BFFM_INITIALIZED && path[0] != 0) SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}

}  // namespace

void ShowOptionsDialog(HWND owner) {
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE));
    DialogBoxParamW(instance, MAKEINTRESOURCEW(kOptionsDialog), owner, OptionsDialog, 0);
}

INT_PTR CALLBACK OptionsDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        OnInitDialog(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
        case kOptionsClose:
            ApplyShortcuts(dialog);
            EndDialog(dialog, kOptionsClose);
            break;
        case kUsePluginsBox: appSettings.UseSpi = Ticked(dialog, kUsePluginsBox); break;
        case kAutoRotateBox: appSettings.AutoRot = Ticked(dialog, kAutoRotateBox); break;
        case kToSrgbBox: appSettings.ToSRGB = Ticked(dialog, kToSrgbBox); break;
        case kPluginFolderButton: ChoosePluginFolder(dialog); break;
        default: break;
    }
    return TRUE;
}

void ApplyShortcuts(HWND dialog) {
    ApplyShortcut(dialog, kDesktopShortcutBox, CSIDL_DESKTOP);
    ApplyShortcut(dialog, kSendToShortcutBox, CSIDL_SENDTO);
}

bool CreateShortcut(LPCWSTR linkPath, LPCWSTR target) {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, kShellLinkInterface,
                                reinterpret_cast<void**>(&link))))
        return false;
    IPersistFile* file = nullptr;
    if (FAILED(link->QueryInterface(kPersistFileInterface, reinterpret_cast<void**>(&file)))) {
        link->Release();
        return false;
    }
    link->SetPath(target);
    link->SetArguments(L"");
    link->SetIconLocation(target, 0);
    link->SetShowCmd(SW_SHOWNORMAL);
    const bool saved = SUCCEEDED(file->Save(linkPath, TRUE));
    file->Release();
    link->Release();
    return saved;
}

bool BrowseForFolder(LPCWSTR title, WCHAR* path, HWND owner) {
    WCHAR displayName[MAX_PATH];
    BROWSEINFOW browse{};
    browse.hwndOwner = owner;
    browse.pszDisplayName = displayName;
    browse.lpszTitle = title;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    browse.lpfn = PreselectFolder;
    browse.lParam = reinterpret_cast<LPARAM>(path);
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&browse);
    if (chosen == nullptr) return false;
    WCHAR result[MAX_PATH];
    const bool found = SHGetPathFromIDListW(chosen, result) != FALSE;
    if (found) lstrcpynW(path, result, MAX_PATH);
    CoTaskMemFree(chosen);
    return found;
}
