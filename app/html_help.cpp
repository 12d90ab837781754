#include "app/html_help.h"

namespace {

using HtmlHelpEntry = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);

HMODULE library = nullptr;
HtmlHelpEntry entry = nullptr;
bool looked = false;

}  // namespace

HWND CallHtmlHelp(HWND owner, LPCWSTR file, UINT command, DWORD_PTR data) {
    if (!looked) {
        looked = true;
        library = LoadLibraryW(L"hhctrl.ocx");
        if (library != nullptr)
            entry = reinterpret_cast<HtmlHelpEntry>(reinterpret_cast<void*>(GetProcAddress(library, "HtmlHelpW")));
    }
    return entry != nullptr ? entry(owner, file, command, data) : nullptr;
}

void UnloadHtmlHelp() {
    if (library != nullptr) FreeLibrary(library);
    library = nullptr;
    entry = nullptr;
    looked = false;
}
