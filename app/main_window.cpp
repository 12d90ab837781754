#include "app/main_window.h"

#include "app/control_ids.h"
#include "app/dpi.h"
#include "app/html_help.h"
#include "app/options_dialog.h"
#include "app/version_window.h"
#include "engine/batch.h"
#include "engine/input_list.h"
#include "core/memory.h"
#include "settings/settings_store.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cwchar>
#include <initializer_list>
#include <vector>

HWND mainWindow = nullptr;
int32_t osClass = 0;
HFONT uiFont = nullptr;
DWORD_PTR helpCookie = 0;
LPWSTR* argList = nullptr;
int argCount = 0;
bool alwaysOnTop = false;
WCHAR** dropList = nullptr;
int dropCount = 0;

namespace {

constexpr const WCHAR* kSameFolderAsInput = L"<入力ファイルと同じフォルダ>";
constexpr const WCHAR* kTitle = L"Framelet";
constexpr int kGroupPitch = 70;  // vertical distance between slot groups
constexpr int kJpegFormatIndex = 2;
constexpr int kWebpFormatIndex = 4;

// The DPI the window is laid out for: its own, or the one a DPI change brought.
int windowDpi = 96;

enum class Kind { Group, Check, Label, Number, Text, Button, List, FirstRadio, Radio, Spin };

// What a slot control's enabled state follows.
enum class Follows { Nothing, Slot, SubfolderBox };

// One control: for a spin control, limit is the top of its range (the
// bottom is 1) and the edit field created just before it is its buddy.
struct Control {
    int id;
    Kind kind;
    const WCHAR* caption;
    int x, y, width, height;
    int limit;  // characters an edit field takes; 0 for no limit
    Follows follows = Follows::Nothing;
};

// One slot group, ids and y relative to slot 0 and the group's top. Places
// and sizes are client pixels at 96 DPI.
constexpr Control kSlotControls[] = {
    {kSlotGroup, Kind::Group, nullptr, 5, 0, 505, 65, 0},
    {kSlotEnabled, Kind::Check, L"出力", 15, 18, 45, 16, 0},
    {kSlotSizeLabel, Kind::Label, L"サイズ W", 76, 20, 45, 15, 0, Follows::Slot},
    {kSlotWidth, Kind::Number, nullptr, 121, 17, 40, 18, 4, Follows::Slot},
    {kSlotHeightLabel, Kind::Label, L"H", 165, 20, 10, 15, 0, Follows::Slot},
    {kSlotHeight, Kind::Number, nullptr, 175, 17, 40, 18, 4, Follows::Slot},
    {kSlotSuffixLabel, Kind::Label, L"ファイル名追加文字", 231, 20, 97, 15, 0, Follows::Slot},
    {kSlotSuffix, Kind::Text, nullptr, 328, 17, 80, 18, 20, Follows::Slot},
    {kSlotUseSubfolder, Kind::Check, L"サブフォルダ", 424, 18, 74, 16, 0, Follows::Slot},
    {kSlotSubfolder, Kind::Text, nullptr, 420, 41, 80, 18, 20, Follows::SubfolderBox},
    {kSlotFolderLabel, Kind::Label, L"フォルダ", 15, 44, 38, 15, 0},
    {kSlotChooseFolder, Kind::Button, L"設定", 53, 40, 36, 20, 0, Follows::Slot},
    {kSlotClearFolder, Kind::Button, L"解除", 89, 40, 36, 20, 0, Follows::Slot},
    {kSlotFolder, Kind::Text, nullptr, 125, 41, 295, 18, 260, Follows::Slot},
};

// The save options and buttons, placed for six visible groups.
constexpr Control kOptionControls[] = {
    {kSaveOptionsGroup, Kind::Group, L"保存オプション", 5, 425, 505, 43, 0},
    {kFormatLabel, Kind::Label, L"形式", 15, 445, 29, 16, 0},
    {kFormatList, Kind::List, nullptr, 44, 441, 55, 400, 0},
    {kQualityLabel, Kind::Label, L"JPEG画質", 115, 445, 55, 14, 0},
    {kQualityField, Kind::Number, nullptr, 171, 442, 45, 18, 3},
    {kQualitySpin, Kind::Spin, nullptr, 0, 0, 0, 0, 100},
    {kSamplingLabel, Kind::Label, L"サンプル比", 224, 445, 53, 14, 0},
    {kSampling41, Kind::FirstRadio, L"4:1", 279, 443, 32, 16, 0},
    {kSampling11, Kind::Radio, L"1:1", 313, 443, 32, 16, 0},
    {kSizeLimit, Kind::Check, L"サイズ制限", 353, 443, 74, 16, 0},
    {kSizeLimitField, Kind::Number, nullptr, 427, 442, 52, 18, 4},
    {kSizeLimitSpin, Kind::Spin, nullptr, 0, 0, 0, 0, 32767},
    {kSizeLimitUnit, Kind::Label, L"KB", 483, 445, 20, 12, 0},
    {kShownGroupsLabel, Kind::Label, L"出力設定表示数", 15, 484, 90, 16, 0},
    {kShownGroupsList, Kind::List, nullptr, 105, 480, 35, 400, 0},
    {kOptionsButton, Kind::Button, L"オプション", 175, 479, 90, 22, 0},
    {kCloseButton, Kind::Button, L"閉じる", 300, 479, 90, 22, 0},
    {kHelpButton, Kind::Button, L"ヘルプ", 400, 479, 50, 22, 0},
    {kVersionButton, Kind::Button, L"Ver.", 460, 479, 40, 22, 0},
};

constexpr const WCHAR* kFormatItems[] = {L"BMP", L"PNG", L"JPEG", L"GIF", L"WebP"};
constexpr const WCHAR* kShownGroupsItems[] = {L"2", L"3", L"4", L"5", L"6"};

// The ten JPEG controls, in id order.
constexpr int kFirstJpegControl = kQualityLabel;
constexpr int kLastJpegControl = kSizeLimitUnit;

// The shown-groups index of six visible groups, for which the window is built.
constexpr int kAllGroupsShown = kSlotCount - 2;

HWND Item(int id) { return GetDlgItem(mainWindow, id); }
void Enable(int id, bool on) { EnableWindow(Item(id), on ? TRUE : FALSE); }
bool Ticked(int id) { return IsDlgButtonChecked(mainWindow, id) == BST_CHECKED; }
void Tick(int id, bool on) { CheckDlgButton(mainWindow, id, on ? BST_CHECKED : BST_UNCHECKED); }

// Tab stops in table order; every control starts a group of its own but the
// second radio button, so the arrow keys move only between the two radios.
// The radios get their tab stop from their tick: Tab reaches the ticked one.
DWORD StyleOf(Kind kind) {
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_GROUP;
    constexpr DWORD kStop = kChild | WS_TABSTOP;
    switch (kind) {
        case Kind::Group: return kChild | BS_GROUPBOX;
        case Kind::Check: return kStop | BS_AUTOCHECKBOX;
        case Kind::Label: return kChild | SS_LEFT | SS_ENDELLIPSIS;
        case Kind::Number: return kStop | ES_NUMBER | ES_RIGHT;
        case Kind::Text: return kStop | ES_AUTOHSCROLL;
        case Kind::Button: return kStop | BS_PUSHBUTTON;
        case Kind::List: return kStop | CBS_DROPDOWNLIST | WS_VSCROLL;
        case Kind::FirstRadio: return kChild | BS_AUTORADIOBUTTON;
        case Kind::Radio: return (kChild & ~WS_GROUP) | BS_AUTORADIOBUTTON;
        case Kind::Spin: break;
    }
    return WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_SETBUDDYINT | UDS_NOTHOUSANDS;
}

const WCHAR* ClassOf(Kind kind) {
    switch (kind) {
        case Kind::Label: return WC_STATICW;
        case Kind::Number:
        case Kind::Text: return WC_EDITW;
        case Kind::List: return WC_COMBOBOXW;
        default: return WC_BUTTONW;
    }
}

// Where the layout puts a control at the window's DPI: yOffset (at 96 DPI)
// is its group's top for a slot control, the save options' shift otherwise.
RECT PlaceOf(const Control& control, int yOffset) {
    return Dpi::Box(control.x, control.y + yOffset, control.width, control.height, windowDpi);
}

int SlotTop(int slot) { return 5 + kGroupPitch * slot; }

// How far below their table places the save options stand with index + 2 groups shown.
int OptionsShift(int shownIndex) { return (shownIndex - kAllGroupsShown) * kGroupPitch; }

// Creates one control at the given offsets; the previous control is a spin
// control's buddy.
void CreateControl(const Control& control, int idOffset, int yOffset, const WCHAR* caption, HWND previous) {
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(mainWindow, GWLP_HINSTANCE));
    const int id = control.id + idOffset;
    if (control.kind == Kind::Spin) {
        CreateUpDownControl(StyleOf(control.kind), 0, 0, 0, 0, mainWindow, id, instance, previous, control.limit, 1,
                            1);
        return;
    }
    const DWORD extended = control.kind == Kind::Group                                   ? WS_EX_TRANSPARENT
                           : control.kind == Kind::Number || control.kind == Kind::Text ? WS_EX_CLIENTEDGE
                                                                                        : 0;
    const RECT place = PlaceOf(control, yOffset);
    HWND child = CreateWindowExW(extended, ClassOf(control.kind), caption, StyleOf(control.kind), place.left, place.top,
                                 place.right - place.left, place.bottom - place.top, mainWindow,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont), TRUE);
    if (control.limit > 0) SendMessageW(child, EM_SETLIMITTEXT, static_cast<WPARAM>(control.limit), 0);
    if (control.kind == Kind::List) SendMessageW(child, CB_SETEXTENDEDUI, TRUE, 0);
}

