// Whole batches in temporary folders: where outputs go, how they are named,
// what refuses a batch, and that nothing is replaced or left behind.
#include "engine/batch.h"
#include "engine/input_list.h"
#include "core/memory.h"
#include "settings/settings_store.h"
#include "support/bmp_builder.h"
#include "support/corpus_path.h"
#include "support/message_boxes.h"
#include "support/metadata_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace {

const std::wstring kConversionFailed = L"ファイル変換に失敗しました。";

std::vector<uint8_t> Photo(int32_t width, int32_t height) { return PatternBmp(width, height, 7, 251); }

int32_t WidthOf(const std::wstring& bmp) {
    const std::vector<uint8_t> b = ReadWholeFile(bmp);
    return b.size() < 26 ? -1 : b[18] | (b[19] << 8) | (b[20] << 16) | (b[21] << 24);
}

size_t FilesIn(const std::wstring& folder) {
    size_t count = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(std::filesystem::path(folder)))
        count += e.is_regular_file();
    return count;
}

class Batch : public testing::Test {
protected:
    TempFolder folder;
    TempFolder temporaries;  // the batch's temporary folder, to see it is left empty
    std::wstring oldTmp;
    bool hadTmp = false;

    std::wstring In(const wchar_t* sub, const wchar_t* name) const {
        return TempFolder::JoinPath(folder.Join(sub), name);
    }

