#include "engine/batch.h"

#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "engine/save_picture.h"
#include "settings/settings_store.h"

#include <cwchar>

HWND mainWindow = nullptr;
void (*collectSettings)() = nullptr;
void (*reportBatchEvent)(int, int, BatchEvent, const WCHAR*) = nullptr;

namespace {

const WCHAR* const kMessages[] = {
    L"メモリ確保に失敗しました。",
    L"ファイル実行に失敗しました。",
    L"ファイル変換に失敗しました。",
    L"出力フォルダが無効です。",
    L"フォルダ作成に失敗しました。",
};

struct OutputFormat {
    int32_t code;
    const WCHAR* extension;
    SaveEntry save;
};

// Any code not listed is written as a bitmap. A format joins the list with
// its writer, so no file ever carries an extension its content does not match.
const OutputFormat kBitmap{0, L".bmp", SaveBmp};
const OutputFormat kFormats[] = {
    kBitmap, {1, L".png", SavePng}, {2, L".jpg", SaveJpeg}, {4, L".gif", SaveGif}, {5, L".webp", SaveWebp}};

// How often a copy is retried when its name was taken after the check.
constexpr int kCopyAttempts = 8;

bool CopyText(WCHAR* to, const WCHAR* from) {
    const size_t length = wcslen(from);
    if (length >= MAX_PATH) return false;
    wmemcpy(to, from, length + 1);
    return true;
}

bool AppendText(WCHAR* path, const WCHAR* text) {
    const size_t used = wcslen(path);
    const size_t length = wcslen(text);
    if (used + length >= MAX_PATH) return false;
    wmemcpy(path + used, text, length + 1);
    return true;
}

// The slots' folders, checked and with their sub-folders made, before any
// file is read; false (with its message shown) refuses the batch.
bool PrepareFolders(const WCHAR* firstInput, WCHAR (&folders)[kSlotCount][MAX_PATH]) {
    for (int i = 0; i < kSlotCount; ++i) {
        const OutputSlot& slot = appSettings.slots[i];
        if (!slot.enabled) continue;
        WCHAR* folder = folders[i];
        if (slot.folder[0] != 0) {
            CopyText(folder, slot.folder);
        } else {
            CopyText(folder, firstInput);
            PathRemoveFileSpecW(folder);
        }
        if (!PathIsDirectoryW(folder)) {
            ShowError(kMessageInvalidFolder);
            return false;
        }
        if (slot.useSubfolder && slot.subfolder[0] != 0) {
            // Another run may make the folder between the test and the creation.
            if (!PathAppendW(folder, slot.subfolder) ||
                (!PathIsDirectoryW(folder) && !CreateDirectoryW(folder, nullptr) && !PathIsDirectoryW(folder))) {
                ShowError(kMessageFolderNotCreated);
                return false;
            }
        }
    }
    return true;
}

// The input's base name with the slot's suffix and the batch's extension in
// the slot's folder; false when that does not fit the path buffer.
bool ComposeDestination(const WCHAR* folder, const WCHAR* input, const OutputSlot& slot, const WCHAR* extension,
                        WCHAR (&destination)[MAX_PATH]) {
    if (PathCombineW(destination, folder, PathFindFileNameW(input)) == nullptr) return false;
    PathRemoveExtensionW(destination);
    return AppendText(destination, slot.suffix) && AppendText(destination, extension);
}

// Copies the temporary file to a free name, left in target; never over an
// existing file, also when one appears between the name check and the copy.
BatchEvent CopyToFreeName(const WCHAR* temporary, const WCHAR (&destination)[MAX_PATH], const WCHAR* extension,
                          WCHAR (&target)[MAX_PATH]) {
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        wmemcpy(target, destination, MAX_PATH);
        if (!MakeUniqueName(target, extension)) return BatchEvent::kNamesTaken;
        if (CopyToNewFile(temporary, target)) return BatchEvent::kWritten;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return BatchEvent::kNotWritten;
    }
    return BatchEvent::kNotWritten;
}

// One slot of one input: kWritten with the file's name in target, or why not.
BatchEvent ConvertSlot(const WCHAR* input, const OutputSlot& slot, const WCHAR* folder, const WCHAR* temporaryFolder,
                       const WCHAR* extension, SaveEntry save, WCHAR (&target)[MAX_PATH]) {
    if (currentImage->header.biWidth < slot.width || currentImage->header.biHeight < slot.height)
        return BatchEvent::kSmallerThanSlot;  // fitting would refuse it
    fittedPicture.slotWidth = slot.width;
    fittedPicture.slotHeight = slot.height;
    WCHAR temporary[MAX_PATH];
    if (GetTempFileNameW(temporaryFolder, L"tmp", 0, temporary) == 0) return BatchEvent::kNotWritten;
    if (!RenderSlot(temporary, save)) return BatchEvent::kNotWritten;
    WCHAR destination[MAX_PATH];
    const BatchEvent result = ComposeDestination(folder, input, slot, extension, destination)
                                  ? CopyToFreeName(temporary, destination, extension, target)
                                  : BatchEvent::kNotWritten;
    DeleteFileW(temporary);
    return result;
}

