// The settings store: where the INI file is found, how each kind of key is
// read, and that a save rebuilds the section with every key in order.
#include "settings/settings_store.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

#ifdef _WIN32
const wchar_t* const kProgramFile = L"Framelet.exe";
const bool kWritesCrLf = true;  // the system's profile functions
#else
const wchar_t* const kProgramFile = L"framelet";
const bool kWritesCrLf = false;  // a Linux text file
#endif

const std::vector<std::wstring> kSavedKeyOrder = [] {
    std::vector<std::wstring> keys;
    for (int n = 1; n <= 6; ++n)
        for (const wchar_t* family : {L"OSize", L"OutW", L"OutH", L"AddName", L"OutDir", L"MkDirAdd", L"MkDirStr"})
            keys.push_back(family + std::to_wstring(n));
    for (const wchar_t* key : {L"Quality", L"Sampling", L"Limit", L"LmtVal", L"UseSpi", L"SpiPath", L"DrctCvt",
                               L"DispNUM", L"AutoRot", L"ToSRGB"})
        keys.push_back(key);
    return keys;
}();

class Settings : public testing::Test {
protected:
    TempFolder folder;

    void SetUp() override {
        wcscpy(settingsPath, folder.Join(L"Framelet.ini").c_str());
        appSettings = AppSettings{};
    }
    void WriteIni(const std::string& body) { folder.Write(L"Framelet.ini", "[VEzu]\r\n" + body); }
    std::wstring Value(const wchar_t* key) {
        WCHAR buffer[MAX_PATH];
        GetPrivateProfileStringW(L"VEzu", key, L"<missing>", buffer, MAX_PATH, settingsPath);
        return buffer;
    }
    std::vector<std::wstring> Keys() {
        std::vector<WCHAR> buffer(8192);
        GetPrivateProfileStringW(L"VEzu", nullptr, L"", buffer.data(), 8192, settingsPath);
        std::vector<std::wstring> keys;
        for (const WCHAR* p = buffer.data(); *p; p += wcslen(p) + 1) keys.emplace_back(p);
        return keys;
    }
};

}  // namespace

TEST_F(Settings, DefaultsWithoutAFile) {
    SettingsStore::Load();
    const OutputSlot* s = appSettings.slots;
    EXPECT_TRUE(s[0].enabled);
    EXPECT_EQ(s[0].width, 1024);
    EXPECT_EQ(s[0].height, 768);
    EXPECT_EQ(std::wstring(s[0].suffix), L"1024x768");
    EXPECT_TRUE(s[0].useSubfolder);
    EXPECT_EQ(std::wstring(s[0].subfolder), L"Output");
    EXPECT_TRUE(s[1].enabled);
    EXPECT_EQ(s[1].width, 800);
    EXPECT_EQ(s[1].height, 600);
    EXPECT_EQ(std::wstring(s[1].suffix), L"");
    EXPECT_EQ(std::wstring(s[1].subfolder), L"800x600");
    EXPECT_TRUE(s[2].enabled);
    EXPECT_EQ(s[2].width, 160);
    EXPECT_EQ(s[2].height, 120);
    EXPECT_FALSE(s[2].useSubfolder);
    for (int i = 3; i < 6; ++i) {
        EXPECT_FALSE(s[i].enabled);
        EXPECT_EQ(s[i].width, 0);
        EXPECT_EQ(s[i].height, 0);
    }
    for (const OutputSlot& slot : appSettings.slots) EXPECT_EQ(slot.folder[0], 0);
    EXPECT_EQ(appSettings.Quality, 75);
    EXPECT_EQ(appSettings.Sampling, 0);
    EXPECT_FALSE(appSettings.Limit);
    EXPECT_EQ(appSettings.LmtVal, 100);
    EXPECT_FALSE(appSettings.UseSpi);
    EXPECT_EQ(appSettings.SpiPath[0], 0);
    EXPECT_EQ(appSettings.DrctCvt, 2);
    EXPECT_EQ(appSettings.DispNUM, 2);
    EXPECT_TRUE(appSettings.AutoRot);
    EXPECT_TRUE(appSettings.ToSRGB);
}

