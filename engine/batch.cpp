#include "engine/batch.h"

#include "core/memory.h"
#include "engine/error_text.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "engine/prepare_picture.h"
#include "engine/save_picture.h"
#include "settings/settings_store.h"

#include <atomic>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <thread>
#include <vector>

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
    void (*prepareForWorkers)();  // what the writer's library must do once, alone
};

// Any code not listed is written as a bitmap. A format joins the list with
// its writer, so no file ever carries an extension its content does not match.
const OutputFormat kBitmap{0, L".bmp", SaveBmp, nullptr};
const OutputFormat kFormats[] = {kBitmap,
                                 {1, L".png", SavePng, nullptr},
                                 {2, L".jpg", SaveJpeg, nullptr},
                                 {4, L".gif", SaveGif, nullptr},
                                 {5, L".webp", SaveWebp, PrepareWebpForWorkers}};

// How often a copy is retried when its name was taken after the check.
constexpr int kCopyAttempts = 8;

// A 32-bit process has 2 GiB of address space for every picture in flight.
constexpr int kMostWorkers = sizeof(void*) == 4 ? 4 : 64;
// How far past the first input not yet taken a worker looks for the largest.
constexpr int kLookaheadPerWorker = 4;

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

// The settings a batch runs with, fixed before its first picture.
struct BatchPlan {
    const WCHAR* extension;
    SaveEntry save;
    void (*prepareForWorkers)();
    WCHAR folders[kSlotCount][MAX_PATH];
    WCHAR temporaryFolder[MAX_PATH];
};

const OutputFormat& SelectOutputFormat() {
    const OutputFormat* chosen = &kBitmap;
    for (const OutputFormat& format : kFormats)
        if (format.code == appSettings.outputFormat) chosen = &format;
    return *chosen;
}

bool SlotInUse(const OutputSlot& slot) { return slot.enabled && slot.width > 0 && slot.height > 0; }

// The slots' folders, checked and with their sub-folders made, before any
// file is read; the message that refuses the batch, or -1.
int PrepareFolders(const WCHAR* firstInput, WCHAR (&folders)[kSlotCount][MAX_PATH]) {
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
        if (!PathIsDirectoryW(folder)) return kMessageInvalidFolder;
        if (slot.useSubfolder && slot.subfolder[0] != 0) {
            // Another run may make the folder between the test and the creation.
            if (!PathAppendW(folder, slot.subfolder) ||
                (!PathIsDirectoryW(folder) && !CreateDirectoryW(folder, nullptr) && !PathIsDirectoryW(folder)))
                return kMessageFolderNotCreated;
        }
    }
    return -1;
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

// What a worker made of one input: its slots rendered into temporary files,
// waiting to be published under their names.
struct Converted {
    bool existed = false;  // the input was there when the batch started
    bool loaded = false;
    int32_t width = 0;
    int32_t height = 0;
    const char* reason = nullptr;
    PreparedNotes prepared;  // what turning and converting did, once loaded
    BatchEvent events[kSlotCount] = {};
    WCHAR temporaries[kSlotCount][MAX_PATH] = {};
};

bool AnyFailure(const Converted& converted) {
    if (!converted.loaded) return true;
    for (int i = 0; i < kSlotCount; ++i)
        if (SlotInUse(appSettings.slots[i]) && converted.events[i] == BatchEvent::kNotWritten) return true;
    return false;
}

// The context's picture as the start of a fitting to a slot.
FittedPicture StartFitting(const DecodedImage& picture, int32_t slotWidth, int32_t slotHeight) {
    return FittedPicture{picture.header.biWidth,
                         picture.header.biHeight,
                         picture.header.biBitCount,
                         picture.pixels,
                         nullptr,
                         slotWidth,
                         slotHeight,
                         picture.palette};
}

// Saves a fitted picture (its pixels lent by the workspace) into the file;
// a failed save leaves no file.
bool SaveFitted(PictureContext& context, const FittedPicture& fitted, LPCWSTR temporaryPath, SaveEntry save) {
    context.fitted = fitted;
    const bool saved = fitted.pixels != nullptr && save(context, temporaryPath);
    context.fitted.pixels = nullptr;
    if (!saved) DeleteFileW(temporaryPath);
    return saved;
}