void CreateControls() {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        HWND previous = nullptr;
        for (const Control& control : kSlotControls) {
            WCHAR caption[16];
            if (control.id == kSlotGroup) swprintf(caption, 16, L"出力設定%d", slot + 1);
            CreateControl(control, slot, SlotTop(slot), control.id == kSlotGroup ? caption : control.caption, previous);
            previous = Item(control.id + slot);
        }
    }
    HWND previous = nullptr;
    for (const Control& control : kOptionControls) {
        CreateControl(control, 0, 0, control.caption, previous);
        previous = Item(control.id);
    }
    for (const WCHAR* item : kFormatItems) SendDlgItemMessageW(mainWindow, kFormatList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    for (const WCHAR* item : kShownGroupsItems)
        SendDlgItemMessageW(mainWindow, kShownGroupsList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
}

void SetTextIfAny(int id, const WCHAR* text) {
    if (text[0] != 0) SetDlgItemTextW(mainWindow, id, text);
}

void FillControls() {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const OutputSlot& s = appSettings.slots[slot];
        Tick(kSlotEnabled + slot, s.enabled);
        SetDlgItemInt(mainWindow, kSlotWidth + slot, static_cast<UINT>(s.width), TRUE);
        SetDlgItemInt(mainWindow, kSlotHeight + slot, static_cast<UINT>(s.height), TRUE);
        SetTextIfAny(kSlotSuffix + slot, s.suffix);
        Tick(kSlotUseSubfolder + slot, s.useSubfolder);
        SetTextIfAny(kSlotSubfolder + slot, s.subfolder);
        SetDlgItemTextW(mainWindow, kSlotFolder + slot, s.folder[0] != 0 ? s.folder : kSameFolderAsInput);
    }
    SendDlgItemMessageW(mainWindow, kQualitySpin, UDM_SETPOS32, 0, appSettings.Quality);
    SendDlgItemMessageW(mainWindow, kSizeLimitSpin, UDM_SETPOS32, 0, appSettings.LmtVal);
    Tick(appSettings.Sampling == 2 ? kSampling11 : kSampling41, true);
    Tick(kSizeLimit, appSettings.Limit);
    SendDlgItemMessageW(mainWindow, kFormatList, CB_SETCURSEL, static_cast<WPARAM>(appSettings.DrctCvt), 0);
    SendDlgItemMessageW(mainWindow, kShownGroupsList, CB_SETCURSEL, static_cast<WPARAM>(appSettings.DispNUM), 0);
}

