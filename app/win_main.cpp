// Start-up and clean-up of the Windows program.
#include "app/html_help.h"
#include "app/main_window.h"
#include "engine/batch.h"
#include "core/memory.h"
#include "settings/settings_store.h"

#include <objbase.h>
#include <shellapi.h>

namespace {

// 1 for 5.1, 2 for 6.x, 3 for 7 and later; 0 for what the program does not support.
int32_t OsClassOf(DWORD major, DWORD minor) {
    if (major == 5 && minor == 1) return 1;
    if (major == 6) return 2;
    return major >= 7 ? 3 : 0;
}

int32_t FindOsClass() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&version)) return 0;
#pragma GCC diagnostic pop
    return OsClassOf(version.dwMajorVersion, version.dwMinorVersion);
}

int RunMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) MainWindow::Route(message);
    return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    privateHeap = HeapCreate(0, kPrivateHeapInitialSize, 0);
    if (privateHeap == nullptr) return 0;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    osClass = FindOsClass();
    // uiFont is made by the main window, for the DPI it is shown at.
    CallHtmlHelp(nullptr, nullptr, HH_INITIALIZE, reinterpret_cast<DWORD_PTR>(&helpCookie));
    argList = CommandLineToArgvW(GetCommandLineW(), &argCount);

    int exitCode = 0;
    if (osClass == 0 || !SettingsStore::ResolvePath()) {
        ShowError(mainWindow, kMessageRunFailed);
    } else if (FindWindowW(kMainWindowClass, nullptr) == nullptr) {
        // A second instance ends here silently; its files are dropped.
        if (MainWindow::Create(instance)) exitCode = RunMessageLoop();
    }

    LocalFree(argList);
    argList = nullptr;
    CallHtmlHelp(nullptr, nullptr, HH_UNINITIALIZE, helpCookie);
    UnloadHtmlHelp();
    DeleteObject(uiFont);
    CoUninitialize();
    HeapDestroy(privateHeap);
    privateHeap = nullptr;
    return exitCode;
}
