// The real main window, created in this process and driven with the messages
// a user's clicks, typing and drops produce; and the program itself started
// as a separate process.
#include "app/main_window.h"
#include "app/control_ids.h"
#include "app/options_dialog.h"
#include "app/version_window.h"
#include "core/memory.h"
#include "engine/batch.h"
#include "settings/settings_store.h"
#include "support/bmp_builder.h"
#include "support/message_boxes.h"
#include "support/temp_folder.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

const std::wstring kNoMemory = L"メモリ確保に失敗しました。";
const std::wstring kRunFailed = L"ファイル実行に失敗しました。";
const std::wstring kSameFolder = L"<入力ファイルと同じフォルダ>";

// Titles the window is given, recorded by subclassing it.
std::vector<std::wstring> titles;
WNDPROC originalProcedure = nullptr;
LRESULT CALLBACK RecordTitles(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) titles.push_back(reinterpret_cast<const WCHAR*>(lParam));
    return CallWindowProcW(originalProcedure, window, message, wParam, lParam);
}

// A real drop handle, as the shell makes it: DROPFILES and wide names.
HDROP MakeDrop(const std::vector<std::wstring>& paths) {
    size_t characters = 1;
    for (const std::wstring& path : paths) characters += path.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + characters * sizeof(WCHAR));
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    auto* out = reinterpret_cast<WCHAR*>(header + 1);
    for (const std::wstring& path : paths) {
        memcpy(out, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
        out += path.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// A 16 x 12 24-bit bitmap.
std::vector<uint8_t> SmallBitmap() {
    BmpLayout layout;
    layout.width = 16;
    layout.height = 12;
    for (int i = 0; i < 48 * 12; ++i) layout.pixels.push_back(static_cast<uint8_t>(i * 7));
    return BuildBmp(layout);
}

// Width and height of a bitmap file; 0, 0 when it is not one.
std::pair<int32_t, int32_t> BitmapSize(const std::wstring& path) {
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    if (bytes.size() < 26 || bytes[0] != 'B' || bytes[1] != 'M') return {0, 0};
    int32_t width;
    int32_t height;
    memcpy(&width, &bytes[18], 4);
    memcpy(&height, &bytes[22], 4);
    return {width, height};
}

std::wstring IniValue(const WCHAR* key, const std::wstring& file = settingsPath) {
    WCHAR text[MAX_PATH];
    GetPrivateProfileStringW(L"VEzu", key, L"<missing>", text, MAX_PATH, file.c_str());
    return text;
}

int IniKeyCount(const std::wstring& file) {
    std::vector<WCHAR> section(65536);
    const DWORD length = GetPrivateProfileSectionW(L"VEzu", section.data(), 65536, file.c_str());
    int keys = 0;
    for (DWORD i = 0; i < length; i += static_cast<DWORD>(wcslen(&section[i])) + 1) ++keys;
    return keys;
}

// Settings of one slot writing 8 x 6 bitmaps named <input>_s.bmp into output.
void PresetOneBitmapSlotIn(const std::wstring& ini, const std::wstring& output) {
    for (const auto& [key, value] : std::vector<std::pair<const WCHAR*, std::wstring>>{
             {L"OSize1", L"1"}, {L"OutW1", L"8"}, {L"OutH1", L"6"}, {L"AddName1", L"_s"}, {L"MkDirAdd1", L"0"},
             {L"OutDir1", output}, {L"OSize2", L"0"}, {L"OSize3", L"0"}, {L"DrctCvt", L"0"}})
        WritePrivateProfileStringW(L"VEzu", key, value.c_str(), ini.c_str());
}

// The edges of a few controls in their window's client area, which the
// layout scales as they are; the window may be another process's.
std::vector<LONG> ControlEdgesIn(HWND window) {
    std::vector<LONG> edges;
    for (int id :
         std::initializer_list<int>{kSlotEnabled, kSlotFolder + 2, kSaveOptionsGroup, kSizeLimit, kVersionButton}) {
        RECT r{};
        GetWindowRect(GetDlgItem(window, id), &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        edges.insert(edges.end(), {r.left, r.top, r.right, r.bottom});
    }
    return edges;
}

// Expects each number of `scaled` to be `factor` times its number in `design`, within a pixel.
void ExpectScaled(const std::vector<LONG>& design, const std::vector<LONG>& scaled, double factor) {
    ASSERT_EQ(design.size(), scaled.size());
    for (size_t i = 0; i < design.size(); ++i) EXPECT_NEAR(scaled[i], design[i] * factor, 1.0) << "number " << i;
}

void DrainQuit() {
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

class MainWindowTest : public testing::Test {
protected:
    TempFolder folder;
    std::wstring output = folder.Join(L"out");

    void SetUp() override {
        wcscpy(settingsPath, folder.Join(L"Framelet.ini").c_str());
        argList = nullptr;
        argCount = 1;
        alwaysOnTop = false;
        titles.clear();
        CreateDirectoryW(output.c_str(), nullptr);
    }

    void TearDown() override {
        if (mainWindow != nullptr) DestroyWindow(mainWindow);
        DrainQuit();
        AllocationProbe::Reset();
    }

    void Open() {
        ASSERT_TRUE(MainWindow::Create(GetModuleHandleW(nullptr)));
        ASSERT_NE(mainWindow, nullptr);
        originalProcedure = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(mainWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordTitles)));
    }

    void Close() {
        SendMessageW(mainWindow, WM_CLOSE, 0, 0);
        DrainQuit();
        EXPECT_EQ(mainWindow, nullptr);
    }

    void PresetOneBitmapSlot() { PresetOneBitmapSlotIn(settingsPath, output); }

    HWND Item(int id) const { return GetDlgItem(mainWindow, id); }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Visible(int id) const { return (GetWindowLongW(Item(id), GWL_STYLE) & WS_VISIBLE) != 0; }
    bool Ticked(int id) const { return IsDlgButtonChecked(mainWindow, id) == BST_CHECKED; }
    std::wstring Text(int id) const {
        WCHAR text[MAX_PATH] = {};
        GetWindowTextW(Item(id), text, MAX_PATH);
        return text;
    }
    void Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    void Type(int id, const std::wstring& text) { SetWindowTextW(Item(id), text.c_str()); }
    void Choose(int list, int index) {
        SendMessageW(Item(list), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(mainWindow, WM_COMMAND, MAKEWPARAM(list, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Item(list)));
    }
    int Selection(int list) const { return static_cast<int>(SendMessageW(Item(list), CB_GETCURSEL, 0, 0)); }
    POINT ClientPosition(int id) const {
        RECT bounds;
        GetWindowRect(Item(id), &bounds);
        POINT at{bounds.left, bounds.top};
        ScreenToClient(mainWindow, &at);
        return at;
    }
    // Presses a key on the keyboard (with Shift held when asked) and hands
    // what arrives to the message loop's routing until the keys are up.
    void Press(BYTE key, bool shift = false) {
        if (shift) keybd_event(VK_SHIFT, 0, 0, 0);
        keybd_event(key, 0, 0, 0);
        keybd_event(key, 0, KEYEVENTF_KEYUP, 0);
        if (shift) keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
        MSG message;
        for (int waited = 0; waited < 200; ++waited, Sleep(10))
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                MainWindow::Route(message);
                if (message.message == WM_KEYUP && message.wParam == (shift ? VK_SHIFT : key)) return;
            }
        ADD_FAILURE() << "key " << int{key} << " did not arrive";
    }
    int Focused() const { return GetDlgCtrlID(GetFocus()); }
    int WindowHeight() const {
        RECT bounds;
        GetWindowRect(mainWindow, &bounds);
        return bounds.bottom - bounds.top;
    }
    void Drop(const std::vector<std::wstring>& paths) {
        SendMessageW(mainWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(paths)), 0);
    }
};

TEST_F(MainWindowTest, FreshStartShowsTheDefaultsAndClosingSavesThem) {
    Open();
    EXPECT_TRUE(IsWindowVisible(mainWindow));
    WCHAR title[32];
    GetWindowTextW(mainWindow, title, 32);
    EXPECT_STREQ(title, L"Framelet");
    // The stored count 2 shows four groups.
    for (int slot = 0; slot < 6; ++slot) EXPECT_EQ(Visible(kSlotGroup + slot), slot < 4) << slot;
    EXPECT_EQ(Selection(kShownGroupsList), 2);
    EXPECT_EQ(Text(kSlotGroup + 2), L"出力設定3");
    EXPECT_TRUE(Ticked(kSlotEnabled));
    EXPECT_EQ(Text(kSlotWidth), L"1024");
    EXPECT_EQ(Text(kSlotHeight), L"768");
    EXPECT_EQ(Text(kSlotSuffix), L"1024x768");
    EXPECT_TRUE(Ticked(kSlotUseSubfolder));
    EXPECT_EQ(Text(kSlotSubfolder), L"Output");
    EXPECT_EQ(Text(kSlotFolder), kSameFolder);
    EXPECT_EQ(Text(kSlotWidth + 1), L"800");
    EXPECT_EQ(Text(kSlotHeight + 1), L"600");
    EXPECT_EQ(Text(kSlotSuffix + 1), L"");
    EXPECT_EQ(Text(kSlotSubfolder + 1), L"800x600");
    EXPECT_EQ(Text(kSlotWidth + 4), L"0");  // numbers always show, also 0
    EXPECT_FALSE(Ticked(kSlotEnabled + 4));
    EXPECT_EQ(Selection(kFormatList), 2);
    EXPECT_EQ(Text(kQualityField), L"75");
    EXPECT_EQ(LOWORD(SendMessageW(Item(kQualitySpin), UDM_GETPOS, 0, 0)), 75);
    EXPECT_TRUE(Ticked(kSampling41));
    EXPECT_FALSE(Ticked(kSampling11));
    EXPECT_FALSE(Ticked(kSizeLimit));
    EXPECT_EQ(Text(kSizeLimitField), L"100");
    EXPECT_TRUE(Enabled(kQualityField));
    EXPECT_FALSE(Enabled(kSizeLimitField));
    // Edit fields take no more than their limits.
    Type(kSlotWidth, L"123456");
    EXPECT_EQ(SendMessageW(Item(kSlotWidth), EM_GETLIMITTEXT, 0, 0), 4);
    EXPECT_EQ(SendMessageW(Item(kSlotFolder), EM_GETLIMITTEXT, 0, 0), 260);
    Type(kSlotWidth, L"1024");

    Close();
    EXPECT_EQ(IniKeyCount(settingsPath), 52);
    const std::pair<const WCHAR*, const WCHAR*> saved[] = {
        {L"OSize1", L"1"},       {L"OutW1", L"1024"},    {L"OutH1", L"768"},   {L"AddName1", L"1024x768"},
        {L"OutDir1", L""},       {L"MkDirAdd1", L"1"},   {L"MkDirStr1", L"Output"}, {L"OSize2", L"1"},
        {L"OutW2", L"800"},      {L"OutH2", L"600"},     {L"MkDirStr2", L"800x600"}, {L"OSize4", L"0"},
        {L"OutW6", L"0"},        {L"Quality", L"75"},    {L"Sampling", L"0"},  {L"Limit", L"0"},
        {L"LmtVal", L"100"},     {L"UseSpi", L"0"},      {L"SpiPath", L""},    {L"DrctCvt", L"2"},
        {L"DispNUM", L"2"},      {L"AutoRot", L"1"},     {L"ToSRGB", L"1"},
    };
    for (const auto& [key, value] : saved) EXPECT_EQ(IniValue(key), value) << key;
}

TEST_F(MainWindowTest, ShownGroupsResizeTheWindowAndMoveTheSaveOptions) {
    Open();
    Choose(kShownGroupsList, 0);
    const int twoGroups = WindowHeight();
    const POINT options = ClientPosition(kSaveOptionsGroup);
    EXPECT_EQ(options.y, 425 - 4 * 70);
    for (int slot = 2; slot < 6; ++slot) EXPECT_FALSE(Visible(kSlotFolder + slot)) << slot;

    Choose(kShownGroupsList, 1);
    EXPECT_EQ(WindowHeight(), twoGroups + 70);
    EXPECT_TRUE(Visible(kSlotGroup + 2));
    EXPECT_TRUE(Visible(kSlotFolder + 2));
    EXPECT_FALSE(Visible(kSlotGroup + 3));
    EXPECT_EQ(ClientPosition(kSaveOptionsGroup).y, options.y + 70);
    EXPECT_EQ(ClientPosition(kVersionButton).y, 479 - 3 * 70);
    EXPECT_EQ(ClientPosition(kQualitySpin).y, ClientPosition(kQualityField).y);

    Choose(kShownGroupsList, 4);
    const int sixGroups = WindowHeight();
    for (int slot = 0; slot < 6; ++slot) EXPECT_TRUE(Visible(kSlotGroup + slot)) << slot;
    EXPECT_EQ(ClientPosition(kSaveOptionsGroup).y, 425);  // back where it was built, no drift
    Choose(kShownGroupsList, 0);
    EXPECT_EQ(WindowHeight(), sixGroups - 280);
    for (int slot = 2; slot < 6; ++slot) EXPECT_FALSE(Visible(kSlotGroup + slot)) << slot;
    EXPECT_EQ(ClientPosition(kCloseButton).x, 300);

    Close();
    EXPECT_EQ(IniValue(L"DispNUM"), L"0");
}

TEST_F(MainWindowTest, EnablingFollowsTheOutputBoxesAndTheFormat) {
    Open();
    // Unticking a slot's output disables its fields but keeps their values.
    Click(kSlotEnabled);
    EXPECT_FALSE(Ticked(kSlotEnabled));
    for (int id : {kSlotSizeLabel, kSlotWidth, kSlotHeight, kSlotSuffix, kSlotUseSubfolder, kSlotSubfolder,
                   kSlotChooseFolder, kSlotClearFolder, kSlotFolder})
        EXPECT_FALSE(Enabled(id)) << id;
    for (int id : {kSlotGroup, kSlotEnabled, kSlotFolderLabel}) EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_EQ(Text(kSlotWidth), L"1024");
    Click(kSlotEnabled);
    EXPECT_TRUE(Enabled(kSlotSubfolder));
    // The sub-folder name follows its box while the slot is on.
    Click(kSlotUseSubfolder + 1);
    EXPECT_FALSE(Enabled(kSlotSubfolder + 1));
    Click(kSlotUseSubfolder + 1);
    EXPECT_TRUE(Enabled(kSlotSubfolder + 1));

    // BMP (as PNG and GIF) disables all ten JPEG controls.
    Choose(kFormatList, 0);
    for (int id = kQualityLabel; id <= kSizeLimitUnit; ++id) EXPECT_FALSE(Enabled(id)) << id;
    Choose(kFormatList, 2);
    EXPECT_TRUE(Enabled(kQualityField));
    EXPECT_FALSE(Enabled(kSizeLimitField));
    // The size limit swaps the quality trio for the size trio.
    Click(kSizeLimit);
    for (int id : {kQualityLabel, kQualityField, kQualitySpin}) EXPECT_FALSE(Enabled(id)) << id;
    for (int id : {kSizeLimitField, kSizeLimitSpin, kSizeLimitUnit, kSamplingLabel, kSampling41, kSampling11,
                   kSizeLimit})
        EXPECT_TRUE(Enabled(id)) << id;
    // WebP has a quality and a size limit but no sampling.
    Choose(kFormatList, 4);
    for (int id : {kSizeLimit, kSizeLimitField}) EXPECT_TRUE(Enabled(id)) << id;
    for (int id : {kSamplingLabel, kSampling41, kSampling11}) EXPECT_FALSE(Enabled(id)) << id;
    Click(kSizeLimit);
    EXPECT_TRUE(Enabled(kQualityField));
    EXPECT_FALSE(Enabled(kSampling41));
    Click(kSizeLimit);
    Choose(kFormatList, 3);
    Choose(kFormatList, 2);
    EXPECT_FALSE(Enabled(kQualityField));
    EXPECT_TRUE(Enabled(kSizeLimitField));
    Click(kSampling11);

    Click(kSlotEnabled);
    Close();
    EXPECT_EQ(IniValue(L"OSize1"), L"0");
    EXPECT_EQ(IniValue(L"OutW1"), L"1024");
    EXPECT_EQ(IniValue(L"AddName1"), L"1024x768");
    EXPECT_EQ(IniValue(L"Limit"), L"1");
    EXPECT_EQ(IniValue(L"Sampling"), L"2");
    EXPECT_EQ(IniValue(L"DrctCvt"), L"2");
}

TEST_F(MainWindowTest, StoredSamplingAndLimitAreShownAndReopenedAlike) {
    for (const auto& [key, value] : std::vector<std::pair<const WCHAR*, const WCHAR*>>{
             {L"Sampling", L"2"}, {L"Limit", L"1"}, {L"LmtVal", L"250"}, {L"Quality", L"90"}, {L"DispNUM", L"9"}})
        WritePrivateProfileStringW(L"VEzu", key, value, settingsPath);
    Open();
    EXPECT_TRUE(Ticked(kSampling11));
    EXPECT_FALSE(Ticked(kSampling41));
    EXPECT_TRUE(Ticked(kSizeLimit));
    EXPECT_EQ(Text(kSizeLimitField), L"250");
    EXPECT_FALSE(Enabled(kQualityField));
    EXPECT_TRUE(Enabled(kSizeLimitField));
    // A stored count beyond the list shows all six groups.
    EXPECT_TRUE(Visible(kSlotGroup + 5));
    // A typed quality beyond the range keeps the last valid position.
    Type(kQualityField, L"500");
    Close();
    EXPECT_EQ(IniValue(L"Quality"), L"90");
    EXPECT_EQ(IniValue(L"LmtVal"), L"250");
    EXPECT_EQ(IniValue(L"DispNUM"), L"4");
}

TEST_F(MainWindowTest, FolderFieldsSaveOnlyExistingFolders) {
    WritePrivateProfileStringW(L"VEzu", L"OutDir2", output.c_str(), settingsPath);
    Open();
    EXPECT_EQ(Text(kSlotFolder + 1), output);
    Type(kSlotFolder, output);
    Type(kSlotFolder + 2, folder.Join(L"missing"));
    Click(kSlotClearFolder + 1);
    EXPECT_EQ(Text(kSlotFolder + 1), kSameFolder);
    Close();
    EXPECT_EQ(IniValue(L"OutDir1"), output);
    EXPECT_EQ(IniValue(L"OutDir2"), L"");
    EXPECT_EQ(IniValue(L"OutDir3"), L"");
}

TEST_F(MainWindowTest, DroppedFilesAreConvertedWithTheSelectedFormat) {
    PresetOneBitmapSlot();
    const std::wstring a = folder.Write(L"a.bmp", SmallBitmap());
    const std::wstring b = folder.Write(L"b.bmp", SmallBitmap());
    Open();
    MessageBoxRecorder boxes;
    Drop({a, b});
    EXPECT_EQ(BitmapSize(TempFolder::JoinPath(output, L"a_s.bmp")), std::make_pair(8, 6));
    EXPECT_EQ(BitmapSize(TempFolder::JoinPath(output, L"b_s.bmp")), std::make_pair(8, 6));
    EXPECT_EQ(titles, (std::vector<std::wstring>{L"処理中...", L"Framelet"}));
    // The same drop again never replaces the files: the next names are numbered.
    Drop({a});
    EXPECT_TRUE(FileExists(TempFolder::JoinPath(output, L"a_s+1.bmp")));
    EXPECT_TRUE(boxes.Stop().empty());
}

TEST_F(MainWindowTest, ADroppedFolderStandsForThePicturesInIt) {
    PresetOneBitmapSlot();
    const std::wstring a = folder.Write(L"a.bmp", SmallBitmap());
    const std::wstring pictures = folder.Join(L"pictures");
    ASSERT_TRUE(CreateDirectoryW(pictures.c_str(), nullptr));
    folder.Write(L"pictures\\b.bmp", SmallBitmap());
    Open();
    MessageBoxRecorder boxes;
    Drop({pictures, a});
    EXPECT_TRUE(FileExists(TempFolder::JoinPath(output, L"a_s.bmp")));
    EXPECT_TRUE(FileExists(TempFolder::JoinPath(output, L"b_s.bmp")));
    EXPECT_EQ(titles.size(), 2u);
    // A folder with nothing in it is a drop that wrote nothing.
    const std::wstring empty = folder.Join(L"empty");
    ASSERT_TRUE(CreateDirectoryW(empty.c_str(), nullptr));
    Drop({empty});
    EXPECT_EQ(boxes.Stop(), (std::vector<ShownMessage>{{L"Error", L"ファイル変換に失敗しました。"}}));
}

TEST_F(MainWindowTest, ADropListThatCannotBeAllocatedShowsTheMemoryMessage) {
    PresetOneBitmapSlot();
    const std::wstring a = folder.Write(L"a.bmp", SmallBitmap());
    Open();
    MessageBoxRecorder boxes;
    AllocationProbe::FailAt(1);
    Drop({a});
    AllocationProbe::Reset();
    EXPECT_EQ(boxes.Stop(), (std::vector<ShownMessage>{{L"Error", kNoMemory}}));
    EXPECT_FALSE(FileExists(TempFolder::JoinPath(output, L"a_s.bmp")));
    EXPECT_EQ(dropList, nullptr);
    EXPECT_EQ(dropCount, 0);
}

TEST_F(MainWindowTest, ABatchThatWritesNothingSaysSo) {
    PresetOneBitmapSlot();
    const std::wstring text = folder.Write(L"note.bmp", std::string("not a picture"));
    Open();
    MessageBoxRecorder boxes;
    Drop({text});
    EXPECT_EQ(boxes.Stop(), (std::vector<ShownMessage>{{L"Error", L"ファイル変換に失敗しました。"}}));
    EXPECT_EQ(titles, (std::vector<std::wstring>{L"処理中...", L"Framelet"}));
}

TEST_F(MainWindowTest, TitleBarDoubleClickTogglesAlwaysOnTop) {
    Open();
    const LONG style = GetWindowLongW(mainWindow, GWL_STYLE);
    EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    EXPECT_NE(style & WS_MINIMIZEBOX, 0);
    EXPECT_NE(GetWindowLongW(mainWindow, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
    HMENU menu = GetSystemMenu(mainWindow, FALSE);
    EXPECT_EQ(GetMenuItemID(menu, 0), static_cast<UINT>(kAlwaysOnTop));
    WCHAR text[32] = {};
    GetMenuStringW(menu, 0, text, 32, MF_BYPOSITION);
    EXPECT_STREQ(text, L"常に手前に表示");
    EXPECT_NE(GetMenuState(menu, 1, MF_BYPOSITION) & MF_SEPARATOR, 0u);
    EXPECT_EQ(GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_EQ(GetMenuState(menu, SC_SIZE, MF_BYCOMMAND), static_cast<UINT>(-1));

    auto topMost = [] { return (GetWindowLongW(mainWindow, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; };
    auto checked = [&] {
        SendMessageW(mainWindow, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), MAKELPARAM(0, TRUE));
        return (GetMenuState(menu, kAlwaysOnTop, MF_BYCOMMAND) & MF_CHECKED) != 0;
    };
    EXPECT_FALSE(checked());
    SendMessageW(mainWindow, WM_NCLBUTTONDBLCLK, HTCAPTION, 0);
    EXPECT_TRUE(alwaysOnTop);
    EXPECT_TRUE(topMost());
    EXPECT_FALSE(IsZoomed(mainWindow));
    EXPECT_TRUE(checked());
    SendMessageW(mainWindow, WM_SYSCOMMAND, kAlwaysOnTop, 0);
    EXPECT_FALSE(topMost());
    EXPECT_FALSE(checked());
    // Other system commands keep their default handling.
    SendMessageW(mainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(IsIconic(mainWindow));
}

TEST_F(MainWindowTest, TabStepsThroughTheEnabledControlsAndEnterAndEscDoNothing) {
    Open();
    Click(kSlotEnabled + 1);  // the second slot's fields are disabled, its box is not
    SetForegroundWindow(mainWindow);
    // Four groups shown: the radios are one stop, and the fields that are off are skipped.
    // clang-format off
    const std::vector<int> stops{
        1050, 1060, 1070, 1110, 1200, 1210, 1310, 1320, 1330,  // slot 1
        1051,                                                  // slot 2: its box alone
        1052, 1062, 1072, 1112, 1202, 1312, 1322, 1332,        // slot 3: no sub-folder
        1053,                                                  // slot 4: its box alone
        kFormatList, kQualityField, kSampling41, kSizeLimit,   // no size limit
        kShownGroupsList, kOptionsButton, kCloseButton, kHelpButton, kVersionButton,
        1050};  // and back
    // clang-format on
    SetFocus(Item(kSlotEnabled));
    std::vector<int> forward{Focused()};
    for (size_t i = 1; i < stops.size(); ++i, forward.push_back(Focused())) Press(VK_TAB);
    EXPECT_EQ(forward, stops);
    std::vector<int> backward{Focused()};
    for (size_t i = 1; i < stops.size(); ++i, backward.push_back(Focused())) Press(VK_TAB, true);
    EXPECT_EQ(backward, std::vector<int>(stops.rbegin(), stops.rend()));
    // The arrow keys move within the radio group, ticking the radio reached.
    SetFocus(Item(kSampling41));
    Press(VK_DOWN);
    EXPECT_EQ(Focused(), kSampling11);
    EXPECT_TRUE(Ticked(kSampling11));
    // Enter and Esc neither press the focused button nor close the window.
    for (int id : std::initializer_list<int>{kSlotWidth, kVersionButton, kCloseButton}) {
        SetFocus(Item(id));
        Press(VK_RETURN);
        Press(VK_ESCAPE);
        ASSERT_NE(mainWindow, nullptr) << id;
        EXPECT_EQ(Focused(), id);
    }
    EXPECT_EQ(versionWindow, nullptr);
}

TEST_F(MainWindowTest, ADpiChangeLaysTheWindowOutAgainWithAFontForTheNewDpi) {
    Open();
    const std::vector<LONG> design = ControlEdgesIn(mainWindow);
    RECT suggested{40, 30, 840, 640};
    SendMessageW(mainWindow, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    RECT window{};
    GetWindowRect(mainWindow, &window);
    EXPECT_TRUE(EqualRect(&window, &suggested));
    ExpectScaled(design, ControlEdgesIn(mainWindow), 1.5);
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(Item(kSlotSuffixLabel), WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_EQ(font.lfHeight, -18);
    // Later layouts keep the new DPI; back at 96 DPI every control is where it was.
    Choose(kShownGroupsList, 4);
    EXPECT_EQ(ClientPosition(kSaveOptionsGroup).y, 638);  // 425 at 96 DPI
    Choose(kShownGroupsList, 2);
    SendMessageW(mainWindow, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(ControlEdgesIn(mainWindow), design);
}

// Looks for a visible main window of one process.
struct VisibleWindowSearch {
    DWORD process;
    HWND found;  // null until seen

    static BOOL CALLBACK Visit(HWND window, LPARAM context) {
        auto* self = reinterpret_cast<VisibleWindowSearch*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        WCHAR className[64] = {};
        GetClassNameW(window, className, 64);
        if (owner == self->process && wcscmp(className, kMainWindowClass) == 0 && IsWindowVisible(window))
            self->found = window;
        return TRUE;
    }
};

// The program as a separate process, beside its own settings file.
class ProgramTest : public testing::Test {
protected:
    TempFolder folder;
    std::wstring output = folder.Join(L"out");
    std::wstring ini = folder.Join(L"Framelet.ini");
    std::wstring startIn = folder.path();  // the program's current directory

    void SetUp() override {
        CreateDirectoryW(output.c_str(), nullptr);
        PresetOneBitmapSlotIn(ini, output);
    }

    // A copy of the built program in the test's folder under the given name.
    std::wstring Install(const WCHAR* name) {
        WCHAR self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        PathRemoveFileSpecW(self);
        PathAppendW(self, L"..\\app\\Framelet.exe");
        const std::wstring copy = folder.Join(name);
        EXPECT_TRUE(CopyFileW(self, copy.c_str(), FALSE)) << "no program at " << std::string(self, self + wcslen(self));
        return copy;
    }

    // Starts the program without files and waits for its window; null when
    // none came (the process is started all the same).
    HWND StartShown(const std::wstring& program, PROCESS_INFORMATION& process) {
        std::wstring line = L"\"" + program + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.path().c_str(),
                            &startup, &process))
            return nullptr;
        VisibleWindowSearch search{process.dwProcessId, nullptr};
        for (int waited = 0; waited < 200 && search.found == nullptr; ++waited, Sleep(50))
            EnumWindows(VisibleWindowSearch::Visit, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    // Closes the program's window and waits for its end.
    static void CloseShown(HWND window, PROCESS_INFORMATION& process) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the program did not end";
            TerminateProcess(process.hProcess, 99);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    // Runs the program to its end; its message boxes go to `boxes`, and
    // windowShown tells whether its main window was ever seen visible.
    DWORD Run(const std::wstring& program, const std::vector<std::wstring>& arguments, MessageBoxRecorder& boxes,
              bool* windowShown = nullptr) {
        std::wstring line = L"\"" + program + L"\"";
        for (const std::wstring& argument : arguments) line += L" \"" + argument + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, startIn.c_str(),
                            &startup, &process)) {
            ADD_FAILURE() << "the program did not start";
            return ~0u;
        }
        boxes.Watch(process.dwProcessId);
        VisibleWindowSearch search{process.dwProcessId, nullptr};
        bool ended = false;
        for (int waited = 0; waited < 60000 && !ended; ++waited) {
            EnumWindows(VisibleWindowSearch::Visit, reinterpret_cast<LPARAM>(&search));
            ended = WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0;
        }
        if (windowShown != nullptr) *windowShown = search.found != nullptr;
        EXPECT_TRUE(ended) << "the program did not end";
        if (!ended) TerminateProcess(process.hProcess, 99);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return code;
    }
};

TEST_F(ProgramTest, FileNamesOnTheCommandLineAreConvertedWithoutAWindow) {
    const std::wstring program = Install(L"Framelet.exe");
    const std::wstring a = folder.Write(L"a.bmp", SmallBitmap());
    const std::wstring b = folder.Write(L"b.bmp", SmallBitmap());
    MessageBoxRecorder boxes;
    bool windowShown = true;
    EXPECT_EQ(Run(program, {a, b}, boxes, &windowShown), 0u);
    EXPECT_FALSE(windowShown);
    EXPECT_TRUE(boxes.Stop().empty());
    EXPECT_EQ(BitmapSize(TempFolder::JoinPath(output, L"a_s.bmp")), std::make_pair(8, 6));
    EXPECT_EQ(BitmapSize(TempFolder::JoinPath(output, L"b_s.bmp")), std::make_pair(8, 6));
    // Closing the hidden window saved every key.
    EXPECT_EQ(IniKeyCount(ini), 52);
    EXPECT_EQ(IniValue(L"OutDir1", ini), output);
}

TEST_F(ProgramTest, ARelativeFileNameIsConvertedBesideTheFile) {
    // No output folder: the slot writes beside the input, whose folder a
    // relative name alone does not give.
    WritePrivateProfileStringW(L"VEzu", L"OutDir1", L"", ini.c_str());
    const std::wstring program = Install(L"Framelet.exe");
    folder.Write(L"a.bmp", SmallBitmap());
    MessageBoxRecorder boxes;
    EXPECT_EQ(Run(program, {L"a.bmp"}, boxes), 0u);
    EXPECT_TRUE(boxes.Stop().empty());
    EXPECT_EQ(BitmapSize(folder.Join(L"a_s.bmp")), std::make_pair(8, 6));
}

TEST_F(ProgramTest, ASendToShortcutConvertsTheChosenFilesWithoutAWindow) {
    const std::wstring program = Install(L"Framelet.exe");
    const std::wstring a = folder.Write(L"a.bmp", SmallBitmap());
    const std::wstring b = folder.Write(L"b.bmp", SmallBitmap());
    // The link as the options dialog makes it, read back as the shell does.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::wstring link = folder.Join(L"Framelet.lnk");
    ASSERT_TRUE(CreateShortcut(link.c_str(), program.c_str()));
    IShellLinkW* shellLink = nullptr;
    IPersistFile* file = nullptr;
    WCHAR target[MAX_PATH] = {};
    WCHAR arguments[MAX_PATH] = {};
    WCHAR directory[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(&shellLink))));
    if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(link.c_str(), STGM_READ))) {
        shellLink->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
        shellLink->GetArguments(arguments, MAX_PATH);
        shellLink->GetWorkingDirectory(directory, MAX_PATH);
    }
    if (file != nullptr) file->Release();
    shellLink->Release();
    CoUninitialize();
    EXPECT_STREQ(arguments, L"");
    // No working directory in the link: the program starts wherever the shell is.
    EXPECT_STREQ(directory, L"");
    WCHAR system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    startIn = system;
    MessageBoxRecorder boxes;
    bool windowShown = true;
    EXPECT_EQ(Run(target, {a, b}, boxes, &windowShown), 0u);
    EXPECT_FALSE(windowShown);
    EXPECT_TRUE(boxes.Stop().empty());
    EXPECT_EQ(BitmapSize(TempFolder::JoinPath(output, L"a_s.bmp")), std::make_pair(8, 6));
    EXPECT_EQ(BitmapSize(TempFolder::JoinPath(output, L"b_s.bmp")), std::make_pair(8, 6));
}

// The visible top-level windows of one process: class and caption.
struct WindowList {
    DWORD process;
    std::vector<std::pair<std::wstring, std::wstring>> windows;

    static BOOL CALLBACK Visit(HWND window, LPARAM context) {
        auto* self = reinterpret_cast<WindowList*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        WCHAR className[64] = {};
        WCHAR caption[128] = {};
        GetClassNameW(window, className, 64);
        GetWindowTextW(window, caption, 128);
        if (owner == self->process && IsWindowVisible(window)) self->windows.emplace_back(className, caption);
        return TRUE;
    }
};

std::vector<std::pair<std::wstring, std::wstring>> WindowsOf(DWORD process) {
    WindowList list{process, {}};
    EnumWindows(WindowList::Visit, reinterpret_cast<LPARAM>(&list));
    return list.windows;
}

// The help file's title as the help viewer shows it: the file keeps it in
// the Japanese code page, and the viewer reads it in the system's.
std::wstring HelpTitle() {
    char japanese[64] = {};
    WideCharToMultiByte(932, 0, L"Framelet ヘルプ", -1, japanese, 64, nullptr, nullptr);
    WCHAR shown[64] = {};
    MultiByteToWideChar(CP_ACP, 0, japanese, -1, shown, 64);
    return shown;
}

TEST_F(ProgramTest, HelpOpensTheHelpFileBesideTheProgram) {
    const std::wstring program = Install(L"Framelet.exe");
    WCHAR help[MAX_PATH];
    GetModuleFileNameW(nullptr, help, MAX_PATH);
    PathRemoveFileSpecW(help);
    PathAppendW(help, L"..\\app\\Framelet.chm");
    ASSERT_TRUE(CopyFileW(help, folder.Join(L"Framelet.chm").c_str(), FALSE)) << "no help file was built";
    PROCESS_INFORMATION process{};
    HWND window = StartShown(program, process);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_COMMAND, kHelpButton, 0);
    std::vector<std::pair<std::wstring, std::wstring>> shown;
    bool opened = false;
    for (int waited = 0; waited < 200 && !opened; ++waited) {
        Sleep(50);
        shown = WindowsOf(process.dwProcessId);
        for (const auto& [className, caption] : shown)
            if (className == L"HH Parent" && caption == HelpTitle()) opened = true;
    }
    std::wstring seen;
    for (const auto& [className, caption] : shown) seen += className + L": " + caption + L"; ";
    EXPECT_TRUE(opened) << std::string(seen.begin(), seen.end());
    CloseShown(window, process);
}

// Wine's screen DPI (its LogPixels) for the programs started while this
// lives; then Wine's own, 96, again.
struct WineDpi {
    static constexpr const WCHAR* kKey = L"Control Panel\\Desktop";
    explicit WineDpi(DWORD dpi) { RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"LogPixels", REG_DWORD, &dpi, sizeof dpi); }
    ~WineDpi() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"LogPixels"); }
};

