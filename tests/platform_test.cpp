// The platform layer: these expectations run natively against our stand-in
// and under Wine against the real API, so both must agree.
#include "platform/win32.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring Combine(const wchar_t* dir, const wchar_t* file) {
    WCHAR out[MAX_PATH] = L"unchanged";
    return PathCombineW(out, dir, file) != nullptr ? std::wstring(out) : L"<null:" + std::wstring(out) + L">";
}

std::wstring Append(const wchar_t* path, const wchar_t* more) {
    WCHAR buffer[MAX_PATH];
    wcscpy(buffer, path);
    return PathAppendW(buffer, more) ? std::wstring(buffer) : L"<false>";
}

std::wstring WithoutExtension(const wchar_t* path) {
    WCHAR buffer[MAX_PATH];
    wcscpy(buffer, path);
    PathRemoveExtensionW(buffer);
    return buffer;
}

std::wstring WithoutFileSpec(const wchar_t* path, BOOL* changed = nullptr) {
    WCHAR buffer[MAX_PATH];
    wcscpy(buffer, path);
    const BOOL result = PathRemoveFileSpecW(buffer);
    if (changed != nullptr) *changed = result;
    return buffer;
}

HANDLE OpenForReading(const std::wstring& path, DWORD share = FILE_SHARE_READ) {
    return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TEST(PlatformPaths, RemoveExtensionTakesOnlyTheLastAndStopsAtSpacesAndSeparators) {
    EXPECT_EQ(WithoutExtension(L"C:\\pics\\photo.tar.gz"), L"C:\\pics\\photo.tar");
    EXPECT_EQ(WithoutExtension(L"C:\\pics\\photo.jpg"), L"C:\\pics\\photo");
    EXPECT_EQ(WithoutExtension(L"my.holiday pic"), L"my.holiday pic");
    EXPECT_EQ(WithoutExtension(L"C:\\my.dir\\photo"), L"C:\\my.dir\\photo");
    EXPECT_EQ(WithoutExtension(L"photo."), L"photo");
    EXPECT_EQ(WithoutExtension(L".hidden"), L"");
    EXPECT_EQ(std::wstring(PathFindExtensionW(L"a.b c.d")), L".d");
}

TEST(PlatformPaths, CombineJoinsWithExactlyOneSeparator) {
    EXPECT_EQ(Combine(L"C:\\dir", L"file.bmp"), L"C:\\dir\\file.bmp");
    EXPECT_EQ(Combine(L"C:\\dir\\", L"file.bmp"), L"C:\\dir\\file.bmp");
    EXPECT_EQ(Combine(L"C:\\dir", L""), L"C:\\dir");
    EXPECT_EQ(Combine(L"C:\\dir", L"D:\\other\\x"), L"D:\\other\\x");
    EXPECT_EQ(Combine(L"C:\\dir\\sub", L"\\rooted"), L"C:\\rooted");
    EXPECT_EQ(Combine(L"C:\\dir\\sub", L"..\\up"), L"C:\\dir\\up");
    EXPECT_EQ(Combine(L"C:\\dir", L".\\here"), L"C:\\dir\\here");
    EXPECT_EQ(Combine(L"", L"file"), L"file");
}

TEST(PlatformPaths, CombineRefusesResultsLongerThanTheBuffer) {
    const std::wstring longName(MAX_PATH - 5, L'x');
    EXPECT_EQ(Combine(L"C:\\dir", longName.c_str()), L"<null:>");
}

TEST(PlatformPaths, AppendDropsLeadingSeparatorsOfTheAddedPart) {
    EXPECT_EQ(Append(L"C:\\dir", L"sub"), L"C:\\dir\\sub");
    EXPECT_EQ(Append(L"C:\\dir\\", L"sub"), L"C:\\dir\\sub");
    EXPECT_EQ(Append(L"C:\\dir", L"\\sub"), L"C:\\dir\\sub");
    EXPECT_EQ(Append(L"C:\\dir", L"a\\b.ini"), L"C:\\dir\\a\\b.ini");
    EXPECT_EQ(Append(L"C:\\", L"x"), L"C:\\x");
}

TEST(PlatformPaths, FileNameAndFileSpec) {
    EXPECT_EQ(std::wstring(PathFindFileNameW(L"C:\\dir\\name.ext")), L"name.ext");
    EXPECT_EQ(std::wstring(PathFindFileNameW(L"name.ext")), L"name.ext");
    EXPECT_EQ(std::wstring(PathFindFileNameW(L"C:\\dir\\")), L"dir\\");
    BOOL changed = FALSE;
    EXPECT_EQ(WithoutFileSpec(L"C:\\dir\\name.ext", &changed), L"C:\\dir");
    EXPECT_TRUE(changed);
    EXPECT_EQ(WithoutFileSpec(L"C:\\name.ext"), L"C:\\");
    EXPECT_EQ(WithoutFileSpec(L"name.ext"), L"");
    EXPECT_EQ(WithoutFileSpec(L"C:\\", &changed), L"C:\\");
    EXPECT_FALSE(changed);
}

TEST(PlatformPaths, ExistenceAndFolders) {
    TempFolder folder;
    const std::wstring file = folder.Write(L"a.txt", std::string("x"));
    EXPECT_TRUE(PathFileExistsW(file.c_str()));
    EXPECT_TRUE(PathFileExistsW(folder.path().c_str()));
    EXPECT_FALSE(PathFileExistsW(folder.Join(L"missing").c_str()));
    EXPECT_FALSE(PathIsDirectoryW(file.c_str()));
    EXPECT_NE(PathIsDirectoryW(folder.path().c_str()), FALSE);
    EXPECT_FALSE(PathIsDirectoryW(L""));

    const std::wstring sub = folder.Join(L"sub");
    EXPECT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(folder.Join(L"no\\such").c_str(), nullptr));
}

