// The native command run as a process: its options, what it says about each
// input and slot, the settings file it must leave alone, and the desktop entry.
#ifndef _WIN32

#include "app/version.h"
#include "support/bmp_builder.h"
#include "support/corpus_path.h"
#include "support/metadata_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Narrow(const std::wstring& path) { return fs::path(path).string(); }

// Runs program with arguments in folder, with the environment's variables
// replaced by (or, for an empty value, removed for) those in changes.
Outcome RunProcess(const std::vector<std::string>& arguments, const std::string& folder,
                   const std::vector<std::pair<std::string, std::string>>& changes, const std::string& program) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : changes) replaced = replaced || entry.rfind(name + "=", 0) == 0;
        if (!replaced) environment.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty()) environment.push_back(name + "=" + value);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        if (chdir(folder.c_str()) != 0) _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Outcome outcome;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

std::vector<uint8_t> Photo(int32_t width, int32_t height) { return PatternBmp(width, height, 13, 251); }

// Every file under folder, relative to it, sorted.
std::vector<std::string> FilesUnder(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), folder).string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Width and height of a written PNG (IHDR) or JPEG (SOF0), with the JPEG's
// luminance sampling factors (0x22 for 4:2:0, 0x21 for 4:2:2, 0x11 for 4:4:4).
struct Written {
    std::string kind;
    int width = 0;
    int height = 0;
    int lumaSampling = 0;
};

Written Inspect(const std::string& path) {
    const std::string b = Text(path);
    auto u16 = [&](size_t i) { return (static_cast<uint8_t>(b[i]) << 8) | static_cast<uint8_t>(b[i + 1]); };
    Written w;
    if (b.size() > 24 && b.compare(1, 3, "PNG") == 0) {
        w.kind = "png";
        w.width = u16(18);
        w.height = u16(22);
    } else if (b.size() > 26 && b.compare(0, 2, "BM") == 0) {
        w.kind = "bmp";
        w.width = static_cast<uint8_t>(b[18]) | static_cast<uint8_t>(b[19]) << 8;
        w.height = static_cast<uint8_t>(b[22]) | static_cast<uint8_t>(b[23]) << 8;
    } else if (b.size() > 4 && static_cast<uint8_t>(b[0]) == 0xFF && static_cast<uint8_t>(b[1]) == 0xD8) {
        w.kind = "jpeg";
        for (size_t i = 2; i + 12 < b.size();) {
            if (static_cast<uint8_t>(b[i]) != 0xFF) break;
            const int marker = static_cast<uint8_t>(b[i + 1]);
            if (marker == 0xC0) {
                w.height = u16(i + 5);
                w.width = u16(i + 7);
                w.lumaSampling = static_cast<uint8_t>(b[i + 11]);
                break;
            }
            i += 2 + static_cast<size_t>(u16(i + 2));
        }
    } else if (b.size() > 30 && b.compare(0, 4, "RIFF") == 0 && b.compare(8, 8, "WEBPVP8 ") == 0) {
        w.kind = "webp";  // the lossy frame's 14-bit sides, little-endian
        w.width = (static_cast<uint8_t>(b[26]) | static_cast<uint8_t>(b[27]) << 8) & 0x3FFF;
        w.height = (static_cast<uint8_t>(b[28]) | static_cast<uint8_t>(b[29]) << 8) & 0x3FFF;
    }
    return w;
}

class Command : public testing::Test {
protected:
    TempFolder work;    // pictures and outputs
    TempFolder config;  // XDG_CONFIG_HOME
    TempFolder data;    // XDG_DATA_HOME
    std::string folder = Narrow(work.path());
    std::string settingsFile = Narrow(config.path()) + "/Framelet/Framelet.ini";

    std::vector<std::pair<std::string, std::string>> Environment() const {
        return {{"XDG_CONFIG_HOME", Narrow(config.path())}, {"XDG_DATA_HOME", Narrow(data.path())}};
    }
    Outcome Framelet(const std::vector<std::string>& arguments, const std::string& program = FRAMELET_COMMAND) {
        return RunProcess(arguments, folder, Environment(), program);
    }
    std::string Picture(const std::string& name, int32_t width, int32_t height) {
        return Narrow(work.Write(std::wstring(name.begin(), name.end()), Photo(width, height)));
    }
    static bool HasTool(const char* name) {
        return RunProcess({"-c", std::string("command -v ") + name}, "/", {}, "/bin/sh").status == 0;
    }
};

