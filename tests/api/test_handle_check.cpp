#include <gtest/gtest.h>

#include "api/KV_API.h"
#include "api/KvContext.h"

namespace {

TEST(HandleCheck, WithoutAContextEveryHandleGivesNotInitialised) {
    orvane::KvCamera* camera = nullptr;
    int dummy = 0;
    ASSERT_EQ(orvane::g_kvContext.load(), nullptr);
    EXPECT_EQ(orvane::checkHandle(&dummy, &camera), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(orvane::checkHandle(nullptr, &camera), KV_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(camera, nullptr);
}

TEST(HandleCheck, PointersNeverIssuedAreRejectedIncludingNull) {
    ASSERT_EQ(_KVInitLib(), KV_STATUS_OK);
    orvane::KvCamera* camera = nullptr;
    int dummy = 0;
    EXPECT_EQ(orvane::checkHandle(&dummy, &camera), KV_STATUS_INVALID_HANDLE);
    EXPECT_EQ(orvane::checkHandle(nullptr, &camera), KV_STATUS_INVALID_HANDLE);
    EXPECT_EQ(orvane::g_kvContext.load()->getCameraByHandle(&dummy), nullptr);
    EXPECT_EQ(camera, nullptr);
    KVDeinitLib();
    EXPECT_EQ(orvane::g_kvContext.load(), nullptr);
}

}  // namespace
