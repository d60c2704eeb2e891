#include "recording/mcap_reader.h"

#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "recording/mcap_format.h"

namespace orvane {
namespace recording {
namespace {

// Larger chunks than this are taken as damage rather than allocated.
constexpr uint64_t kMaxChunkBytes = 1ull << 30;
// A record's length is read before the record: anything longer than the largest chunk (compressed data may
// be slightly larger than the data) is damage, not a reason to allocate that much.
constexpr uint64_t kMaxRecordBytes = kMaxChunkBytes + (kMaxChunkBytes >> 7) + 4096;

std::string offsetText(uint64_t offset) {
    return "at byte " + std::to_string(offset);
}

}  // namespace

// Whole records from a file or from memory.
class McapReader::Source {
  public:
    virtual ~Source() = default;
    virtual uint64_t remaining() const = 0;
    virtual uint64_t offset() const = 0;
    // The next n bytes, or null when fewer remain.
    virtual const uint8_t* next(uint64_t n) = 0;
};

ReadResult McapReader::readBytes(const uint8_t* data, size_t size) {
    class Memory : public Source {
      public:
        Memory(const uint8_t* d, size_t s) : d_(d), s_(s) {}
        uint64_t remaining() const override { return s_ - at_; }
        uint64_t offset() const override { return at_; }
        const uint8_t* next(uint64_t n) override {
            if (n > remaining()) return nullptr;
            const uint8_t* p = d_ + at_;
            at_ += n;
            return p;
        }

      private:
        const uint8_t* d_;
        size_t s_;
        size_t at_ = 0;
    } source(data, size);
    return run(source);
}

ReadResult McapReader::read(const std::string& path) {
    class File : public Source {
      public:
        explicit File(FILE* f, uint64_t size) : f_(f), size_(size) {}
        ~File() override { std::fclose(f_); }
        uint64_t remaining() const override { return size_ - at_; }
        uint64_t offset() const override { return at_; }
        const uint8_t* next(uint64_t n) override {
            // The length comes from the file: it is checked against the file's size before allocating.
            if (n > remaining()) return nullptr;
            buffer_.resize(static_cast<size_t>(n));
            if (n > 0 && std::fread(buffer_.data(), 1, static_cast<size_t>(n), f_) != n) return nullptr;
            at_ += n;
            return buffer_.data();
        }

      private:
        FILE* f_;
        uint64_t size_;
        uint64_t at_ = 0;
        std::vector<uint8_t> buffer_;
    };
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        ReadResult failed;
        failed.error = "cannot open " + path + ": " + std::strerror(errno);
        return failed;
    }
    uint64_t size = 0;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        const long end = std::ftell(f);
        size = end > 0 ? static_cast<uint64_t>(end) : 0;
        std::fseek(f, 0, SEEK_SET);
    }
    File source(f, size);
    ReadResult result = run(source);
    if (!result.ok) result.error = path + ": " + result.error;
    return result;
}

ReadResult McapReader::run(Source& source) {
    try {
        return readRecords(source);
    } catch (const std::bad_alloc&) {
        // A damaged length that still passed the size checks; what was read before it stays read.
        result_.truncated = true;
        result_.error = "a record " + offsetText(source.offset()) + " needs more memory than there is";
        result_.ok = result_.chunks > 0 || result_.messages > 0;
        return result_;
    }
}

ReadResult McapReader::readRecords(Source& source) {
    result_ = ReadResult{};
    schemas_.clear();
    channels_.clear();
    const uint8_t* magic = source.next(sizeof mcap::kMagic);
    if (!magic || std::memcmp(magic, mcap::kMagic, sizeof mcap::kMagic) != 0) {
        result_.error = "not an MCAP recording (no MCAP magic at the start)";
        return result_;
    }
    bool first = true;
    bool stop = false;
    while (!stop) {
        const uint64_t at = source.offset();
        const uint8_t* prefix = source.next(mcap::kRecordPrefix);
        if (!prefix) {
            result_.truncated = true;
            result_.error = "the file ends early " + offsetText(at) + " (cut short?)";
            break;
        }
        const uint8_t opcode = prefix[0];
        uint64_t length = 0;
        for (int i = 0; i < 8; ++i) length |= static_cast<uint64_t>(prefix[1 + i]) << (8 * i);
        if (first && opcode != mcap::kHeader) {
            result_.error = "not an MCAP recording (no header record)";
            return result_;
        }
        first = false;
        if (length > kMaxRecordBytes) {
            result_.truncated = true;
            result_.error =
                "damaged record " + offsetText(at) + ": it claims " + std::to_string(length) + " bytes";
            break;
        }
        const uint8_t* content = source.next(length);
        if (!content) {
            result_.truncated = true;
            result_.error = "the file ends inside a record " + offsetText(at) + " (cut short?)";
            break;
        }
        std::string why;
        if (!record(opcode, content, static_cast<size_t>(length), false, &why, &stop)) {
            result_.truncated = true;
            result_.error = "damaged record " + offsetText(at) + ": " + why;
            break;
        }
        if (opcode == mcap::kDataEnd || opcode == mcap::kFooter) {
            result_.complete = true;
            break;
        }
    }
    // A damaged or cut file is still readable when something good came before the damage.
    result_.ok = result_.complete || stop || result_.chunks > 0 || result_.messages > 0;
    if (result_.ok && !result_.truncated) result_.error.clear();
    return result_;
}

