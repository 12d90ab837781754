#include "app/version_window.h"

#include "app/control_ids.h"
#include "app/main_window.h"
#include "app/version.h"
#include "engine/batch.h"

#include <shellapi.h>

#include <initializer_list>
#include <new>

VersionWindow* versionWindow = nullptr;

namespace {

constexpr const WCHAR* kVersionCaption = L"バージョン情報";
constexpr WCHAR kTitleLine[] = L"Framelet  version " FRAMELET_VERSION_TEXT;
constexpr WCHAR kNoticeLine[] = L"" FRAMELET_NOTICE_TEXT;
constexpr WCHAR kHomePage[] = L"" FRAMELET_HOME_PAGE;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK LinkProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void RegisterOne(HINSTANCE instance, const WCHAR* name, WNDPROC procedure, LPCWSTR cursor) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor =
        static_cast<HCURSOR>(LoadImageW(nullptr, cursor, IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = name;
    // The previous window's class could not go while that window was being
    // destroyed; it goes now, so each window gets its classes anew.
    UnregisterClassW(name, instance);
    RegisterClassExW(&windowClass);
}

HWND CreateChild(const WCHAR* className, const WCHAR* text, DWORD style, int id, int x, int y, int width, int height) {
    HWND child = CreateWindowExW(0, className, text, style, x, y, width, height, versionWindow->window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), versionWindow->instance, nullptr);
    if (child != nullptr && text != nullptr) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont), TRUE);
    return child;
}

// "OK" takes Enter and Esc as closing keys and swallows every other key, so
// Space does not press it.
LRESULT CALLBACK OkButtonProcedure(HWND button, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN) {
        if (wParam == VK_RETURN || wParam == VK_ESCAPE) SendMessageW(versionWindow->window, WM_CLOSE, 0, 0);
        return 0;
    }
    return CallWindowProcW(versionWindow->okButtonProc, button, message, wParam, lParam);
}

void OnCreate(HWND window) {
    versionWindow->window = window;
    HMENU menu = GetSystemMenu(window, FALSE);
    for (UINT command : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) RemoveMenu(menu, command, MF_BYCOMMAND);
    constexpr DWORD kText = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_ENDELLIPSIS;
    CreateChild(L"STATIC", versionWindow->titleLine, kText, kVersionTitle, 10, 10, 160, 12);
    CreateChild(L"STATIC", versionWindow->noticeLine, kText, kVersionNotice, 28, 30, 195, 12);
    HWND ok = CreateChild(L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | BS_PUSHBUTTON, kVersionOk, 139,
                          75, 88, 21);
    if (ok != nullptr)
        versionWindow->okButtonProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(ok, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OkButtonProcedure)));
    CreateChild(kVersionLinkClass, nullptr, WS_CHILD | WS_VISIBLE, kVersionLink, 45, 51, 120, 14);
}

void OnClose() {
    HWND ok = GetDlgItem(versionWindow->window, kVersionOk);
    if (ok != nullptr && versionWindow->okButtonProc != nullptr)
        SetWindowLongPtrW(ok, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(versionWindow->okButtonProc));
    // Enabled before this window goes, so activation returns to it.
    EnableWindow(versionWindow->owner, TRUE);
    SetForegroundWindow(versionWindow->owner);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: OnCreate(window); return 0;
        case WM_CLOSE: OnClose(); break;
        case WM_NCDESTROY:
            // The last message: the children, and with them the link class's
            // only window, are gone.
            delete versionWindow;
            versionWindow = nullptr;
            return 0;
        case WM_KEYDOWN:
            if (wParam == VK_RETURN || wParam == VK_ESCAPE) SendMessageW(window, WM_CLOSE, 0, 0);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == kVersionOk) SendMessageW(window, WM_CLOSE, 0, 0);
            return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void PaintLink(HWND link) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(link, &paint);
    HGDIOBJ previous = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 255));
    TextOutW(dc, 1, 1, versionWindow->linkText, versionWindow->linkLength);
    SelectObject(dc, previous);
    EndPaint(link, &paint);
}

void OpenLink() {
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_FLAG_NO_UI;
    execute.lpFile = versionWindow->linkText;
    execute.nShow = SW_SHOW;
    ShellExecuteExW(&execute);  // a failure shows nothing, by choice
}

LRESULT CALLBACK LinkProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: PaintLink(window); return 0;
        case WM_LBUTTONDOWN: OpenLink(); return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

VersionWindow::VersionWindow(HINSTANCE programInstance)
    : instance(programInstance),
      noticeLine(kNoticeLine),
      linkText(kHomePage),
      linkLength(static_cast<int>(sizeof kHomePage / sizeof kHomePage[0]) - 1) {
    lstrcpynW(titleLine, kTitleLine, 64);
    RegisterOne(instance, kVersionWindowClass, WindowProcedure, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    RegisterOne(instance, kVersionLinkClass, LinkProcedure, reinterpret_cast<LPCWSTR>(IDC_HAND));
}

VersionWindow::~VersionWindow() {
    UnregisterClassW(kVersionLinkClass, instance);
    UnregisterClassW(kVersionWindowClass, instance);
}

bool VersionWindow::Open(HWND ownerWindow) {
    owner = ownerWindow;
    EnableWindow(owner, FALSE);
    const int width = 2 * GetSystemMetrics(SM_CXDLGFRAME) + 235;
    const int height = GetSystemMetrics(SM_CYCAPTION) + 2 * GetSystemMetrics(SM_CYDLGFRAME) + 104;
    RECT bounds{};
    GetWindowRect(owner, &bounds);
    // Halves floored, also for negative sums.
    const int x = (bounds.left + bounds.right - width) >> 1;
    const int y = (bounds.top + bounds.bottom - height) >> 1;
    return CreateWindowExW(WS_EX_DLGMODALFRAME, kVersionWindowClass, kVersionCaption,
                           WS_VISIBLE | WS_CLIPCHILDREN | WS_SYSMENU, x, y, width, height, owner, nullptr, instance,
                           nullptr) != nullptr;
}

void OpenVersionWindow(HWND owner) {
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE));
    versionWindow = new (std::nothrow) VersionWindow(instance);
    if (versionWindow == nullptr) {
        ShowError(mainWindow, kMessageNoMemory);
        return;
    }
    if (versionWindow->Open(owner)) return;
    // Not created: the main window must not stay disabled. A window that
    // failed after its creation began has freed the object itself.
    EnableWindow(owner, TRUE);
    delete versionWindow;
    versionWindow = nullptr;
}
