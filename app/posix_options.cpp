#include "app/posix_options.h"

#include <getopt.h>
#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t kLargestSide = 65535;
constexpr int32_t kLargestLimit = 32767;  // KiB, as the window offers

// Long-only options get codes past every character.
enum OptionCode {
    kSampling = 0x100,
    kMaxSize,
    kSettings,
    kInstallDesktopEntry,
    kRemoveDesktopEntry,
    kNoRotate,
    kNoColourConversion,
};

constexpr int32_t kMostJobs = 64;

const option kOptions[] = {
    {"slot", required_argument, nullptr, 's'},
    {"format", required_argument, nullptr, 'f'},
    {"quality", required_argument, nullptr, 'q'},
    {"sampling", required_argument, nullptr, kSampling},
    {"max-size", required_argument, nullptr, kMaxSize},
    {"no-rotate", no_argument, nullptr, kNoRotate},
    {"no-colour-conversion", no_argument, nullptr, kNoColourConversion},
    {"verbose", no_argument, nullptr, 'v'},
    {"jobs", required_argument, nullptr, 'j'},
    {"settings", no_argument, nullptr, kSettings},
    {"install-desktop-entry", no_argument, nullptr, kInstallDesktopEntry},
    {"remove-desktop-entry", no_argument, nullptr, kRemoveDesktopEntry},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};
// The leading colon makes getopt report a missing value apart from an unknown option.
constexpr char kShortOptions[] = ":s:f:q:vj:hV";

const char kHelp[] =
    "Usage: framelet [OPTION]... PICTURE...\n"
    "Makes a wallpaper-sized copy of every PICTURE for each enabled output slot,\n"
    "with the stored settings. An existing file is never replaced. A folder\n"
    "stands for the files in it and in its sub-folders.\n"
    "\n"
    "  -s, --slot WxH[:FOLDER[:SUFFIX]]\n"
    "                        use this slot in place of the stored ones; repeat\n"
    "                        for up to six (no FOLDER: the first picture's)\n"
    "  -f, --format FORMAT   write bmp, png, jpeg, gif or webp\n"
    "  -q, --quality N       JPEG and WebP quality, 1 to 100\n"
    "      --sampling S      JPEG chroma sampling: 420, 422 or 444\n"
    "      --max-size KIB    largest JPEG or WebP file in KiB, 1 to 32767;\n"
    "                        0: no limit\n"
    "      --no-rotate       use the pixels as stored, not turned upright by\n"
    "                        the picture's EXIF orientation\n"
    "      --no-colour-conversion\n"
    "                        use the colours as stored, not converted from an\n"
    "                        embedded ICC profile to sRGB\n"
    "  -v, --verbose         name every file written\n"
    "  -j, --jobs N          convert N pictures at once (default: one per\n"
    "                        processor); names and bytes are the same\n"
    "      --settings        show the settings file and the settings in use\n"
    "      --install-desktop-entry\n"
    "                        offer framelet in file managers' \"Open With\"\n"
    "      --remove-desktop-entry\n"
    "                        remove that entry again\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "The options hold for this run only: the settings file is not changed.\n"
    "Outputs carry no EXIF and no colour profile (so no GPS position either).\n"
    "Exit status: 0 when a file was written, 1 when none was, 2 for a wrong\n"
    "command line.\n";

void UsageHint() {
    fputs("Usage: framelet [OPTION]... PICTURE...\nTry 'framelet --help' for more information.\n", stderr);
}

bool Refuse(const char* what, const char* value, const char* rule) {
    fprintf(stderr, "framelet: invalid %s '%s': %s\n", what, value, rule);
    return false;
}

// Digits only, no sign; a value past largest reads as largest + 1.
bool ParseNumber(const char* text, int32_t largest, int32_t& value) {
    if (*text == 0) return false;
    int64_t result = 0;
    for (const char* c = text; *c != 0; ++c) {
        if (*c < '0' || *c > '9') return false;
        result = std::min<int64_t>(result * 10 + (*c - '0'), int64_t{largest} + 1);
    }
    value = static_cast<int32_t>(result);
    return true;
}

bool ParseRange(const char* what, const char* text, int32_t smallest, int32_t largest, int32_t& value) {
    if (ParseNumber(text, largest, value) && value >= smallest && value <= largest) return true;
    char rule[64];
    snprintf(rule, sizeof rule, "must be a number from %d to %d", smallest, largest);
    return Refuse(what, text, rule);
}

std::wstring Wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