// The quality and size-limit trios: one of them is in use at a time.
void EnableLimitTrios(bool limit) {
    for (int id : {kQualityLabel, kQualityField, kQualitySpin}) Enable(id, !limit);
    for (int id : {kSizeLimitField, kSizeLimitSpin, kSizeLimitUnit}) Enable(id, limit);
}

void SetUpSystemMenu() {
    HMENU menu = GetSystemMenu(mainWindow, FALSE);
    // By position: the maximise and size items of a standard system menu.
    RemoveMenu(menu, 4, MF_BYPOSITION);
    RemoveMenu(menu, 2, MF_BYPOSITION);
    InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, kAlwaysOnTop, L"常に手前に表示");
    InsertMenuW(menu, 1, MF_BYPOSITION | MF_SEPARATOR, kAlwaysOnTopSeparator, nullptr);
}

// Makes uiFont for dpi and gives it to every control; the font it replaces goes.
void UseUiFontFor(int dpi) {
    HFONT previous = uiFont;
    uiFont = Dpi::CreateUiFont(dpi);
    for (HWND child = GetWindow(mainWindow, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont), TRUE);
    if (previous != nullptr) DeleteObject(previous);
}

void OnCreate(HWND window) {
    mainWindow = window;
    windowDpi = Dpi::Of(window);
    UseUiFontFor(windowDpi);
    SetUpSystemMenu();
    CreateControls();
    FillControls();
    EnableLimitTrios(appSettings.Limit);
    for (int slot = 0; slot < kSlotCount; ++slot) MainWindow::ApplySlotEnabling(slot);
    MainWindow::ApplyFormatEnabling(appSettings.DrctCvt);
    MainWindow::Relayout(appSettings.DispNUM);
}