TEST_F(Settings, SaveWritesExactlyTheFiftyTwoKeysInOrderAndDropsUnknownOnes) {
    WriteIni("Added=by hand\r\nOutW1=640\r\n");
    SettingsStore::Load();
    SettingsStore::Save();
    EXPECT_EQ(Keys(), kSavedKeyOrder);
    EXPECT_EQ(Value(L"Added"), L"<missing>");
    EXPECT_EQ(Value(L"OutW1"), L"640");
    EXPECT_EQ(Value(L"OSize4"), L"0");
    EXPECT_EQ(Value(L"OutW4"), L"0");
    EXPECT_EQ(Value(L"AddName1"), L"1024x768");
    EXPECT_EQ(Value(L"OutDir1"), L"");
    EXPECT_EQ(Value(L"MkDirStr2"), L"800x600");
    EXPECT_EQ(Value(L"Quality"), L"75");
    EXPECT_EQ(Value(L"DrctCvt"), L"2");
    EXPECT_EQ(Value(L"AutoRot"), L"1");
    EXPECT_EQ(Value(L"ToSRGB"), L"1");
}

TEST_F(Settings, RoundTripKeepsEveryValue) {
    SettingsStore::Load();
    OutputSlot& slot = appSettings.slots[4];
    slot.enabled = true;
    slot.width = -5;
    slot.height = 1080;
    wcscpy(slot.folder, folder.path().c_str());
    wcscpy(slot.suffix, L"_wide");
    slot.useSubfolder = true;
    wcscpy(slot.subfolder, L"wall");
    appSettings.Quality = 90;
    appSettings.Sampling = 2;
    appSettings.Limit = true;
    appSettings.LmtVal = 32767;
    appSettings.UseSpi = true;
    wcscpy(appSettings.SpiPath, folder.path().c_str());
    appSettings.DrctCvt = 7;  // out of range: stored as it is
    appSettings.DispNUM = 4;
    appSettings.AutoRot = false;
    appSettings.ToSRGB = false;
    const AppSettings saved = appSettings;
    SettingsStore::Save();
    appSettings = AppSettings{};
    SettingsStore::Load();
    const OutputSlot& back = appSettings.slots[4];
    EXPECT_TRUE(back.enabled);
    EXPECT_EQ(back.width, -5);
    EXPECT_EQ(back.height, 1080);
    EXPECT_EQ(std::wstring(back.folder), std::wstring(saved.slots[4].folder));
    EXPECT_EQ(std::wstring(back.suffix), L"_wide");
    EXPECT_TRUE(back.useSubfolder);
    EXPECT_EQ(std::wstring(back.subfolder), L"wall");
    EXPECT_EQ(appSettings.Quality, 90);
    EXPECT_EQ(appSettings.Sampling, 2);
    EXPECT_TRUE(appSettings.Limit);
    EXPECT_EQ(appSettings.LmtVal, 32767);
    EXPECT_TRUE(appSettings.UseSpi);
    EXPECT_EQ(std::wstring(appSettings.SpiPath), folder.path());
    EXPECT_EQ(appSettings.DrctCvt, 7);
    EXPECT_EQ(appSettings.DispNUM, 4);
    EXPECT_FALSE(appSettings.AutoRot);
    EXPECT_FALSE(appSettings.ToSRGB);
}

TEST_F(Settings, EitherLineEndIsReadAndSavingWritesThePlatformsOwn) {
    for (const std::string end : {"\r\n", "\n"}) {
        folder.Write(L"Framelet.ini", "[VEzu]" + end + "OutW1=640" + end + "Quality=90" + end);
        SettingsStore::Load();
        EXPECT_EQ(appSettings.slots[0].width, 640);
        EXPECT_EQ(appSettings.Quality, 90);
        SettingsStore::Save();
        const std::vector<uint8_t> bytes = ReadWholeFile(settingsPath);
        const auto lines = std::count(bytes.begin(), bytes.end(), '\n');
        EXPECT_GE(lines, 51) << "the section and its fifty keys";
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\r'), kWritesCrLf ? lines : 0);
        const std::string text(bytes.begin(), bytes.end());
        EXPECT_NE(text.find(kWritesCrLf ? "\r\nOutW1=640\r\n" : "\nOutW1=640\n"), std::string::npos);
    }
}

