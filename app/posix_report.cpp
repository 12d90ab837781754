#include "app/posix_report.h"

#include "settings/settings_store.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct Reporter {
    const std::vector<std::string>* arguments = nullptr;
    bool verbose = false;
    bool progress = false;
    bool progressShown = false;
};
Reporter reporter;

void ClearProgress() {
    if (!reporter.progressShown) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    reporter.progressShown = false;
}

// Columns a code point takes on a terminal, near enough: East Asian scripts
// take two.
int ColumnsOf(unsigned codePoint) { return codePoint >= 0x1100 ? 2 : 1; }

// The last path component, cut to fit columns (UTF-8 kept whole).
std::string FitName(const std::string& argument, int columns) {
    const size_t slash = argument.find_last_of('/');
    const std::string name = slash == std::string::npos ? argument : argument.substr(slash + 1);
    std::string shown;
    int used = 0;
    for (size_t i = 0; i < name.size();) {
        const unsigned char lead = static_cast<unsigned char>(name[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        unsigned codePoint = lead;
        if (length > 1 && i + length <= name.size()) {
            codePoint = lead & (0x7F >> length);
            for (size_t k = 1; k < length; ++k) codePoint = codePoint << 6 | (name[i + k] & 0x3F);
        }
        used += ColumnsOf(codePoint);
        if (used > columns) break;
        shown.append(name, i, length);
        i += length;
    }
    return shown;
}

void ShowProgress(int input) {
    const int count = static_cast<int>(reporter.arguments->size());
    char counter[32];
    snprintf(counter, sizeof counter, "[%d/%d] ", input + 1, count);
    winsize size{};
    const int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    // One column short of the width, so the line never wraps and \r reaches its start.
    const int room = columns - 1 - static_cast<int>(strlen(counter));
    const std::string name = FitName((*reporter.arguments)[static_cast<size_t>(input)], room > 0 ? room : 0);
    fprintf(stderr, "\r\033[K%s%s", counter, name.c_str());
    fflush(stderr);
    reporter.progressShown = true;
}

// Why no reader took the input: it cannot be opened at all, its reader said
// why not, or nothing understands it.
std::string WhyNotLoaded(const std::string& argument, const char* reason) {
    const int file = open(argument.c_str(), O_RDONLY | O_CLOEXEC);
    int error = file < 0 ? errno : 0;
    if (file >= 0) {
        struct stat status {};
        if (fstat(file, &status) == 0 && S_ISDIR(status.st_mode)) error = EISDIR;
        close(file);
    }
    if (error != 0) return std::string("could not be opened (") + strerror(error) + ")";
    return reason != nullptr ? reason : "not a picture";
}

std::string SlotName(int slot) {
    const OutputSlot& s = appSettings.slots[slot];
    char text[64];
    snprintf(text, sizeof text, "slot %d (%dx%d)", slot + 1, s.width, s.height);
    return text;
}

void Say(const std::string& argument, const std::string& reason) {
    ClearProgress();
    fprintf(stderr, "framelet: %s: %s\n", argument.c_str(), reason.c_str());
    fflush(stderr);
}

// A line of the verbose report, on standard output.
void Tell(const std::string& line) {
    ClearProgress();
    printf("%s\n", line.c_str());
    fflush(stdout);
}

}  // namespace

void ReportBatchNote(const BatchNote& note) {
    const int input = note.input;
    const int slot = note.slot;
    const WCHAR* destination = note.destination;
    if (reporter.arguments == nullptr || input < 0 || input >= static_cast<int>(reporter.arguments->size())) return;
    const std::string& argument = (*reporter.arguments)[static_cast<size_t>(input)];
    switch (note.event) {
        case BatchEvent::kReading:
            if (reporter.progress) ShowProgress(input);
            break;
        case BatchEvent::kNotLoaded: Say(argument, WhyNotLoaded(argument, note.reason)); break;
        case BatchEvent::kWritten:
            if (reporter.verbose && destination != nullptr) Tell(argument + " -> " + Utf8(destination));
            break;
        case BatchEvent::kTurnedUpright:
            if (reporter.verbose)
                Tell(argument + ": turned upright (orientation " + std::to_string(note.prepared->turnedFrom) + ")");
            break;
        case BatchEvent::kConverted:
            if (reporter.verbose) {
                const WCHAR* name = note.prepared->profileName;
                Tell(argument + ": converted from " + (name[0] != 0 ? Utf8(name) : "its embedded profile") +
                     " to sRGB");
            }
            break;
        case BatchEvent::kSmallerThanSlot: {
            char size[32];
            snprintf(size, sizeof size, "%dx%d", note.width, note.height);
            Say(argument, std::string(size) + " is smaller than " + SlotName(slot));
            break;
        }
        case BatchEvent::kNotWritten: Say(argument, SlotName(slot) + " could not be written"); break;
        case BatchEvent::kNamesTaken: Say(argument, SlotName(slot) + ": all 9999 numbered names are taken"); break;
        case BatchEvent::kDone:
            // The last input's line goes before the batch's closing message can appear.
            if (input + 1 == static_cast<int>(reporter.arguments->size())) ClearProgress();
            break;
    }
}

std::string Utf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), bytes, nullptr, nullptr);
    result.resize(static_cast<size_t>(bytes) - 1);
    return result;
}

void StartReporting(const std::vector<std::string>& arguments, bool verbose, bool progress) {
    reporter = Reporter{&arguments, verbose, progress, false};
}

void StopReporting() {
    ClearProgress();
    reporter = Reporter{};
}
