#include "tests/support/log_capture.h"

#include <chrono>
#include <thread>

#include "base/log.h"

LogCapture::LogCapture()
    : savedMode_(LogOutputMode.load()), savedThreshold_(LogLevelThreshold.load()) {
    LogOutputMode = 1;
    LogLevelThreshold = 0;
    SetDebugOutput(Sink, this);
}

LogCapture::~LogCapture() {
    SetDebugOutput(nullptr, nullptr);
    LogOutputMode = savedMode_;
    LogLevelThreshold = savedThreshold_;
}

void LogCapture::Sink(void *context, const char *text, size_t length) {
    auto *self = static_cast<LogCapture *>(context);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->pieces_.emplace_back(text, length);
}

std::string LogCapture::Text() {
    std::lock_guard<std::mutex> guard(lock_);
    std::string text;
    for (const std::string &piece : pieces_)
        text += piece;
    return text;
}

std::vector<std::string> LogCapture::Pieces() {
    std::lock_guard<std::mutex> guard(lock_);
    return pieces_;
}

bool LogCapture::Contains(const std::string &needle) {
    return Text().find(needle) != std::string::npos;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    pieces_.clear();
}

bool LogCapture::WaitFor(const std::string &needle, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Contains(needle)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
