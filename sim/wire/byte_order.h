// Little-endian field access for the simulator's wire code. Every field is written and read byte by byte,
// so the layout never depends on the host's struct packing or byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace orvane {
namespace kvsim {

using Bytes = std::vector<uint8_t>;

inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint16_t getU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Appends little-endian fields to a byte vector.
class ByteWriter {
  public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    ByteWriter& u8(uint8_t v) {
        out_.push_back(v);
        return *this;
    }
    ByteWriter& u16(uint16_t v) {
        uint8_t b[2];
        putU16(b, v);
        out_.insert(out_.end(), b, b + 2);
        return *this;
    }
    ByteWriter& u32(uint32_t v) {
        uint8_t b[4];
        putU32(b, v);
        out_.insert(out_.end(), b, b + 4);
        return *this;
    }
    ByteWriter& i16(int16_t v) { return u16(static_cast<uint16_t>(v)); }
    ByteWriter& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    ByteWriter& f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return u32(bits);
    }
    ByteWriter& bytes(const uint8_t* p, size_t n) {
        if (n > 0) out_.insert(out_.end(), p, p + n);
        return *this;
    }
    ByteWriter& zeros(size_t n) {
        out_.insert(out_.end(), n, 0);
        return *this;
    }
    // A fixed-size text field: the text cut to size - 1 bytes, NUL-padded.
    ByteWriter& text(const std::string& s, size_t size) {
        size_t n = s.size() < size ? s.size() : size - 1;
        bytes(reinterpret_cast<const uint8_t*>(s.data()), n);
        return zeros(size - n);
    }

  private:
    Bytes& out_;
};

// Reads little-endian fields from a bounded buffer. A read past the end yields 0 and clears ok(), so a
// decoder checks ok() once at the end instead of after every field.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit ByteReader(const Bytes& b) : data_(b.data()), size_(b.size()) {}

    bool ok() const { return ok_; }
    size_t remaining() const { return size_ - pos_; }
    size_t position() const { return pos_; }

    uint8_t u8() { return need(1) ? data_[pos_++] : 0; }
    uint16_t u16() {
        if (!need(2)) return 0;
        uint16_t v = getU16(data_ + pos_);
        pos_ += 2;
        return v;
    }
    uint32_t u32() {
        if (!need(4)) return 0;
        uint32_t v = getU32(data_ + pos_);
        pos_ += 4;
        return v;
    }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    float f32() {
        uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    void skip(size_t n) {
        if (need(n)) pos_ += n;
    }
    // A fixed-size text field, read up to its first NUL and never past the field.
    std::string text(size_t size) {
        if (!need(size)) return std::string();
        const char* p = reinterpret_cast<const char*>(data_ + pos_);
        size_t n = 0;
        while (n < size && p[n] != '\0') ++n;
        pos_ += size;
        return std::string(p, n);
    }

  private:
    bool need(size_t n) {
        if (!ok_ || size_ - pos_ < n) {
            ok_ = false;
            pos_ = size_;
            return false;
        }
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace kvsim
}  // namespace orvane
