// The record layout of MCAP files: opcodes, the magic, and little-endian field encoding shared by the
// writer and the reader.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace orvane {
namespace recording {
namespace mcap {

constexpr uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kMessageIndex = 0x07,
    kChunkIndex = 0x08,
    kAttachment = 0x09,
    kAttachmentIndex = 0x0A,
    kStatistics = 0x0B,
    kMetadata = 0x0C,
    kMetadataIndex = 0x0D,
    kSummaryOffset = 0x0E,
    kDataEnd = 0x0F,
};

// opcode (1) + record length (8)
constexpr size_t kRecordPrefix = 9;

// Appends little-endian fields to a byte buffer.
class Encoder {
  public:
    explicit Encoder(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void raw(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + size);
    }
    void str(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        raw(s.data(), s.size());
    }
    void stringMap(const std::map<std::string, std::string>& m);
    size_t size() const { return out_.size(); }
    // Patches a u32 / u64 written earlier at `at`.
    void patch32(size_t at, uint32_t v) { write(at, v, 4); }
    void patch64(size_t at, uint64_t v) { write(at, v, 8); }

  private:
    void put(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void write(size_t at, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out_[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    std::vector<uint8_t>& out_;
};

// Reads little-endian fields from untrusted bytes. Every read checks the bounds; after the first short
// read ok() is false and every later read yields zero/empty.
class Decoder {
  public:
    Decoder(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    std::string str() {
        const uint32_t n = u32();
        const uint8_t* at = take(n);
        return at ? std::string(reinterpret_cast<const char*>(at), n) : std::string();
    }
    // A u32 byte-length-prefixed map of strings.
    bool stringMap(std::map<std::string, std::string>* out);
    // The next n bytes, or null (and not ok) when fewer remain.
    const uint8_t* take(uint64_t n) {
        if (!ok_ || n > static_cast<uint64_t>(end_ - p_)) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* at = p_;
        p_ += n;
        return at;
    }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    const uint8_t* position() const { return p_; }
    bool ok() const { return ok_; }

  private:
    uint64_t get(int bytes) {
        const uint8_t* at = take(static_cast<uint64_t>(bytes));
        if (!at) return 0;
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(at[i]) << (8 * i);
        return v;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
};

inline void Encoder::stringMap(const std::map<std::string, std::string>& m) {
    const size_t at = size();
    u32(0);
    for (const auto& kv : m) {
        str(kv.first);
        str(kv.second);
    }
    patch32(at, static_cast<uint32_t>(size() - at - 4));
}

inline bool Decoder::stringMap(std::map<std::string, std::string>* out) {
    const uint32_t bytes = u32();
    const uint8_t* at = take(bytes);
    if (!at) return false;
    Decoder inner(at, bytes);
    while (inner.ok() && inner.remaining() > 0) {
        std::string key = inner.str();
        std::string value = inner.str();
        if (inner.ok()) (*out)[key] = value;
    }
    return inner.ok();
}

// CRC-32 (ISO-HDLC, as zlib) over `size` bytes, continuing from `crc`.
uint32_t crc32(uint32_t crc, const uint8_t* data, size_t size);

}  // namespace mcap
}  // namespace recording
}  // namespace orvane
