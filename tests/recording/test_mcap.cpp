// The MCAP writer and the tolerant reader: round trip, files cut at many points, damaged chunks and
// foreign files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "recording/mcap_reader.h"
#include "recording/mcap_writer.h"
#include "recording/recording_format.h"
#include "recording/recording_reader.h"
#include "recording/ros_messages.h"

namespace orvane {
namespace recording {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A recording of 40 stream chunks and 10 images in several small chunks, plus its expected content.
class Recording : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "kvdepth_mcap_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".mcap";
        WriterOptions options;
        options.chunk_size = 2000;
        McapWriter w(options);
        std::string error;
        ASSERT_TRUE(w.open(path_, &error)) << error;
        const uint16_t raw =
            w.addChannel(w.addSchema(kDeviceStreamSchema, "", ""), kDeviceStreamTopic, kDeviceStreamEncoding);
        const uint16_t image =
            w.addChannel(w.addSchema(kImageSchema, "ros2msg", kImageDefinition), "/depth", "cdr");
        for (uint32_t i = 0; i < 40; ++i) {
            StreamChunk c;
            c.from_device = i % 3 != 0;
            c.time_ns = 1000 + i;
            for (uint32_t b = 0; b < 50 + i * 7; ++b) c.bytes.push_back(static_cast<uint8_t>(b * 31 + i));
            const uint8_t direction = c.from_device ? 1 : 0;
            ASSERT_TRUE(w.writeMessage(raw, i, c.time_ns, c.time_ns,
                                       {{&direction, 1}, {c.bytes.data(), c.bytes.size()}}));
            chunks_.push_back(c);
            if (i % 4 != 0) continue;
            pixels_.assign(4 * 3 * 2, static_cast<uint8_t>(i));
            ImageFields f{123456789, "depth", 4, 3, "16UC1", 8};
            const SerializedParts parts = serializeImage(f, pixels_.size());
            ASSERT_TRUE(
                w.writeMessage(image, i, c.time_ns, c.time_ns,
                               {{parts.head.data(), parts.head.size()}, {pixels_.data(), pixels_.size()}}));
        }
        ASSERT_TRUE(
            w.writeAttachment(kDescriptorAttachment, "application/xml", 5, Bytes{'<', 'x', '/', '>'}));
        ASSERT_TRUE(w.writeMetadata(kRecordingMetadata, {{"dropped_frames", "3"}}));
        ASSERT_TRUE(w.close(&error)) << error;
        file_ = readFile(path_);
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::string path_;
    Bytes file_;
    Bytes pixels_;
    std::vector<StreamChunk> chunks_;
};

bool sameChunk(const StreamChunk& a, const StreamChunk& b) {
    return a.from_device == b.from_device && a.time_ns == b.time_ns && a.bytes == b.bytes;
}

TEST_F(Recording, ReadsBackEverythingWritten) {
    std::vector<StreamChunk> read;
    std::string error;
    bool truncated = true;
    ASSERT_TRUE(readDeviceStream(path_, &read, &error, &truncated)) << error;
    EXPECT_FALSE(truncated);
    ASSERT_EQ(read.size(), chunks_.size());
    for (size_t i = 0; i < read.size(); ++i) EXPECT_TRUE(sameChunk(read[i], chunks_[i])) << i;

    RecordingSummary summary;
    ASSERT_TRUE(readSummary(path_, &summary, &error)) << error;
    ASSERT_EQ(summary.channels.size(), 2u);
    EXPECT_EQ(summary.channels[0].message_count, 40u);
    EXPECT_EQ(summary.channels[1].message_count, 10u);
    EXPECT_EQ(summary.channels[1].schema_name, kImageSchema);
    EXPECT_EQ(summary.start_ns, 1000u);
    EXPECT_EQ(summary.end_ns, 1039u);
    EXPECT_EQ(summary.dropped_frames, 3u);
    EXPECT_GT(summary.chunk_count, 3u);
    EXPECT_FALSE(summary.truncated);

    Bytes descriptor;
    ASSERT_TRUE(readAttachment(path_, kDescriptorAttachment, &descriptor, &error)) << error;
    EXPECT_EQ(descriptor, (Bytes{'<', 'x', '/', '>'}));

    int images = 0;
    ASSERT_TRUE(visitMessages(
        path_,
        [&](const Channel& c, const Message& m) {
            if (c.topic != "/depth") return true;
            DecodedImage image;
            EXPECT_TRUE(decodeImageMessage(c.schema_name, m.data, m.size, &image));
            EXPECT_EQ(image.fields.width, 4u);
            EXPECT_EQ(image.fields.height, 3u);
            EXPECT_EQ(image.fields.encoding, "16UC1");
            EXPECT_EQ(image.fields.stamp_us, 123456789u);
            EXPECT_EQ(Bytes(image.data, image.data + image.size),
                      Bytes(24, static_cast<uint8_t>(m.sequence)));
            ++images;
            return true;
        },
        &error));
    EXPECT_EQ(images, 10);
}

TEST_F(Recording, FileCutAnywhereYieldsAPrefixOrAClearError) {
    const std::string cut = path_ + ".cut";
    size_t readable = 0;
    for (size_t length = 0; length < file_.size(); length += 1 + length / 40) {
        writeFile(cut, Bytes(file_.begin(), file_.begin() + static_cast<long>(length)));
        std::vector<StreamChunk> read;
        std::string error;
        bool truncated = false;
        if (!readDeviceStream(cut, &read, &error, &truncated)) {
            EXPECT_FALSE(error.empty()) << length;
            continue;
        }
        ++readable;
        // Cut inside the summary, after the data section ended, loses nothing.
        EXPECT_TRUE(truncated || read.size() == chunks_.size()) << length;
        ASSERT_LE(read.size(), chunks_.size());
        for (size_t i = 0; i < read.size(); ++i) ASSERT_TRUE(sameChunk(read[i], chunks_[i])) << length;
    }
    EXPECT_GT(readable, 10u);
    std::remove(cut.c_str());
}

TEST_F(Recording, DamagedChunkStopsAtTheLastGoodOne) {
    // The second chunk record, found by walking the records after the magic.
    size_t at = 8, seen = 0, chunk = 0, length = 0;
    while (at + 9 <= file_.size() && chunk == 0) {
        length = 0;
        for (int i = 0; i < 8; ++i) length |= static_cast<size_t>(file_[at + 1 + i]) << (8 * i);
        if (file_[at] == 0x06 && ++seen == 2) chunk = at + 9;
        at += 9 + length;
    }
    ASSERT_NE(chunk, 0u);
    const struct {
        const char* name;
        long offset;  // from the chunk record's content; negative: in its length prefix
        uint8_t value;
        const char* message;
    } cases[] = {
        {"payload byte", static_cast<long>(length) - 5, 0x5a, "damaged"},
        // A quarter gigabyte claimed by a few bytes is refused before anything is allocated.
        {"uncompressed size", 16 + 3, 0x10, "sizes disagree"},
        // A record length grown by 4 GiB in a file that large (sparse) is damage, not a 4 GiB read.
        {"record length", -4, 0x01, "claims"},
    };
    for (const auto& c : cases) {
        Bytes damaged = file_;
        damaged[static_cast<size_t>(static_cast<long>(chunk) + c.offset)] ^= c.value;
        writeFile(path_, damaged);
        if (c.offset < 0) {
            ASSERT_EQ(truncate(path_.c_str(), 5ll << 30), 0);
        }
        std::vector<StreamChunk> read;
        std::string error;
        bool truncated = false;
        ASSERT_TRUE(readDeviceStream(path_, &read, &error, &truncated)) << c.name << ": " << error;
        EXPECT_TRUE(truncated) << c.name;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
        EXPECT_GT(read.size(), 0u) << c.name;
        EXPECT_LT(read.size(), chunks_.size()) << c.name;
    }
}

TEST(ForeignFile, GivesAClearError) {
    const struct {
        const char* name;
        Bytes bytes;
        const char* message;
    } cases[] = {
        {"empty", {}, "not an MCAP recording"},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}, "not an MCAP recording"},
        {"png", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0}, "not an MCAP recording"},
        {"magic only", Bytes{0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'}, "ends early"},
        {"huge record",
         Bytes{0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n', 1, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
         "claims"},
    };
    const std::string path = ::testing::TempDir() + "kvdepth_foreign.bin";
    for (const auto& c : cases) {
        writeFile(path, c.bytes);
        std::vector<StreamChunk> read;
        std::string error;
        EXPECT_FALSE(readDeviceStream(path, &read, &error)) << c.name;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    }
    std::vector<StreamChunk> read;
    std::string error;
    EXPECT_FALSE(readDeviceStream(path + ".missing", &read, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    std::remove(path.c_str());
}

}  // namespace
}  // namespace recording
}  // namespace orvane
