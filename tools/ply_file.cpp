#include "ply_file.h"

#include <algorithm>
#include <cstring>

#include "atomic_file.h"

namespace orvane {
namespace tool {
namespace {

void putFloatLe(uint8_t* out, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

std::string header(size_t count, bool with_color, const std::string& comment) {
    std::string h = "ply\nformat binary_little_endian 1.0\n";
    if (!comment.empty()) h += "comment " + comment + "\n";
    h += "element vertex " + std::to_string(count) + "\n";
    h += "property float x\nproperty float y\nproperty float z\n";
    if (with_color) h += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    h += "end_header\n";
    return h;
}

}  // namespace

bool writePly(const std::string& path, const std::vector<PlyPoint>& points, bool with_color,
              const std::string& comment, std::string* error) {
    AtomicFile file(path);
    const std::string head = header(points.size(), with_color, comment);
    file.write(head.data(), head.size());
    const size_t vertex_size = with_color ? 15 : 12;
    std::vector<uint8_t> block;
    constexpr size_t kPointsPerBlock = 4096;
    block.reserve(kPointsPerBlock * vertex_size);
    for (size_t i = 0; i < points.size() && file.ok(); i += kPointsPerBlock) {
        const size_t end = std::min(points.size(), i + kPointsPerBlock);
        block.resize((end - i) * vertex_size);
        uint8_t* out = block.data();
        for (size_t k = i; k < end; ++k, out += vertex_size) {
            const PlyPoint& p = points[k];
            putFloatLe(out, p.x);
            putFloatLe(out + 4, p.y);
            putFloatLe(out + 8, p.z);
            if (with_color) {
                out[12] = p.r;
                out[13] = p.g;
                out[14] = p.b;
            }
        }
        file.write(block.data(), block.size());
    }
    if (!file.commit()) {
        if (error) *error = file.error();
        return false;
    }
    return true;
}

}  // namespace tool
}  // namespace orvane