bool McapReader::record(uint8_t opcode, const uint8_t* data, size_t size, bool in_chunk, std::string* why,
                        bool* stop) {
    mcap::Decoder d(data, size);
    switch (opcode) {
        case mcap::kSchema: {
            const uint16_t id = d.u16();
            std::string name = d.str();
            std::string encoding = d.str();
            d.str();
            if (!d.ok()) break;
            schemas_[id] = {name, encoding};
            return true;
        }
        case mcap::kChannel: {
            Channel c;
            c.id = d.u16();
            c.schema_id = d.u16();
            c.topic = d.str();
            c.message_encoding = d.str();
            std::map<std::string, std::string> metadata;
            d.stringMap(&metadata);
            if (!d.ok()) break;
            auto schema = schemas_.find(c.schema_id);
            if (schema != schemas_.end()) {
                c.schema_name = schema->second.first;
                c.schema_encoding = schema->second.second;
            }
            const bool known = channels_.count(c.id) != 0;
            channels_[c.id] = c;
            if (!known && on_channel) on_channel(c);
            return true;
        }
        case mcap::kMessage: {
            Message m;
            m.channel_id = d.u16();
            m.sequence = d.u32();
            m.log_time = d.u64();
            m.publish_time = d.u64();
            if (!d.ok()) break;
            m.data = d.position();
            m.size = d.remaining();
            auto channel = channels_.find(m.channel_id);
            if (channel == channels_.end()) {
                *why = "message on unknown channel " + std::to_string(m.channel_id);
                return false;
            }
            ++result_.messages;
            if (on_message && !on_message(channel->second, m)) *stop = true;
            return true;
        }
        case mcap::kChunk:
            if (in_chunk) break;
            return chunk(data, size, why, stop);
        case mcap::kAttachment: {
            if (in_chunk) break;
            d.u64();
            d.u64();
            const std::string name = d.str();
            const std::string media_type = d.str();
            const uint64_t n = d.u64();
            const uint8_t* bytes = d.take(n);
            const size_t covered = size - d.remaining();
            const uint32_t crc = d.u32();
            if (!d.ok()) break;
            if (crc != 0 && crc != mcap::crc32(0, data, covered)) {
                *why = "attachment " + name + " fails its CRC check";
                return false;
            }
            if (on_attachment) on_attachment(name, media_type, bytes, static_cast<size_t>(n));
            return true;
        }
        case mcap::kMetadata: {
            if (in_chunk) break;
            const std::string name = d.str();
            std::map<std::string, std::string> metadata;
            d.stringMap(&metadata);
            if (!d.ok()) break;
            if (on_metadata) on_metadata(name, metadata);
            return true;
        }
        default:
            return true;  // indexes, statistics and unknown records are not needed to read the data
    }
    *why = "record " + std::to_string(opcode) + " is shorter than its fields";
    return false;
}

bool McapReader::chunk(const uint8_t* data, size_t size, std::string* why, bool* stop) {
    mcap::Decoder d(data, size);
    d.u64();
    d.u64();
    const uint64_t uncompressed_size = d.u64();
    const uint32_t crc = d.u32();
    const std::string compression = d.str();
    const uint64_t stored = d.u64();
    const uint8_t* payload = d.take(stored);
    if (!d.ok()) {
        *why = "chunk is shorter than its fields";
        return false;
    }
    if (uncompressed_size > kMaxChunkBytes) {
        *why = "chunk claims " + std::to_string(uncompressed_size) + " bytes";
        return false;
    }
    const uint8_t* records = payload;
    if (compression == "zstd") {
        // The size the chunk claims is allocated only when the compressed frame agrees with it: a few
        // damaged bytes must not cost a gigabyte.
        const unsigned long long framed = ZSTD_getFrameContentSize(payload, static_cast<size_t>(stored));
        const bool plausible = framed == ZSTD_CONTENTSIZE_UNKNOWN ? uncompressed_size / 1024 <= stored
                                                                  : framed == uncompressed_size;
        if (!plausible) {
            *why = "chunk sizes disagree";
            return false;
        }
        scratch_.resize(static_cast<size_t>(uncompressed_size));
        const size_t n =
            ZSTD_decompress(scratch_.data(), scratch_.size(), payload, static_cast<size_t>(stored));
        if (ZSTD_isError(n) || n != uncompressed_size) {
            *why = "chunk does not decompress";
            return false;
        }
        records = scratch_.data();
    } else if (!compression.empty()) {
        *why = "chunk compression '" + compression + "' is not supported";
        return false;
    } else if (stored != uncompressed_size) {
        *why = "chunk sizes disagree";
        return false;
    }
    if (crc != 0 && crc != mcap::crc32(0, records, static_cast<size_t>(uncompressed_size))) {
        *why = "chunk fails its CRC check";
        return false;
    }
    // The records are checked as a whole before any is handed out, so a damaged chunk yields nothing.
    mcap::Decoder scan(records, static_cast<size_t>(uncompressed_size));
    while (scan.remaining() > 0) {
        scan.u8();
        const uint64_t length = scan.u64();
        if (!scan.take(length)) {
            *why = "chunk records overrun the chunk";
            return false;
        }
    }
    mcap::Decoder r(records, static_cast<size_t>(uncompressed_size));
    while (r.remaining() > 0 && !*stop) {
        const uint8_t opcode = r.u8();
        const uint64_t length = r.u64();
        const uint8_t* content = r.take(length);
        if (!record(opcode, content, static_cast<size_t>(length), true, why, stop)) return false;
    }
    ++result_.chunks;
    return true;
}

}  // namespace recording
}  // namespace orvane