static_assert(kSlotCount <= kFittingsAtOnce, "every slot is fitted in the one read of the picture");

// Every slot of the loaded picture fitted in one read of its rows, then each
// saved into a temporary file: each slot's event is kWritten (so far:
// rendered) or why not.
void RenderSlots(PictureContext& context, const BatchPlan& plan, Converted& converted) {
    const DecodedImage& picture = *context.current;
    FittedPicture fitted[kSlotCount];
    int slotOf[kSlotCount];
    int count = 0;
    for (int i = 0; i < kSlotCount; ++i) {
        const OutputSlot& slot = appSettings.slots[i];
        if (!SlotInUse(slot)) continue;
        if (picture.header.biWidth < slot.width || picture.header.biHeight < slot.height) {
            converted.events[i] = BatchEvent::kSmallerThanSlot;  // fitting would refuse it
            continue;
        }
        fitted[count] = StartFitting(picture, slot.width, slot.height);
        slotOf[count++] = i;
    }
    FitCroppedToSlots(context.codecs.fitting, fitted, count);
    for (int j = 0; j < count; ++j) {
        WCHAR(&temporary)[MAX_PATH] = converted.temporaries[slotOf[j]];
        const bool saved = fitted[j].pixels != nullptr &&
                           GetTempFileNameW(plan.temporaryFolder, L"tmp", 0, temporary) != 0 &&
                           SaveFitted(context, fitted[j], temporary, plan.save);
        if (!saved) temporary[0] = 0;
        converted.events[slotOf[j]] = saved ? BatchEvent::kWritten : BatchEvent::kNotWritten;
    }
}

// Turns and converts the loaded picture as the settings ask. Memory for the
// turn running out fails the input like a load that ran out of memory, so a
// worker's failure is tried again alone.
bool Prepare(PictureContext& context, Converted& converted) {
    converted.loaded =
        PreparePicture(*context.current, appSettings.AutoRot != 0, appSettings.ToSRGB != 0, converted.prepared);
    if (converted.loaded) return true;
    ReleasePicture(*context.current);
    context.current = nullptr;
    converted.reason = "not enough memory to turn the picture upright";
    return false;
}

void Convert(PictureContext& context, const BatchPlan& plan, const WCHAR* input, Converted& converted) {
    for (WCHAR(&temporary)[MAX_PATH] : converted.temporaries) temporary[0] = 0;
    converted.loaded = converted.existed && LoadPicture(context, input);
    if (!converted.loaded) {
        converted.reason = converted.existed ? ReaderErrorText(context.loadFormat, context.loadError) : nullptr;
        return;
    }
    if (!Prepare(context, converted)) return;
    converted.width = context.current->header.biWidth;
    converted.height = context.current->header.biHeight;
    RenderSlots(context, plan, converted);
    ReleasePicture(*context.current);
    context.current = nullptr;  // it lives in a reader of the codec set
}

void Report(const BatchHost& host, int input, int slot, BatchEvent event, const Converted& converted,
            const WCHAR* destination = nullptr) {
    if (host.report == nullptr) return;
    host.report(BatchNote{input, slot, event, destination, converted.width, converted.height, converted.reason,
                          &converted.prepared});
}

// Gives the input's rendered slots their names, in slot order; the number of
// files written.
int Publish(const BatchHost& host, const BatchPlan& plan, int input, const WCHAR* path, const Converted& converted) {
    Report(host, input, -1, BatchEvent::kReading, converted);
    if (!converted.loaded) {
        Report(host, input, -1, BatchEvent::kNotLoaded, converted);
        Report(host, input, -1, BatchEvent::kDone, converted);
        return 0;
    }
    if (converted.prepared.converted) Report(host, input, -1, BatchEvent::kConverted, converted);
    if (converted.prepared.turnedFrom != 1) Report(host, input, -1, BatchEvent::kTurnedUpright, converted);
    int written = 0;
    for (int i = 0; i < kSlotCount; ++i) {
        const OutputSlot& slot = appSettings.slots[i];
        if (!SlotInUse(slot)) continue;
        BatchEvent result = converted.events[i];
        WCHAR target[MAX_PATH];
        if (result == BatchEvent::kWritten) {
            WCHAR destination[MAX_PATH];
            result = ComposeDestination(plan.folders[i], path, slot, plan.extension, destination)
                         ? CopyToFreeName(converted.temporaries[i], destination, plan.extension, target)
                         : BatchEvent::kNotWritten;
        }
        if (converted.temporaries[i][0] != 0) DeleteFileW(converted.temporaries[i]);
        if (result == BatchEvent::kWritten) ++written;
        Report(host, input, i, result, converted, result == BatchEvent::kWritten ? target : nullptr);
    }
    Report(host, input, -1, BatchEvent::kDone, converted);
    return written;
}