TEST(PlatformFiles, ReadWriteSeekAndSize) {
    TempFolder folder;
    const std::wstring name = folder.Join(L"data.bin");
    HANDLE out = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(out, "0123456789", 10, &count, nullptr));
    EXPECT_EQ(count, 10u);
    CloseHandle(out);
    EXPECT_EQ(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    HANDLE in = OpenForReading(name);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(in, nullptr), 10u);
    EXPECT_EQ(SetFilePointer(in, 6, nullptr, FILE_BEGIN), 6u);
    char buffer[8] = {};
    EXPECT_TRUE(ReadFile(in, buffer, 8, &count, nullptr));
    EXPECT_EQ(count, 4u);  // a read past the end succeeds with what there was
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_TRUE(ReadFile(in, buffer, 8, &count, nullptr));
    EXPECT_EQ(count, 0u);
    FILETIME written{};
    EXPECT_TRUE(GetFileTime(in, nullptr, nullptr, &written));
    EXPECT_NE(written.dwHighDateTime, 0u);
    CloseHandle(in);

    // Opening over a file that holds data empties it, whichever way it is asked.
    for (const DWORD disposition : {DWORD{CREATE_ALWAYS}, DWORD{TRUNCATE_EXISTING}}) {
        HANDLE again =
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(again, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetFileSize(again, nullptr), 0u);
        EXPECT_TRUE(WriteFile(again, "ab", 2, &count, nullptr));
        CloseHandle(again);
        in = OpenForReading(name);
        EXPECT_EQ(GetFileSize(in, nullptr), 2u);
        CloseHandle(in);
    }
}

