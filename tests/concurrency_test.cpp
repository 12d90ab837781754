// The native command meeting the real system: two runs at once on the same
// inputs, slots and settings file; a batch into a nearly full file system; an
// input that grows while it is mapped. Off Windows only.
#ifndef _WIN32

#include "engine/batch.h"
#include "core/memory.h"
#include "codecs/readers/mapped_file.h"
#include "settings/settings_store.h"
#include "support/bmp_builder.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Photo(int32_t width, int32_t height, int seed) {
    BmpLayout layout;
    layout.width = width;
    layout.height = height;
    const int64_t stride = (3 * width + 3) & ~3;
    layout.pixels.resize(static_cast<size_t>(stride * height));
    for (size_t i = 0; i < layout.pixels.size(); ++i) layout.pixels[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
    return BuildBmp(layout);
}

std::string Narrow(const std::wstring& text) { return fs::path(text).string(); }

// Content and modification time of every file under a folder.
std::map<std::string, std::pair<std::vector<uint8_t>, fs::file_time_type>> Snapshot(const std::wstring& root) {
    std::map<std::string, std::pair<std::vector<uint8_t>, fs::file_time_type>> files;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root)))
        files[entry.path().string()] = {ReadWholeFile(entry.path().wstring()), fs::last_write_time(entry.path())};
    return files;
}

std::set<std::string> Names(const std::wstring& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(folder))) names.insert(entry.path().filename().string());
    return names;
}

// The framelet command beside this test program's folder, empty when not built.
std::string CommandPath() {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path command = self.parent_path().parent_path() / "app" / "framelet";
    return fs::exists(command) ? command.string() : std::string();
}

pid_t Start(const std::string& command, const std::vector<std::string>& arguments, const std::string& config,
            const std::string& temporary) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("TMPDIR", temporary.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(command.c_str())};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        freopen("/dev/null", "w", stderr);
        execv(command.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// Two runs at once, round after round: every output under its own name, none
// replaced, the settings file whole, nothing where the settings do not say.
TEST(Concurrency, TwoRunsAtOnceShareInputsSlotsAndSettings) {
    const std::string command = CommandPath();
    if (command.empty()) GTEST_SKIP() << "build the framelet command first (target framelet)";
    TempFolder root;
    const std::wstring inputs = root.Join(L"inputs");
    const std::wstring config = root.Join(L"config");
    const std::wstring temporary = root.Join(L"tmp");
    const std::wstring wide = root.Join(L"wide");
    const std::wstring small = root.Join(L"small");
    for (const std::wstring& f : {inputs, config, temporary, wide, small, config + L"/Framelet"})
        fs::create_directory(fs::path(f));

    // Settings naming two slots: one into a folder, one into a sub-folder that
    // both runs want to make.
    appSettings = AppSettings{};
    wcscpy(settingsPath, (config + L"/Framelet/Framelet.ini").c_str());
    SettingsStore::Load();
    for (OutputSlot& slot : appSettings.slots) slot.enabled = false;
    appSettings.slots[0] = OutputSlot{true, 120, 90, {}, L"_w", false, {}};
    appSettings.slots[1] = OutputSlot{true, 48, 36, {}, {}, true, L"sub"};
    wcscpy(appSettings.slots[0].folder, wide.c_str());
    wcscpy(appSettings.slots[1].folder, small.c_str());
    appSettings.DrctCvt = 1;  // PNG
    SettingsStore::Save();
    const std::vector<uint8_t> settingsBefore = ReadWholeFile(settingsPath);

    std::vector<std::string> arguments;
    for (int i = 0; i < 3; ++i) {
        const std::wstring name = L"p" + std::to_wstring(i) + L".bmp";
        root.Write(L"inputs/" + name, Photo(160 + 16 * i, 120 + 12 * i, i));
        arguments.push_back(Narrow(TempFolder::JoinPath(inputs, name)));
    }
    const auto inputsBefore = Snapshot(inputs);

    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        const pid_t first = Start(command, arguments, Narrow(config), Narrow(temporary));
        const pid_t second = Start(command, arguments, Narrow(config), Narrow(temporary));
        EXPECT_EQ(Wait(first), 0) << "round " << round;
        EXPECT_EQ(Wait(second), 0) << "round " << round;
    }

    // Every name from the plain one to +9, each a complete copy of one picture.
    for (const auto& [folder, suffix] :
         {std::pair{wide, std::string("_w")}, std::pair{small + L"/sub", std::string()}}) {
        std::set<std::string> expected;
        for (int i = 0; i < 3; ++i) {
            const std::string base = "p" + std::to_string(i) + suffix;
            expected.insert(base + ".png");
            for (int n = 1; n < 2 * kRounds; ++n) expected.insert(base + "+" + std::to_string(n) + ".png");
            const std::vector<uint8_t> first = ReadWholeFile(fs::path(Narrow(folder) + "/" + base + ".png").wstring());
            ASSERT_FALSE(first.empty());
            for (int n = 1; n < 2 * kRounds; ++n) {
                const std::string other = Narrow(folder) + "/" + base + "+" + std::to_string(n) + ".png";
                EXPECT_EQ(ReadWholeFile(fs::path(other).wstring()), first) << other;
            }
        }
        EXPECT_EQ(Names(folder), expected);
    }
    EXPECT_EQ(Names(small), std::set<std::string>{"sub"});
    EXPECT_EQ(Names(root.path()), (std::set<std::string>{"inputs", "config", "tmp", "wide", "small"}));
    // Settings whole and unchanged, nothing else beside them, nothing near the inputs.
    EXPECT_EQ(ReadWholeFile(settingsPath), settingsBefore);
    EXPECT_EQ(Names(config + L"/Framelet"), std::set<std::string>{"Framelet.ini"});
    appSettings = AppSettings{};
    SettingsStore::Load();
    EXPECT_EQ(std::wstring(appSettings.slots[0].folder), wide);
    EXPECT_EQ(std::wstring(appSettings.slots[1].subfolder), L"sub");
    EXPECT_EQ(appSettings.DrctCvt, 1);
    EXPECT_TRUE(Snapshot(inputs) == inputsBefore) << "an input changed or a file appeared beside the inputs";
    EXPECT_TRUE(fs::is_empty(fs::path(temporary)));
}

