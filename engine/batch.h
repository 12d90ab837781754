// The batch driver: every input decoded once, fitted to every enabled slot,
// written to a temporary file and copied under a name that replaces nothing.
// Pictures are converted on workers, each with its own context; outputs are
// published in input order, so names and bytes do not depend on the workers.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "engine/picture_context.h"
#include "engine/prepare_picture.h"

#include <cstdint>

// What became of one input or one slot of it, for a command that reports
// each; the window has no use for it.
enum class BatchEvent {
    kReading,          // the input is about to be published
    kNotLoaded,        // no reader or plug-in gave a picture
    kWritten,          // destination names the slot's new file
    kSmallerThanSlot,  // the picture is narrower or lower than the slot
    kNotWritten,       // fitting, encoding or copying failed
    kNamesTaken,       // the name and all its numbered forms exist
    kDone,             // the input is finished with
    kTurnedUpright,    // the picture was turned upright from prepared->turnedFrom
    kConverted,        // from the embedded profile (prepared->profileName) to sRGB
};

struct BatchNote {
    int input;  // the input's index in the batch
    int slot;   // the slot's index; -1 for the input's own events
    BatchEvent event;
    const WCHAR* destination;  // kWritten: the slot's new file
    int32_t width;             // the picture's size, once it was read
    int32_t height;
    const char* reason;             // kNotLoaded: what the file's reader said, when one read it
    const PreparedNotes* prepared;  // kTurnedUpright, kConverted: what was done to the picture
};

// The five messages of the program.
enum ErrorMessage {
    kMessageNoMemory = 0,
    kMessageRunFailed = 1,
    kMessageConversionFailed = 2,
    kMessageInvalidFolder = 3,
    kMessageFolderNotCreated = 4,
};
// Shows one of the messages in a box owned by the window (null: none).
void ShowError(HWND owner, int code);

// How a batch speaks to the program that runs it. Every call comes from the
// thread that called RunBatch, in input order.
struct BatchHost {
    // Copies the window's controls into appSettings first; null when the
    // settings are used as they are.
    void (*collectSettings)() = nullptr;
    // Shows a message; null shows it without an owner window.
    void (*showMessage)(int code) = nullptr;
    // Told when the batch starts and ends (the window's title says so).
    void (*showBusy)(bool busy) = nullptr;
    // Told what became of every input and slot; null for nobody.
    void (*report)(const BatchNote& note) = nullptr;
    // Pictures converted at once; 0 for one per processor.
    int jobs = 1;
};

// Converts count absolute paths (count >= 1). False when the batch was refused
// before any file was read; written, when given, receives the number of
// files written.
bool RunBatch(int count, const WCHAR* const* inputs, int* written = nullptr, const BatchHost& host = BatchHost{});

// The batch's format code for an index of the format list (BMP, PNG, JPEG,
// GIF, WebP); -1 for no format.
int32_t OutputFormatFor(int32_t listIndex);

using SaveEntry = bool (*)(PictureContext& context, LPCWSTR temporaryPath);
// Fits the context's current picture to the slot size in its fitted picture
// and saves it.
bool RenderSlot(PictureContext& context, LPCWSTR temporaryPath, SaveEntry save);
// Makes path (of MAX_PATH characters) name nothing that exists yet.
bool MakeUniqueName(WCHAR* path, const WCHAR* extension);
