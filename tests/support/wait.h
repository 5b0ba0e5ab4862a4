// Bounded waits: a test waits for what it checks, never for a fixed time.
#pragma once

#include <chrono>
#include <thread>

// Polls condition every 5 ms for up to timeoutMs; true when it became true.
template <typename F> bool WaitUntil(F condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}