namespace {

// Runs a batch in a child process whose output folder is a small file system
// of its own (or, where none can be mounted, under a file-size limit) and
// reports each output file as "name size" lines, then "written N".
std::string BatchOnFullDisk(const std::wstring& full, const std::wstring& spare, const std::wstring& temporary,
                            const std::vector<std::wstring>& inputs, uintmax_t diskSize, rlim_t fileLimit,
                            bool& mounted) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return "no pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeEnds[0]);
        const std::string options = "size=" + std::to_string(diskSize);
        const bool own = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                         mount("framelet-test", Narrow(full).c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!own) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit size{fileLimit, fileLimit};
            setrlimit(RLIMIT_FSIZE, &size);
        }
        setenv("TMPDIR", Narrow(temporary).c_str(), 1);
        std::vector<const WCHAR*> paths;
        for (const std::wstring& p : inputs) paths.push_back(p.c_str());
        int written = -1;
        const bool ran = RunBatch(static_cast<int>(paths.size()), paths.data(), &written);
        std::ostringstream report;
        report << (own ? "mounted\n" : "limited\n");
        for (const std::wstring& folder : {full, spare})
            for (const auto& entry : fs::directory_iterator(fs::path(folder)))
                report << entry.path().string() << ' ' << fs::file_size(entry.path()) << '\n';
        report << "written " << (ran ? written : -1) << '\n';
        const std::string text = report.str();
        if (write(pipeEnds[1], text.data(), text.size()) < 0) _exit(2);
        _exit(0);
    }
    close(pipeEnds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(pipeEnds[0]);
    Wait(pid);
    mounted = text.rfind("mounted\n", 0) == 0;
    return text;
}

}  // namespace

