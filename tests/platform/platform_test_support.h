// Waiting helpers for the portability tests: every wait has a deadline, nothing sleeps for a fixed time.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace orvane {
namespace testing_support {

constexpr std::chrono::milliseconds kDeadline{5000};

// Polls pred until it holds or the deadline passes; the event it waits for has no other signal.
inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = kDeadline) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Runs fn on a thread of its own and reports whether it finished within the limit. A thread that does not
// finish (a deadlock under test) is left behind detached so that the test can fail instead of hanging.
inline bool FinishesWithin(std::function<void()> fn, std::chrono::milliseconds limit = kDeadline) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([fn = std::move(fn), done] {
        fn();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

}  // namespace testing_support
}  // namespace orvane
