// Records the message boxes a test makes the program show. On Windows a
// watcher thread finds each real box, reads its caption and text and
// dismisses it; elsewhere the boxes are lines on standard error.
#pragma once

#include <string>
#include <vector>

struct ShownMessage {
    std::wstring caption;
    std::wstring text;
    bool operator==(const ShownMessage&) const = default;
};

class MessageBoxRecorder {
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    // Also records (and dismisses) the boxes of another process; Windows only.
    void Watch(unsigned long processId);
    // Stops recording and returns what was shown, in order.
    std::vector<ShownMessage> Stop();

private:
    struct Watcher;
    Watcher* watcher_;
    bool stopped_ = false;
    std::vector<ShownMessage> shown_;
};
