// Failing creates, writes and copies, one at a time at every position: a
// writer fails its save with code 5 and leaves no temporary file, a
// destination is either absent or complete, and the batch goes on.
#include "support/test_context.h"
#include "engine/batch.h"
#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "engine/save_picture.h"
#include "settings/settings_store.h"
#include "support/bmp_builder.h"
#include "support/message_boxes.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Photo(int32_t width, int32_t height) { return PatternBmp(width, height, 13, 241); }

// Name (relative to root) to content of every file under root.
std::map<std::wstring, std::vector<uint8_t>> Contents(const std::wstring& root) {
    std::map<std::wstring, std::vector<uint8_t>> files;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root)))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), fs::path(root)).wstring()] = ReadWholeFile(entry.path().wstring());
    return files;
}

void EmptyFolder(const std::wstring& root) {
    for (const auto& entry : fs::directory_iterator(fs::path(root))) fs::remove_all(entry.path());
}

const WriteFault kFaults[] = {WriteFault::Create, WriteFault::Write, WriteFault::Copy, WriteFault::CutCopy};

const char* Name(WriteFault fault) {
    switch (fault) {
        case WriteFault::Create: return "create";
        case WriteFault::Write: return "write";
        case WriteFault::Copy: return "copy";
        case WriteFault::CutCopy: return "cut copy";
    }
    return "?";
}

WriteFault Site(WriteFault fault) { return fault == WriteFault::CutCopy ? WriteFault::Copy : fault; }

class FaultInjection : public testing::Test {
protected:
    TempFolder folder;
    TempFolder outputs;
    TempFolder temporaries;
    std::wstring input;
    std::string oldTmp;
    bool hadTmp = false;

    void SetUp() override {
        appSettings = AppSettings{};
        wcscpy(settingsPath, folder.Join(L"none.ini").c_str());
        SettingsStore::Load();
        for (OutputSlot& slot : appSettings.slots) slot.enabled = false;
        // Two slots into two folders: a failure in one must not stop the other.
        const std::wstring first = outputs.Join(L"first");
        const std::wstring second = outputs.Join(L"second");
        CreateDirectoryW(first.c_str(), nullptr);
        CreateDirectoryW(second.c_str(), nullptr);
        appSettings.slots[0] = OutputSlot{true, 64, 48, {}, {}, false, {}};
        appSettings.slots[1] = OutputSlot{true, 40, 30, {}, {}, false, {}};
        wcscpy(appSettings.slots[0].folder, first.c_str());
        wcscpy(appSettings.slots[1].folder, second.c_str());
        input = folder.Write(L"photo.bmp", Photo(96, 72));
        const char* old = getenv(kTmpVariable);
        hadTmp = old != nullptr;
        oldTmp = hadTmp ? old : "";
        SetTmp(std::string(temporaries.path().begin(), temporaries.path().end()).c_str());
        WriteProbe::Reset();
    }
    void TearDown() override {
        WriteProbe::Reset();
        SetTmp(hadTmp ? oldTmp.c_str() : nullptr);
        EXPECT_EQ(ReadWholeFile(input), Photo(96, 72)) << "the input changed";
    }

#ifdef _WIN32
    static constexpr const char* kTmpVariable = "TMP";
    static void SetTmp(const char* value) { _putenv_s(kTmpVariable, value != nullptr ? value : ""); }
#else
    static constexpr const char* kTmpVariable = "TMPDIR";
    static void SetTmp(const char* value) {
        if (value != nullptr)
            setenv(kTmpVariable, value, 1);
        else
            unsetenv(kTmpVariable);
    }
#endif

    int Run() {
        const WCHAR* paths[] = {input.c_str()};
        MessageBoxRecorder recorder;
        int written = -1;
        EXPECT_TRUE(RunBatch(1, paths, &written));
        recorder.Stop();
        return written;
    }
};

struct WriterCase {
    const char* name;
    SaveEntry save;
    CodecState* (*writer)();
    bool limit;
};

const WriterCase kWriters[] = {
    {"BMP", SaveBmp, [] { return static_cast<CodecState*>(context.codecs.bmpWriter); }, false},
    {"PNG", SavePng, [] { return static_cast<CodecState*>(context.codecs.pngWriter); }, false},
    {"JPEG", SaveJpeg, [] { return static_cast<CodecState*>(context.codecs.jpegWriter); }, false},
    {"JPEG within a size limit", SaveJpeg, [] { return static_cast<CodecState*>(context.codecs.jpegWriter); }, true},
    {"GIF", SaveGif, [] { return static_cast<CodecState*>(context.codecs.gifWriter); }, false},
    {"WebP", SaveWebp, [] { return static_cast<CodecState*>(context.codecs.webpWriter); }, false},
    {"WebP within a size limit", SaveWebp, [] { return static_cast<CodecState*>(context.codecs.webpWriter); }, true},
};

}  // namespace

