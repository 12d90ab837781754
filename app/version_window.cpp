#include "app/version_window.h"

#include "app/control_ids.h"
#include "app/dpi.h"
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

// A child's place: client pixels at 96 DPI.
struct Child {
    int id;
    int x, y, width, height;
};
constexpr Child kTitleChild{kVersionTitle, 10, 10, 160, 12};
constexpr Child kNoticeChild{kVersionNotice, 28, 30, 195, 12};
constexpr Child kOkChild{kVersionOk, 139, 75, 88, 21};
constexpr Child kLinkChild{kVersionLink, 45, 51, 120, 14};

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

RECT PlaceOf(const Child& child) { return Dpi::Box(child.x, child.y, child.width, child.height, versionWindow->dpi); }

HWND CreateChild(const WCHAR* className, const WCHAR* text, DWORD style, const Child& place) {
    const RECT r = PlaceOf(place);
    HWND child = CreateWindowExW(0, className, text, style, r.left, r.top, r.right - r.left, r.bottom - r.top,
                                 versionWindow->window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(place.id)),
                                 versionWindow->instance, nullptr);
    if (child != nullptr && text != nullptr)
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(versionWindow->font), TRUE);
    return child;
}

// Makes the texts' font and the link's for the window's DPI and gives the
// texts theirs (the link, resized with the DPI, is painted anew); the fonts
// they replace go.
void MakeFonts() {
    const HFONT previous[] = {versionWindow->font, versionWindow->linkFont};
    versionWindow->font = Dpi::CreateUiFont(versionWindow->dpi);
    versionWindow->linkFont = Dpi::CreateGuiFont(versionWindow->dpi);
    for (int id : {kVersionTitle, kVersionNotice, kVersionOk})
        SendDlgItemMessageW(versionWindow->window, id, WM_SETFONT, reinterpret_cast<WPARAM>(versionWindow->font), TRUE);
    for (HFONT font : previous)
        if (font != nullptr) DeleteObject(font);
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
    versionWindow->dpi = Dpi::Of(window);
    MakeFonts();
    HMENU menu = GetSystemMenu(window, FALSE);
    for (UINT command : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) RemoveMenu(menu, command, MF_BYCOMMAND);
    constexpr DWORD kText = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_ENDELLIPSIS;
    CreateChild(L"STATIC", versionWindow->titleLine, kText, kTitleChild);
    CreateChild(L"STATIC", versionWindow->noticeLine, kText, kNoticeChild);
    HWND ok = CreateChild(L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | BS_PUSHBUTTON, kOkChild);
    if (ok != nullptr)
        versionWindow->okButtonProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(ok, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OkButtonProcedure)));
    CreateChild(kVersionLinkClass, nullptr, WS_CHILD | WS_VISIBLE, kLinkChild);
}

// The window moved to a screen of another DPI: the system's rectangle for
// it, and the children and fonts made again for the new DPI.
void OnDpiChanged(int dpi, LPARAM suggested) {
    versionWindow->dpi = dpi;
    for (const Child& place : {kTitleChild, kNoticeChild, kOkChild, kLinkChild}) {
        const RECT r = PlaceOf(place);
        SetWindowPos(GetDlgItem(versionWindow->window, place.id), nullptr, r.left, r.top, r.right - r.left,
                     r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    MakeFonts();
    Dpi::TakeSuggestedRect(versionWindow->window, suggested);
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
        case WM_DPICHANGED: OnDpiChanged(Dpi::OfMessage(wParam), lParam); return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void PaintLink(HWND link) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(link, &paint);
    HGDIOBJ previous = SelectObject(dc, versionWindow->linkFont);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 255));
    const int margin = Dpi::Scale(1, versionWindow->dpi);
    TextOutW(dc, margin, margin, versionWindow->linkText, versionWindow->linkLength);
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
    if (font != nullptr) DeleteObject(font);
    if (linkFont != nullptr) DeleteObject(linkFont);
}

bool VersionWindow::Open(HWND ownerWindow) {
    owner = ownerWindow;
    EnableWindow(owner, FALSE);
    // Shown over the owner, so at the owner's DPI.
    dpi = Dpi::Of(owner);
    const int width = 2 * Dpi::Metric(SM_CXDLGFRAME, dpi) + Dpi::Scale(235, dpi);
    const int height = Dpi::Metric(SM_CYCAPTION, dpi) + 2 * Dpi::Metric(SM_CYDLGFRAME, dpi) + Dpi::Scale(104, dpi);
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