// Slots that do not fit give no file or a whole one, the count says what was
// written, and the slot into another folder is still written.
TEST(FullDisk, SlotsThatDoNotFitLeaveNothingAndTheNextSlotIsWritten) {
    TempFolder root;
    const std::wstring full = root.Join(L"full");
    const std::wstring spare = root.Join(L"spare");
    const std::wstring temporary = root.Join(L"tmp");
    const std::wstring reference = root.Join(L"reference");
    const std::wstring in = root.Join(L"in");
    for (const std::wstring& f : {full, spare, temporary, reference, in}) fs::create_directory(fs::path(f));
    std::vector<std::wstring> inputs;
    for (int i = 0; i < 3; ++i)
        inputs.push_back(root.Write(L"in/in" + std::to_wstring(i) + L".bmp", Photo(200, 150, i)));
    const auto inputsBefore = Snapshot(in);

    // Bitmaps: 160x120 is about 56 KiB, 200x150 about 88 KiB.
    appSettings = AppSettings{};
    wcscpy(settingsPath, root.Join(L"none.ini").c_str());
    SettingsStore::Load();
    for (OutputSlot& slot : appSettings.slots) slot.enabled = false;
    appSettings.slots[0] = OutputSlot{true, 160, 120, {}, L"_a", false, {}};
    appSettings.slots[1] = OutputSlot{true, 200, 150, {}, L"_b", false, {}};
    appSettings.slots[2] = OutputSlot{true, 32, 24, {}, {}, false, {}};
    appSettings.outputFormat = 0;

    // The whole outputs, written where there is room.
    for (int i = 0; i < 3; ++i) wcscpy(appSettings.slots[i].folder, (i < 2 ? reference : spare).c_str());
    std::vector<const WCHAR*> paths;
    for (const std::wstring& p : inputs) paths.push_back(p.c_str());
    int written = 0;
    ASSERT_TRUE(RunBatch(3, paths.data(), &written));
    ASSERT_EQ(written, 9);
    for (const auto& entry : fs::directory_iterator(fs::path(spare))) fs::remove(entry.path());

    wcscpy(appSettings.slots[0].folder, full.c_str());
    wcscpy(appSettings.slots[1].folder, full.c_str());
    bool mounted = false;
    // 128 KiB hold two of the smaller outputs; without a mount, a file may not
    // pass 72 KiB, which the larger outputs do.
    const std::string report = BatchOnFullDisk(full, spare, temporary, inputs, 128 * 1024, 72 * 1024, mounted);
    std::istringstream lines(report);
    std::string line;
    std::getline(lines, line);
    int inFull = 0;
    int inSpare = 0;
    int reported = -2;
    while (std::getline(lines, line)) {
        if (line.rfind("written ", 0) == 0) {
            reported = std::stoi(line.substr(8));
            continue;
        }
        const std::string path = line.substr(0, line.rfind(' '));
        const auto size = std::stoull(line.substr(line.rfind(' ') + 1));
        const fs::path name = fs::path(path).filename();
        if (fs::path(path).parent_path() == fs::path(spare)) {
            ++inSpare;
            continue;
        }
        ++inFull;
        // Whole: the size of the same output written where there was room.
        const fs::path whole = fs::path(reference) / name;
        ASSERT_TRUE(fs::exists(whole)) << "unexpected file " << path;
        EXPECT_EQ(size, fs::file_size(whole)) << path;
    }
    EXPECT_EQ(inSpare, 3) << report;
    EXPECT_GT(inFull, 0) << report;
    EXPECT_LT(inFull, 6) << report;  // the disk was too small for every slot
    EXPECT_EQ(reported, inFull + inSpare) << report;
    EXPECT_TRUE(fs::is_empty(fs::path(temporary)));
    EXPECT_TRUE(Snapshot(in) == inputsBefore);
    if (!mounted) std::cout << "[ NOTE     ] no file system could be mounted; a file-size limit stood in\n";
}

// A file that grows while it is mapped is read only as far as the view
// reaches: every byte before the end pointer is mapped.
TEST(MappedFileGrowth, EndNeverPassesTheView) {
    TempFolder folder;
    const std::wstring path = folder.Write(L"growing.bin", std::vector<uint8_t>(4096, 1));
    const int fd = open(Narrow(path).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::atomic<bool> stop{false};
    std::thread grower([&] {
        for (off_t size = 8192; !stop; size += 65536) {
            if (ftruncate(fd, size) != 0 || size > (off_t{64} << 20)) size = 4096;
        }
    });
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    int beyond = 0;
    for (int i = 0; i < 10000; ++i) {
        CodecState state;
        ByteReader bytes;
        state.ResetHandles();
        if (MappedFile::Open(path.c_str(), state, bytes) != 0) {
            const auto start = reinterpret_cast<uintptr_t>(state.inputView);
            const auto end = reinterpret_cast<uintptr_t>(bytes.end);
            // msync fails on any page of the range that is not mapped.
            if (msync(reinterpret_cast<void*>(start), (end - start + page - 1) / page * page, MS_ASYNC) != 0) ++beyond;
        }
        state.ReleaseHandles();
    }
    stop = true;
    grower.join();
    close(fd);
    EXPECT_EQ(beyond, 0);
}

#endif  // _WIN32