// The argument as an absolute path, its long form when the file exists;
// false when that does not fit the path buffer the batch uses.
bool AbsolutePath(const std::string& argument, std::wstring& path) {
    const std::wstring wide = Wide(argument);
    WCHAR full[MAX_PATH];
    const DWORD length = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
    if (length >= MAX_PATH || wide.size() >= MAX_PATH) return false;
    if (length == 0) {
        path = wide;  // the batch reports it as not openable
        return true;
    }
    WCHAR longPath[MAX_PATH];
    const DWORD longLength = GetLongPathNameW(full, longPath, MAX_PATH);
    path = longLength > 0 && longLength < MAX_PATH ? longPath : full;
    return true;
}

bool RefuseLongPath(const char* what, const std::string& value) {
    fprintf(stderr, "framelet: %s%s: the path is longer than %d characters\n", what, value.c_str(), MAX_PATH - 1);
    return false;
}

// WxH[:FOLDER[:SUFFIX]]; a colon in FOLDER needs a SUFFIX after it (the last
// colon ends the folder).
bool ParseSlot(const char* text, SlotOverride& slot) {
    const std::string value = text;
    const char* const kForm = "expected WIDTHxHEIGHT[:FOLDER[:SUFFIX]]";
    const size_t colon = value.find(':');
    const std::string size = value.substr(0, colon);
    const size_t x = size.find_first_of("xX");
    if (x == std::string::npos) return Refuse("slot", text, kForm);
    const std::string width = size.substr(0, x);
    const std::string height = size.substr(x + 1);
    int32_t w = 0;
    int32_t h = 0;
    if (!ParseNumber(width.c_str(), kLargestSide, w) || !ParseNumber(height.c_str(), kLargestSide, h))
        return Refuse("slot", text, kForm);
    if (w < 1 || h < 1 || w > kLargestSide || h > kLargestSide)
        return Refuse("slot", text, "width and height must be 1 to 65535");
    slot.width = w;
    slot.height = h;
    if (colon == std::string::npos) return true;
    std::string folder = value.substr(colon + 1);
    std::string suffix;
    const size_t last = folder.rfind(':');
    if (last != std::string::npos) {
        suffix = folder.substr(last + 1);
        folder.erase(last);
    }
    if (suffix.find_first_of("/\\") != std::string::npos)
        return Refuse("slot", text, "a suffix cannot hold '/' or '\\'");
    slot.suffix = Wide(suffix);
    if (slot.suffix.size() >= MAX_PATH) return RefuseLongPath("slot suffix ", suffix);
    if (!folder.empty() && !AbsolutePath(folder, slot.folder)) return RefuseLongPath("slot folder ", folder);
    return true;
}

bool ParseFormat(const char* text, int32_t& index) {
    static const char* const kNames[][2] = {
        {"bmp", nullptr}, {"png", nullptr}, {"jpeg", "jpg"}, {"gif", nullptr}, {"webp", nullptr}};
    for (int32_t i = 0; i < 5; ++i) {
        for (const char* name : kNames[i]) {
            if (name != nullptr && strcasecmp(text, name) == 0) {
                index = i;
                return true;
            }
        }
    }
    return Refuse("format", text, "must be bmp, png, jpeg, gif or webp");
}

bool ParseSampling(const char* text, int32_t& code) {
    static const char* const kNames[] = {"420", "422", "444"};
    for (int32_t i = 0; i < 3; ++i) {
        if (strcmp(text, kNames[i]) == 0) {
            code = i;
            return true;
        }
    }
    return Refuse("sampling", text, "must be 420, 422 or 444");
}

bool ParseOption(int code, const char* value, CommandLine& command) {
    switch (code) {
        case 's': {
            if (command.slots.size() == kSlotCount) {
                fprintf(stderr, "framelet: more than %d slots given\n", kSlotCount);
                return false;
            }
            SlotOverride slot;
            if (!ParseSlot(value, slot)) return false;
            command.slots.push_back(slot);
            return true;
        }
        case 'f': return ParseFormat(value, command.formatIndex);
        case 'q': return ParseRange("quality", value, 1, 100, command.quality);
        case kSampling: return ParseSampling(value, command.sampling);
        case kMaxSize: return ParseRange("size limit", value, 0, kLargestLimit, command.maxSize);
        case kNoRotate: command.noRotate = true; return true;
        case kNoColourConversion: command.noColourConversion = true; return true;
        case 'v': command.verbose = true; return true;
        case 'j': return ParseRange("job count", value, 1, kMostJobs, command.jobs);
        case kSettings: command.action = Action::kShowSettings; return true;
        case kInstallDesktopEntry: command.action = Action::kInstallDesktopEntry; return true;
        case kRemoveDesktopEntry: command.action = Action::kRemoveDesktopEntry; return true;
        case 'h': command.action = Action::kHelp; return true;
        case 'V': command.action = Action::kVersion; return true;
        default: return false;  // getopt's own codes are handled by the caller
    }
}

