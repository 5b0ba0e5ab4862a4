// Collects what the log's debugger output receives, from every thread, while alive.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class LogCapture {
  public:
    // Sends the debugger output here with every level let through; the destructor
    // restores the previous mode and threshold and the default output.
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string Text();
    // One entry per write the log made, for checks on how a line was split.
    std::vector<std::string> Pieces();
    bool Contains(const std::string &needle);
    void Clear();
    // Waits until needle has been logged, up to timeoutMs.
    bool WaitFor(const std::string &needle, int timeoutMs);

  private:
    static void Sink(void *context, const char *text, size_t length);
    std::mutex lock_;
    std::vector<std::string> pieces_;
    int savedMode_;
    int savedThreshold_;
};
