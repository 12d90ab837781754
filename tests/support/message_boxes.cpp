#include "support/message_boxes.h"

#ifdef _WIN32

#include <windows.h>

#include <atomic>
#include <mutex>
#include <thread>

struct MessageBoxRecorder::Watcher {
    std::atomic<bool> running{true};
    std::mutex lock;
    std::vector<ShownMessage> shown;
    std::vector<DWORD> processes{GetCurrentProcessId()};
    std::thread thread;

    bool Watched(DWORD process) {
        std::lock_guard<std::mutex> guard(lock);
        for (DWORD watched : processes)
            if (watched == process) return true;
        return false;
    }

    static BOOL CALLBACK Visit(HWND window, LPARAM context) {
        auto* self = reinterpret_cast<Watcher*>(context);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        WCHAR className[16] = {};
        GetClassNameW(window, className, 16);
        if (!self->Watched(process) || wcscmp(className, L"#32770") != 0 || !IsWindowVisible(window))
            return TRUE;
        // Message boxes keep their text in the static control with id 0xFFFF.
        WCHAR caption[256] = {};
        WCHAR text[1024] = {};
        GetWindowTextW(window, caption, 256);
        GetDlgItemTextW(window, 0xFFFF, text, 1024);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->shown.push_back({caption, text});
        }
        SendMessageW(window, WM_COMMAND, IDOK, 0);
        return TRUE;
    }

    void Add(unsigned long process) {
        std::lock_guard<std::mutex> guard(lock);
        processes.push_back(process);
    }

    Watcher() {
        thread = std::thread([this] {
            while (running) {
                EnumWindows(Visit, reinterpret_cast<LPARAM>(this));
                Sleep(20);
            }
        });
    }

    std::vector<ShownMessage> Finish() {
        running = false;
        thread.join();
        return shown;
    }
};

#else

#include "platform/win32.h"

#include <gtest/gtest.h>

#include <sstream>

struct MessageBoxRecorder::Watcher {
    Watcher() { testing::internal::CaptureStderr(); }
    void Add(unsigned long) {}  // no other process shows boxes here

    std::vector<ShownMessage> Finish() {
        std::istringstream lines(testing::internal::GetCapturedStderr());
        std::vector<ShownMessage> shown;
        std::string line;
        while (std::getline(lines, line)) {
            const size_t colon = line.find(": ");
            if (colon == std::string::npos) continue;
            shown.push_back({Wide(line.substr(0, colon)), Wide(line.substr(colon + 2))});
        }
        return shown;
    }

    static std::wstring Wide(const std::string& utf8) {
        std::vector<WCHAR> out(utf8.size() + 1);
        const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(),
                                               static_cast<int>(out.size()));
        return std::wstring(out.data(), static_cast<size_t>(length));
    }
};

#endif

MessageBoxRecorder::MessageBoxRecorder() : watcher_(new Watcher) {}

MessageBoxRecorder::~MessageBoxRecorder() {
    Stop();
    delete watcher_;
}

void MessageBoxRecorder::Watch(unsigned long processId) { watcher_->Add(processId); }

std::vector<ShownMessage> MessageBoxRecorder::Stop() {
    if (!stopped_) {
        shown_ = watcher_->Finish();
        stopped_ = true;
    }
    return shown_;
}