TEST(PlatformFiles, FoldersAndMissingFilesDoNotOpen) {
    TempFolder folder;
    EXPECT_EQ(OpenForReading(folder.path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenForReading(folder.Join(L"missing.bmp")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(PlatformFiles, ShareModesDecideWhetherASecondOpenSucceeds) {
    TempFolder folder;
    const std::wstring name = folder.Write(L"locked.bin", std::string("abc"));
    HANDLE writer = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenForReading(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(writer);

    HANDLE reader = OpenForReading(name);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    HANDLE second = OpenForReading(name);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    CloseHandle(reader);
}

TEST(PlatformFiles, CopyHonoursFailIfExists) {
    TempFolder folder;
    const std::wstring source = folder.Write(L"source.bin", std::string("new content"));
    const std::wstring target = folder.Write(L"target.bin", std::string("old"));
    EXPECT_FALSE(CopyFileW(source.c_str(), target.c_str(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadWholeFile(target), std::vector<uint8_t>({'o', 'l', 'd'}));
    EXPECT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE));
    EXPECT_EQ(ReadWholeFile(target), ReadWholeFile(source));
    const std::wstring fresh = folder.Join(L"fresh.bin");
    EXPECT_TRUE(CopyFileW(source.c_str(), fresh.c_str(), TRUE));
    EXPECT_EQ(ReadWholeFile(fresh), ReadWholeFile(source));
    EXPECT_FALSE(CopyFileW(folder.Join(L"missing").c_str(), folder.Join(L"x").c_str(), FALSE));
    EXPECT_FALSE(FileExists(folder.Join(L"x")));

    EXPECT_TRUE(DeleteFileW(fresh.c_str()));
    EXPECT_FALSE(FileExists(fresh));
    EXPECT_FALSE(DeleteFileW(fresh.c_str()));
}

namespace {

// Wine copies without calling a progress routine or reading the cancel flag;
// Windows and the stand-in honour both.
bool CopyIgnoresProgress() {
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

DWORD CALLBACK CancelAfterFirstBlock(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD reason,
                                     HANDLE, HANDLE, LPVOID calls) {
    ++*static_cast<int*>(calls);
    return reason == CALLBACK_CHUNK_FINISHED ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

}  // namespace

// A cancelled or failed copy leaves no destination, not even an empty one,
// and a name that exists is never written over with fail-if-exists.
TEST(PlatformFiles, CancelledCopyLeavesNothingAndTakenNamesStayUntouched) {
    TempFolder folder;
    const std::wstring source = folder.Write(L"source.bin", std::vector<uint8_t>(300000, 0x5A));
    const std::wstring target = folder.Join(L"target.bin");
    if (!CopyIgnoresProgress()) {
        int calls = 0;
        EXPECT_FALSE(CopyFileExW(source.c_str(), target.c_str(), CancelAfterFirstBlock, &calls, nullptr,
                                 COPY_FILE_FAIL_IF_EXISTS));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
        EXPECT_GT(calls, 0);
        EXPECT_FALSE(FileExists(target));

        BOOL cancel = TRUE;
        EXPECT_FALSE(
            CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, &cancel, COPY_FILE_FAIL_IF_EXISTS));
        EXPECT_FALSE(FileExists(target));
    }

    EXPECT_TRUE(CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS));
    EXPECT_EQ(ReadWholeFile(target), ReadWholeFile(source));
    const std::wstring taken = folder.Write(L"taken.bin", std::string("mine"));
    EXPECT_FALSE(CopyFileExW(source.c_str(), taken.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadWholeFile(taken), std::vector<uint8_t>({'m', 'i', 'n', 'e'}));
    // Nothing but the three files: no trace of the cancelled copies.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder.path()))) {
        ++files;
        EXPECT_TRUE(entry.is_regular_file());
    }
    EXPECT_EQ(files, 3);
}

TEST(PlatformFiles, TempFileNamesAreNewEmptyFilesEachCall) {
    TempFolder folder;
    WCHAR first[MAX_PATH];
    WCHAR second[MAX_PATH];
    ASSERT_NE(GetTempFileNameW(folder.path().c_str(), L"fra", 0, first), 0u);
    ASSERT_NE(GetTempFileNameW(folder.path().c_str(), L"fra", 0, second), 0u);
    EXPECT_NE(std::wstring(first), std::wstring(second));
    for (const WCHAR* name : {first, second}) {
        EXPECT_TRUE(FileExists(name));
        EXPECT_TRUE(ReadWholeFile(name).empty());
        EXPECT_EQ(std::wstring(name).rfind(folder.path(), 0), 0u);
        const std::wstring file = PathFindFileNameW(name);
        EXPECT_EQ(file.substr(0, 3), L"fra");
        EXPECT_EQ(file.substr(file.size() - 4), L".tmp");
    }
    WCHAR inMissing[MAX_PATH];
    EXPECT_EQ(GetTempFileNameW(folder.Join(L"missing").c_str(), L"fra", 0, inMissing), 0u);

    WCHAR tempPath[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, tempPath);
    ASSERT_GT(length, 0u);
    EXPECT_TRUE(tempPath[length - 1] == L'\\' || tempPath[length - 1] == L'/');
}

TEST(PlatformFiles, EmptyFilesCannotBeMapped) {
    TempFolder folder;
    const std::wstring empty = folder.Write(L"empty.bin", std::string());
    HANDLE file = OpenForReading(empty);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
    CloseHandle(file);

    const std::wstring full = folder.Write(L"full.bin", std::string("mapped bytes"));
    file = OpenForReading(full);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(view), 12), "mapped bytes");
    EXPECT_TRUE(UnmapViewOfFile(view));
    CloseHandle(mapping);
    CloseHandle(file);
}

// A view is readable as far as its query says, and that covers the file.
TEST(PlatformFiles, MappedViewQueryCoversTheFile) {
    TempFolder folder;
    const std::wstring path = folder.Write(L"data.bin", std::vector<uint8_t>(5000, 7));
    HANDLE file = OpenForReading(path);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const auto* view = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(VirtualQuery(view + 10, &info, sizeof info), sizeof info);
    EXPECT_EQ(info.BaseAddress, view);
    EXPECT_GE(info.RegionSize, 5000u);
    EXPECT_LT(info.RegionSize, 5000u + 65536u);
    EXPECT_EQ(view[4999], 7);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(file);
}

TEST(PlatformMemory, PagesAreZeroAndSurviveDecommitThenRelease) {
    const SIZE_T size = 3 * 4096 + 17;
    auto* block = static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(block, nullptr);
    size_t nonZero = 0;
    for (SIZE_T i = 0; i < size; ++i) nonZero += block[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    block[0] = 1;
    block[size - 1] = 2;
    EXPECT_TRUE(VirtualFree(block, 0, MEM_DECOMMIT));
    EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(block, 0, MEM_RELEASE));
}

TEST(PlatformMemory, HeapZeroFill) {
    HANDLE heap = HeapCreate(0, 65536, 0);
    ASSERT_NE(heap, nullptr);
    auto* block = static_cast<uint8_t*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 100000));
    ASSERT_NE(block, nullptr);
    size_t nonZero = 0;
    for (int i = 0; i < 100000; ++i) nonZero += block[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_TRUE(HeapDestroy(heap));
}

class PlatformProfile : public testing::Test {
protected:
    TempFolder folder;
    std::wstring ini = folder.Join(L"test.ini");

    void WriteIni(const std::string& text) { folder.Write(L"test.ini", text); }
    std::wstring Read(const wchar_t* key, const wchar_t* fallback = L"dflt", DWORD size = MAX_PATH) {
        WCHAR buffer[MAX_PATH];
        const DWORD count = GetPrivateProfileStringW(L"VEzu", key, fallback, buffer, size, ini.c_str());
        EXPECT_EQ(count, wcslen(buffer));
        return buffer;
    }
    int ReadInt(const wchar_t* key, int fallback = -7) {
        return static_cast<int>(GetPrivateProfileIntW(L"VEzu", key, fallback, ini.c_str()));
    }
    std::vector<std::wstring> Keys() {
        WCHAR buffer[4096];
        GetPrivateProfileStringW(L"VEzu", nullptr, L"", buffer, 4096, ini.c_str());
        std::vector<std::wstring> keys;
        for (const WCHAR* p = buffer; *p; p += wcslen(p) + 1) keys.emplace_back(p);
        return keys;
    }
};

TEST_F(PlatformProfile, MissingFileAndMissingKeysGiveDefaults) {
    EXPECT_EQ(Read(L"OutW1"), L"dflt");
    EXPECT_EQ(ReadInt(L"OSize1", 3), 3);
    WriteIni("[Other]\r\nOutW1=5\r\n[VEzu]\r\nQuality=80\r\n");
    EXPECT_EQ(Read(L"OutW1"), L"dflt");
    EXPECT_EQ(Read(L"quality"), L"80");  // names match without regard to case
    EXPECT_EQ(Read(L"Missing", L"trail  "), L"trail");
}

TEST_F(PlatformProfile, ValuesAreTrimmedUnquotedAndCut) {
    WriteIni("[VEzu]\r\nA=  spaced value  \r\nB=\"quoted\"\r\nC=\r\nD=0123456789\r\n");
    EXPECT_EQ(Read(L"A"), L"spaced value");
    EXPECT_EQ(Read(L"B"), L"quoted");
    EXPECT_EQ(Read(L"C"), L"");
    EXPECT_EQ(Read(L"D", L"", 5), L"0123");
}

TEST_F(PlatformProfile, NumbersAcceptBlanksSignsAndTrailingLetters) {
    WriteIni("[VEzu]\r\nA=  42\r\nB=-5\r\nC=+7\r\nD=640px\r\nE=abc\r\nF=\r\nG=3\r\n");
    EXPECT_EQ(ReadInt(L"A"), 42);
    EXPECT_EQ(ReadInt(L"B"), -5);
    EXPECT_EQ(ReadInt(L"C"), 7);
    EXPECT_EQ(ReadInt(L"D"), 640);
    EXPECT_EQ(ReadInt(L"E"), 0);
    EXPECT_EQ(ReadInt(L"F"), -7);  // an empty value reads as missing
    EXPECT_EQ(ReadInt(L"G"), 3);
    EXPECT_EQ(ReadInt(L"Missing"), -7);
}

TEST_F(PlatformProfile, WritesReplaceAppendAndTheNullKeyDeletesTheSection) {
    EXPECT_TRUE(WritePrivateProfileStringW(L"VEzu", L"A", L"1", ini.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringW(L"VEzu", L"B", L"two", ini.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringW(L"VEzu", L"A", L"3", ini.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringW(L"VEzu", L"E", L"", ini.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringW(L"Keep", L"K", L"v", ini.c_str()));
    EXPECT_EQ(Read(L"A"), L"3");
    EXPECT_EQ(Read(L"B"), L"two");
    EXPECT_EQ(Read(L"E"), L"");
    EXPECT_EQ(Keys(), (std::vector<std::wstring>{L"A", L"B", L"E"}));

    EXPECT_TRUE(WritePrivateProfileStringW(L"VEzu", nullptr, nullptr, ini.c_str()));
    EXPECT_TRUE(Keys().empty());
    EXPECT_EQ(Read(L"A"), L"dflt");
    WCHAR kept[16];
    GetPrivateProfileStringW(L"Keep", L"K", L"", kept, 16, ini.c_str());
    EXPECT_EQ(std::wstring(kept), L"v");
}

TEST(PlatformStrings, CaseInsensitiveCompareAndConversion) {
    EXPECT_EQ(lstrcmpiW(L"Framelet.EXE", L"framelet.exe"), 0);
    EXPECT_NE(lstrcmpiW(L"Framelet2.exe", L"framelet.exe"), 0);
    char narrow[16];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, narrow, 16, nullptr, nullptr), 4);
    EXPECT_STREQ(narrow, "abc");
    WCHAR wide[16];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "xyz", -1, wide, 16), 4);
    EXPECT_EQ(std::wstring(wide), L"xyz");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "xyz", -1, nullptr, 0), 4);
}

