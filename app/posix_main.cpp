// The command-line start-up used off Windows: the program's direct conversion.
// framelet PICTURE... converts the pictures with the stored settings, as the
// Windows program does when started with file names. Options change this
// run only; a run without them saves the settings as closing the window would.
#include "app/posix_desktop_entry.h"
#include "app/posix_options.h"
#include "app/posix_report.h"
#include "app/posix_settings_table.h"
#include "app/version.h"
#include "engine/batch.h"
#include "engine/input_list.h"
#include "core/memory.h"
#include "settings/settings_store.h"

#include <unistd.h>
#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// The JPEG library asks for its large buffers (the optimised encoder's whole
// picture of coefficients, a progressive decoder's) and frees them again for
// every file. By default the C library maps each anew and hands it back, so
// every slot pays for zeroing fresh pages; kept in the heap they are reused.
void KeepLargeBuffers() {
#ifdef __GLIBC__
    constexpr int kLargest = 256 << 20;
    mallopt(M_MMAP_THRESHOLD, kLargest);
    mallopt(M_TRIM_THRESHOLD, kLargest);
#endif
}

// A found file as the user would name it: the folder's argument as given,
// then the file's path below the folder.
std::string NameBelow(const std::string& argument, const std::wstring& folder, const std::wstring& path) {
    std::string below = Utf8(path.substr(folder.size()).c_str());
    if (!argument.empty() && argument.back() == '/' && !below.empty() && below.front() == '/') below.erase(0, 1);
    return argument + below;
}

int Convert(const CommandLine& command) {
    std::vector<const WCHAR*> given;
    for (const std::wstring& path : command.inputs) given.push_back(path.c_str());
    // Folders stand for the files below them.
    const std::vector<ListedInput> listed = ListInputs(static_cast<int>(given.size()), given.data());
    std::vector<const WCHAR*> inputs;
    std::vector<std::string> names;
    for (const ListedInput& input : listed) {
        inputs.push_back(input.path.c_str());
        const size_t at = static_cast<size_t>(input.given);
        names.push_back(input.path == command.inputs[at]
                            ? command.arguments[at]
                            : NameBelow(command.arguments[at], command.inputs[at], input.path));
    }
    appSettings.outputFormat = OutputFormatFor(appSettings.DrctCvt);
    int written = 0;
    KeepLargeBuffers();
    if (appSettings.outputFormat < 0) {
        fprintf(stderr, "framelet: the stored format (DrctCvt=%d) is none of bmp, png, jpeg, gif, webp; try --format\n",
                appSettings.DrctCvt);
        ShowError(nullptr, kMessageConversionFailed);
        return kWroteNothing;
    }
    if (inputs.empty()) {
        fprintf(stderr, "framelet: no files in the folders given\n");
        ShowError(nullptr, kMessageConversionFailed);
        return kWroteNothing;
    }
    // A progress line only helps someone watching a terminal, and only for a batch.
    const bool progress = inputs.size() > 1 && isatty(STDERR_FILENO);
    StartReporting(names, command.verbose, progress);
    BatchHost host;
    host.report = ReportBatchNote;
    host.jobs = command.jobs;
    RunBatch(static_cast<int>(inputs.size()), inputs.data(), &written, host);
    StopReporting();
    return written > 0 ? kWroteFiles : kWroteNothing;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine command;
    if (!ParseCommandLine(argc, argv, command)) return kUsage;
    switch (command.action) {
        case Action::kHelp: fputs(HelpText(), stdout); return kWroteFiles;
        case Action::kVersion: printf("framelet %s\n", FRAMELET_VERSION_TEXT); return kWroteFiles;
        case Action::kInstallDesktopEntry: return InstallDesktopEntry();
        case Action::kRemoveDesktopEntry: return RemoveDesktopEntry();
        case Action::kShowSettings:
        case Action::kConvert: break;
    }
    privateHeap = HeapCreate(0, kPrivateHeapInitialSize, 0);
    if (privateHeap == nullptr || !SettingsStore::ResolvePath()) {
        ShowError(nullptr, kMessageRunFailed);
        return kWroteNothing;
    }
    SettingsStore::Load();
    ApplyOverrides(command, appSettings);
    int status = kWroteFiles;
    if (command.action == Action::kShowSettings) {
        PrintSettings(stdout, settingsPath, appSettings, command.HasOverrides());
    } else {
        status = Convert(command);
        // One-off values never reach the file: with any given, it is left as it was.
        if (!command.HasOverrides()) SettingsStore::Save();
    }
    HeapDestroy(privateHeap);
    return status;
}
