#include <gtest/gtest.h>

#include "api/KV_API.h"
#include "api/KvContext.h"

namespace {

TEST(HandleCheck, NoHandleIsValidWithoutAContext) {
    orvane::KvCamera* camera = nullptr;
    int dummy = 0;
    ASSERT_EQ(orvane::g_kvContext, nullptr);
    EXPECT_EQ(orvane::checkHandle(&dummy, &camera), KV_STATUS_INVALID_HANDLE);
    EXPECT_EQ(orvane::checkHandle(nullptr, &camera), KV_STATUS_INVALID_HANDLE);
    EXPECT_EQ(camera, nullptr);
}

TEST(HandleCheck, PointersNeverIssuedAreRejectedIncludingNull) {
    ASSERT_EQ(_KVInitLib(), KV_STATUS_OK);
    orvane::KvCamera* camera = nullptr;
    int dummy = 0;
    EXPECT_EQ(orvane::checkHandle(&dummy, &camera), KV_STATUS_INVALID_HANDLE);
    EXPECT_EQ(orvane::checkHandle(nullptr, &camera), KV_STATUS_INVALID_HANDLE);
    EXPECT_EQ(orvane::g_kvContext->getCameraByHandle(&dummy), nullptr);
    EXPECT_EQ(camera, nullptr);
    KVDeinitLib();
    EXPECT_EQ(orvane::g_kvContext, nullptr);
}

}  // namespace
