// Library frame through the shared library: status texts, version, context lifetime, handle check,
// and the dynamic symbol table.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "kvdepth.h"
#include "records_from_c.h"

namespace {

class LibraryFrame : public ::testing::Test {
  protected:
    void TearDown() override { KVDeinitLib(); }
};

TEST(StatusStrings, EveryCodeHasItsMessageAndOthersTheFallbackText) {
    const std::pair<KV_STATUS, const char*> table[] = {
        {0, "no error"},
        {-1001, "some error"},
        {-1002, "not initialized"},
        {-1003, "not implemented"},
        {-1004, "not permitted"},
        {-1005, "device error"},
        {-1006, "invalid parameter"},
        {-1007, "invalid device handle"},
        {-1008, "invalid component"},
        {-1009, "invalid feature"},
        {-1010, "wrong type"},
        {-1011, "wrong size"},
        {-1012, "out of memory"},
        {-1013, "out of range"},
        {-1014, "timeout"},
        {-1015, "wrong mode"},
        {-1016, "system busy"},
        {-1017, "system idle"},
        {-1018, "no data"},
        {-1019, "no enqueue buffer"},
        {-1020, "null pointer"},
        {-1021, "read only feature"},
    };
    for (const auto& [code, text] : table) EXPECT_STREQ(KVErrorString(code), text) << code;
    for (KV_STATUS code : {-1000, -1022, 1, -2001, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(KVErrorString(code), "KVErrorString called with invalid error id.") << code;
}

TEST(LibVersion, ReportsVersionBeforeInitialisationFromCAndCPlusPlusAndLeavesReservedAlone) {
    KV_VERSION_INFO info{-1, -1, -1, 77};
    ASSERT_EQ(KVLibVersion(&info), KV_STATUS_OK);
    EXPECT_EQ(info.major, 2);
    EXPECT_EQ(info.minor, 6);
    EXPECT_EQ(info.patch, 5);
    EXPECT_EQ(info.reserved, 77);
    EXPECT_EQ(KVLibVersion(nullptr), KV_STATUS_NULL_POINTER);
    KV_VERSION_INFO fromC{};
    ASSERT_EQ(versionFromC(&fromC), KV_STATUS_OK);
    EXPECT_EQ(fromC.major * 100 + fromC.minor * 10 + fromC.patch, 265);
}

TEST_F(LibraryFrame, InitTwiceFailsDeinitTwiceSucceedsReinitWorks) {
    EXPECT_EQ(_KVInitLib(), KV_STATUS_OK);
    EXPECT_EQ(_KVInitLib(), KV_STATUS_ERROR);
    EXPECT_EQ(KVDeinitLib(), KV_STATUS_OK);
    EXPECT_EQ(KVDeinitLib(), KV_STATUS_OK);
    EXPECT_EQ(_KVInitLib(), KV_STATUS_OK);
    EXPECT_EQ(KVDeinitLib(), KV_STATUS_OK);
}

TEST(DynamicSymbols, OnlyTheInterfaceIsExported) {
    const std::string command = std::string("nm -D --defined-only ") + KVDEPTH_LIBRARY_FILE;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        char address[64], kind[8], name[400];
        if (sscanf(line, "%63s %7s %399s", address, kind, name) == 3) exported.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    ASSERT_FALSE(exported.empty());
    for (const std::string& name : exported) {
        const bool isInterface =
            name.rfind("KV", 0) == 0 || name.rfind("_KV", 0) == 0 || name == "_ZN6orvane11SetLogLevelEi";
        // The version node the linker adds for the version script is not a function.
        const bool isVersionNode = name.find("@@") == std::string::npos && name.rfind("VERS", 0) == 0;
        EXPECT_TRUE(isInterface || isVersionNode) << "unexpected export: " << name;
    }
    for (const char* required :
         {"_KVInitLib", "KVDeinitLib", "KVLibVersion", "KVErrorString", "_ZN6orvane11SetLogLevelEi"}) {
        EXPECT_EQ(exported.count(required), 1u) << "missing export: " << required;
    }
}

}  // namespace