// Says what getopt stopped at (code ':' or '?'), as the user wrote it.
void ComplainAbout(int code, char** argv, int argc) {
    // The argument getopt has just passed over; for an unknown letter inside
    // a cluster ("-vx") getopt has not moved yet, and optopt says it.
    const char* last = optind > 0 && optind - 1 < argc ? argv[optind - 1] : "";
    const bool isLong = strncmp(last, "--", 2) == 0;
    const std::string name = isLong ? std::string(last, strcspn(last, "=")) : std::string("-") + char(optopt);
    if (code == ':') {
        fprintf(stderr, "framelet: option '%s' needs a value\n", name.c_str());
    } else if (isLong && optopt != 0 && strchr(last, '=') != nullptr) {
        fprintf(stderr, "framelet: option '%s' takes no value\n", name.c_str());
    } else {
        const std::string shown = optopt != 0 && optopt < 0x100 ? std::string("-") + char(optopt) : name;
        fprintf(stderr, "framelet: unknown option '%s'\n", shown.c_str());
    }
    UsageHint();
}

}  // namespace

const char* HelpText() { return kHelp; }

bool ParseCommandLine(int argc, char** argv, CommandLine& command) {
    command = CommandLine{};
    optind = 0;  // a full restart of getopt's own state
    opterr = 0;  // its messages name the program by its path; ours say "framelet"
    bool help = false;
    bool version = false;
    for (;;) {
        const int code = getopt_long(argc, argv, kShortOptions, kOptions, nullptr);
        if (code == -1) break;
        if (code == ':' || code == '?') {
            ComplainAbout(code, argv, argc);
            return false;
        }
        if (!ParseOption(code, optarg, command)) return false;
        help = help || command.action == Action::kHelp;
        version = version || command.action == Action::kVersion;
    }
    // --help and --version answer whatever else was given.
    if (help || version) {
        command.action = help ? Action::kHelp : Action::kVersion;
        return true;
    }
    for (int i = optind; i < argc; ++i) command.arguments.push_back(argv[i]);
    if (command.action != Action::kConvert && !command.arguments.empty()) {
        const char* option = command.action == Action::kShowSettings          ? "--settings"
                             : command.action == Action::kInstallDesktopEntry ? "--install-desktop-entry"
                                                                              : "--remove-desktop-entry";
        fprintf(stderr, "framelet: '%s' takes no picture\n", option);
        UsageHint();
        return false;
    }
    if (command.action == Action::kConvert && command.arguments.empty()) {
        fputs("framelet: no picture named\n", stderr);
        UsageHint();
        return false;
    }
    for (const std::string& argument : command.arguments) {
        std::wstring path;
        if (!AbsolutePath(argument, path)) return RefuseLongPath("", argument);
        command.inputs.push_back(path);
    }
    return true;
}

void ApplyOverrides(const CommandLine& command, AppSettings& settings) {
    if (!command.slots.empty()) {
        for (int i = 0; i < kSlotCount; ++i) {
            OutputSlot& slot = settings.slots[i];
            const bool given = i < static_cast<int>(command.slots.size());
            slot.enabled = given;
            if (!given) continue;
            const SlotOverride& from = command.slots[static_cast<size_t>(i)];
            slot.width = from.width;
            slot.height = from.height;
            wcscpy(slot.folder, from.folder.c_str());  // lengths checked when parsed
            wcscpy(slot.suffix, from.suffix.c_str());
            slot.useSubfolder = false;
            slot.subfolder[0] = 0;
        }
    }
    if (command.formatIndex >= 0) settings.DrctCvt = command.formatIndex;
    if (command.quality >= 0) settings.Quality = command.quality;
    if (command.sampling >= 0) settings.Sampling = command.sampling;
    if (command.maxSize == 0) settings.Limit = false;
    if (command.maxSize > 0) {
        settings.Limit = true;
        settings.LmtVal = command.maxSize;
    }
    if (command.noRotate) settings.AutoRot = false;
    if (command.noColourConversion) settings.ToSRGB = false;
}