// The file list of a drop or of the command line: count pointers followed by
// count strings of MAX_PATH characters, zeroed, in one heap block.
WCHAR** AllocateFileList(int count) {
    if (count < 1 || !AllocationProbe::Admit()) return nullptr;
    const SIZE_T bytes = static_cast<SIZE_T>(count) * (sizeof(WCHAR*) + MAX_PATH * sizeof(WCHAR));
    auto** list = static_cast<WCHAR**>(HeapAlloc(privateHeap, HEAP_ZERO_MEMORY, bytes));
    if (list == nullptr) return nullptr;
    auto* strings = reinterpret_cast<WCHAR*>(list + count);
    for (int i = 0; i < count; ++i) list[i] = strings + static_cast<SIZE_T>(i) * MAX_PATH;
    return list;
}

void FreeFileList(WCHAR**& list, int& count) {
    if (list != nullptr) {
        for (int i = 0; i < count; ++i) list[i][0] = 0;
        HeapFree(privateHeap, 0, list);
    }
    list = nullptr;
    count = 0;
}

// The batch's format from the format list; false when nothing is selected.
bool TakeFormatFromList() {
    appSettings.DrctCvt = static_cast<int32_t>(SendDlgItemMessageW(mainWindow, kFormatList, CB_GETCURSEL, 0, 0));
    const int32_t format = OutputFormatFor(appSettings.DrctCvt);
    if (format < 0) return false;
    appSettings.outputFormat = format;
    return true;
}

void OnDropFiles(HDROP drop) {
    const int count = static_cast<int>(DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0));
    dropList = AllocateFileList(count);
    if (dropList == nullptr) {
        ShowError(mainWindow, kMessageNoMemory);
    } else {
        dropCount = count;
        for (int i = 0; i < count; ++i) DragQueryFileW(drop, static_cast<UINT>(i), dropList[i], MAX_PATH);
        if (TakeFormatFromList()) MainWindow::StartBatch();
        FreeFileList(dropList, dropCount);  // a drop without a format leaves nothing behind
    }
    DragFinish(drop);
}

void ToggleAlwaysOnTop() {
    alwaysOnTop = !alwaysOnTop;
    SetWindowPos(mainWindow, alwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOSENDCHANGING);
}

void OpenHelp() {
    WCHAR path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !PathRenameExtensionW(path, L".chm")) return;
    CallHtmlHelp(nullptr, path, HH_DISPLAY_TOPIC, 0);
}

