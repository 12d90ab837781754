// The real options dialog, opened from the main window's "オプション" and
// driven by messages from a timer that runs inside its modal loop. The
// desktop and Send To folders are redirected to the test's own folder.
#include "app/options_dialog.h"
#include "app/control_ids.h"
#include "app/main_window.h"
#include "engine/batch.h"
#include "settings/settings_store.h"
#include "support/temp_folder.h"

#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr const WCHAR* kShellFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// Runs a script on the first window of this thread that a finder returns,
// from a thread timer, so the script runs inside the window's modal loop.
struct ModalScript {
    std::function<HWND()> find;
    std::function<void(HWND)> run;
    UINT_PTR timer = 0;
    static ModalScript* current;

    static void CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
        ModalScript* self = current;
        HWND window = self->find();
        if (window == nullptr) return;
        KillTimer(nullptr, id);
        self->run(window);
    }
    void Start() {
        current = this;
        timer = SetTimer(nullptr, 0, 20, Tick);
    }
};
ModalScript* ModalScript::current = nullptr;

struct DialogSearch {
    std::wstring caption;
    HWND found = nullptr;

    static BOOL CALLBACK Visit(HWND window, LPARAM context) {
        auto* s = reinterpret_cast<DialogSearch*>(context);
        WCHAR className[16] = {};
        WCHAR title[64] = {};
        GetClassNameW(window, className, 16);
        GetWindowTextW(window, title, 64);
        const bool options = wcscmp(title, L"オプション") == 0;
        if (wcscmp(className, L"#32770") == 0 && IsWindowVisible(window) &&
            (s->caption.empty() ? !options : s->caption == title))
            s->found = window;
        return s->found == nullptr;
    }
};

// A visible top-level dialog of this thread, by its caption; or, with an
// empty caption, any visible dialog other than the options dialog.
HWND FindDialog(const std::wstring& caption) {
    DialogSearch search{caption};
    EnumThreadWindows(GetCurrentThreadId(), DialogSearch::Visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<std::wstring> StaticTexts(HWND dialog) {
    std::vector<std::wstring> texts;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        WCHAR className[16] = {};
        WCHAR text[MAX_PATH] = {};
        GetClassNameW(child, className, 16);
        GetWindowTextW(child, text, MAX_PATH);
        if (_wcsicmp(className, L"Static") == 0) texts.push_back(text);
    }
    return texts;
}

// What a shell link file says, read back through the shell's link object.
struct LinkContents {
    std::wstring target, arguments, directory, description, iconFile;
    int icon = -1;
    int show = -1;
};

bool ReadLink(const std::wstring& path, LinkContents& out) {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return false;
    IPersistFile* file = nullptr;
    bool loaded = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                  SUCCEEDED(file->Load(path.c_str(), STGM_READ));
    if (loaded) {
        WCHAR text[MAX_PATH];
        link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
        out.target = text;
        link->GetArguments(text, MAX_PATH);
        out.arguments = text;
        link->GetWorkingDirectory(text, MAX_PATH);
        out.directory = text;
        link->GetDescription(text, MAX_PATH);
        out.description = text;
        link->GetIconLocation(text, MAX_PATH, &out.icon);
        out.iconFile = text;
        link->GetShowCmd(&out.show);
    }
    if (file != nullptr) file->Release();
    link->Release();
    return loaded;
}

std::wstring ProgramPath() {
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

class OptionsDialogTest : public testing::Test {
protected:
    TempFolder folder;
    std::wstring desktop = folder.Join(L"desktop");
    std::wstring sendTo = folder.Join(L"sendto");
    std::wstring desktopLink = TempFolder::JoinPath(desktop, L"Framelet.lnk");
    std::wstring sendToLink = TempFolder::JoinPath(sendTo, L"Framelet.lnk");
    std::vector<std::pair<std::wstring, std::vector<BYTE>>> savedFolders;

    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        wcscpy(settingsPath, folder.Join(L"Framelet.ini").c_str());
        argList = nullptr;
        argCount = 1;
        CreateDirectoryW(desktop.c_str(), nullptr);
        CreateDirectoryW(sendTo.c_str(), nullptr);
        Redirect(L"Desktop", desktop);
        Redirect(L"SendTo", sendTo);
        // Nothing may be written outside the test's folder.
        ASSERT_EQ(ShellFolder(CSIDL_DESKTOP), desktop);
        ASSERT_EQ(ShellFolder(CSIDL_SENDTO), sendTo);
    }

    void TearDown() override {
        if (mainWindow != nullptr) DestroyWindow(mainWindow);
        MSG message;
        while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        for (const auto& [name, data] : savedFolders) {
            if (data.empty())
                RegDeleteKeyValueW(HKEY_CURRENT_USER, kShellFolders, name.c_str());
            else
                RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolders, name.c_str(), REG_EXPAND_SZ, data.data(),
                                static_cast<DWORD>(data.size()));
        }
        CoUninitialize();
    }

    void Redirect(const WCHAR* name, const std::wstring& path) {
        std::vector<BYTE> old(4096);
        DWORD size = static_cast<DWORD>(old.size());
        if (RegGetValueW(HKEY_CURRENT_USER, kShellFolders, name, RRF_RT_ANY | RRF_NOEXPAND, nullptr, old.data(),
                         &size) != ERROR_SUCCESS)
            size = 0;
        old.resize(size);
        savedFolders.emplace_back(name, old);
        RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolders, name, REG_EXPAND_SZ, path.c_str(),
                        static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR)));
    }

    static std::wstring ShellFolder(int id) {
        WCHAR path[MAX_PATH] = {};
        SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path);
        return path;
    }

    void OpenMainWindow() {
        ASSERT_TRUE(MainWindow::Create(GetModuleHandleW(nullptr)));
        ASSERT_NE(mainWindow, nullptr);
    }

    // Presses "オプション"; the script acts on the dialog and must close it.
    void WithDialog(const std::function<void(HWND)>& script) {
        ModalScript modal{[] { return FindDialog(L"オプション"); }, script};
        modal.Start();
        SendMessageW(GetDlgItem(mainWindow, kOptionsButton), BM_CLICK, 0, 0);
        KillTimer(nullptr, modal.timer);
        EXPECT_EQ(FindDialog(L"オプション"), nullptr);
    }

    static void Click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
    static bool Ticked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
    // The boxes as the dialog shows them: desktop, Send To, plug-ins,
    // turning upright, converting to sRGB.
    static std::vector<bool> Boxes(HWND dialog) {
        return {Ticked(dialog, kDesktopShortcutBox), Ticked(dialog, kSendToShortcutBox), Ticked(dialog, kUsePluginsBox),
                Ticked(dialog, kAutoRotateBox), Ticked(dialog, kToSrgbBox)};
    }
};