// The inputs shared by the workers: each takes one, converts it in its own
// context and hands it to the publisher. A worker takes the largest file
// among the next few not yet taken: a large picture started last would leave
// the other workers idle at the end, and looking only a little ahead keeps
// the publisher, which goes in input order, close behind.
class WorkQueue {
public:
    WorkQueue(const BatchPlan& plan, int count, const WCHAR* const* inputs, const std::vector<uint64_t>& sizes,
              int lookahead, std::vector<Converted>& results)
        : plan_(plan),
          count_(count),
          inputs_(inputs),
          sizes_(sizes),
          lookahead_(lookahead),
          results_(results),
          taken_(static_cast<size_t>(count)),
          done_(static_cast<size_t>(count)) {}

    void Work(PictureContext& context) {
        for (int n = Take(); n < count_; n = Take()) {
            Convert(context, plan_, inputs_[n], results_[static_cast<size_t>(n)]);
            std::lock_guard<std::mutex> lock(mutex_);
            done_[static_cast<size_t>(n)] = true;
            finished_.notify_all();
        }
    }
    void WaitFor(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [&] { return static_cast<bool>(done_[static_cast<size_t>(n)]); });
    }

private:
    // The input to convert next; count_ when none is left.
    int Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        while (first_ < count_ && taken_[static_cast<size_t>(first_)]) ++first_;
        int chosen = first_;
        for (int n = first_ + 1; n < count_ && n < first_ + lookahead_; ++n)
            if (!taken_[static_cast<size_t>(n)] && sizes_[static_cast<size_t>(n)] > sizes_[static_cast<size_t>(chosen)])
                chosen = n;
        if (chosen < count_) taken_[static_cast<size_t>(chosen)] = true;
        return chosen;
    }

    const BatchPlan& plan_;
    const int count_;
    const WCHAR* const* inputs_;
    const std::vector<uint64_t>& sizes_;
    const int lookahead_;
    std::vector<Converted>& results_;
    int first_ = 0;  // no input before it is left
    std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<char> taken_;
    std::vector<char> done_;
};

int WorkerCount(const BatchHost& host, int count) {
    int jobs = host.jobs > 0 ? host.jobs : static_cast<int>(std::thread::hardware_concurrency());
    if (jobs > kMostWorkers) jobs = kMostWorkers;
    if (jobs > count) jobs = count;
    return jobs < 1 ? 1 : jobs;
}

// The contexts of the workers; the first must exist, later ones that cannot
// be made are left out. Their plug-in calls take turns.
std::vector<std::unique_ptr<PictureContext>> CreateContexts(int wanted, std::mutex& pluginLock) {
    std::vector<std::unique_ptr<PictureContext>> contexts;
    for (int i = 0; i < wanted; ++i) {
        auto context = std::make_unique<PictureContext>();
        if (!CreateCodecs(context->codecs)) {
            DestroyCodecs(context->codecs);
            if (i == 0) return {};
            break;
        }
        context->pluginLock = wanted > 1 ? &pluginLock : nullptr;
        contexts.push_back(std::move(context));
    }
    return contexts;
}

void DestroyContexts(std::vector<std::unique_ptr<PictureContext>>& contexts, size_t keep) {
    while (contexts.size() > keep) {
        DestroyCodecs(contexts.back()->codecs);
        contexts.pop_back();
    }
}

