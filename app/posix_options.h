// The native command's command line: GNU-style options, each value checked
// before any picture is read, and the one-off overrides they make.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

#include "settings/settings_store.h"

#include <cstdint>
#include <string>
#include <vector>

enum ExitStatus { kWroteFiles = 0, kWroteNothing = 1, kUsage = 2 };

enum class Action { kConvert, kHelp, kVersion, kShowSettings, kInstallDesktopEntry, kRemoveDesktopEntry };

// A slot given with --slot: it and the other given slots replace the stored ones.
struct SlotOverride {
    int32_t width = 0;
    int32_t height = 0;
    std::wstring folder;  // absolute; empty: the first picture's folder
    std::wstring suffix;
};

struct CommandLine {
    Action action = Action::kConvert;
    bool verbose = false;
    std::vector<SlotOverride> slots;
    int32_t formatIndex = -1;  // DrctCvt: 0 BMP, 1 PNG, 2 JPEG, 3 GIF, 4 WebP; -1 keeps the stored one
    int32_t quality = -1;
    int32_t sampling = -1;               // the stored code: 0 4:2:0, 1 4:2:2, 2 4:4:4
    int32_t maxSize = -1;                // KiB; 0 switches the limit off
    bool noRotate = false;               // use the pixels as stored, whatever their orientation
    bool noColourConversion = false;     // use the colour numbers as stored, whatever their profile
    int32_t jobs = 0;                    // pictures converted at once; 0: one per processor
    std::vector<std::string> arguments;  // the pictures as given
    std::vector<std::wstring> inputs;    // the same as absolute paths

    bool HasOverrides() const {
        return !slots.empty() || formatIndex >= 0 || quality >= 0 || sampling >= 0 || maxSize >= 0 || noRotate ||
               noColourConversion;
    }
};

// Reads argv into command. False after a message on standard error when the
// command line is wrong (exit status kUsage).
bool ParseCommandLine(int argc, char** argv, CommandLine& command);
// Puts the command line's one-off values into settings (never saved).
void ApplyOverrides(const CommandLine& command, AppSettings& settings);
// The --help text.
const char* HelpText();
