// Helpers of the scene tests: the intrinsics a descriptor serves, read as a host reads them, and frames
// taken from a hand-driven simulated camera.
#pragma once

#include <tinyxml2.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "sim/device/sim_device.h"
#include "sim/scene/geometry.h"
#include "sim/wire/packets.h"
#include "sim_test_util.h"

namespace orvane {
namespace kvsim {
namespace test {

// A component's intrinsic as a host computes it for the current image size: the stored matrix for the
// reference size (0x7000 with 0x1003/0x1004) scaled by reference size / image size (0x1104/0x1105), in
// single precision.
struct ServedIntrinsic {
    bool ok = false;
    float fx = 0, fy = 0, cx = 0, cy = 0;
    int width = 0, height = 0;
};

inline long long descriptorInt(const char* text) {
    if (text == nullptr) return -1;
    if (text[0] == '0' && text[1] == 'x') return static_cast<long long>(std::strtoull(text + 2, nullptr, 16));
    return std::strtoll(text, nullptr, 10);
}

inline ServedIntrinsic servedIntrinsic(const std::string& descriptor, uint32_t component) {
    ServedIntrinsic out;
    tinyxml2::XMLDocument doc;
    if (doc.Parse(descriptor.c_str(), descriptor.size()) != tinyxml2::XML_SUCCESS) return out;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    if (root == nullptr) return out;
    for (const auto* c = root->FirstChildElement("component"); c; c = c->NextSiblingElement("component")) {
        if (descriptorInt(c->Attribute("id")) != static_cast<long long>(component)) continue;
        std::map<long long, const char*> text;
        for (const auto* f = c->FirstChildElement("feature"); f; f = f->NextSiblingElement("feature"))
            text[descriptorInt(f->Attribute("id"))] = f->GetText();
        if (!text[0x7000] || !text[0x1003] || !text[0x1004] || !text[0x1104] || !text[0x1105]) return out;
        std::vector<float> m;
        const char* p = text[0x7000];
        for (char* end = nullptr;; p = end) {
            float v = std::strtof(p, &end);
            if (end == p) break;
            m.push_back(v);
        }
        if (m.size() < 9) return out;
        out.width = static_cast<int>(descriptorInt(text[0x1104]));
        out.height = static_cast<int>(descriptorInt(text[0x1105]));
        const float rx = static_cast<float>(static_cast<double>(descriptorInt(text[0x1003])) / out.width);
        const float ry = static_cast<float>(static_cast<double>(descriptorInt(text[0x1004])) / out.height);
        out.fx = m[0] / rx;
        out.cx = m[2] / rx;
        out.fy = m[4] / ry;
        out.cy = m[5] / ry;
        out.ok = true;
        return out;
    }
    return out;
}

// The world point of a depth pixel, computed the host's way: ((u - cx) * d) * (1 / fx) in floats.
inline Vec3 backProject(const ServedIntrinsic& k, int u, int v, uint16_t d) {
    const float inv_fx = 1.0f / k.fx, inv_fy = 1.0f / k.fy, z = static_cast<float>(d);
    const float x = ((static_cast<float>(u) - k.cx) * z) * inv_fx;
    const float y = ((static_cast<float>(v) - k.cy) * z) * inv_fy;
    return Vec3{x, y, z};
}

// The images of the next complete frame (by cam id), after advancing the clock by `period_us`.
inline std::map<uint8_t, WirePacket> nextFrame(DeviceHarness& h, uint64_t period_us, size_t images) {
    for (int tries = 0; tries < 4; ++tries) {
        if (tries > 0) h.advance(period_us);
        std::vector<Frame> frames = framesOf(h.drain());
        if (frames.empty() || frames.back().images.size() < images) continue;
        std::map<uint8_t, WirePacket> frame;
        for (WirePacket& p : frames.back().images) frame[p.image.cam_id] = std::move(p);
        return frame;
    }
    return {};
}

// The frame's sequence number, stamped into the first four bytes of every image.
inline uint32_t stampedSequence(const WirePacket& image) {
    return image.payload.size() >= 4 ? getU32(image.payload.data()) : 0;
}

}  // namespace test
}  // namespace kvsim
}  // namespace orvane