TEST(PlatformModule, ModuleFileNameIsTheRunningProgram) {
    WCHAR name[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_TRUE(PathFileExistsW(name));
    EXPECT_NE(std::wstring(PathFindFileNameW(name)).find(L"framelet_tests"), std::wstring::npos);
    WCHAR tiny[4];
    EXPECT_EQ(GetModuleFileNameW(nullptr, tiny, 4), 4u);  // cut to the buffer, which is reported full
}

TEST_F(PlatformProfile, WholeSectionReplacesItsKeysAndKeepsOtherSections) {
    WriteIni("[VEzu]\r\nOld=1\r\nA=0\r\n[Keep]\r\nK=v\r\n");
    EXPECT_TRUE(WritePrivateProfileSectionW(L"VEzu", L"A=1\0B=\0C=three\0", ini.c_str()));
    EXPECT_EQ(Keys(), (std::vector<std::wstring>{L"A", L"B", L"C"}));
    EXPECT_EQ(Read(L"A"), L"1");
    EXPECT_EQ(Read(L"B"), L"");
    EXPECT_EQ(Read(L"C"), L"three");
    WCHAR kept[16];
    GetPrivateProfileStringW(L"Keep", L"K", L"", kept, 16, ini.c_str());
    EXPECT_EQ(std::wstring(kept), L"v");
    EXPECT_TRUE(WritePrivateProfileSectionW(L"New", L"X=9\0", ini.c_str()));
    GetPrivateProfileStringW(L"New", L"X", L"", kept, 16, ini.c_str());
    EXPECT_EQ(std::wstring(kept), L"9");
}

TEST(PlatformFiles, FindListsMatchingNamesCaseInsensitivelyThenStops) {
    TempFolder folder;
    folder.Write(L"one.spi", std::string("1"));
    folder.Write(L"TWO.SPI", std::string("22"));
    folder.Write(L"three.txt", std::string("3"));
    // (Not "x.spix": Windows matches it too where the volume keeps 8.3 names, so behaviour varies.)
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(folder.Join(L"*.spi").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> names;
    do {
        names.push_back(found.cFileName);
        if (names.back() == L"TWO.SPI") {
            EXPECT_EQ(found.nFileSizeLow, 2u);
        }
    } while (FindNextFileW(search, &found));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"TWO.SPI", L"one.spi"}));

    EXPECT_EQ(FindFirstFileW(folder.Join(L"*.none").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileW(folder.Join(L"missing\\*.spi").c_str(), &found), INVALID_HANDLE_VALUE);
}