    void SetUp() override {
        appSettings = AppSettings{};
        wcscpy(settingsPath, folder.Join(L"none.ini").c_str());
        SettingsStore::Load();
        appSettings.outputFormat = 0;
        SetTemporaryFolder(temporaries.path());
        AllocationProbe::Reset();
    }
    void TearDown() override {
        RestoreTemporaryFolder();
        EXPECT_EQ(FilesIn(temporaries.path()), 0u) << "a temporary file stayed behind";
    }
    void SetTemporaryFolder(const std::wstring& path) {
#ifdef _WIN32
        const wchar_t* old = _wgetenv(L"TMP");
        hadTmp = old != nullptr;
        oldTmp = hadTmp ? old : L"";
        _wputenv_s(L"TMP", path.c_str());
#else
        const char* old = getenv("TMPDIR");
        hadTmp = old != nullptr;
        oldTmp = hadTmp ? std::wstring(old, old + strlen(old)) : L"";
        setenv("TMPDIR", std::string(path.begin(), path.end()).c_str(), 1);
#endif
    }
    void RestoreTemporaryFolder() {
#ifdef _WIN32
        _wputenv_s(L"TMP", oldTmp.c_str());
#else
        if (hadTmp) {
            setenv("TMPDIR", std::string(oldTmp.begin(), oldTmp.end()).c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
#endif
    }
    // Content and write time of a file; empty content when it cannot be read.
    static std::pair<std::vector<uint8_t>, uint64_t> Stamp(const std::wstring& path) {
        FILETIME written{};
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            GetFileTime(file, nullptr, nullptr, &written);
            CloseHandle(file);
        }
        return {ReadWholeFile(path), (uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime};
    }
    bool Run(std::vector<std::wstring> inputs, int* written, std::vector<ShownMessage>* shown = nullptr) {
        std::vector<const WCHAR*> paths;
        std::vector<std::pair<std::vector<uint8_t>, uint64_t>> before;
        for (const std::wstring& p : inputs) {
            paths.push_back(p.c_str());
            before.push_back(Stamp(p));
        }
        MessageBoxRecorder recorder;
        const bool result = RunBatch(static_cast<int>(paths.size()), paths.data(), written);
        std::vector<ShownMessage> messages = recorder.Stop();
        // A batch never touches its inputs.
        for (size_t i = 0; i < inputs.size(); ++i) EXPECT_TRUE(Stamp(inputs[i]) == before[i]) << "input changed";
        if (shown != nullptr) *shown = messages;
        return result;
    }
};

}  // namespace

TEST_F(Batch, DefaultSlotsWriteThreeWallpapersAndNumberTheSecondRun) {
    const std::wstring input = folder.Write(L"photo.bmp", Photo(1600, 1200));
    const std::vector<uint8_t> original = ReadWholeFile(input);
    int written = 0;
    std::vector<ShownMessage> shown;
    ASSERT_TRUE(Run({input}, &written, &shown));
    EXPECT_EQ(written, 3);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(WidthOf(In(L"Output", L"photo1024x768.bmp")), 1024);
    EXPECT_EQ(WidthOf(In(L"800x600", L"photo.bmp")), 800);
    EXPECT_EQ(WidthOf(folder.Join(L"photo+1.bmp")), 160);  // the input itself is never replaced
    EXPECT_EQ(ReadWholeFile(input), original);

    ASSERT_TRUE(Run({input}, &written));
    EXPECT_EQ(written, 3);
    EXPECT_EQ(WidthOf(In(L"Output", L"photo1024x768+1.bmp")), 1024);
    EXPECT_EQ(WidthOf(In(L"800x600", L"photo+1.bmp")), 800);
    EXPECT_EQ(WidthOf(folder.Join(L"photo+2.bmp")), 160);
    EXPECT_EQ(ReadWholeFile(input), original);
    EXPECT_EQ(AllocationProbe::LiveBlocks(), 0);
}

TEST_F(Batch, EveryInputGoesToTheFirstInputsFolder) {
    TempFolder other;
    const std::wstring first = folder.Write(L"a.bmp", Photo(200, 150));
    const std::wstring second = other.Write(L"b.bmp", Photo(200, 150));
    appSettings.slots[0] = OutputSlot{true, 100, 75, {}, {}, false, {}};
    appSettings.slots[1].enabled = appSettings.slots[2].enabled = false;
    int written = 0;
    ASSERT_TRUE(Run({first, second}, &written));
    EXPECT_EQ(written, 2);
    EXPECT_TRUE(FileExists(folder.Join(L"a+1.bmp")));
    EXPECT_TRUE(FileExists(folder.Join(L"b.bmp")));
    EXPECT_EQ(FilesIn(other.path()), 1u);
}

TEST_F(Batch, InvalidFolderRefusesBeforeReadingEvenForAZeroWidthSlot) {
    const std::wstring input = folder.Write(L"photo.bmp", Photo(200, 150));
    appSettings.slots[0].width = 0;
    wcscpy(appSettings.slots[0].folder, folder.Join(L"missing").c_str());
    int written = -1;
    std::vector<ShownMessage> shown;
    EXPECT_FALSE(Run({input}, &written, &shown));
    EXPECT_EQ(written, 0);
    EXPECT_EQ(shown, (std::vector<ShownMessage>{{L"Error", L"出力フォルダが無効です。"}}));
    EXPECT_FALSE(FileExists(folder.Join(L"800x600")));  // refused before the later slots' folders
    EXPECT_EQ(FilesIn(folder.path()), 1u);
}

TEST_F(Batch, SubfolderThatCannotBeMadeRefuses) {
    const std::wstring input = folder.Write(L"photo.bmp", Photo(200, 150));
    folder.Write(L"Output", std::string("a file where the folder should be"));
    int written = -1;
    std::vector<ShownMessage> shown;
    EXPECT_FALSE(Run({input}, &written, &shown));
    EXPECT_EQ(shown, (std::vector<ShownMessage>{{L"Error", L"フォルダ作成に失敗しました。"}}));
}

TEST_F(Batch, UnreadableInputsAndTooSmallPicturesAreSkippedSilently) {
    const std::wstring good = folder.Write(L"good.bmp", Photo(900, 700));  // too small for slot 1 only
    const std::wstring text = folder.Write(L"notes.txt", std::string("not a picture"));
    ASSERT_TRUE(CreateDirectoryW(folder.Join(L"800x600").c_str(), nullptr));  // an existing sub-folder is used
    int written = 0;
    std::vector<ShownMessage> shown;
    ASSERT_TRUE(Run({text, good, folder.Join(L"missing.bmp")}, &written, &shown));
    EXPECT_EQ(written, 2);
    EXPECT_TRUE(shown.empty());
    EXPECT_FALSE(FileExists(In(L"Output", L"good1024x768.bmp")));
    EXPECT_TRUE(FileExists(In(L"800x600", L"good.bmp")));
}

TEST_F(Batch, NothingWrittenShowsOneMessage) {
    const std::wstring tiny = folder.Write(L"tiny.bmp", Photo(100, 100));
    int written = -1;
    std::vector<ShownMessage> shown;
    ASSERT_TRUE(Run({tiny, tiny}, &written, &shown));
    EXPECT_EQ(written, 0);
    EXPECT_EQ(shown, (std::vector<ShownMessage>{{L"Error", kConversionFailed}}));
}

TEST_F(Batch, NamesAreNumberedAfterTheSuffixAndBeforeTheExtension) {
    WCHAR path[MAX_PATH];
    wcscpy(path, folder.Join(L"photo_pc.png").c_str());
    EXPECT_TRUE(MakeUniqueName(path, L".png"));
    EXPECT_EQ(std::wstring(PathFindFileNameW(path)), L"photo_pc.png");
    folder.Write(L"photo_pc.png", std::string("x"));
    folder.Write(L"photo_pc+1.png", std::string("x"));
    EXPECT_TRUE(MakeUniqueName(path, L".png"));
    EXPECT_EQ(std::wstring(PathFindFileNameW(path)), L"photo_pc+2.png");
}

TEST_F(Batch, FailedAllocationsLeaveNoMemoryAndNoTemporaryFiles) {
    const std::wstring input = folder.Write(L"photo.bmp", Photo(64, 48));
    appSettings.slots[0] = OutputSlot{true, 32, 20, {}, {}, false, {}};
    appSettings.slots[1].enabled = appSettings.slots[2].enabled = false;
    for (int failing = 1;; ++failing) {
        std::vector<const WCHAR*> paths{input.c_str()};
        MessageBoxRecorder recorder;
        AllocationProbe::FailAt(failing);
        int written = 0;
        RunBatch(1, paths.data(), &written);
        const int asked = AllocationProbe::Allocations();
        AllocationProbe::Reset();
        recorder.Stop();
        ASSERT_EQ(AllocationProbe::LiveBlocks(), 0) << "allocation " << failing;
        ASSERT_EQ(FilesIn(temporaries.path()), 0u) << "allocation " << failing;
        if (written == 1 && failing > asked) break;
        ASSERT_LT(failing, 200);
    }
}

namespace {

// Every file below folder by its name relative to it, with its bytes.
std::map<std::wstring, std::vector<uint8_t>> Outputs(const std::wstring& folder) {
    std::map<std::wstring, std::vector<uint8_t>> files;
    const std::filesystem::path root(folder);
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[e.path().lexically_relative(root).wstring()] = ReadWholeFile(e.path().wstring());
    return files;
}

class ParallelBatch : public Batch {
protected:
    std::vector<std::wstring> inputs;