// The command lines it refuses: each says why, exits 2, and neither reads
// nor writes a file (not even the settings file or its folder).
TEST_F(Command, RefusesWrongCommandLinesBeforeTouchingAnyFile) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string longName = "/tmp/" + std::string(300, 'a') + ".bmp";
    const std::vector<std::string> sevenSlots{"-s", "8x8", "-s", "8x8", "-s", "8x8", "-s",   "8x8",
                                              "-s", "8x8", "-s", "8x8", "-s", "8x8", "p.bmp"};
    const Case cases[] = {
        {{}, "framelet: no picture named"},
        {{"--bogus", "p.bmp"}, "framelet: unknown option '--bogus'"},
        {{"-x", "p.bmp"}, "framelet: unknown option '-x'"},
        {{"-vx", "p.bmp"}, "framelet: unknown option '-x'"},
        {{"--verbose=yes", "p.bmp"}, "framelet: option '--verbose' takes no value"},
        {{"p.bmp", "-s"}, "framelet: option '-s' needs a value"},
        {{"p.bmp", "--quality"}, "framelet: option '--quality' needs a value"},
        {{"-s", "0x0", "p.bmp"}, "framelet: invalid slot '0x0': width and height must be 1 to 65535"},
        {{"-s", "abcxdef", "p.bmp"}, "framelet: invalid slot 'abcxdef': expected WIDTHxHEIGHT[:FOLDER[:SUFFIX]]"},
        {{"-s", "640", "p.bmp"}, "framelet: invalid slot '640'"},
        {{"-s", "-640x480", "p.bmp"}, "framelet: invalid slot '-640x480'"},
        {{"-s", "65536x10", "p.bmp"}, "width and height must be 1 to 65535"},
        {{"-s", "99999999999x10", "p.bmp"}, "width and height must be 1 to 65535"},
        {{"-s", "64x48::a/b", "p.bmp"}, "a suffix cannot hold '/'"},
        {{"-s", "64x48:" + longName, "p.bmp"}, "is longer than 259 characters"},
        {sevenSlots, "framelet: more than 6 slots given"},
        {{"-q", "0", "p.bmp"}, "framelet: invalid quality '0': must be a number from 1 to 100"},
        {{"-q", "101", "p.bmp"}, "framelet: invalid quality '101'"},
        {{"--quality=+50", "p.bmp"}, "framelet: invalid quality '+50'"},
        {{"-f", "tiff", "p.bmp"}, "framelet: invalid format 'tiff': must be bmp, png, jpeg, gif or webp"},
        {{"--format=", "p.bmp"}, "framelet: invalid format ''"},
        {{"--sampling", "411", "p.bmp"}, "framelet: invalid sampling '411'"},
        {{"--max-size", "32768", "p.bmp"}, "framelet: invalid size limit '32768'"},
        {{longName}, "is longer than 259 characters"},
        {{"--settings", "p.bmp"}, "framelet: '--settings' takes no picture"},
    };
    Picture("p.bmp", 1100, 800);
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.arguments) shown += " " + a;
        SCOPED_TRACE("framelet" + shown);
        const Outcome outcome = Framelet(c.arguments);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(FilesUnder(folder), std::vector<std::string>{"p.bmp"});
        EXPECT_TRUE(fs::is_empty(Narrow(config.path()))) << "the settings were looked at";
    }
    // An unknown option also shows how to use the command.
    EXPECT_NE(Framelet({"--bogus"}).err.find("Usage: framelet [OPTION]... PICTURE..."), std::string::npos);
}

TEST_F(Command, HelpAndVersionAnswerWithoutSettings) {
    for (const char* option : {"--help", "-h"}) {
        const Outcome help = Framelet({"p.bmp", option});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: framelet [OPTION]... PICTURE...\n", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }
    for (const char* option : {"--version", "-V"}) {
        const Outcome outcome = Framelet({option});
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, std::string("framelet ") + FRAMELET_VERSION_TEXT + "\n");
    }
    EXPECT_TRUE(fs::is_empty(Narrow(config.path())));
}

