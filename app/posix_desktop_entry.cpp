#include "app/posix_desktop_entry.h"
#include "app/installed_desktop_entry.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

constexpr char kFileName[] = "framelet.desktop";
// Marks an entry as ours: only such a file is ever replaced or removed.
constexpr char kMarker[] = "X-Framelet-Written-By=framelet --install-desktop-entry";

#ifndef FRAMELET_ICON_FROM_BINDIR
#define FRAMELET_ICON_FROM_BINDIR "../share/icons/hicolor/256x256/apps/framelet.png"
#endif

bool Fail(const std::string& what, const char* reason) {
    fprintf(stderr, "framelet: %s: %s\n", what.c_str(), reason);
    return false;
}

// $XDG_DATA_HOME/applications, by default ~/.local/share/applications.
bool ApplicationsFolder(std::string& folder) {
    const char* data = getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {  // a relative value is to be ignored
        folder = std::string(data) + "/applications";
        return true;
    }
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') return Fail("desktop entry", "no home folder is known");
    folder = std::string(home) + "/.local/share/applications";
    return true;
}

bool MakeFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return Fail(part, strerror(errno));
        if (slash == std::string::npos) return true;
    }
}

std::string ProgramPath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

bool IsFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The icon beside the command (a build tree) or where installing puts it.
std::string IconPath(const std::string& program) {
    const std::string folder = program.substr(0, program.rfind('/'));
    const std::string candidates[] = {folder + "/framelet.png", folder + "/" + FRAMELET_ICON_FROM_BINDIR};
    for (const std::string& candidate : candidates) {
        char resolved[PATH_MAX];
        if (IsFile(candidate) && realpath(candidate.c_str(), resolved) != nullptr) return resolved;
    }
    return std::string();
}

bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80             ? 1
                              : (c & 0xE0) == 0xC0 ? 2
                              : (c & 0xF0) == 0xE0 ? 3
                              : (c & 0xF8) == 0xF0 ? 4
                                                   : 0;
        if (length == 0 || i + length > text.size() || (length == 2 && c < 0xC2)) return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// A value of the string type: backslash and control characters escaped.
std::string StringValue(const std::string& text) {
    std::string value;
    for (const char c : text) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '\t') {
            value += "\\t";
        } else {
            value += c;
        }
    }
    return value;
}

// The program as the first word of Exec: quoted when it holds a reserved
// character, '%' doubled; then escaped as any string value.
std::string ExecProgram(const std::string& program) {
    const bool quote = program.find_first_of(" \t\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string word;
    for (const char c : program) {
        if (c == '%') {
            word += "%%";
        } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            word += '\\';
            word += c;
        } else {
            word += c;
        }
    }
    return StringValue(quote ? "\"" + word + "\"" : word);
}

// The installed entry (app/framelet.desktop) names the command and its icon;
// the user's entry names this command's path and the icon found for it.
std::string EntryText(const std::string& program, const std::string& icon) {
    std::string text;
    std::istringstream lines(kInstalledEntry);
    for (std::string line; std::getline(lines, line);) {
        if (line == "TryExec=framelet") {
            line = "TryExec=" + StringValue(program);
        } else if (line.rfind("Exec=framelet ", 0) == 0) {
            line = "Exec=" + ExecProgram(program) + line.substr(strlen("Exec=framelet"));
        } else if (line == "Icon=framelet" && !icon.empty()) {
            line = "Icon=" + StringValue(icon);
        }
        text += line + "\n";
    }
    return text + kMarker + "\n";
}

// What is at path: nothing, an entry of ours, or anything else.
enum class Existing { kNone, kOurs, kForeign, kUnknown };

Existing Inspect(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return errno == ENOENT ? Existing::kNone : Existing::kUnknown;
    if (!S_ISREG(status.st_mode)) return Existing::kForeign;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return Existing::kUnknown;
    char line[4096];
    bool ours = false;
    while (!ours && fgets(line, sizeof line, file) != nullptr) {
        line[strcspn(line, "\r\n")] = 0;
        ours = strcmp(line, kMarker) == 0;
    }
    fclose(file);
    return ours ? Existing::kOurs : Existing::kForeign;
}

// Writes text to a fresh file beside path, then puts it in place: over an
// entry of ours, else only where no file has appeared meanwhile.
bool WriteEntry(const std::string& path, const std::string& text, bool replace) {
    std::string temporary = path + ".XXXXXX";
    const int file = mkstemp(temporary.data());
    if (file < 0) return Fail(path, strerror(errno));
    const bool written = fchmod(file, 0644) == 0 &&
                         write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(file) == 0;
    const int writeError = errno;
    close(file);
    bool placed = false;
    if (written)
        placed = replace ? rename(temporary.c_str(), path.c_str()) == 0 : link(temporary.c_str(), path.c_str()) == 0;
    const int placeError = errno;
    if (!placed || !replace) unlink(temporary.c_str());
    if (!written) return Fail(path, strerror(writeError));
    if (!placed) return Fail(path, placeError == EEXIST ? "appeared meanwhile; left alone" : strerror(placeError));
    return true;
}

}  // namespace

int InstallDesktopEntry() {
    std::string folder;
    if (!ApplicationsFolder(folder)) return 1;
    const std::string path = folder + "/" + kFileName;
    const std::string program = ProgramPath();
    if (program.empty()) {
        Fail("desktop entry", "the command's own path is not known");
        return 1;
    }
    if (!IsUtf8(program) || program.find('\n') != std::string::npos) {
        Fail(program, "this path cannot be named in a desktop entry");
        return 1;
    }
    std::string icon = IconPath(program);
    if (!IsUtf8(icon) || icon.find('\n') != std::string::npos) icon.clear();
    const Existing existing = Inspect(path);
    if (existing == Existing::kForeign) {
        Fail(path, "not written by framelet; left alone");
        return 1;
    }
    if (existing == Existing::kUnknown) {
        Fail(path, strerror(errno));
        return 1;
    }
    if (!MakeFolders(folder)) return 1;
    if (!WriteEntry(path, EntryText(program, icon), existing == Existing::kOurs)) return 1;
    printf("Wrote %s\n", path.c_str());
    return 0;
}

int RemoveDesktopEntry() {
    std::string folder;
    if (!ApplicationsFolder(folder)) return 1;
    const std::string path = folder + "/" + kFileName;
    switch (Inspect(path)) {
        case Existing::kNone: printf("No desktop entry at %s\n", path.c_str()); return 0;
        case Existing::kForeign: Fail(path, "not written by framelet; left alone"); return 1;
        case Existing::kUnknown: Fail(path, strerror(errno)); return 1;
        case Existing::kOurs: break;
    }
    if (unlink(path.c_str()) != 0) {
        Fail(path, strerror(errno));
        return 1;
    }
    printf("Removed %s\n", path.c_str());
    return 0;
}
