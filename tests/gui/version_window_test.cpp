// The real version window, opened from the main window's "Ver." and driven
// with the messages keys and clicks produce.
#include "app/version_window.h"
#include "app/control_ids.h"
#include "app/main_window.h"
#include "app/version.h"
#include "engine/batch.h"
#include "settings/settings_store.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class VersionWindowTest : public testing::Test {
protected:
    TempFolder folder;

    void SetUp() override {
        wcscpy(settingsPath, folder.Join(L"Framelet.ini").c_str());
        argList = nullptr;
        argCount = 1;
        ASSERT_TRUE(MainWindow::Create(GetModuleHandleW(nullptr)));
        ASSERT_NE(mainWindow, nullptr);
    }

    void TearDown() override {
        if (versionWindow != nullptr) DestroyWindow(versionWindow->window);
        if (mainWindow != nullptr) DestroyWindow(mainWindow);
        MSG message;
        while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    // Presses "Ver." and returns the version window.
    HWND Open() {
        SendMessageW(GetDlgItem(mainWindow, kVersionButton), BM_CLICK, 0, 0);
        EXPECT_NE(versionWindow, nullptr);
        if (versionWindow == nullptr) return nullptr;
        EXPECT_TRUE(IsWindowVisible(versionWindow->window));
        EXPECT_FALSE(IsWindowEnabled(mainWindow));
        return versionWindow->window;
    }

    // The window is gone and the main window is usable again, in front.
    void ExpectClosed(const char* how) {
        EXPECT_EQ(versionWindow, nullptr) << how;
        EXPECT_EQ(FindWindowW(kVersionWindowClass, nullptr), nullptr) << how;
        EXPECT_TRUE(IsWindowEnabled(mainWindow)) << how;
        EXPECT_EQ(GetForegroundWindow(), mainWindow) << how;
    }

    static void Key(HWND target, WPARAM key) {
        SendMessageW(target, WM_KEYDOWN, key, 1);
        SendMessageW(target, WM_CHAR, key, 1);
        SendMessageW(target, WM_KEYUP, key, 0xC0000001);
    }
};

TEST_F(VersionWindowTest, ShowsTheVersionWithAMoveAndCloseSystemMenu) {
    HWND window = Open();
    ASSERT_NE(window, nullptr);
    WCHAR text[64] = {};
    GetWindowTextW(window, text, 64);
    EXPECT_STREQ(text, L"バージョン情報");
    GetDlgItemTextW(window, kVersionTitle, text, 64);
    EXPECT_STREQ(text, L"Framelet  version " FRAMELET_VERSION_TEXT);
    // The children in creation order, the link last.
    std::vector<int> order;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        order.push_back(GetDlgCtrlID(child));
    EXPECT_EQ(order, (std::vector<int>{kVersionTitle, kVersionNotice, kVersionOk, kVersionLink}));
    WCHAR className[32] = {};
    GetClassNameW(GetDlgItem(window, kVersionLink), className, 32);
    EXPECT_STREQ(className, kVersionLinkClass);

    HMENU menu = GetSystemMenu(window, FALSE);
    // Of the standard commands only move and close are left (Wine adds an
    // item of its own, which Windows does not have).
    for (UINT gone : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE})
        EXPECT_EQ(GetMenuState(menu, gone, MF_BYCOMMAND), static_cast<UINT>(-1)) << gone;
    for (UINT kept : {SC_MOVE, SC_CLOSE})
        EXPECT_NE(GetMenuState(menu, kept, MF_BYCOMMAND), static_cast<UINT>(-1)) << kept;
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
}

TEST_F(VersionWindowTest, EnterAndEscCloseItFromTheButtonAndFromTheWindow) {
    // Each round opens the window anew from "Ver.".
    for (const bool onButton : {true, false}) {
        for (const WPARAM key : {WPARAM{VK_RETURN}, WPARAM{VK_ESCAPE}}) {
            HWND window = Open();
            ASSERT_NE(window, nullptr);
            Key(onButton ? GetDlgItem(window, kVersionOk) : window, key);
            ExpectClosed(onButton ? "key on the button" : "key on the window");
        }
    }
}

TEST_F(VersionWindowTest, SpaceDoesNotPressOkButAClickDoes) {
    HWND window = Open();
    ASSERT_NE(window, nullptr);
    HWND ok = GetDlgItem(window, kVersionOk);
    SetFocus(ok);
    Key(ok, VK_SPACE);
    Key(window, 'A');
    EXPECT_NE(versionWindow, nullptr);
    EXPECT_TRUE(IsWindow(window));
    SendMessageW(ok, BM_CLICK, 0, 0);
    ExpectClosed("click");
    // The close box too.
    window = Open();
    SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ExpectClosed("close box");
}

TEST_F(VersionWindowTest, ADpiChangeScalesTheChildrenAndTheirFont) {
    HWND window = Open();
    ASSERT_NE(window, nullptr);
    RECT suggested{20, 20, 520, 300};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
    RECT ok{};
    GetWindowRect(GetDlgItem(window, kVersionOk), &ok);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&ok), 2);
    const RECT doubled{278, 150, 454, 192};  // 139, 75, 88 x 21 at 96 DPI
    EXPECT_TRUE(EqualRect(&ok, &doubled));
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendDlgItemMessageW(window, kVersionTitle, WM_GETFONT, 0, 0)), sizeof font,
               &font);
    EXPECT_EQ(font.lfHeight, -24);
}

// Refuses the creation of the version window, as a failing system would.
LRESULT CALLBACK RefuseVersionWindow(int code, WPARAM wParam, LPARAM lParam) {
    WCHAR className[32] = {};
    if (code == HCBT_CREATEWND) GetClassNameW(reinterpret_cast<HWND>(wParam), className, 32);
    if (wcscmp(className, kVersionWindowClass) == 0) return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(VersionWindowTest, AWindowThatCannotBeCreatedLeavesTheMainWindowEnabled) {
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseVersionWindow, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    SendMessageW(GetDlgItem(mainWindow, kVersionButton), BM_CLICK, 0, 0);
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(versionWindow, nullptr);
    EXPECT_TRUE(IsWindowEnabled(mainWindow));
    // And the next press opens the real window.
    ASSERT_NE(Open(), nullptr);
    SendMessageW(versionWindow->window, WM_CLOSE, 0, 0);
    ExpectClosed("after a failure");
}

}  // namespace