TEST_F(Settings, FlagsKeepTheLowestBitAndSizesParseLikeWcstol) {
    WriteIni("OSize1=2\r\nOSize4=3\r\nLimit=5\r\nOutW1=abc\r\nOutW2= 640px\r\nOutW3=-5\r\nOutH1=+12\r\n"
             "OutH2=99999999999\r\nQuality=-3\r\n");
    SettingsStore::Load();
    EXPECT_FALSE(appSettings.slots[0].enabled);
    EXPECT_TRUE(appSettings.slots[3].enabled);
    EXPECT_TRUE(appSettings.Limit);
    EXPECT_EQ(appSettings.slots[0].width, 0);
    EXPECT_EQ(appSettings.slots[1].width, 640);
    EXPECT_EQ(appSettings.slots[2].width, -5);
    EXPECT_EQ(appSettings.slots[0].height, 12);
    EXPECT_EQ(appSettings.slots[1].height, INT32_MAX);  // held to 32 bits on every build
    EXPECT_EQ(appSettings.Quality, -3);
}

TEST_F(Settings, LongTextsAreCutTo259Characters) {
    WriteIni("AddName1=" + std::string(300, 'a') + "\r\n");
    SettingsStore::Load();
    EXPECT_EQ(wcslen(appSettings.slots[0].suffix), 259u);
}

TEST_F(Settings, PluginFolderMustExist) {
    const std::wstring gone = folder.Join(L"plugins");
    std::string narrow(gone.begin(), gone.end());
    WriteIni("UseSpi=1\r\nSpiPath=" + narrow + "\r\n");
    SettingsStore::Load();
    EXPECT_FALSE(appSettings.UseSpi);
    EXPECT_EQ(appSettings.SpiPath[0], 0);
    SettingsStore::Save();
    EXPECT_EQ(Value(L"UseSpi"), L"0");
    EXPECT_EQ(Value(L"SpiPath"), L"");

    ASSERT_TRUE(CreateDirectoryW(gone.c_str(), nullptr));
    WriteIni("UseSpi=1\r\nSpiPath=" + narrow + "\r\n");
    SettingsStore::Load();
    EXPECT_TRUE(appSettings.UseSpi);
    EXPECT_EQ(std::wstring(appSettings.SpiPath), gone);
}

TEST_F(Settings, TheFileBesideTheProgramWins) {
    const std::wstring program = folder.Join(kProgramFile);
    const std::wstring beside = folder.Write(L"Framelet.ini", std::string());
    settingsPath[0] = 0;
    ASSERT_TRUE(SettingsStore::ResolvePathFor(program.c_str()));
    EXPECT_EQ(std::wstring(settingsPath), beside);
}

TEST_F(Settings, WithoutAFileBesideTheProgramTheUserFolderIsUsedAndCreated) {
    TempFolder elsewhere;
    const std::wstring program = elsewhere.Join(kProgramFile);
    ASSERT_TRUE(SettingsStore::ResolvePathFor(program.c_str()));
    const std::wstring path = settingsPath;
    WCHAR appData[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    EXPECT_EQ(path.rfind(appData, 0), 0u);
    EXPECT_EQ(std::wstring(PathFindFileNameW(path.c_str())), L"Framelet.ini");
    WCHAR userFolder[MAX_PATH];
    wcscpy(userFolder, path.c_str());
    PathRemoveFileSpecW(userFolder);
    EXPECT_EQ(std::wstring(PathFindFileNameW(userFolder)), L"Framelet");
    EXPECT_NE(PathIsDirectoryW(userFolder), FALSE);
}

TEST_F(Settings, AnyOtherProgramNameRefuses) {
    const std::wstring upper = folder.Join(L"FRAMELET" + std::wstring(kProgramFile).substr(8));
    EXPECT_TRUE(SettingsStore::ResolvePathFor(upper.c_str()));
    for (const wchar_t* name : {L"Framelet2.exe", L"Frame.exe", L"framelet.ini", L"other"}) {
        const std::wstring program = folder.Join(name);
        EXPECT_FALSE(SettingsStore::ResolvePathFor(program.c_str())) << std::string(program.begin(), program.end());
    }
    // The test program itself carries another name.
    EXPECT_FALSE(SettingsStore::ResolvePath());
}