void Report(int input, int slot, BatchEvent event, const WCHAR* destination = nullptr) {
    if (reportBatchEvent != nullptr) reportBatchEvent(input, slot, event, destination);
}

}  // namespace

void ShowError(int code) {
    if (code < 0 || code > kMessageFolderNotCreated) return;
    MessageBoxW(mainWindow, kMessages[code], L"Error", MB_SETFOREGROUND | MB_ICONERROR);
}

int32_t OutputFormatFor(int32_t listIndex) {
    static const int32_t kCodes[] = {0, 1, 2, 4, 5};
    return listIndex >= 0 && listIndex < 5 ? kCodes[listIndex] : -1;
}

const WCHAR* SelectOutputFormat(SaveEntry& save) {
    if (collectSettings != nullptr) collectSettings();
    const OutputFormat* chosen = &kBitmap;
    for (const OutputFormat& format : kFormats)
        if (format.code == appSettings.outputFormat) chosen = &format;
    save = chosen->save;
    return chosen->extension;
}

bool RenderSlot(LPCWSTR temporaryPath, SaveEntry save) {
    fittedPicture.width = currentImage->header.biWidth;
    fittedPicture.height = currentImage->header.biHeight;
    fittedPicture.bitCount = currentImage->header.biBitCount;
    fittedPicture.sourcePixels = currentImage->pixels;
    fittedPicture.pixels = nullptr;
    bool saved = false;
    if (FitCroppedToSlot()) saved = save(temporaryPath);
    fittedPicture.pixels = nullptr;  // lent by the workspace, which keeps it for the next slot
    if (!saved) DeleteFileW(temporaryPath);
    return saved;
}

bool MakeUniqueName(WCHAR* path, const WCHAR* extension) {
    if (!PathFileExistsW(path)) return true;
    WCHAR stem[MAX_PATH];
    wmemcpy(stem, path, MAX_PATH);
    PathRemoveExtensionW(stem);
    if (!AppendText(stem, L"+")) return false;
    for (int i = 1; i <= 9999; ++i) {
        WCHAR candidate[MAX_PATH];
        wmemcpy(candidate, stem, MAX_PATH);
        WCHAR number[8];
        swprintf(number, 8, L"%d", i);
        if (!AppendText(candidate, number) || !AppendText(candidate, extension)) return false;
        if (!PathFileExistsW(candidate)) {
            wmemcpy(path, candidate, MAX_PATH);
            return true;
        }
    }
    return false;
}

bool RunBatch(int count, const WCHAR* const* inputs, int* written) {
    if (written != nullptr) *written = 0;
    SaveEntry save;
    const WCHAR* extension = SelectOutputFormat(save);
    WCHAR folders[kSlotCount][MAX_PATH] = {};
    if (!PrepareFolders(inputs[0], folders)) return false;
    if (!CreateCodecs()) {
        DestroyCodecs();
        ShowError(kMessageNoMemory);
        return false;
    }
    SetWindowTextW(mainWindow, L"処理中...");
    WCHAR temporaryFolder[MAX_PATH];
    GetTempPathW(MAX_PATH, temporaryFolder);
    int successes = 0;
    for (int n = 0; n < count; ++n) {
        Report(n, -1, BatchEvent::kReading);
        if (!LoadPicture(inputs[n])) {
            Report(n, -1, BatchEvent::kNotLoaded);
            Report(n, -1, BatchEvent::kDone);
            continue;
        }
        for (int i = 0; i < kSlotCount; ++i) {
            const OutputSlot& slot = appSettings.slots[i];
            if (!slot.enabled || slot.width <= 0 || slot.height <= 0) continue;
            WCHAR target[MAX_PATH];
            const BatchEvent result =
                ConvertSlot(inputs[n], slot, folders[i], temporaryFolder, extension, save, target);
            if (result == BatchEvent::kWritten) ++successes;
            Report(n, i, result, result == BatchEvent::kWritten ? target : nullptr);
        }
        ReleaseAndClear(currentImage->pixels);
        currentImage = nullptr;  // it lives in a reader that goes with the codec set
        Report(n, -1, BatchEvent::kDone);
    }
    DestroyCodecs();
    if (successes == 0) ShowError(kMessageConversionFailed);
    SetWindowTextW(mainWindow, L"Framelet");
    if (written != nullptr) *written = successes;
    return true;
}