// The man page is written from --help: every option of one is in the other,
// and it carries the one version.
TEST_F(Command, ManPageNamesEveryOptionOfTheHelp) {
    std::string page = Text(FRAMELET_MAN_PAGE);
    ASSERT_FALSE(page.empty());
    for (size_t at; (at = page.find("\\-")) != std::string::npos;) page.replace(at, 2, "-");
    EXPECT_NE(page.find(std::string("\"framelet ") + FRAMELET_VERSION_TEXT + "\""), std::string::npos);
    const std::string help = Framelet({"--help"}).out;
    int options = 0;
    for (size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
        const size_t end = help.find_first_of(" \n,", at);
        const std::string option = help.substr(at, end - at);
        EXPECT_NE(page.find(option), std::string::npos) << option;
        ++options;
    }
    EXPECT_EQ(options, 14);
}

TEST_F(Command, VerboseSaysWhenAPhotoWasTurnedOrConvertedAndABrokenProfileSaysNothing) {
    const Bytes adobe = ReadWholeFile(L"/usr/share/color/icc/colord/AdobeRGB1998.icc");
    if (adobe.empty()) GTEST_SKIP() << "colord-data is not installed";
    const TestPicture photo = PhotoPicture(200, 150, 24, 3);
    std::vector<JpegSegment> segments = IccSegments(adobe);
    segments.push_back(ExifSegment(ExifBlock(6)));
    work.Write(L"photo.jpg", JpegFile(photo, segments));
    for (const NamedFile& file : BrokenMetadataFiles(photo))
        if (file.name == "icc-refused.jpg") work.Write(L"broken.jpg", file.bytes);
    const Outcome told = Framelet({"-v", "-s", "60x40", "photo.jpg", "broken.jpg"});
    EXPECT_EQ(told.status, 0);
    EXPECT_NE(told.out.find("photo.jpg: converted from Compatible with Adobe RGB (1998) to sRGB\n"
                            "photo.jpg: turned upright (orientation 6)\nphoto.jpg -> "),
              std::string::npos)
        << told.out;
    EXPECT_EQ(told.out.find("broken.jpg:"), std::string::npos) << told.out;
    EXPECT_EQ(told.err, "");
    // Switched off, the photo gives what the same pixels without metadata give.
    work.Write(L"plain.jpg", JpegFile(photo, {}));
    const Outcome kept =
        Framelet({"-v", "--no-rotate", "--no-colour-conversion", "-s", "60x40::_kept", "photo.jpg", "plain.jpg"});
    EXPECT_EQ(kept.out.find("photo.jpg:"), std::string::npos) << kept.out;
    EXPECT_FALSE(Text(folder + "/plain_kept.jpg").empty());
    EXPECT_EQ(Text(folder + "/photo_kept.jpg"), Text(folder + "/plain_kept.jpg"));
}

