// The persisted configuration: six output slots and the save options, kept in
// one INI section and read once at start-up, written once at close.
#pragma once

#ifndef FRAMELET_LAYER_SETTINGS
#error "the settings store is for the settings library and the layers above it"
#endif

#include "platform/win32.h"

#include <cstdint>

constexpr int kSlotCount = 6;

struct OutputSlot {
    bool enabled;
    int32_t width;
    int32_t height;
    WCHAR folder[MAX_PATH];  // empty: the folder of the batch's first input
    WCHAR suffix[MAX_PATH];
    bool useSubfolder;
    WCHAR subfolder[MAX_PATH];
};

// Fields named after their INI keys where they have one.
struct AppSettings {
    OutputSlot slots[kSlotCount];
    int32_t outputFormat;  // run-time only: 0 BMP, 1 PNG, 2 JPEG, 4 GIF, 5 WebP
    int32_t Quality;
    int32_t Sampling;
    bool Limit;
    int32_t LmtVal;
    bool UseSpi;
    WCHAR SpiPath[MAX_PATH];  // empty, or an existing folder
    int32_t DrctCvt;
    int32_t DispNUM;
    bool AutoRot;  // turn photos upright by their EXIF orientation
    bool ToSRGB;   // convert colours from an embedded ICC profile to sRGB
};

extern AppSettings appSettings;
extern WCHAR settingsPath[MAX_PATH];

namespace SettingsStore {
// Finds the INI file for this program; false when the program runs under a
// name other than its own.
bool ResolvePath();
// The same for a program at the given path.
bool ResolvePathFor(LPCWSTR programPath);
// Reads every key (missing ones take their defaults) into appSettings.
void Load();
// Rebuilds the section from appSettings: every key, in the fixed order.
void Save();
}  // namespace SettingsStore