TEST_F(OptionsDialogTest, OpeningAndClosingWithoutChangesCreatesAndDeletesNothing) {
    const std::wstring foreign = folder.Write(L"sendto\\Framelet.lnk", std::string("someone else's"));
    OpenMainWindow();
    std::vector<bool> shown;
    WithDialog([&](HWND dialog) {
        shown = Boxes(dialog);
        // The resource's controls in tab order, each inside the dialog and
        // clear of the others.
        std::vector<int> order;
        std::vector<RECT> places;
        RECT client;
        GetClientRect(dialog, &client);
        for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            order.push_back(GetDlgCtrlID(child));
            RECT place;
            GetWindowRect(child, &place);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
            RECT inside;
            EXPECT_TRUE(IntersectRect(&inside, &place, &client) && EqualRect(&inside, &place)) << order.back();
            for (const RECT& other : places) EXPECT_FALSE(IntersectRect(&inside, &place, &other)) << order.back();
            places.push_back(place);
        }
        EXPECT_EQ(order, (std::vector<int>{2, kDesktopShortcutBox, kSendToShortcutBox, kUsePluginsBox,
                                           kPluginFolderButton, kAutoRotateBox, kToSrgbBox}));
        Click(dialog, 2);
    });
    EXPECT_EQ(shown, (std::vector<bool>{false, true, false, true, true}));
    EXPECT_FALSE(FileExists(desktopLink));
    const std::vector<uint8_t> kept = ReadWholeFile(sendToLink);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "someone else's");
}

TEST_F(OptionsDialogTest, TickedBoxesCreateLinksToTheProgramAndUntickedOnesDeleteAnyLink) {
    OpenMainWindow();
    WithDialog([&](HWND dialog) {
        Click(dialog, kDesktopShortcutBox);
        Click(dialog, kSendToShortcutBox);
        Click(dialog, 2);
    });
    for (const std::wstring& path : {desktopLink, sendToLink}) {
        LinkContents link;
        ASSERT_TRUE(ReadLink(path, link)) << "no link at " << std::string(path.begin(), path.end());
        EXPECT_EQ(_wcsicmp(link.target.c_str(), ProgramPath().c_str()), 0);
        EXPECT_EQ(_wcsicmp(link.iconFile.c_str(), ProgramPath().c_str()), 0);
        EXPECT_EQ(link.icon, 0);
        EXPECT_EQ(link.arguments, L"");
        EXPECT_EQ(link.directory, L"");
        EXPECT_EQ(link.description, L"");
        EXPECT_EQ(link.show, SW_SHOWNORMAL);
    }
    // Unticking deletes a link whoever made it.
    DeleteFileW(desktopLink.c_str());
    folder.Write(L"desktop\\Framelet.lnk", std::string("someone else's"));
    std::vector<bool> shown;
    WithDialog([&](HWND dialog) {
        shown = Boxes(dialog);
        Click(dialog, kDesktopShortcutBox);
        Click(dialog, kSendToShortcutBox);
        Click(dialog, 2);
    });
    EXPECT_EQ(shown, (std::vector<bool>{true, true, false, true, true}));
    EXPECT_FALSE(FileExists(desktopLink));
    EXPECT_FALSE(FileExists(sendToLink));
}