    // The desktop's photographs, and one of them again under the same name
    // from another folder; false when they are not installed.
    bool TakePhotographs() {
        const std::filesystem::path root = HostPath("/usr/share/backgrounds/mate");
        std::error_code error;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root, error)) {
            // The two largest would only make the run long.
            if (e.is_regular_file() && e.path().filename().wstring().find(L"Elephants_") == std::wstring::npos)
                inputs.push_back(e.path().wstring());
        }
        std::sort(inputs.begin(), inputs.end());
        if (inputs.size() < 20) return false;
        inputs.push_back(folder.Write(L"Aqua.jpg", ReadWholeFile(inputs[inputs.size() / 2])));
        return true;
    }
    // Two photos for the workers to turn and convert at the same time, first
    // in the batch: a JPEG stored sideways with an Adobe RGB profile, a PNG
    // stored turned the other way with the red/green-swapped profile; false
    // when colord's profiles are not installed.
    bool TakeProfiledPhotos() {
        const std::string profiles = "/usr/share/color/icc/colord/";
        const Bytes adobe = ReadWholeFile(HostPath(profiles + "AdobeRGB1998.icc").wstring());
        const Bytes swapped = ReadWholeFile(HostPath(profiles + "SwappedRedAndGreen.icc").wstring());
        if (adobe.empty() || swapped.empty()) return false;
        const TestPicture photo = PhotoPicture(640, 420, 24, 3);
        std::vector<JpegSegment> segments = IccSegments(adobe);
        segments.push_back(ExifSegment(ExifBlock(6)));
        Bytes chunks = PngProfile(swapped);
        const Bytes exif = PngExif(ExifBlock(8));
        chunks.insert(chunks.end(), exif.begin(), exif.end());
        inputs.insert(inputs.begin(), {folder.Write(L"turned.jpg", JpegFile(photo, segments)),
                                       folder.Write(L"swapped.png", PngFile(photo, chunks))});
        return true;
    }
    // A batch into its own folder, in two slots of one folder so that names
    // collide and are numbered; the files written and the number reported.
    std::map<std::wstring, std::vector<uint8_t>> Convert(int jobs, const wchar_t* name, int* written) {
        const std::wstring out = folder.Join(name);
        EXPECT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
        appSettings.outputFormat = 2;
        for (int i = 0; i < kSlotCount; ++i) appSettings.slots[i].enabled = false;
        appSettings.slots[0] = OutputSlot{true, 400, 300, {}, {}, false, {}};
        appSettings.slots[1] = OutputSlot{true, 160, 120, {}, {}, false, {}};
        wcscpy(appSettings.slots[0].folder, out.c_str());
        wcscpy(appSettings.slots[1].folder, out.c_str());
        std::vector<const WCHAR*> paths;
        for (const std::wstring& p : inputs) paths.push_back(p.c_str());
        BatchHost host;
        host.jobs = jobs;
        EXPECT_TRUE(RunBatch(static_cast<int>(paths.size()), paths.data(), written, host));
        return Outputs(out);
    }
};

}  // namespace

