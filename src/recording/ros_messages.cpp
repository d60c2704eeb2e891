#include "recording/ros_messages.h"

#include <cstring>

namespace orvane {
namespace recording {

#define KV_TIME_AND_HEADER                                                               \
    "================================================================================\n" \
    "MSG: std_msgs/Header\n"                                                             \
    "builtin_interfaces/Time stamp\n"                                                    \
    "string frame_id\n"                                                                  \
    "================================================================================\n" \
    "MSG: builtin_interfaces/Time\n"                                                     \
    "int32 sec\n"                                                                        \
    "uint32 nanosec\n"

const char* const kImageDefinition =
    "std_msgs/Header header\n"
    "uint32 height\n"
    "uint32 width\n"
    "string encoding\n"
    "uint8 is_bigendian\n"
    "uint32 step\n"
    "uint8[] data\n" KV_TIME_AND_HEADER;

const char* const kPointCloudDefinition =
    "std_msgs/Header header\n"
    "uint32 height\n"
    "uint32 width\n"
    "sensor_msgs/PointField[] fields\n"
    "bool is_bigendian\n"
    "uint32 point_step\n"
    "uint32 row_step\n"
    "uint8[] data\n"
    "bool is_dense\n" KV_TIME_AND_HEADER
    "================================================================================\n"
    "MSG: sensor_msgs/PointField\n"
    "uint8 INT8=1\n"
    "uint8 UINT8=2\n"
    "uint8 INT16=3\n"
    "uint8 UINT16=4\n"
    "uint8 INT32=5\n"
    "uint8 UINT32=6\n"
    "uint8 FLOAT32=7\n"
    "uint8 FLOAT64=8\n"
    "string name\n"
    "uint32 offset\n"
    "uint8 datatype\n"
    "uint32 count\n";

#undef KV_TIME_AND_HEADER

namespace {

constexpr uint8_t kFloat32 = 7;

// Little-endian CDR: primitives aligned to their size, counted from after the 4-byte encapsulation header.
class CdrWriter {
  public:
    explicit CdrWriter(std::vector<uint8_t>& out, size_t base) : out_(out), base_(base) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u32(uint32_t v) {
        align(4);
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void str(const std::string& s) {
        u32(static_cast<uint32_t>(s.size() + 1));
        out_.insert(out_.end(), s.begin(), s.end());
        out_.push_back(0);
    }
    // Position relative to the CDR origin, for continuing in another buffer.
    size_t position() const { return base_ + out_.size(); }

  private:
    void align(size_t n) {
        while (position() % n != 0) out_.push_back(0);
    }
    std::vector<uint8_t>& out_;
    size_t base_;  // CDR position of out_[0] (the encapsulation header counts as -4)
};

class CdrReader {
  public:
    CdrReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() {
        if (!ok_ || at_ + 1 > size_) return fail();
        return data_[at_++];
    }
    uint32_t u32() {
        at_ = (at_ + 3) & ~size_t{3};
        if (!ok_ || at_ + 4 > size_) return fail();
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(data_[at_ + i]) << (8 * i);
        at_ += 4;
        return v;
    }
    std::string str() {
        const uint32_t n = u32();
        if (!ok_ || n == 0 || n > size_ - at_) {
            fail();
            return {};
        }
        std::string s(reinterpret_cast<const char*>(data_ + at_), n - 1);
        at_ += n;
        return s;
    }
    const uint8_t* bytes(uint32_t n) {
        if (!ok_ || n > size_ - at_) {
            fail();
            return nullptr;
        }
        const uint8_t* p = data_ + at_;
        at_ += n;
        return p;
    }
    bool ok() const { return ok_; }

  private:
    uint8_t fail() {
        ok_ = false;
        return 0;
    }
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
};

void writeHeader(CdrWriter& w, const ImageFields& f) {
    w.u32(static_cast<uint32_t>(f.stamp_us / 1000000));
    w.u32(static_cast<uint32_t>(f.stamp_us % 1000000 * 1000));
    w.str(f.frame_id);
    w.u32(f.height);
    w.u32(f.width);
}

std::vector<uint8_t> encapsulated() {
    return {0x00, 0x01, 0x00, 0x00};
}

}  // namespace

SerializedParts serializeImage(const ImageFields& fields, size_t data_size) {
    SerializedParts parts;
    parts.head = encapsulated();
    CdrWriter w(parts.head, static_cast<size_t>(0) - 4);
    writeHeader(w, fields);
    w.str(fields.encoding);
    w.u8(0);  // little-endian pixels
    w.u32(fields.step);
    w.u32(static_cast<uint32_t>(data_size));
    return parts;
}

SerializedParts serializePointCloud(const ImageFields& fields, size_t data_size) {
    SerializedParts parts;
    parts.head = encapsulated();
    CdrWriter w(parts.head, static_cast<size_t>(0) - 4);
    writeHeader(w, fields);
    w.u32(3);
    const char* names[3] = {"x", "y", "z"};
    for (uint32_t i = 0; i < 3; ++i) {
        w.str(names[i]);
        w.u32(i * 4);
        w.u8(kFloat32);
        w.u32(1);
    }
    w.u8(0);  // is_bigendian
    w.u32(12);
    w.u32(fields.width * 12);
    w.u32(static_cast<uint32_t>(data_size));
    parts.tail.push_back(0);  // is_dense: holes are NaN
    return parts;
}

bool decodeImageMessage(const std::string& schema_name, const uint8_t* message, size_t size,
                        DecodedImage* out) {
    if (size < 4 || message[0] != 0x00 || message[1] != 0x01) return false;  // little-endian CDR only
    CdrReader r(message + 4, size - 4);
    ImageFields& f = out->fields;
    const uint32_t sec = r.u32();
    const uint32_t nanosec = r.u32();
    f.stamp_us = static_cast<uint64_t>(sec) * 1000000 + nanosec / 1000;
    f.frame_id = r.str();
    f.height = r.u32();
    f.width = r.u32();
    if (schema_name == "sensor_msgs/msg/Image") {
        f.encoding = r.str();
        r.u8();
        f.step = r.u32();
    } else if (schema_name == "sensor_msgs/msg/PointCloud2") {
        const uint32_t fields = r.u32();
        for (uint32_t i = 0; i < fields && r.ok(); ++i) {
            r.str();
            r.u32();
            r.u8();
            r.u32();
        }
        r.u8();
        r.u32();
        f.step = r.u32();
        f.encoding = "32FC3";
    } else {
        return false;
    }
    const uint32_t n = r.u32();
    out->data = r.bytes(n);
    out->size = n;
    return r.ok();
}

std::string rosEncoding(int32_t pixel_format) {
    switch (static_cast<uint32_t>(pixel_format)) {
        case 0x30100020u:
            return "16UC1";
        case 0x10080000u:
            return "mono8";
        case 0x20180010u:
            return "rgb8";
        default:
            break;
    }
    // Other formats as plain bytes: bits 16..23 of the code are the bits per pixel.
    const uint32_t bytes = ((static_cast<uint32_t>(pixel_format) >> 16) & 0xff) / 8;
    return "8UC" + std::to_string(bytes == 0 ? 1 : bytes);
}

}  // namespace recording
}  // namespace orvane