TEST_F(Command, OneOffSlotsAndFormatAreUsedAndTheSettingsFileStaysAsItWas) {
    // A hand-written file: out of order, a comment, a key the program does not know.
    const std::string stored =
        "; mine\n[VEzu]\nDrctCvt=0\nOSize1=1\nOutW1=320\nOutH1=240\nMkDirAdd1=1\nMkDirStr1=stored\n"
        "Quality=90\nSampling=0\nMyOwnKey=keep\n";
    WriteText(settingsFile, stored);
    Picture("photo.bmp", 400, 300);
    fs::create_directory(folder + "/out");
    const Outcome png = Framelet({"-s", "120x90:out:_small", "--slot=60x40", "--format", "png", "photo.bmp"});
    EXPECT_EQ(png.status, 0) << png.err;
    EXPECT_EQ(png.err, "");
    EXPECT_EQ(png.out, "") << "only --verbose names written files";
    EXPECT_EQ(FilesUnder(folder), (std::vector<std::string>{"out/photo_small.png", "photo.bmp", "photo.png"}));
    const Written small = Inspect(folder + "/out/photo_small.png");
    EXPECT_EQ(small.kind, "png");
    EXPECT_EQ(small.width, 120);
    EXPECT_EQ(small.height, 90);
    EXPECT_EQ(Inspect(folder + "/photo.png").width, 60);

    // The JPEG options reach the writer.
    for (const auto& [sampling, factors] : {std::pair{"444", 0x11}, {"422", 0x21}, {"420", 0x22}}) {
        const Outcome jpeg =
            Framelet({"-s", "100x80::_j", "-f", "jpeg", "-q", "30", "--sampling", sampling, "photo.bmp"});
        EXPECT_EQ(jpeg.status, 0) << jpeg.err;
        const Written w = Inspect(folder + "/photo_j.jpg");
        EXPECT_EQ(w.kind, "jpeg");
        EXPECT_EQ(w.width, 100);
        EXPECT_EQ(w.lumaSampling, factors) << sampling;
        fs::remove(folder + "/photo_j.jpg");
    }
    const Outcome webp = Framelet({"-s", "100x80::_w", "-f", "WebP", "-q", "60", "photo.bmp"});
    EXPECT_EQ(webp.status, 0) << webp.err;
    const Written w = Inspect(folder + "/photo_w.webp");
    EXPECT_EQ(w.kind, "webp");
    EXPECT_EQ(w.width, 100);
    EXPECT_EQ(w.height, 80);
    const Outcome unlimited = Framelet({"-s", "400x300::_u", "-f", "jpg", "-q", "100", "photo.bmp"});
    EXPECT_EQ(unlimited.status, 0) << unlimited.err;
    EXPECT_GT(fs::file_size(folder + "/photo_u.jpg"), 30u * 1024);
    const Outcome limited = Framelet({"-s", "400x300", "-f", "jpg", "-q", "100", "--max-size", "30", "photo.bmp"});
    EXPECT_EQ(limited.status, 0) << limited.err;
    EXPECT_LE(fs::file_size(folder + "/photo.jpg"), 30u * 1024);

    EXPECT_EQ(Text(settingsFile), stored) << "one-off values were written back";

    // A run without options keeps today's behaviour: the stored slots, and the
    // settings saved as read.
    const Outcome plain = Framelet({"photo.bmp"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(Inspect(folder + "/stored/photo1024x768.bmp").width, 320);  // the default suffix
    EXPECT_NE(Text(settingsFile).find("OutW1=320\n"), std::string::npos);
    EXPECT_EQ(Text(settingsFile).find("MyOwnKey"), std::string::npos);
}

TEST_F(Command, OverridesLeaveAMissingSettingsFileMissing) {
    Picture("photo.bmp", 400, 300);
    EXPECT_EQ(Framelet({"-s", "40x30", "photo.bmp"}).status, 0);
    EXPECT_FALSE(fs::exists(settingsFile));
}

TEST_F(Command, SettingsListsWhatTheFileHolds) {
    WriteText(settingsFile,
              "[VEzu]\nOSize1=1\nOutW1=1920\nOutH1=1080\nAddName1=_fhd\nMkDirAdd1=1\nMkDirStr1=wide\n"
              "OSize2=0\nOutW2=777\nOSize4=1\nOutW4=640\nOutH4=480\nOutDir4=" +
                  folder + "\nMkDirAdd4=0\nMkDirStr4=unused\nDrctCvt=1\nQuality=33\nSampling=2\nLimit=1\nLmtVal=250\n");
    const std::string before = Text(settingsFile);
    const Outcome outcome = Framelet({"--settings"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    // Columns two spaces apart; the folder column is as wide as its widest entry.
    const size_t width = std::max(folder.size(), std::string("(the first picture's folder)").size()) + 2;
    auto pad = [](std::string text, size_t columns) { return text.append(columns - text.size(), ' '); };
    const std::string expected = "Settings file: " + settingsFile + "\n" +                              //
                                 "slot  size       " + pad("folder", width) + "sub-folder  suffix\n" +  //
                                 "1     1920x1080  " + pad("(the first picture's folder)", width) +
                                 "wide        _fhd\n" + "3     160x120    " +
                                 pad("(the first picture's folder)", width) + "-           -\n" + "4     640x480    " +
                                 pad(folder, width) + "-           -\n" +
                                 "Format: PNG\n"
                                 "JPEG: quality 33, sampling 4:4:4, at most 250 KiB (the quality is chosen to fit)\n"
                                 "Photos: turned upright by their EXIF orientation, colours converted from an "
                                 "embedded profile to sRGB\n"
                                 "Plug-ins: off\n";
    EXPECT_EQ(outcome.out, expected);
    EXPECT_EQ(Text(settingsFile), before);

    const Outcome changed = Framelet(
        {"--settings", "-s", "100x100", "-f", "gif", "--max-size", "0", "--no-rotate", "--no-colour-conversion"});
    EXPECT_NE(changed.out.find("(with this command line's options)"), std::string::npos);
    EXPECT_NE(changed.out.find("\n1     100x100  (the first picture's folder)  -           -\n"), std::string::npos)
        << changed.out;
    EXPECT_EQ(changed.out.find("1920x1080"), std::string::npos);
    EXPECT_NE(changed.out.find("Format: GIF\n"), std::string::npos);
    EXPECT_NE(changed.out.find("no size limit"), std::string::npos);
    EXPECT_NE(changed.out.find("Photos: used as stored, colours used as stored\n"), std::string::npos);
    EXPECT_EQ(Text(settingsFile), before);
}

// Every input and slot that gives nothing is named with its reason, with or
// without --verbose; --verbose adds a line per written file.
TEST_F(Command, NamesEverySkippedInputAndSlotWithItsReason) {
    Picture("big.bmp", 200, 150);
    Picture("small.bmp", 50, 40);
    work.Write(L"notes.txt", std::string("not a picture"));
    // Slot 2's names are all taken.
    fs::create_directory(folder + "/full");
    for (int i = 0; i <= 9999; ++i)
        std::ofstream(folder + "/full/big" + (i == 0 ? std::string() : "+" + std::to_string(i)) + ".bmp");
    // Slot 3's folder leaves no room for a name within the path buffer.
    std::string deep = folder;
    while (255 - deep.size() > 41) deep += "/" + std::string(40, 'd');
    deep += "/" + std::string(255 - deep.size() - 1, 'd');
    fs::create_directories(deep);
    const std::vector<std::string> arguments{"-f", "bmp",           "-s",      "100x75",    "-s",       "20x20:full",
                                             "-s", "10x10:" + deep, "big.bmp", "small.bmp", "notes.txt", "gone.bmp"};
    const std::string skipped =
        "framelet: big.bmp: slot 2 (20x20): all 9999 numbered names are taken\n"
        "framelet: big.bmp: slot 3 (10x10) could not be written\n"
        "framelet: small.bmp: 50x40 is smaller than slot 1 (100x75)\n"
        "framelet: small.bmp: slot 3 (10x10) could not be written\n"
        "framelet: notes.txt: not a picture\n"
        "framelet: gone.bmp: could not be opened (No such file or directory)\n";

    Outcome quiet = Framelet(arguments);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, skipped);
    EXPECT_EQ(quiet.out, "");

    Outcome verbose = Framelet([&] {
        std::vector<std::string> v{"-v"};
        v.insert(v.end(), arguments.begin(), arguments.end());
        return v;
    }());
    EXPECT_EQ(verbose.status, 0);
    EXPECT_EQ(verbose.err, skipped);
    // big.bmp itself is never replaced: the first copy is numbered.
    EXPECT_EQ(verbose.out, "big.bmp -> " + folder + "/big+2.bmp\nsmall.bmp -> " + folder + "/full/small+1.bmp\n");
    EXPECT_TRUE(fs::exists(folder + "/big+1.bmp"));

    // Nothing written at all: the reasons, then the batch's own message, exit 1.
    const Outcome nothing = Framelet({"-v", "small.bmp"});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(nothing.err,
              "framelet: small.bmp: 50x40 is smaller than slot 1 (1024x768)\n"
              "framelet: small.bmp: 50x40 is smaller than slot 2 (800x600)\n"
              "framelet: small.bmp: 50x40 is smaller than slot 3 (160x120)\n"
              "Error: ファイル変換に失敗しました。\n");
}

TEST_F(Command, AMissingSlotFolderRefusesTheBatch) {
    Picture("photo.bmp", 400, 300);
    const Outcome outcome = Framelet({"-s", "40x30:no/such/folder", "photo.bmp"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Error: 出力フォルダが無効です。\n");
    EXPECT_EQ(FilesUnder(folder), std::vector<std::string>{"photo.bmp"});
}

TEST_F(Command, AStoredFormatOffTheListConvertsNothingAndSaysSo) {
    WriteText(settingsFile, "[VEzu]\nDrctCvt=7\n");
    Picture("photo.bmp", 400, 300);
    const Outcome outcome = Framelet({"photo.bmp"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("framelet: the stored format (DrctCvt=7)"), std::string::npos) << outcome.err;
    EXPECT_EQ(FilesUnder(folder), std::vector<std::string>{"photo.bmp"});
    EXPECT_EQ(Framelet({"-f", "bmp", "-s", "40x30", "photo.bmp"}).status, 0);
}

TEST_F(Command, ShowsProgressOnlyOnATerminal) {
    Picture("a.bmp", 200, 150);
    Picture("b.bmp", 200, 150);
    const Outcome piped = Framelet({"-s", "20x15", "a.bmp", "b.bmp"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    if (!HasTool("script")) GTEST_SKIP() << "script (bsdutils) is not installed";
    // Under a pseudo-terminal from script(1): standard error is a terminal.
    const std::string line = std::string(FRAMELET_COMMAND) + " -s 20x15 a.bmp b.bmp";
    const Outcome terminal = RunProcess({"-qec", line, "/dev/null"}, folder, Environment(), "/usr/bin/script");
    EXPECT_EQ(terminal.status, 0) << terminal.out;
    EXPECT_NE(terminal.out.find("[1/2] a.bmp"), std::string::npos) << terminal.out;
    EXPECT_NE(terminal.out.find("[2/2] b.bmp"), std::string::npos);
    // The line is cleared again at the end.
    ASSERT_GE(terminal.out.size(), 4u);
    EXPECT_EQ(terminal.out.substr(terminal.out.size() - 4), "\r\033[K");
    // One picture is no batch to follow.
    const Outcome single = RunProcess({"-qec", std::string(FRAMELET_COMMAND) + " -s 20x15 a.bmp", "/dev/null"}, folder,
                                      Environment(), "/usr/bin/script");
    EXPECT_EQ(single.out.find("[1/1]"), std::string::npos) << single.out;
}

class DesktopEntry : public Command {
protected:
    std::string entry = Narrow(data.path()) + "/applications/framelet.desktop";

    // desktop-file-validate's complaints; empty when it finds none.
    std::string Validate(const std::string& path) {
        const Outcome outcome = RunProcess({path}, "/", {}, "/usr/bin/desktop-file-validate");
        return outcome.status == 0 ? outcome.out + outcome.err
                                   : "exit " + std::to_string(outcome.status) + ": " + outcome.out + outcome.err;
    }
    // The value of key in the written entry.
    std::string Value(const std::string& key) {
        const std::string text = Text(entry);
        const size_t at = text.find("\n" + key + "=");
        if (at == std::string::npos) return "(missing)";
        const size_t start = at + key.size() + 2;
        return text.substr(start, text.find('\n', start) - start);
    }
};

TEST_F(DesktopEntry, IsWrittenValidAndRemovedAgain) {
    const Outcome installed = Framelet({"--install-desktop-entry"});
    ASSERT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(installed.out, "Wrote " + entry + "\n");
    ASSERT_TRUE(fs::exists(entry));
    const std::string program = fs::canonical(FRAMELET_COMMAND).string();
    EXPECT_EQ(Value("Exec"), program + " %F");
    EXPECT_EQ(Value("NoDisplay"), "true");
    EXPECT_EQ(Value("MimeType"), "image/bmp;image/png;image/jpeg;image/gif;image/tiff;");
    EXPECT_TRUE(fs::is_regular_file(Value("Icon"))) << Value("Icon");
    EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    if (HasTool("desktop-file-validate")) {
        EXPECT_EQ(Validate(entry), "");
    } else {
        ADD_FAILURE() << "desktop-file-validate (desktop-file-utils) is not installed: run scripts/setup";
    }
    // Our own entry is brought up to date in place.
    const Outcome again = Framelet({"--install-desktop-entry"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(FilesUnder(Narrow(data.path())), std::vector<std::string>{"applications/framelet.desktop"});

    const Outcome removed = Framelet({"--remove-desktop-entry"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "Removed " + entry + "\n");
    EXPECT_FALSE(fs::exists(entry));
    const Outcome nothing = Framelet({"--remove-desktop-entry"});
    EXPECT_EQ(nothing.status, 0);
    EXPECT_EQ(nothing.out, "No desktop entry at " + entry + "\n");
}

TEST_F(DesktopEntry, LeavesAnEntryItDidNotWriteAlone) {
    const std::string foreign = "[Desktop Entry]\nType=Application\nName=Someone else's\nExec=other %F\n";
    WriteText(entry, foreign);
    const Outcome installed = Framelet({"--install-desktop-entry"});
    EXPECT_EQ(installed.status, 1);
    EXPECT_EQ(installed.err, "framelet: " + entry + ": not written by framelet; left alone\n");
    const Outcome removed = Framelet({"--remove-desktop-entry"});
    EXPECT_EQ(removed.status, 1);
    EXPECT_EQ(removed.err, installed.err);
    EXPECT_EQ(Text(entry), foreign);
    EXPECT_EQ(FilesUnder(Narrow(data.path())), std::vector<std::string>{"applications/framelet.desktop"});
}

// A command in a folder whose name needs quoting in Exec, found through HOME
// when XDG_DATA_HOME is not set.
TEST_F(DesktopEntry, QuotesTheCommandsPathAndDefaultsToTheHomeFolder) {
    const std::string odd = folder + "/my $pictures' tool";
    fs::create_directories(odd);
    fs::copy_file(FRAMELET_COMMAND, odd + "/framelet");
    fs::permissions(odd + "/framelet", fs::perms::owner_all);
    fs::copy_file(fs::path(FRAMELET_COMMAND).parent_path() / "framelet.png", odd + "/framelet.png");
    const Outcome installed =
        RunProcess({"--install-desktop-entry"}, folder, {{"HOME", folder}, {"XDG_DATA_HOME", ""}}, odd + "/framelet");
    ASSERT_EQ(installed.status, 0) << installed.err;
    entry = folder + "/.local/share/applications/framelet.desktop";
    ASSERT_TRUE(fs::exists(entry));
    // Quoted, with '$' escaped for the quoting and that backslash for the file.
    EXPECT_EQ(Value("Exec"), "\"" + folder + "/my \\\\$pictures' tool/framelet\" %F");
    EXPECT_EQ(Value("Icon"), odd + "/framelet.png");
    if (HasTool("desktop-file-validate")) {
        EXPECT_EQ(Validate(entry), "");
    }
}

}  // namespace


// A folder is the files below it, each named as the user would name it, with
// the reason of those that give nothing: a reader's own when one declined.
TEST_F(Command, AFolderIsTheFilesBelowItWithTheirReasons) {
    const fs::path signedTiff = fs::path(CorporaRoot()) / "image-tiff-tests/tests/images/int8.tif";
    if (!fs::exists(signedTiff)) GTEST_SKIP() << "the shared corpora are not present";
    fs::create_directories(folder + "/pics/sub");
    Picture("pics/photo.bmp", 200, 150);
    Picture("pics/.hidden.bmp", 200, 150);
    work.Write(L"pics/notes.txt", std::string("not a picture"));
    fs::copy_file(signedTiff, folder + "/pics/sub/int8.tif");
    const Outcome outcome = Framelet({"-f", "bmp", "-s", "40x30", "pics/"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err,
              "framelet: pics/notes.txt: not a picture\n"
              "framelet: pics/sub/int8.tif: TIFF with signed samples is not supported\n");
    EXPECT_TRUE(fs::exists(folder + "/pics/photo.bmp"));
    EXPECT_TRUE(fs::exists(folder + "/pics/photo+1.bmp"));
    EXPECT_FALSE(fs::exists(folder + "/pics/.hidden+1.bmp"));
}

#endif  // _WIN32
