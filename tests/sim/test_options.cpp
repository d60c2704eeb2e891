// kvsim's command line.
#include <gtest/gtest.h>

#include "sim/kvsim/options.h"

namespace orvane {
namespace kvsim {
namespace {

bool parse(std::vector<const char*> args, Options& o, std::string* error = nullptr) {
    args.insert(args.begin(), "kvsim");
    return parseOptions(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(KvsimOptions, SeveralCamerasTakeConsecutiveAddressesAndSerials) {
    Options o;
    ASSERT_TRUE(parse({"--listen", "127.0.0.9", "--cameras", "3", "--port", "7100", "--serial",
                       "CAM000000099", "--fps", "60", "--firmware", "1.4.2", "--verbose"},
                      o));
    ASSERT_EQ(o.endpoints.size(), 3u);
    EXPECT_EQ(o.endpoints[2].address, "127.0.0.11");
    EXPECT_EQ(o.endpoints[2].port, 7100);
    EXPECT_EQ(o.endpoints[0].serial, "CAM000000099");
    EXPECT_EQ(o.endpoints[1].serial, "CAM000000100");
    EXPECT_EQ(o.fps, 60.0);
    EXPECT_EQ(o.fw_major, 1u);
    EXPECT_EQ(o.fw_minor, 4u);
    EXPECT_EQ(o.fw_patch, 2u);
    EXPECT_TRUE(o.verbose);

    ASSERT_TRUE(parse({"--listen", "127.0.0.5", "--listen", "127.1.2.3"}, o));
    ASSERT_EQ(o.endpoints.size(), 2u);
    EXPECT_EQ(o.endpoints[1].address, "127.1.2.3");
}

TEST(KvsimOptions, RefusesWhatItCannotServe) {
    Options o;
    std::string error;
    EXPECT_FALSE(parse({}, o, &error));
    EXPECT_FALSE(parse({"--listen", "10.0.0.1"}, o, &error));
    EXPECT_NE(error.find("loopback"), std::string::npos);
    EXPECT_FALSE(parse({"--listen", "localhost"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.253", "--cameras", "3"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--listen", "127.0.0.2", "--cameras", "3"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--listen", "127.0.0.1"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--fps", "0.5"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--fps", "30x"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--port", "70000"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--cameras", "0"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--firmware", "2.3"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--serial", std::string(32, 'S').c_str()}, o, &error));
    EXPECT_FALSE(parse({"--listen"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--bogus"}, o, &error));
    EXPECT_NE(error.find("--bogus"), std::string::npos);
    EXPECT_TRUE(parse({"--listen", "127.0.0.1", "--fps", "0"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--loop"}, o, &error));  // replay options without --replay
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--replay", "r.mcap", "--speed", "0"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--replay", "r.mcap", "--fault", "drop=1"}, o, &error));
    EXPECT_FALSE(parse({"--listen", "127.0.0.1", "--replay", "r.mcap", "--cameras", "2"}, o, &error));
    ASSERT_TRUE(
        parse({"--listen", "127.0.0.1", "--replay", "r.mcap", "--loop", "--speed", "2.5"}, o, &error));
    EXPECT_TRUE(o.loop && o.speed == 2.5 && o.replay_file == "r.mcap");
}

}  // namespace
}  // namespace kvsim
}  // namespace orvane