TEST_F(OptionsDialogTest, AFileOfTheLinksNameIsLeftUntouched) {
    OpenMainWindow();
    WithDialog([&](HWND dialog) {
        // It appears while the dialog is open, and the box is ticked over it.
        folder.Write(L"desktop\\Framelet.lnk", std::string("not ours"));
        Click(dialog, kDesktopShortcutBox);
        Click(dialog, 2);
    });
    const std::vector<uint8_t> kept = ReadWholeFile(desktopLink);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "not ours");
}

TEST_F(OptionsDialogTest, EscTheCloseBoxAndEnterApplyTheBoxesLikeClose) {
    OpenMainWindow();
    const std::vector<std::pair<const char*, std::function<void(HWND)>>> closers = {
        {"Esc",
         [](HWND dialog) {
             PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0);
             (void)dialog;
         }},
        {"close box", [](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"Enter",
         [](HWND dialog) {
             PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 0);
             (void)dialog;
         }},
    };
    bool exists = false;
    for (const auto& [name, close] : closers) {
        WithDialog([&](HWND dialog) {
            Click(dialog, kDesktopShortcutBox);
            SetFocus(GetDlgItem(dialog, 2));
            close(dialog);
        });
        exists = !exists;
        EXPECT_EQ(FileExists(desktopLink), exists) << name;
    }
}

TEST_F(OptionsDialogTest, ThePluginFolderAndItsBox) {
    // A stored folder that has since been deleted opens unticked and cleared.
    const std::wstring gone = folder.Join(L"plugins");
    CreateDirectoryW(gone.c_str(), nullptr);
    WritePrivateProfileStringW(L"VEzu", L"UseSpi", L"1", settingsPath);
    WritePrivateProfileStringW(L"VEzu", L"SpiPath", gone.c_str(), settingsPath);
    OpenMainWindow();
    EXPECT_TRUE(appSettings.UseSpi);
    RemoveDirectoryW(gone.c_str());
    WCHAR before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);

    std::vector<bool> shown;
    std::vector<std::wstring> browserTexts;
    bool useSpiAtOnce = false;
    WithDialog([&](HWND dialog) {
        shown = Boxes(dialog);
        EXPECT_STREQ(appSettings.SpiPath, L"");
        EXPECT_FALSE(appSettings.UseSpi);
        Click(dialog, kUsePluginsBox);
        useSpiAtOnce = appSettings.UseSpi;
        // The browser, opened with the empty path, is read and cancelled.
        ModalScript browser{[] { return FindDialog(L""); },
                            [&](HWND found) {
                                browserTexts = StaticTexts(found);
                                PostMessageW(found, WM_COMMAND, IDCANCEL, 0);
                            }};
        browser.Start();
        Click(dialog, kPluginFolderButton);
        KillTimer(nullptr, browser.timer);
        Click(dialog, 2);
    });
    EXPECT_EQ(shown, (std::vector<bool>{false, false, false, true, true}));
    EXPECT_TRUE(useSpiAtOnce);
    EXPECT_NE(std::find(browserTexts.begin(), browserTexts.end(), L"設定パス: "), browserTexts.end())
        << browserTexts.size() << " texts";
    EXPECT_STREQ(appSettings.SpiPath, L"");
    WCHAR after[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, after);
    EXPECT_STREQ(after, before);
}

// The stored keys tick the boxes, and a click changes the setting at once.
TEST_F(OptionsDialogTest, ThePhotoBoxesShowAndSetAutoRotAndToSrgb) {
    WritePrivateProfileStringW(L"VEzu", L"AutoRot", L"0", settingsPath);
    OpenMainWindow();
    std::vector<bool> shown;
    std::vector<bool> afterClicks;
    WithDialog([&](HWND dialog) {
        shown = Boxes(dialog);
        Click(dialog, kAutoRotateBox);
        Click(dialog, kToSrgbBox);
        afterClicks = {appSettings.AutoRot, appSettings.ToSRGB};
        Click(dialog, 2);
    });
    EXPECT_EQ(shown, (std::vector<bool>{false, false, false, false, true}));
    EXPECT_EQ(afterClicks, (std::vector<bool>{true, false}));
}

}  // namespace
