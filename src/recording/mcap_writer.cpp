#include "recording/mcap_writer.h"

#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>

#include "recording/mcap_format.h"

namespace orvane {
namespace recording {

namespace mcap {
uint32_t crc32(uint32_t crc, const uint8_t* data, size_t size) {
    // zlib takes 32-bit lengths.
    while (size > 0) {
        const uInt part = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
        crc = static_cast<uint32_t>(::crc32(crc, data, part));
        data += part;
        size -= part;
    }
    return crc;
}
}  // namespace mcap

using mcap::Encoder;

struct McapWriter::Chunk {
    std::vector<uint8_t> records;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> index;  // channel -> (log time, offset)
    uint64_t start = UINT64_MAX;
    uint64_t end = 0;
};

McapWriter::McapWriter(WriterOptions options) : options_(options), chunk_(std::make_unique<Chunk>()) {}

McapWriter::~McapWriter() {
    if (file_) close(nullptr);
    if (zstd_) ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(zstd_));
}

bool McapWriter::open(const std::string& path, std::string* error) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // Large writes go straight through; the buffer only gathers the small records.
    setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    if (options_.compress) zstd_ = ZSTD_createCCtx();
    writeBytes(mcap::kMagic, sizeof mcap::kMagic);
    std::vector<uint8_t> header;
    Encoder e(header);
    e.str("kvdepth");           // profile
    e.str("kvdepth recorder");  // library
    writeRecord(mcap::kHeader, header);
    if (failed() && error) *error = error_;
    return !failed();
}

bool McapWriter::writeBytes(const void* data, size_t size) {
    if (failed() || !file_) return false;
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    if (in_data_section_) data_crc_ = mcap::crc32(data_crc_, static_cast<const uint8_t*>(data), size);
    if (in_summary_) summary_crc_ = mcap::crc32(summary_crc_, static_cast<const uint8_t*>(data), size);
    offset_ += size;
    return true;
}

bool McapWriter::writeRecord(uint8_t opcode, const std::vector<uint8_t>& content) {
    uint8_t prefix[mcap::kRecordPrefix];
    prefix[0] = opcode;
    const uint64_t length = content.size();
    for (int i = 0; i < 8; ++i) prefix[1 + i] = static_cast<uint8_t>(length >> (8 * i));
    return writeBytes(prefix, sizeof prefix) && writeBytes(content.data(), content.size());
}

uint16_t McapWriter::addSchema(const std::string& name, const std::string& encoding,
                               const std::string& data) {
    const auto id = static_cast<uint16_t>(schemas_.size() + 1);
    std::vector<uint8_t> content;
    Encoder e(content);
    e.u16(id);
    e.str(name);
    e.str(encoding);
    e.str(data);  // u32-prefixed bytes
    // Outside chunks, so that a reader knows them before any chunk it can read.
    flushChunk();
    writeRecord(mcap::kSchema, content);
    schemas_.push_back(std::move(content));
    return id;
}

uint16_t McapWriter::addChannel(uint16_t schema_id, const std::string& topic,
                                const std::string& message_encoding,
                                const std::map<std::string, std::string>& metadata) {
    const auto id = static_cast<uint16_t>(channels_.size() + 1);
    std::vector<uint8_t> content;
    Encoder e(content);
    e.u16(id);
    e.u16(schema_id);
    e.str(topic);
    e.str(message_encoding);
    e.stringMap(metadata);
    flushChunk();
    writeRecord(mcap::kChannel, content);
    channels_.push_back(std::move(content));
    channel_counts_[id] = 0;
    return id;
}

bool McapWriter::writeMessage(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                              uint64_t publish_time, std::initializer_list<Part> parts) {
    if (failed() || !file_) return false;
    size_t size = 0;
    for (const Part& part : parts) size += part.size;
    Chunk& c = *chunk_;
    c.index[channel_id].emplace_back(log_time, c.records.size());
    Encoder e(c.records);
    e.u8(mcap::kMessage);
    e.u64(2 + 4 + 8 + 8 + size);
    e.u16(channel_id);
    e.u32(sequence);
    e.u64(log_time);
    e.u64(publish_time);
    for (const Part& part : parts) e.raw(part.data, part.size);
    c.start = std::min(c.start, log_time);
    c.end = std::max(c.end, log_time);
    ++message_count_;
    ++channel_counts_[channel_id];
    start_time_ = std::min(start_time_, log_time);
    end_time_ = std::max(end_time_, log_time);
    if (c.records.size() >= options_.chunk_size) return flushChunk();
    return true;
}