TEST_F(ProgramTest, At144DpiTheWindowAndItsControlsAreOneAndAHalfTimesTheirSizeAt96) {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr)
        GTEST_SKIP() << "the screen DPI is set through Wine's LogPixels";
    const std::wstring program = Install(L"Framelet.exe");
    std::vector<LONG> sizes[2];
    for (int run = 0; run < 2; ++run) {
        WineDpi dpi(run == 0 ? 96 : 144);
        PROCESS_INFORMATION process{};
        HWND window = StartShown(program, process);
        ASSERT_NE(window, nullptr);
        RECT client{};
        GetClientRect(window, &client);
        sizes[run] = ControlEdgesIn(window);
        sizes[run].insert(sizes[run].begin(), {client.right, client.bottom});
        CloseShown(window, process);
    }
    EXPECT_EQ(sizes[0][0], 515);  // as designed at 96 DPI
    ExpectScaled(sizes[0], sizes[1], 1.5);
}

TEST_F(ProgramTest, ASecondInstanceConvertsNothing) {
    const std::wstring program = Install(L"Framelet.exe");
    const std::wstring a = folder.Write(L"a.bmp", SmallBitmap());
    // A window of the program's class stands for the running instance.
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    UnregisterClassW(kMainWindowClass, instance);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kMainWindowClass;
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    HWND running = CreateWindowW(kMainWindowClass, L"Framelet", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                 instance, nullptr);
    ASSERT_NE(running, nullptr);
    MessageBoxRecorder boxes;
    EXPECT_EQ(Run(program, {a}, boxes), 0u);
    DestroyWindow(running);
    UnregisterClassW(kMainWindowClass, instance);
    EXPECT_TRUE(boxes.Stop().empty());
    EXPECT_FALSE(FileExists(TempFolder::JoinPath(output, L"a_s.bmp")));
    EXPECT_EQ(IniKeyCount(ini), 9);  // the settings were not touched
}

TEST_F(ProgramTest, UnderAnotherNameTheProgramRefusesToRun) {
    const std::wstring program = Install(L"Other.exe");
    const std::wstring a = folder.Write(L"a.bmp", SmallBitmap());
    MessageBoxRecorder boxes;
    EXPECT_EQ(Run(program, {a}, boxes), 0u);
    EXPECT_EQ(boxes.Stop(), (std::vector<ShownMessage>{{L"Error", kRunFailed}}));
    EXPECT_FALSE(FileExists(TempFolder::JoinPath(output, L"a_s.bmp")));
}

}  // namespace
