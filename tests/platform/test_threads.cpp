#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <vector>

#include "platform/hal_linux.h"
#include "platform_test_support.h"

namespace orvane {
namespace {

using testing_support::WaitUntil;

// A routine that reports its start, then blocks until released.
struct Gate {
    explicit Gate(bool released = false) : release(released) {}
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    std::atomic<size_t> stack_size{0};
    void* seen_arg = nullptr;
};

void* GatedRoutine(void* raw) {
    auto* gate = static_cast<Gate*>(raw);
    gate->seen_arg = raw;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        size_t size = 0;
        pthread_attr_getstacksize(&attributes, &size);
        gate->stack_size = size;
        pthread_attr_destroy(&attributes);
    }
    gate->started = true;
    while (!gate->release) sched_yield();
    gate->finished = true;
    return nullptr;
}

// Blocks in read() on a pipe that never delivers: a cancellation point. The guard's destructor runs when
// the cancellation unwinds the thread.
struct Blocked {
    int pipe_fds[2] = {-1, -1};
    std::atomic<bool> started{false};
    std::atomic<bool> unwound{false};
};

void* BlockedRoutine(void* raw) {
    auto* blocked = static_cast<Blocked*>(raw);
    struct Guard {
        Blocked* b;
        ~Guard() { b->unwound = true; }
    } guard{blocked};
    blocked->started = true;
    char byte;
    while (read(blocked->pipe_fds[0], &byte, 1) != 0) {
    }
    return nullptr;
}

TEST(Threads, RunsRoutineWithItsArgumentOnALargeStack) {
    Gate gate;
    int handle = THREAD_Create(GatedRoutine, &gate);
    ASSERT_GE(handle, 0);
    ASSERT_LT(handle, 64);
    ASSERT_TRUE(WaitUntil([&] { return gate.started.load(); }));
    EXPECT_EQ(&gate, gate.seen_arg);
    EXPECT_GE(gate.stack_size.load(), 0xBB8000u);
    EXPECT_TRUE(THREAD_IsExist(handle));

    gate.release = true;
    EXPECT_TRUE(WaitUntil([&] { return !THREAD_IsExist(handle); }));
    EXPECT_TRUE(gate.finished);
    THREAD_Terminate(handle);
}

TEST(Threads, TerminateCancelsABlockedThread) {
    Blocked blocked;
    ASSERT_EQ(0, pipe(blocked.pipe_fds));
    int handle = THREAD_Create(BlockedRoutine, &blocked);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(WaitUntil([&] { return blocked.started.load(); }));
    EXPECT_TRUE(THREAD_IsExist(handle));

    THREAD_Terminate(handle);
    EXPECT_FALSE(THREAD_IsExist(handle));
    EXPECT_TRUE(WaitUntil([&] { return blocked.unwound.load(); }));
    close(blocked.pipe_fds[0]);
    close(blocked.pipe_fds[1]);
}

TEST(Threads, FinishedThreadKeepsItsSlotUntilTerminated) {
    Gate first(true);
    int handle = THREAD_Create(GatedRoutine, &first);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(WaitUntil([&] { return !THREAD_IsExist(handle); }));

    Gate second(true);
    int other = THREAD_Create(GatedRoutine, &second);
    EXPECT_NE(handle, other);
    // Terminating a thread that already ended must not touch the dead thread (it would be undefined).
    THREAD_Terminate(handle);
    Gate third(true);
    EXPECT_EQ(handle, THREAD_Create(GatedRoutine, &third));
    ASSERT_TRUE(WaitUntil([&] { return third.finished && second.finished; }));
    ASSERT_TRUE(WaitUntil([&] { return !THREAD_IsExist(handle) && !THREAD_IsExist(other); }));
    THREAD_Terminate(handle);
    THREAD_Terminate(other);
}

TEST(Threads, SixtyFifthThreadIsRefused) {
    std::vector<Gate> gates(65);
    std::vector<int> handles;
    for (Gate& gate : gates) {
        int handle = THREAD_Create(GatedRoutine, &gate);
        if (handle == -1) break;
        handles.push_back(handle);
    }
    EXPECT_EQ(64u, handles.size());
    for (Gate& gate : gates) gate.release = true;
    for (int handle : handles) {
        EXPECT_TRUE(WaitUntil([handle] { return !THREAD_IsExist(handle); })) << handle;
        THREAD_Terminate(handle);
    }
}

TEST(Threads, HandlesOutsideTheTableNameNoThread) {
    // Regression: any handle above 63, -1 included, was reported as a live thread.
    for (int bad : {-1, 64, 1000, INT_MIN, INT_MAX}) {
        EXPECT_FALSE(THREAD_IsExist(bad)) << bad;
        THREAD_Terminate(bad);
    }
    EXPECT_FALSE(THREAD_IsExist(0));  // a free slot
    EXPECT_EQ(-1, THREAD_Create(nullptr, nullptr));
}

}  // namespace
}  // namespace orvane
