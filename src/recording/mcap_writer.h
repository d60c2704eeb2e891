// A small MCAP writer: schemas, channels, messages in zstd-compressed chunks with CRCs and message indexes,
// attachments, metadata, and a summary section (schemas, channels, statistics, chunk/attachment/metadata
// indexes) so that tools can list a file without reading it all. Not thread-safe: one writer thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orvane {
namespace recording {

struct WriterOptions {
    bool compress = true;         // zstd per chunk; off: chunks stored as they are
    int zstd_level = 1;           // negative levels trade size for speed
    size_t chunk_size = 4 << 20;  // uncompressed bytes that close a chunk
};

class McapWriter {
  public:
    explicit McapWriter(WriterOptions options = {});
    ~McapWriter();  // close() when still open
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    // Creates the file and writes its header. False with a message.
    bool open(const std::string& path, std::string* error);

    // Ids start at 1. Schema id 0 is "no schema".
    uint16_t addSchema(const std::string& name, const std::string& encoding, const std::string& data);
    uint16_t addChannel(uint16_t schema_id, const std::string& topic, const std::string& message_encoding,
                        const std::map<std::string, std::string>& metadata = {});
    // The message data may be given in parts (e.g. head, pixels, tail), concatenated in order.
    struct Part {
        const uint8_t* data;
        size_t size;
    };
    bool writeMessage(uint16_t channel_id, uint32_t sequence, uint64_t log_time, uint64_t publish_time,
                      std::initializer_list<Part> parts);
    bool writeAttachment(const std::string& name, const std::string& media_type, uint64_t log_time,
                         const std::vector<uint8_t>& data);
    bool writeMetadata(const std::string& name, const std::map<std::string, std::string>& metadata);

    // Hands what is buffered to the file (the open chunk stays open). False with the first error.
    bool flush();

    // Writes the last chunk, the summary and the footer. False with the first error of the file.
    bool close(std::string* error);

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    uint64_t bytesWritten() const { return offset_; }

  private:
    struct ChunkIndex;
    struct Chunk;
    bool flushChunk();
    bool writeRecord(uint8_t opcode, const std::vector<uint8_t>& content);
    bool writeBytes(const void* data, size_t size);
    void writeSummary();

    WriterOptions options_;
    FILE* file_ = nullptr;
    std::string path_;
    std::string error_;
    uint64_t offset_ = 0;
    uint32_t data_crc_ = 0;
    bool in_data_section_ = true;
    uint32_t summary_crc_ = 0;
    bool in_summary_ = false;

    std::vector<std::vector<uint8_t>> schemas_;   // Schema record contents, by id - 1
    std::vector<std::vector<uint8_t>> channels_;  // Channel record contents, by id - 1
    std::unique_ptr<Chunk> chunk_;
    std::vector<std::vector<uint8_t>> chunk_indexes_;
    std::vector<std::vector<uint8_t>> attachment_indexes_;
    std::vector<std::vector<uint8_t>> metadata_indexes_;
    std::map<uint16_t, uint64_t> channel_counts_;
    uint64_t message_count_ = 0;
    uint64_t start_time_ = UINT64_MAX;
    uint64_t end_time_ = 0;
    std::vector<uint8_t> compressed_;
    void* zstd_ = nullptr;  // ZSTD_CCtx
};

}  // namespace recording
}  // namespace orvane
