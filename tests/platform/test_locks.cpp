#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <set>
#include <thread>
#include <vector>

#include "platform/hal_linux.h"
#include "platform_test_support.h"

namespace orvane {
namespace {

using testing_support::FinishesWithin;
using testing_support::WaitUntil;

// Creates locks until the table is full; returns every handle obtained.
std::vector<int> FillLockTable() {
    std::vector<int> handles;
    for (int h = UTIL_CreateLock(); h != -1; h = UTIL_CreateLock()) {
        handles.push_back(h);
        if (handles.size() > 64) break;
    }
    return handles;
}

void DeleteAll(const std::vector<int>& handles) {
    for (int h : handles) UTIL_DeleteLock(h);
}

bool OtherThreadCanTake(int handle) {
    return FinishesWithin([handle] {
        UTIL_Lock(handle);
        UTIL_Unlock(handle);
    });
}

TEST(LockTable, HoldsSixtyFourLocksAndHandsOutTheFirstFreeSlotAgain) {
    std::vector<int> handles = FillLockTable();
    ASSERT_EQ(64u, handles.size());
    std::set<int> distinct(handles.begin(), handles.end());
    EXPECT_EQ(64u, distinct.size());
    EXPECT_EQ(0, *distinct.begin());
    EXPECT_EQ(63, *distinct.rbegin());
    EXPECT_EQ(-1, UTIL_CreateLock());

    UTIL_DeleteLock(40);
    UTIL_DeleteLock(5);
    EXPECT_EQ(5, UTIL_CreateLock());
    EXPECT_EQ(40, UTIL_CreateLock());
    EXPECT_EQ(-1, UTIL_CreateLock());
    DeleteAll(handles);
}

TEST(LockTable, OutOfRangeAndDeletedHandlesAreIgnored) {
    // Regression: negative handles indexed in front of the table.
    int handle = UTIL_CreateLock();
    ASSERT_NE(-1, handle);
    for (int bad : {-1, -2, 64, 65, INT_MIN, INT_MAX}) {
        UTIL_Lock(bad);
        UTIL_Unlock(bad);
        UTIL_DeleteLock(bad);
    }
    EXPECT_TRUE(OtherThreadCanTake(handle));
    UTIL_DeleteLock(handle);
    UTIL_Lock(handle);        // freed slot: nothing happens
    UTIL_DeleteLock(handle);  // deleting twice is harmless
    ASSERT_EQ(handle, UTIL_CreateLock());
    EXPECT_TRUE(OtherThreadCanTake(handle));
    UTIL_DeleteLock(handle);
}

// Checked directly, not by a race that may not happen: a thread that asks for a held lock must stay out
// until the last recursive unlock.
TEST(LockTable, LockExcludesOtherThreads) {
    int handle = UTIL_CreateLock();
    ASSERT_NE(-1, handle);
    UTIL_Lock(handle);
    UTIL_Lock(handle);
    std::atomic<bool> asking{false}, entered{false};
    std::thread other([&] {
        asking = true;
        UTIL_Lock(handle);
        entered = true;
        UTIL_Unlock(handle);
    });
    ASSERT_TRUE(WaitUntil([&] { return asking.load(); }));
    EXPECT_FALSE(WaitUntil([&] { return entered.load(); }, std::chrono::milliseconds(50)));
    UTIL_Unlock(handle);
    EXPECT_FALSE(WaitUntil([&] { return entered.load(); }, std::chrono::milliseconds(20)));
    UTIL_Unlock(handle);
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
    other.join();
    UTIL_DeleteLock(handle);
}

TEST(LockTable, ConcurrentCreatorsNeverShareASlot) {
    constexpr int kThreads = 4;
    std::vector<std::vector<int>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&got, t] {
            for (int i = 0; i < 16; ++i) got[t].push_back(UTIL_CreateLock());
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<int> all;
    for (const auto& handles : got) {
        for (int h : handles) {
            EXPECT_NE(-1, h);
            EXPECT_TRUE(all.insert(h).second) << "slot " << h << " handed out twice";
        }
    }
    for (int h : all) UTIL_DeleteLock(h);
}

TEST(CriticalSection, SharesTheLockTableAndADeletedSectionLeavesTheSlotsNextOwnerAlone) {
    unsigned long section = 12345;
    InitializeCriticalSection(&section);
    ASSERT_LT(section, 64ul);
    EXPECT_TRUE(FinishesWithin([&section] {
        EnterCriticalSection(&section);
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
        LeaveCriticalSection(&section);
    }));
    const int slot = static_cast<int>(section);
    EXPECT_TRUE(OtherThreadCanTake(slot));
    DeleteCriticalSection(&section);
    EXPECT_EQ(static_cast<unsigned long>(-1L), section);
    int next_owner = UTIL_CreateLock();
    ASSERT_EQ(slot, next_owner);
    EnterCriticalSection(&section);  // stale section: must not take next_owner's lock
    EXPECT_TRUE(OtherThreadCanTake(next_owner));
    UTIL_DeleteLock(next_owner);
}

TEST(CriticalSection, FullTableStoresMinusOneAndSectionRunsUnlocked) {
    std::vector<int> handles = FillLockTable();
    ASSERT_EQ(64u, handles.size());
    unsigned long section = 0;
    InitializeCriticalSection(&section);
    EXPECT_EQ(static_cast<unsigned long>(-1L), section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
    for (int h : handles) EXPECT_TRUE(OtherThreadCanTake(h)) << h;
    InitializeCriticalSection(nullptr);
    EnterCriticalSection(nullptr);
    LeaveCriticalSection(nullptr);
    DeleteCriticalSection(nullptr);
    DeleteAll(handles);
}

}  // namespace
}  // namespace orvane