TEST_F(ParallelBatch, AnyNumberOfWorkersGivesTheSameNamesAndBytes) {
    if (!TakePhotographs() || !TakeProfiledPhotos())
        GTEST_SKIP() << "the desktop's photographs or colord's profiles are not installed";
    int written = 0;
    const auto alone = Convert(1, L"one", &written);
    EXPECT_EQ(written, static_cast<int>(alone.size()));
    EXPECT_TRUE(alone.count(L"Aqua+1.jpg") == 1) << "the second Aqua.jpg is numbered";
    for (int jobs : {2, 8}) {
        int parallelWritten = 0;
        EXPECT_TRUE(Convert(jobs, jobs == 2 ? L"two" : L"eight", &parallelWritten) == alone) << jobs << " workers";
        EXPECT_EQ(parallelWritten, written);
    }
}

TEST_F(ParallelBatch, AFailedAllocationInOneWorkerLosesNoPicture) {
    if (!TakePhotographs()) GTEST_SKIP() << "the desktop's photographs are not installed";
    inputs.resize(6);
    int written = 0;
    const auto alone = Convert(1, L"alone", &written);
    AllocationProbe::Reset();
    Convert(3, L"counted", &written);
    const int allocations = AllocationProbe::Allocations();
    // Past the three codec sets, early and late in the batch, while other
    // pictures are in flight.
    const int sets = 3 * 14;
    for (int failing : {sets + 1, sets + (allocations - sets) / 3, allocations - 2}) {
        AllocationProbe::Reset();
        AllocationProbe::FailAt(failing);
        int parallelWritten = 0;
        const std::wstring name = L"fail" + std::to_wstring(failing);
        EXPECT_TRUE(Convert(3, name.c_str(), &parallelWritten) == alone) << "allocation " << failing;
        EXPECT_EQ(parallelWritten, written);
        EXPECT_EQ(AllocationProbe::LiveBlocks(), 0) << "allocation " << failing;
    }
    AllocationProbe::Reset();
}

// Memory for turning a photo upright that runs out on a worker fails the
// photo there, and it is turned alone once the others are finished.
TEST_F(ParallelBatch, APhotoAWorkerCouldNotTurnIsTurnedAlone) {
    if (!TakeProfiledPhotos()) GTEST_SKIP() << "colord's profiles are not installed";
    int written = 0;
    const auto alone = Convert(1, L"alone", &written);
    ASSERT_EQ(written, 4);
    AllocationProbe::Reset();
    Convert(2, L"counted", &written);
    const int allocations = AllocationProbe::Allocations();
    for (int failing = 2 * 14 + 1; failing <= allocations; ++failing) {
        AllocationProbe::Reset();
        AllocationProbe::FailAt(failing);
        int parallelWritten = 0;
        const std::wstring name = L"fail" + std::to_wstring(failing);
        EXPECT_TRUE(Convert(2, name.c_str(), &parallelWritten) == alone) << "allocation " << failing;
        EXPECT_EQ(parallelWritten, written) << "allocation " << failing;
        EXPECT_EQ(AllocationProbe::LiveBlocks(), 0) << "allocation " << failing;
    }
    AllocationProbe::Reset();
}

