// The command-line start-up used off Windows: the program's direct conversion.
// framelet FILE... converts the files with the stored output format, as the
// Windows program does when started with file names, and saves the settings
// as closing its window would.
#include "engine/batch.h"
#include "engine/memory.h"
#include "settings/settings_store.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

enum ExitStatus { kWroteFiles = 0, kWroteNothing = 1, kUsage = 2 };

// An argument as an absolute path, its long form when the file exists.
std::wstring AbsolutePath(const char* argument) {
    std::vector<WCHAR> wide(MultiByteToWideChar(CP_UTF8, 0, argument, -1, nullptr, 0));
    MultiByteToWideChar(CP_UTF8, 0, argument, -1, wide.data(), static_cast<int>(wide.size()));
    WCHAR full[MAX_PATH];
    const DWORD length = GetFullPathNameW(wide.data(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return wide.data();
    WCHAR longPath[MAX_PATH];
    const DWORD longLength = GetLongPathNameW(full, longPath, MAX_PATH);
    return longLength > 0 && longLength < MAX_PATH ? longPath : full;
}

int Convert(int count, char** arguments) {
    std::vector<std::wstring> paths;
    for (int i = 0; i < count; ++i) paths.push_back(AbsolutePath(arguments[i]));
    std::vector<const WCHAR*> inputs;
    for (const std::wstring& path : paths) inputs.push_back(path.c_str());
    appSettings.outputFormat = OutputFormatFor(appSettings.DrctCvt);
    int written = 0;
    if (appSettings.outputFormat < 0) {
        ShowError(kMessageConversionFailed);  // the stored format names no format
    } else {
        RunBatch(count, inputs.data(), &written);
    }
    return written > 0 ? kWroteFiles : kWroteNothing;
}

}  // namespace

int main(int argc, char** argv) {
    privateHeap = HeapCreate(0, kPrivateHeapInitialSize, 0);
    if (privateHeap == nullptr || !SettingsStore::ResolvePath()) {
        ShowError(kMessageRunFailed);
        return kWroteNothing;
    }
    if (argc < 2) {
        fprintf(stderr,
                "usage: framelet PICTURE...\n"
                "Makes a wallpaper of every picture for each enabled output slot.\n"
                "settings: %ls\n",
                settingsPath);
        HeapDestroy(privateHeap);
        return kUsage;
    }
    SettingsStore::Load();
    const int status = Convert(argc - 1, argv + 1);
    SettingsStore::Save();
    HeapDestroy(privateHeap);
    return status;
}
