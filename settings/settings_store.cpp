#include "settings/settings_store.h"

#include <cstddef>
#include <cwchar>
#include <string>

AppSettings appSettings{};
WCHAR settingsPath[MAX_PATH] = {};

namespace {

constexpr const WCHAR* kSection = L"VEzu";
constexpr const WCHAR* kIniName = L"Framelet.ini";
constexpr const WCHAR* kFolderName = L"Framelet";
#ifdef _WIN32
constexpr const WCHAR* kProgramName = L"Framelet.exe";
#else
constexpr const WCHAR* kProgramName = L"Framelet";
#endif

// How a key is read: flags keep the lowest bit, numbers are taken as they
// are, sizes are parsed from text, texts are stored as read.
enum class Kind { Flag, Number, Size, Text };

// One key family: a slot key (named with its slot number) or a single key;
// the field is at offset in OutputSlot or AppSettings, and the defaults are
// texts per slot (single keys use the first).
struct Key {
    const WCHAR* name;
    Kind kind;
    size_t offset;
    const WCHAR* defaults[kSlotCount];
};

#define SLOT_FIELD(field) offsetof(OutputSlot, field)
#define APP_FIELD(field) offsetof(AppSettings, field)

const Key kEnabled{L"OSize", Kind::Flag, SLOT_FIELD(enabled), {L"1", L"1", L"1", L"0", L"0", L"0"}};
const Key kWidth{L"OutW", Kind::Size, SLOT_FIELD(width), {L"1024", L"800", L"160", L"", L"", L""}};
const Key kHeight{L"OutH", Kind::Size, SLOT_FIELD(height), {L"768", L"600", L"120", L"", L"", L""}};
const Key kSuffix{L"AddName", Kind::Text, SLOT_FIELD(suffix), {L"1024x768", L"", L"", L"", L"", L""}};
const Key kUseSubfolder{L"MkDirAdd", Kind::Flag, SLOT_FIELD(useSubfolder), {L"1", L"1", L"0", L"0", L"0", L"0"}};
const Key kSubfolder{L"MkDirStr", Kind::Text, SLOT_FIELD(subfolder), {L"Output", L"800x600", L"", L"", L"", L""}};
const Key kFolder{L"OutDir", Kind::Text, SLOT_FIELD(folder), {L"", L"", L"", L"", L"", L""}};

// Slot keys are read family by family and written slot by slot, each in its
// own order.
const Key* const kSlotLoadOrder[] = {&kEnabled, &kWidth, &kHeight, &kSuffix, &kUseSubfolder, &kSubfolder, &kFolder};
const Key* const kSlotSaveOrder[] = {&kEnabled, &kWidth, &kHeight, &kSuffix, &kFolder, &kUseSubfolder, &kSubfolder};

// The save options, in the one order both directions use.
const Key kOptions[] = {
    {L"Quality", Kind::Number, APP_FIELD(Quality), {L"75"}},
    {L"Sampling", Kind::Number, APP_FIELD(Sampling), {L"0"}},
    {L"Limit", Kind::Flag, APP_FIELD(Limit), {L"0"}},
    {L"LmtVal", Kind::Number, APP_FIELD(LmtVal), {L"100"}},
    {L"UseSpi", Kind::Flag, APP_FIELD(UseSpi), {L"0"}},
    {L"SpiPath", Kind::Text, APP_FIELD(SpiPath), {L""}},
    {L"DrctCvt", Kind::Number, APP_FIELD(DrctCvt), {L"2"}},
    {L"DispNUM", Kind::Number, APP_FIELD(DispNUM), {L"2"}},
    {L"AutoRot", Kind::Flag, APP_FIELD(AutoRot), {L"1"}},
    {L"ToSRGB", Kind::Flag, APP_FIELD(ToSRGB), {L"1"}},
};

#undef SLOT_FIELD
#undef APP_FIELD

// Parsed as wcstol does, held to 32 bits as on Windows (where long is 32 bits).
int32_t ParseSize(const WCHAR* text) {
    const long value = wcstol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

void ReadKey(const Key& key, const WCHAR* name, const WCHAR* defaultText, void* record) {
    void* field = static_cast<char*>(record) + key.offset;
    WCHAR text[MAX_PATH];
    switch (key.kind) {
        case Kind::Flag:
            *static_cast<bool*>(field) =
                (GetPrivateProfileIntW(kSection, name, ParseSize(defaultText), settingsPath) & 1) != 0;
            break;
        case Kind::Number:
            *static_cast<int32_t*>(field) =
                static_cast<int32_t>(GetPrivateProfileIntW(kSection, name, ParseSize(defaultText), settingsPath));
            break;
        case Kind::Size:
            GetPrivateProfileStringW(kSection, name, defaultText, text, MAX_PATH, settingsPath);
            *static_cast<int32_t*>(field) = ParseSize(text);
            break;
        case Kind::Text:
            GetPrivateProfileStringW(kSection, name, defaultText, static_cast<WCHAR*>(field), MAX_PATH,
                                     settingsPath);
            break;
    }
}

// A key's value as it is written: numbers and flags in decimal, texts as they are.
const WCHAR* ValueText(const Key& key, const void* record, WCHAR (&text)[MAX_PATH]) {
    const void* field = static_cast<const char*>(record) + key.offset;
    switch (key.kind) {
        case Kind::Flag: swprintf(text, MAX_PATH, L"%d", *static_cast<const bool*>(field) ? 1 : 0); break;
        case Kind::Number:
        case Kind::Size: swprintf(text, MAX_PATH, L"%d", *static_cast<const int32_t*>(field)); break;
        case Kind::Text: return static_cast<const WCHAR*>(field);
    }
    return text;
}

#ifdef _WIN32
// Windows keeps its own profile calls: the section deleted, then each key.
class SectionWriter {
public:
    SectionWriter() { WritePrivateProfileStringW(kSection, nullptr, nullptr, settingsPath); }
    void Add(const WCHAR* name, const WCHAR* value) { WritePrivateProfileStringW(kSection, name, value, settingsPath); }
    void Finish() {}
};
#else
// Elsewhere the whole section is written in one replacement of the file, so
// that another run reading it meanwhile sees every key or the old file.
class SectionWriter {
public:
    void Add(const WCHAR* name, const WCHAR* value) {
        entries_ += name;
        entries_ += L'=';
        entries_ += value;
        entries_ += L'\0';
    }
    void Finish() { WritePrivateProfileSectionW(kSection, entries_.c_str(), settingsPath); }

private:
    std::wstring entries_;
};
#endif

void WriteKey(SectionWriter& section, const Key& key, const WCHAR* name, const void* record) {
    WCHAR text[MAX_PATH];
    section.Add(name, ValueText(key, record, text));
}

// "OutW" and slot index 0 give "OutW1".
void SlotKeyName(const Key& key, int slot, WCHAR (&name)[32]) { swprintf(name, 32, L"%ls%d", key.name, slot + 1); }

}  // namespace

namespace SettingsStore {

bool ResolvePath() {
    WCHAR program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    return ResolvePathFor(program);
}

bool ResolvePathFor(LPCWSTR programPath) {
    WCHAR candidate[MAX_PATH];
    wcsncpy(candidate, programPath, MAX_PATH - 1);
    candidate[MAX_PATH - 1] = 0;
    if (lstrcmpiW(PathFindFileNameW(candidate), kProgramName) != 0) return false;
    PathRemoveFileSpecW(candidate);
    PathAppendW(candidate, kIniName);
    // A settings file beside the program always wins.
    if (PathFileExistsW(candidate) ||
        SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, settingsPath) != S_OK) {
        wcscpy(settingsPath, candidate);
        return true;
    }
    PathAppendW(settingsPath, kFolderName);
    if (!PathIsDirectoryW(settingsPath)) CreateDirectoryW(settingsPath, nullptr);
    PathAppendW(settingsPath, kIniName);
    return true;
}

void Load() {
    WCHAR name[32];
    for (const Key* key : kSlotLoadOrder) {
        for (int slot = 0; slot < kSlotCount; ++slot) {
            SlotKeyName(*key, slot, name);
            ReadKey(*key, name, key->defaults[slot], &appSettings.slots[slot]);
        }
    }
    for (const Key& key : kOptions) ReadKey(key, key.name, key.defaults[0], &appSettings);
    if (!PathIsDirectoryW(appSettings.SpiPath)) {
        appSettings.SpiPath[0] = 0;
        appSettings.UseSpi = false;
    }
}

void Save() {
    SectionWriter section;
    WCHAR name[32];
    for (int slot = 0; slot < kSlotCount; ++slot) {
        for (const Key* key : kSlotSaveOrder) {
            SlotKeyName(*key, slot, name);
            WriteKey(section, *key, name, &appSettings.slots[slot]);
        }
    }
    for (const Key& key : kOptions) WriteKey(section, key, key.name, &appSettings);
    section.Finish();
}

}  // namespace SettingsStore