TEST(PlatformMemory, LocalBlocksKnowTheirSize) {
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 1001);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(LocalSize(block), 1001u);
    auto* bytes = static_cast<uint8_t*>(LocalLock(block));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0] | bytes[1000], 0);
    LocalUnlock(block);
    EXPECT_EQ(LocalFree(block), nullptr);
    HLOCAL empty = LocalAlloc(LMEM_MOVEABLE, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(LocalSize(empty), 0u);
    EXPECT_EQ(LocalFree(empty), nullptr);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

// Workers at once on what they share: temporary names in one folder, a heap
// made as the private heap is, page regions, one settings file that each
// also writes a key of its own to; each keeps its own last error.
TEST(PlatformThreads, WorkersShareNamesHeapAndSettingsAndKeepTheirLastError) {
    TempFolder folder;
    const std::wstring ini = folder.Write(L"shared.ini", std::string("[VEzu]\r\nQuality=85\r\n"));
    HANDLE heap = HeapCreate(0, 65536, 0);
    constexpr int kWorkers = 6;
    constexpr int kRounds = 40;
    std::vector<std::vector<std::wstring>> names(kWorkers);
    std::vector<int> faults(kWorkers, 0);
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&, w] {
            for (int round = 0; round < kRounds; ++round) {
                SetLastError(static_cast<DWORD>(1000 * w + round));
                std::this_thread::yield();
                faults[w] += GetLastError() != static_cast<DWORD>(1000 * w + round);
                WCHAR text[MAX_PATH];
                if (GetTempFileNameW(folder.path().c_str(), L"wrk", 0, text) != 0) names[w].push_back(text);
                const size_t size = 64 + 100 * static_cast<size_t>(round);
                auto* block = static_cast<uint8_t*>(HeapAlloc(heap, 0, size));
                if (block != nullptr) std::fill_n(block, size, static_cast<uint8_t>(w));
                void* pages = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
                GetPrivateProfileStringW(L"VEzu", L"Quality", L"", text, MAX_PATH, ini.c_str());
                faults[w] += std::wstring(text) != L"85";
                if (round % 8 == 0)
                    faults[w] += !WritePrivateProfileStringW(L"VEzu", (L"W" + std::to_wstring(w)).c_str(),
                                                             std::to_wstring(round).c_str(), ini.c_str());
                faults[w] += block == nullptr || std::count(block, block + size, w) != static_cast<ptrdiff_t>(size) ||
                             !HeapFree(heap, 0, block) || pages == nullptr || !VirtualFree(pages, 0, MEM_RELEASE);
            }
        });
    for (std::thread& worker : workers) worker.join();
    std::set<std::wstring> distinct;
    for (int w = 0; w < kWorkers; ++w) {
        EXPECT_EQ(faults[w], 0) << "worker " << w;
        EXPECT_EQ(names[w].size(), size_t{kRounds}) << "worker " << w;
        for (const std::wstring& name : names[w]) EXPECT_TRUE(FileExists(name) && distinct.insert(name).second) << name;
        WCHAR value[16];
        GetPrivateProfileStringW(L"VEzu", (L"W" + std::to_wstring(w)).c_str(), L"", value, 16, ini.c_str());
        EXPECT_EQ(std::wstring(value), std::to_wstring((kRounds - 1) / 8 * 8)) << "a write was lost";
    }
    EXPECT_TRUE(HeapDestroy(heap));
}