// Converts and publishes every input: one at a time with one context, or on
// a worker per context with the publisher following in input order. A picture
// that failed while others ran (their memory may have been what it lacked) is
// tried again alone once the others are finished, so more workers never
// convert less.
int ConvertAll(const BatchHost& host, const BatchPlan& plan, int count, const WCHAR* const* inputs,
               std::vector<std::unique_ptr<PictureContext>>& contexts) {
    std::vector<Converted> results(static_cast<size_t>(count));
    std::vector<uint64_t> sizes(static_cast<size_t>(count));
    // Inputs are what existed at the start, not files the batch writes.
    for (int n = 0; n < count; ++n) {
        WIN32_FILE_ATTRIBUTE_DATA file;
        results[static_cast<size_t>(n)].existed = GetFileAttributesExW(inputs[n], GetFileExInfoStandard, &file) != FALSE;
        if (results[static_cast<size_t>(n)].existed)
            sizes[static_cast<size_t>(n)] = uint64_t{file.nFileSizeHigh} << 32 | file.nFileSizeLow;
    }
    int written = 0;
    if (contexts.size() == 1) {
        for (int n = 0; n < count; ++n) {
            Convert(*contexts[0], plan, inputs[n], results[static_cast<size_t>(n)]);
            written += Publish(host, plan, n, inputs[n], results[static_cast<size_t>(n)]);
        }
        return written;
    }
    if (plan.prepareForWorkers != nullptr) plan.prepareForWorkers();
    WorkQueue queue(plan, count, inputs, sizes, kLookaheadPerWorker * static_cast<int>(contexts.size()), results);
    std::vector<std::thread> workers;
    for (size_t i = 0; i < contexts.size(); ++i)
        workers.emplace_back([&queue, &contexts, i] { queue.Work(*contexts[i]); });
    for (int n = 0; n < count; ++n) {
        queue.WaitFor(n);
        Converted& converted = results[static_cast<size_t>(n)];
        if (AnyFailure(converted)) {
            for (std::thread& worker : workers) worker.join();
            workers.clear();
            DestroyContexts(contexts, 1);
            for (const WCHAR* temporary : converted.temporaries)
                if (temporary[0] != 0) DeleteFileW(temporary);
            Convert(*contexts[0], plan, inputs[n], converted);
        }
        written += Publish(host, plan, n, inputs[n], converted);
    }
    for (std::thread& worker : workers) worker.join();
    return written;
}

void Show(const BatchHost& host, int code) {
    if (host.showMessage != nullptr) {
        host.showMessage(code);
    } else {
        ShowError(nullptr, code);
    }
}

}  // namespace

void ShowError(HWND owner, int code) {
    if (code < 0 || code > kMessageFolderNotCreated) return;
    MessageBoxW(owner, kMessages[code], L"Error", MB_SETFOREGROUND | MB_ICONERROR);
}

int32_t OutputFormatFor(int32_t listIndex) {
    static const int32_t kCodes[] = {0, 1, 2, 4, 5};
    return listIndex >= 0 && listIndex < 5 ? kCodes[listIndex] : -1;
}

bool RenderSlot(PictureContext& context, LPCWSTR temporaryPath, SaveEntry save) {
    FittedPicture fitted = StartFitting(*context.current, context.fitted.slotWidth, context.fitted.slotHeight);
    FitCroppedToSlot(context.codecs.fitting, fitted);
    return SaveFitted(context, fitted, temporaryPath, save);
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

bool RunBatch(int count, const WCHAR* const* inputs, int* written, const BatchHost& host) {
    if (written != nullptr) *written = 0;
    if (host.collectSettings != nullptr) host.collectSettings();
    BatchPlan plan{};
    const OutputFormat& format = SelectOutputFormat();
    plan.extension = format.extension;
    plan.save = format.save;
    plan.prepareForWorkers = format.prepareForWorkers;
    const int refusal = PrepareFolders(inputs[0], plan.folders);
    if (refusal >= 0) {
        Show(host, refusal);
        return false;
    }
    std::mutex pluginLock;
    std::vector<std::unique_ptr<PictureContext>> contexts = CreateContexts(WorkerCount(host, count), pluginLock);
    if (contexts.empty()) {
        Show(host, kMessageNoMemory);
        return false;
    }
    if (host.showBusy != nullptr) host.showBusy(true);
    GetTempPathW(MAX_PATH, plan.temporaryFolder);
    const int successes = ConvertAll(host, plan, count, inputs, contexts);
    DestroyContexts(contexts, 0);
    if (successes == 0) Show(host, kMessageConversionFailed);
    if (host.showBusy != nullptr) host.showBusy(false);
    if (written != nullptr) *written = successes;
    return true;
}
