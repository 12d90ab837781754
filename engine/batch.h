// The batch driver: every input decoded once, fitted to every enabled slot,
// written to a temporary file and copied under a name that replaces nothing.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "platform/win32.h"

#include <cstdint>

// The main window: owner of the batch's messages, its title shows progress.
// Null while no window exists.
extern HWND mainWindow;
// Copies the window's controls into appSettings before a batch; null while
// no window exists (the settings are then used as loaded).
extern void (*collectSettings)();

// What became of one input or one slot of it, for a command that reports
// each; the window has no use for it.
enum class BatchEvent {
    kReading,          // the input is about to be read
    kNotLoaded,        // no reader or plug-in gave a picture
    kWritten,          // destination names the slot's new file
    kSmallerThanSlot,  // the picture is narrower or lower than the slot
    kNotWritten,       // fitting, encoding or copying failed
    kNamesTaken,       // the name and all its numbered forms exist
    kDone,             // the input is finished with
};
// Called, when set, with the input's index in the batch and the slot's index
// (-1 for the input's own events); destination only with kWritten. Null by
// default.
extern void (*reportBatchEvent)(int input, int slot, BatchEvent event, const WCHAR* destination);

// The five messages of the program.
enum ErrorMessage {
    kMessageNoMemory = 0,
    kMessageRunFailed = 1,
    kMessageConversionFailed = 2,
    kMessageInvalidFolder = 3,
    kMessageFolderNotCreated = 4,
};
void ShowError(int code);

// Converts count absolute paths (count >= 1). False when the batch was refused
// before any file was read; written, when given, receives the number of
// files written.
bool RunBatch(int count, const WCHAR* const* inputs, int* written = nullptr);

// The batch's format code for an index of the format list (BMP, PNG, JPEG,
// GIF, WebP); -1 for no format.
int32_t OutputFormatFor(int32_t listIndex);

using SaveEntry = bool (*)(LPCWSTR temporaryPath);
// Collects the settings and picks the batch's extension and save entry.
const WCHAR* SelectOutputFormat(SaveEntry& save);
// Fits currentImage to the slot size in fittedPicture and saves it.
bool RenderSlot(LPCWSTR temporaryPath, SaveEntry save);
// Makes path (of MAX_PATH characters) name nothing that exists yet.
bool MakeUniqueName(WCHAR* path, const WCHAR* extension);