bool McapWriter::flushChunk() {
    Chunk& c = *chunk_;
    if (c.records.empty() || failed()) return !failed();
    const uint32_t crc = mcap::crc32(0, c.records.data(), c.records.size());
    const uint8_t* payload = c.records.data();
    size_t payload_size = c.records.size();
    std::string compression;
    if (zstd_) {
        compressed_.resize(ZSTD_compressBound(c.records.size()));
        const size_t n =
            ZSTD_compressCCtx(static_cast<ZSTD_CCtx*>(zstd_), compressed_.data(), compressed_.size(),
                              c.records.data(), c.records.size(), options_.zstd_level);
        if (!ZSTD_isError(n)) {
            payload = compressed_.data();
            payload_size = n;
            compression = "zstd";
        }
    }
    const uint64_t chunk_start = offset_;
    std::vector<uint8_t> head;
    Encoder e(head);
    const uint64_t start = c.start == UINT64_MAX ? 0 : c.start;
    e.u64(start);
    e.u64(c.end);
    e.u64(c.records.size());
    e.u32(crc);
    e.str(compression);
    e.u64(payload_size);
    // The record is written in two pieces to avoid copying the payload.
    uint8_t prefix[mcap::kRecordPrefix];
    prefix[0] = mcap::kChunk;
    const uint64_t length = head.size() + payload_size;
    for (int i = 0; i < 8; ++i) prefix[1 + i] = static_cast<uint8_t>(length >> (8 * i));
    writeBytes(prefix, sizeof prefix);
    writeBytes(head.data(), head.size());
    writeBytes(payload, payload_size);
    const uint64_t chunk_length = offset_ - chunk_start;

    std::map<uint16_t, uint64_t> index_offsets;
    const uint64_t index_start = offset_;
    for (const auto& item : c.index) {
        std::vector<uint8_t> index;
        Encoder ie(index);
        ie.u16(item.first);
        ie.u32(static_cast<uint32_t>(item.second.size() * 16));
        for (const auto& entry : item.second) {
            ie.u64(entry.first);
            ie.u64(entry.second);
        }
        index_offsets[item.first] = offset_;
        writeRecord(mcap::kMessageIndex, index);
    }
    std::vector<uint8_t> chunk_index;
    Encoder ci(chunk_index);
    ci.u64(start);
    ci.u64(c.end);
    ci.u64(chunk_start);
    ci.u64(chunk_length);
    ci.u32(static_cast<uint32_t>(index_offsets.size() * 10));
    for (const auto& item : index_offsets) {
        ci.u16(item.first);
        ci.u64(item.second);
    }
    ci.u64(offset_ - index_start);
    ci.str(compression);
    ci.u64(payload_size);
    ci.u64(c.records.size());
    chunk_indexes_.push_back(std::move(chunk_index));

    c.records.clear();
    c.index.clear();
    c.start = UINT64_MAX;
    c.end = 0;
    // A file cut short later still holds every chunk written so far.
    return flush();
}

bool McapWriter::flush() {
    if (!failed() && file_ && std::fflush(file_) != 0)
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
    return !failed();
}

bool McapWriter::writeAttachment(const std::string& name, const std::string& media_type, uint64_t log_time,
                                 const std::vector<uint8_t>& data) {
    if (!flushChunk()) return false;
    std::vector<uint8_t> content;
    Encoder e(content);
    e.u64(log_time);
    e.u64(log_time);  // create time
    e.str(name);
    e.str(media_type);
    e.u64(data.size());
    e.raw(data.data(), data.size());
    e.u32(mcap::crc32(0, content.data(), content.size()));
    const uint64_t at = offset_;
    if (!writeRecord(mcap::kAttachment, content)) return false;
    std::vector<uint8_t> index;
    Encoder ie(index);
    ie.u64(at);
    ie.u64(offset_ - at);
    ie.u64(log_time);
    ie.u64(log_time);
    ie.u64(data.size());
    ie.str(name);
    ie.str(media_type);
    attachment_indexes_.push_back(std::move(index));
    return true;
}