// The slot's "設定": a folder chosen in the browser goes into the field and
// the slot at once.
void ChooseSlotFolder(int slot) {
    WCHAR directory[MAX_PATH];
    const DWORD kept = GetCurrentDirectoryW(MAX_PATH, directory);
    OutputSlot& s = appSettings.slots[slot];
    WCHAR path[MAX_PATH];
    lstrcpynW(path, s.folder, MAX_PATH);
    if (BrowseForFolder(L"フォルダ設定", path, mainWindow)) {
        lstrcpynW(s.folder, path, MAX_PATH);
        SetDlgItemTextW(mainWindow, kSlotFolder + slot, s.folder);
    }
    if (kept > 0 && kept < MAX_PATH) SetCurrentDirectoryW(directory);
}

void OnCommand(int id, int notification) {
    const int slot = id % 10;
    if (id >= kSlotEnabled && id < kSlotEnabled + kSlotCount) {
        appSettings.slots[slot].enabled = Ticked(id);
        MainWindow::ApplySlotEnabling(slot);
    } else if (id >= kSlotUseSubfolder && id < kSlotUseSubfolder + kSlotCount) {
        if (appSettings.slots[slot].enabled) Enable(kSlotSubfolder + slot, Ticked(id));
    } else if (id >= kSlotChooseFolder && id < kSlotChooseFolder + kSlotCount) {
        ChooseSlotFolder(slot);
    } else if (id >= kSlotClearFolder && id < kSlotClearFolder + kSlotCount) {
        SetDlgItemTextW(mainWindow, kSlotFolder + slot, kSameFolderAsInput);
    } else if (id == kFormatList && notification == CBN_SELCHANGE) {
        const LRESULT selection = SendDlgItemMessageW(mainWindow, kFormatList, CB_GETCURSEL, 0, 0);
        MainWindow::ApplyFormatEnabling(static_cast<int>(selection));
    } else if (id == kSizeLimit) {
        MainWindow::ApplyFormatEnabling(
            static_cast<int>(SendDlgItemMessageW(mainWindow, kFormatList, CB_GETCURSEL, 0, 0)));
    } else if (id == kShownGroupsList && notification == CBN_SELCHANGE) {
        const LRESULT selection = SendDlgItemMessageW(mainWindow, kShownGroupsList, CB_GETCURSEL, 0, 0);
        MainWindow::Relayout(static_cast<int>(selection));
    } else if (id == kOptionsButton) {
        ShowOptionsDialog(mainWindow);
    } else if (id == kCloseButton) {
        SendMessageW(mainWindow, WM_CLOSE, 0, 0);
    } else if (id == kHelpButton) {
        OpenHelp();
    } else if (id == kVersionButton) {
        OpenVersionWindow(mainWindow);
    } else if (id == kAlwaysOnTop) {
        ToggleAlwaysOnTop();
    }
}

void OnClose() {
    FreeFileList(dropList, dropCount);
    MainWindow::CollectSettings();
    SettingsStore::Save();
}

// Window width and height for index + 2 visible groups at dpi.
int WindowWidth(int dpi) { return 2 * Dpi::Metric(SM_CXDLGFRAME, dpi) + Dpi::Scale(515, dpi); }
int WindowHeight(int index, int dpi) {
    return Dpi::Scale(kGroupPitch * index + 230, dpi) + 2 * Dpi::Metric(SM_CYDLGFRAME, dpi) +
           Dpi::Metric(SM_CYCAPTION, dpi);
}

void ShowGroup(int slot, bool show) {
    for (const Control& control : kSlotControls) ShowWindow(Item(control.id + slot), show ? SW_SHOW : SW_HIDE);
}