// A folder among the inputs stands for the files below it: its own files in
// name order, then its sub-folders'; hidden ones, links to folders and what
// the batch writes into the tree are never inputs.
TEST_F(Batch, AFolderStandsForTheFilesBelowIt) {
    const std::filesystem::path corpora = CorporaRoot();
    if (corpora.empty()) GTEST_SKIP() << "the shared corpora are not present";
    const std::wstring tree = folder.Join(L"tree");
    for (const wchar_t* sub : {L"tree", L"tree\\sub", L"tree\\sub\\deeper", L"tree\\.secret", L"tree\\out"}) {
        std::wstring path = folder.Join(sub);
        for (wchar_t& c : path)
            if (c == L'\\') c = folder.path()[0] == L'/' ? L'/' : L'\\';
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    }
    const std::vector<uint8_t> jpeg = ReadWholeFile((corpora / "libjpeg-turbo-testimages/testorig.jpg").wstring());
    const auto put = [&](const wchar_t* sub, const wchar_t* name, const std::vector<uint8_t>& bytes) {
        return folder.Write(TempFolder::JoinPath(sub, name), bytes);
    };
    put(L"tree", L"zeta.bmp", Photo(64, 48));
    put(L"tree", L"alpha.png", ReadWholeFile((corpora / "pngsuite/basn2c08.png").wstring()));
    put(L"tree", L"notes.txt", std::vector<uint8_t>{'h', 'i'});
    put(TempFolder::JoinPath(L"tree", L"sub").c_str(), L"photo.jpg", jpeg);
    put(TempFolder::JoinPath(TempFolder::JoinPath(L"tree", L"sub"), L"deeper").c_str(), L"photo.jpg", jpeg);
    const std::wstring hidden = put(L"tree", L".hidden.bmp", Photo(64, 48));
    put(TempFolder::JoinPath(L"tree", L".secret").c_str(), L"x.bmp", Photo(64, 48));
#ifdef _WIN32
    // Windows hides by the attribute, not by the name.
    SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW(folder.Join(L"tree\\.secret").c_str(), FILE_ATTRIBUTE_HIDDEN);
#else
    std::filesystem::create_directory_symlink(tree, std::filesystem::path(tree) / "loop");
#endif
    const WCHAR* given[] = {tree.c_str()};
    std::vector<std::wstring> listed;
    for (const ListedInput& input : ListInputs(1, given)) {
        EXPECT_EQ(input.given, 0);
        listed.push_back(input.path.substr(tree.size() + 1));
    }
    const std::wstring s(1, tree[0] == L'/' ? L'/' : L'\\');
    EXPECT_EQ(listed, (std::vector<std::wstring>{L"alpha.png", L"notes.txt", L"zeta.bmp", L"sub" + s + L"photo.jpg",
                                                 L"sub" + s + L"deeper" + s + L"photo.jpg"}));

    // Converted into a folder inside the tree: each picture once, the second
    // photo.jpg numbered, the text file giving nothing.
    appSettings.slots[0] = OutputSlot{true, 16, 12, {}, {}, false, {}};
    wcscpy(appSettings.slots[0].folder, TempFolder::JoinPath(tree, L"out").c_str());
    appSettings.slots[1].enabled = appSettings.slots[2].enabled = false;
    std::vector<std::wstring> paths;
    for (const ListedInput& input : ListInputs(1, given)) paths.push_back(input.path);
    int written = 0;
    ASSERT_TRUE(Run(paths, &written));
    EXPECT_EQ(written, 4);
    std::vector<std::wstring> outputs;
    for (const auto& [name, bytes] : Outputs(TempFolder::JoinPath(tree, L"out"))) outputs.push_back(name);
    EXPECT_EQ(outputs, (std::vector<std::wstring>{L"alpha.bmp", L"photo+1.bmp", L"photo.bmp", L"zeta.bmp"}));
}