TEST_F(FaultInjection, EveryWriterFailsItsSaveWithCode5AndLeavesNoTemporaryFile) {
    ASSERT_TRUE(CreateCodecs(context.codecs));
    ASSERT_TRUE(LoadPicture(context, input.c_str()));
    context.fitted.slotWidth = 64;
    context.fitted.slotHeight = 48;
    for (const WriterCase& writer : kWriters) {
        appSettings.Limit = writer.limit;
        appSettings.LmtVal = 1;
        WCHAR temporary[MAX_PATH];
        for (WriteFault fault : {WriteFault::Create, WriteFault::Write}) {
            WriteProbe::Reset();
            ASSERT_TRUE(GetTempFileNameW(temporaries.path().c_str(), L"tmp", 0, temporary));
            ASSERT_TRUE(RenderSlot(context, temporary, writer.save)) << writer.name;
            DeleteFileW(temporary);
            const int calls = WriteProbe::Calls(fault);
            ASSERT_GT(calls, 0) << writer.name << ' ' << Name(fault);
            for (int n = 1; n <= calls; ++n) {
                ASSERT_TRUE(GetTempFileNameW(temporaries.path().c_str(), L"tmp", 0, temporary));
                WriteProbe::FailAt(fault, n);
                EXPECT_FALSE(RenderSlot(context, temporary, writer.save)) << writer.name << ' ' << Name(fault) << ' ' << n;
                EXPECT_EQ(writer.writer()->errorCode, kErrorCannotCreateOutput)
                    << writer.name << ' ' << Name(fault) << ' ' << n;
                EXPECT_FALSE(FileExists(temporary)) << writer.name << ' ' << Name(fault) << ' ' << n;
            }
        }
    }
    ReleasePages(context.current->pixels);
    context.current->pixels = nullptr;
    context.current = nullptr;
    DestroyCodecs(context.codecs);
    EXPECT_TRUE(fs::is_empty(fs::path(temporaries.path())));
}

// For every output format and every failing create, write, copy or cut copy:
// the batch writes the other slot, every destination that exists is whole,
// and no temporary or partial file is left anywhere.
TEST_F(FaultInjection, SweepLeavesWholeFilesOrNoneAndTheBatchGoesOn) {
    for (int32_t format : {0, 1, 2, 4}) {
        appSettings.outputFormat = format;
        WriteProbe::Reset();
        ASSERT_EQ(Run(), 2) << "format " << format;
        const int calls[] = {WriteProbe::Calls(WriteFault::Create), WriteProbe::Calls(WriteFault::Write),
                             WriteProbe::Calls(WriteFault::Copy)};
        const auto reference = Contents(outputs.path());
        ASSERT_EQ(reference.size(), 2u);
        EmptyFolder(appSettings.slots[0].folder);
        EmptyFolder(appSettings.slots[1].folder);
        for (WriteFault fault : kFaults) {
            const int count = calls[static_cast<int>(Site(fault))];
            ASSERT_GT(count, 0) << Name(fault);
            for (int n = 1; n <= count; ++n) {
                WriteProbe::FailAt(fault, n);
                const int written = Run();
                const auto files = Contents(outputs.path());
                EXPECT_EQ(written, 1) << "format " << format << ", " << Name(fault) << ' ' << n;
                EXPECT_EQ(files.size(), static_cast<size_t>(written)) << Name(fault) << ' ' << n;
                for (const auto& [name, bytes] : files) {
                    const auto expected = reference.find(name);
                    ASSERT_NE(expected, reference.end()) << "unexpected file after " << Name(fault) << ' ' << n;
                    EXPECT_EQ(bytes, expected->second) << "a cut file after " << Name(fault) << ' ' << n;
                }
                EXPECT_TRUE(fs::is_empty(fs::path(temporaries.path()))) << Name(fault) << ' ' << n;
                EmptyFolder(appSettings.slots[0].folder);
                EmptyFolder(appSettings.slots[1].folder);
            }
        }
    }
}