// Puts a control where the layout has it, z-order kept. A spin control
// aligns itself anew to its buddy, the control before it, which has just
// been given its full width again.
void Place(const Control& control, int id, int yOffset) {
    HWND item = Item(id);
    if (control.kind == Kind::Spin) {
        SendMessageW(item, UDM_SETBUDDY, reinterpret_cast<WPARAM>(Item(id - 1)), 0);
        return;
    }
    const RECT place = PlaceOf(control, yOffset);
    SetWindowPos(item, nullptr, place.left, place.top, place.right - place.left, place.bottom - place.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// Every control at its place for index + 2 shown groups. Places are worked
// out whole rather than moved by steps, so no sequence of layouts can make
// the rounding of scaled steps add up.
void PlaceControls(int shownIndex) {
    for (int slot = 0; slot < kSlotCount; ++slot)
        for (const Control& control : kSlotControls) Place(control, control.id + slot, SlotTop(slot));
    for (const Control& control : kOptionControls) Place(control, control.id, OptionsShift(shownIndex));
}

// The window moved to a screen of another DPI: the system's rectangle for
// it, and every control and the font made again for the new DPI.
void OnDpiChanged(int dpi, LPARAM suggested) {
    windowDpi = dpi;
    UseUiFontFor(dpi);
    PlaceControls(appSettings.DispNUM);
    Dpi::TakeSuggestedRect(mainWindow, suggested);
}

// The window's side of a batch: its controls, its messages and its title.
BatchHost WindowHost() {
    BatchHost host;
    host.collectSettings = MainWindow::CollectSettings;
    host.showMessage = [](int code) { ShowError(mainWindow, code); };
    host.showBusy = [](bool busy) { SetWindowTextW(mainWindow, busy ? L"処理中..." : L"Framelet"); };
    host.jobs = 0;
    return host;
}

// A batch of the files the paths stand for, folders replaced by the files
// below them; nothing found is a batch that wrote nothing.
void RunOnFilesOf(int count, const WCHAR* const* paths) {
    const std::vector<ListedInput> listed = ListInputs(count, paths);
    std::vector<const WCHAR*> files;
    for (const ListedInput& input : listed) files.push_back(input.path.c_str());
    if (files.empty()) {
        ShowError(mainWindow, kMessageConversionFailed);
        return;
    }
    RunBatch(static_cast<int>(files.size()), files.data(), nullptr, WindowHost());
}

}  // namespace

namespace MainWindow {

bool Create(HINSTANCE instance) {
    SettingsStore::Load();
    // Out-of-range counts from the file show the nearest possible number of groups.
    if (appSettings.DispNUM < 0) appSettings.DispNUM = 0;
    if (appSettings.DispNUM > kAllGroupsShown) appSettings.DispNUM = kAllGroupsShown;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(kProgramIcon), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kMainWindowClass;
    RegisterClassExW(&windowClass);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);

    // The window's own DPI is known only once it exists; creation lays it
    // out again for that DPI.
    const int width = WindowWidth(Dpi::System());
    const int height = WindowHeight(kAllGroupsShown, Dpi::System());
    RECT workArea{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const int x = (workArea.right - workArea.left - width) / 2;
    const int y = (workArea.bottom - workArea.top - height) / 2;
    HWND window = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_ACCEPTFILES, kMainWindowClass, kTitle,
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, width, height,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return false;
    if (argCount < 2) {
        ShowWindow(window, SW_SHOW);
        return true;
    }
    if (OutputFormatFor(appSettings.DrctCvt) >= 0) {
        appSettings.outputFormat = OutputFormatFor(appSettings.DrctCvt);
        StartBatch();
    }
    SendMessageW(window, WM_CLOSE, 0, 0);
    return true;
}

void CollectSettings() {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        OutputSlot& s = appSettings.slots[slot];
        s.enabled = Ticked(kSlotEnabled + slot);
        s.width = static_cast<int32_t>(GetDlgItemInt(mainWindow, kSlotWidth + slot, nullptr, TRUE));
        s.height = static_cast<int32_t>(GetDlgItemInt(mainWindow, kSlotHeight + slot, nullptr, TRUE));
        GetDlgItemTextW(mainWindow, kSlotSuffix + slot, s.suffix, MAX_PATH);
        GetDlgItemTextW(mainWindow, kSlotFolder + slot, s.folder, MAX_PATH);
        if (!PathIsDirectoryW(s.folder)) s.folder[0] = 0;
        s.useSubfolder = Ticked(kSlotUseSubfolder + slot);
        GetDlgItemTextW(mainWindow, kSlotSubfolder + slot, s.subfolder, MAX_PATH);
    }
    // The spin's own position: a typed number outside the range leaves it unchanged.
    appSettings.Quality = LOWORD(SendDlgItemMessageW(mainWindow, kQualitySpin, UDM_GETPOS, 0, 0));
    appSettings.Sampling = Ticked(kSampling11) ? 2 : 0;
    appSettings.Limit = Ticked(kSizeLimit);
    appSettings.LmtVal = LOWORD(SendDlgItemMessageW(mainWindow, kSizeLimitSpin, UDM_GETPOS, 0, 0));
    if (!PathIsDirectoryW(appSettings.SpiPath)) {
        appSettings.SpiPath[0] = 0;
        appSettings.UseSpi = false;
    }
    appSettings.DrctCvt = static_cast<int32_t>(SendDlgItemMessageW(mainWindow, kFormatList, CB_GETCURSEL, 0, 0));
}

void StartBatch() {
    if (dropList != nullptr) {
        RunOnFilesOf(dropCount, dropList);
        FreeFileList(dropList, dropCount);
        return;
    }
    int count = argCount - 1;
    WCHAR** list = AllocateFileList(count);
    if (list == nullptr) {
        ShowError(mainWindow, kMessageNoMemory);
        return;
    }
    for (int i = 0; i < count; ++i) {
        // A relative name (typed in a console) is made absolute first: the
        // batch takes the output folder from the first file's folder.
        WCHAR full[MAX_PATH];
        const DWORD length = GetFullPathNameW(argList[i + 1], MAX_PATH, full, nullptr);
        const WCHAR* name = length > 0 && length < MAX_PATH ? full : argList[i + 1];
        // A name whose long form cannot be had (a missing file) is kept as it is.
        if (GetLongPathNameW(name, list[i], MAX_PATH) == 0 || list[i][MAX_PATH - 1] != 0)
            lstrcpynW(list[i], name, MAX_PATH);
    }
    RunOnFilesOf(count, list);
    FreeFileList(list, count);
}

void ApplySlotEnabling(int slot) {
    const bool on = appSettings.slots[slot].enabled;
    for (const Control& control : kSlotControls) {
        if (control.follows == Follows::Slot) Enable(control.id + slot, on);
        if (control.follows == Follows::SubfolderBox)
            Enable(control.id + slot, on && Ticked(kSlotUseSubfolder + slot));
    }
}

void ApplyFormatEnabling(int listIndex) {
    const bool jpeg = listIndex == kJpegFormatIndex;
    if (!jpeg && listIndex != kWebpFormatIndex) {
        for (int id = kFirstJpegControl; id <= kLastJpegControl; ++id) Enable(id, false);
        return;
    }
    // WebP takes the quality and the size limit too; the sampling is JPEG's alone.
    EnableLimitTrios(Ticked(kSizeLimit));
    Enable(kSizeLimit, true);
    for (int id : {kSamplingLabel, kSampling41, kSampling11}) Enable(id, jpeg);
}

void Relayout(int shownIndex) {
    appSettings.DispNUM = shownIndex;
    SetWindowPos(mainWindow, nullptr, 0, 0, WindowWidth(windowDpi), WindowHeight(shownIndex, windowDpi),
                 SWP_NOMOVE | SWP_NOZORDER);
    for (int slot = kSlotCount - 1; slot >= shownIndex + 2; --slot) ShowGroup(slot, false);
    for (int slot = shownIndex + 1; slot >= 2; --slot) ShowGroup(slot, true);
    // Everything below the groups moves with them.
    PlaceControls(shownIndex);
}

void Route(MSG& message) {
    if (mainWindow != nullptr && IsDialogMessageW(mainWindow, &message)) return;
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: OnCreate(window); return 0;
        case WM_CLOSE: OnClose(); break;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_NCDESTROY:
            mainWindow = nullptr;
            break;
        case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return 0;
        case WM_SYSCOMMAND:
            if (wParam != kAlwaysOnTop) break;
            ToggleAlwaysOnTop();
            return 0;
        case WM_NCLBUTTONDBLCLK: ToggleAlwaysOnTop(); return 0;
        case WM_INITMENUPOPUP:
            CheckMenuItem(reinterpret_cast<HMENU>(wParam), kAlwaysOnTop,
                          MF_BYCOMMAND | (alwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
            return 0;
        case WM_DROPFILES: OnDropFiles(reinterpret_cast<HDROP>(wParam)); return 0;
        case WM_DPICHANGED: OnDpiChanged(Dpi::OfMessage(wParam), lParam); return 0;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
        case WM_NCLBUTTONDOWN:
        case WM_NCRBUTTONDOWN:
        case WM_NCMBUTTONDOWN: SetFocus(window); break;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace MainWindow
