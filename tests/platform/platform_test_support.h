// Waiting helpers for the portability tests: every wait has a deadline, nothing sleeps for a fixed time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <poll.h>
#include <unistd.h>

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

// Reads exactly n bytes from a descriptor, or fewer when it closes or the deadline passes.
inline std::string ReadFd(int fd, size_t n) {
    std::string got;
    char buffer[4096];
    while (got.size() < n) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(kDeadline.count())) <= 0) break;
        ssize_t count = read(fd, buffer, std::min(sizeof(buffer), n - got.size()));
        if (count <= 0) break;
        got.append(buffer, static_cast<size_t>(count));
    }
    return got;
}

}  // namespace testing_support
}  // namespace orvane