bool McapWriter::writeMetadata(const std::string& name, const std::map<std::string, std::string>& metadata) {
    if (!flushChunk()) return false;
    std::vector<uint8_t> content;
    Encoder e(content);
    e.str(name);
    e.stringMap(metadata);
    const uint64_t at = offset_;
    if (!writeRecord(mcap::kMetadata, content)) return false;
    std::vector<uint8_t> index;
    Encoder ie(index);
    ie.u64(at);
    ie.u64(offset_ - at);
    ie.str(name);
    metadata_indexes_.push_back(std::move(index));
    return true;
}

void McapWriter::writeSummary() {
    struct Group {
        uint8_t opcode;
        uint64_t start;
        uint64_t length;
    };
    std::vector<Group> groups;
    const uint64_t summary_start = offset_;
    in_summary_ = true;
    auto group = [&](uint8_t opcode, const std::vector<std::vector<uint8_t>>& records) {
        if (records.empty()) return;
        const uint64_t at = offset_;
        for (const auto& r : records) writeRecord(opcode, r);
        groups.push_back({opcode, at, offset_ - at});
    };
    group(mcap::kSchema, schemas_);
    group(mcap::kChannel, channels_);
    std::vector<uint8_t> stats;
    Encoder s(stats);
    s.u64(message_count_);
    s.u16(static_cast<uint16_t>(schemas_.size()));
    s.u32(static_cast<uint32_t>(channels_.size()));
    s.u32(static_cast<uint32_t>(attachment_indexes_.size()));
    s.u32(static_cast<uint32_t>(metadata_indexes_.size()));
    s.u32(static_cast<uint32_t>(chunk_indexes_.size()));
    s.u64(message_count_ ? start_time_ : 0);
    s.u64(end_time_);
    s.u32(static_cast<uint32_t>(channel_counts_.size() * 10));
    for (const auto& item : channel_counts_) {
        s.u16(item.first);
        s.u64(item.second);
    }
    group(mcap::kStatistics, {stats});
    group(mcap::kChunkIndex, chunk_indexes_);
    group(mcap::kAttachmentIndex, attachment_indexes_);
    group(mcap::kMetadataIndex, metadata_indexes_);
    const uint64_t offsets_start = offset_;
    for (const Group& g : groups) {
        std::vector<uint8_t> content;
        Encoder e(content);
        e.u8(g.opcode);
        e.u64(g.start);
        e.u64(g.length);
        writeRecord(mcap::kSummaryOffset, content);
    }
    // The summary CRC covers the summary section and the footer up to its own field.
    std::vector<uint8_t> footer;
    Encoder f(footer);
    f.u8(mcap::kFooter);
    f.u64(8 + 8 + 4);
    f.u64(summary_start);
    f.u64(offsets_start);
    writeBytes(footer.data(), footer.size());
    in_summary_ = false;
    uint8_t crc[4];
    for (int i = 0; i < 4; ++i) crc[i] = static_cast<uint8_t>(summary_crc_ >> (8 * i));
    writeBytes(crc, sizeof crc);
    writeBytes(mcap::kMagic, sizeof mcap::kMagic);
}

bool McapWriter::close(std::string* error) {
    if (file_) {
        flushChunk();
        std::vector<uint8_t> data_end;
        Encoder(data_end).u32(data_crc_);
        in_data_section_ = false;
        writeRecord(mcap::kDataEnd, data_end);
        writeSummary();
        if (std::fclose(file_) != 0 && !failed())
            error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        file_ = nullptr;
    }
    if (failed() && error) *error = error_;
    return !failed();
}

}  // namespace recording
}  // namespace orvane
