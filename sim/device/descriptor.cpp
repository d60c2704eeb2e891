#include "sim/device/descriptor.h"

#include <tinyxml2.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "sim/wire/packets.h"

namespace orvane {
namespace kvsim {
namespace {

constexpr uint32_t kDeviceComponent = 0x80000000u;
constexpr uint32_t kDepthComponent = 0x00010000u;
constexpr uint32_t kPointComponent = 0x00020000u;
constexpr uint32_t kLeftIrComponent = 0x00040000u;
constexpr uint32_t kRightIrComponent = 0x00080000u;
constexpr uint32_t kColorComponent = 0x00100000u;
constexpr uint32_t kLaserComponent = 0x00400000u;

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

std::string floats(const float* v, size_t n) {
    std::string out;
    char buf[32];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%s%.9g", i ? " " : "", v[i]);
        out += buf;
    }
    return out;
}

std::string matrix3(const Intrinsic& k) {
    const float m[9] = {k.fx, 0, k.cx, 0, k.fy, k.cy, 0, 0, 1};
    return floats(m, 9);
}

// One descriptor feature element. Every feature states `volatile` explicitly, so that nothing depends on
// how a parser treats white space inside an element.
class FeatureWriter {
  public:
    explicit FeatureWriter(std::ostringstream& out) : out_(out) {}

    FeatureWriter& begin(uint32_t id, const char* name, int rw, bool is_volatile) {
        out_ << "    <feature id=\"" << hex(id) << "\" name=\"" << name << "\" rw=\"" << rw << "\" hide=\""
             << (hidden_ ? 1 : 0) << "\" volatile=\"" << (is_volatile ? 1 : 0) << "\"";
        hidden_ = false;
        return *this;
    }
    FeatureWriter& hidden() {
        hidden_ = true;
        return *this;
    }
    FeatureWriter& attr(const char* name, const std::string& value) {
        out_ << " " << name << "=\"" << value << "\"";
        return *this;
    }
    FeatureWriter& attr(const char* name, long long value) { return attr(name, std::to_string(value)); }
    void text(const std::string& t) { out_ << ">" << t << "</feature>\n"; }
    void empty() { out_ << "/>\n"; }
    void entries(const std::vector<std::pair<std::string, std::string>>& list) {
        out_ << ">";
        for (const auto& e : list) out_ << "<entry value=\"" << e.first << "\" name=\"" << e.second << "\"/>";
        out_ << "</feature>\n";
    }
    void bind(uint32_t ref) { out_ << "    <feature bind=\"" << hex(ref) << "\"/>\n"; }

  private:
    std::ostringstream& out_;
    bool hidden_ = false;
};

// Image modes in decimal, as descriptors usually write them; pixel formats in hexadecimal.
std::vector<std::pair<std::string, std::string>> imageModeEntries(int first_mode) {
    std::vector<std::pair<std::string, std::string>> list;
    for (int m = first_mode; m < kResolutionModeCount; ++m) {
        const ResolutionMode* r = findResolutionMode(m);
        list.emplace_back(std::to_string(r->image_mode), r->name);
    }
    return list;
}

void sizeAndIntrinsic(FeatureWriter& f, const ResolutionMode& mode, const Intrinsic& k) {
    f.begin(0x1104, "image width", 1, false).text(std::to_string(mode.stream_width));
    f.begin(0x1105, "image height", 1, false).text(std::to_string(mode.stream_height));
    f.hidden().begin(0x1003, "intrinsic width", 1, false).text(std::to_string(k.ref_width));
    f.hidden().begin(0x1004, "intrinsic height", 1, false).text(std::to_string(k.ref_height));
}

void irComponent(std::ostringstream& out, FeatureWriter& f, uint32_t id, const char* name, bool left) {
    out << "  <component id=\"" << hex(id) << "\" name=\"" << name << "\">\n";
    f.begin(0x3107, "pixel format", 1, false).entries({{"0x10080000", "mono8"}});
    f.bind(kDepthComponent | 0x3108);
    f.bind(kDepthComponent | 0x1104);
    f.bind(kDepthComponent | 0x1105);
    f.begin(0x1303, "gain", 3, true).attr("min", 0).attr("max", kIrGainMax).attr("inc", 1).empty();
    f.begin(0x4302, "auto gain", 3, true).empty();
    if (left) {
        f.begin(0x4510, "undistort", 3, true).empty();
        // The device has no query for the histogram switch that hosts use: the model keeps the value.
        f.begin(0x4511, "histogram", 2, false).text("0");
    } else {
        f.bind(kLeftIrComponent | 0x4510);
        f.bind(kLeftIrComponent | 0x4511);
    }
    out << "  </component>\n";
}

}  // namespace

std::string buildDefaultDescriptor(const DeviceIdentity& id, const Calibration& cal, int depth_mode,
                                   int color_mode) {
    const ResolutionMode* depth = findResolutionMode(depthModeSupported(depth_mode) ? depth_mode : 2);
    const ResolutionMode* color = findResolutionMode(colorModeSupported(color_mode) ? color_mode : 2);
    std::ostringstream out;
    FeatureWriter f(out);
    out << "<?xml version=\"1.0\" ?>\n<config version=\"1\">\n  <comprotocol>1.0</comprotocol>\n";

    out << "  <component id=\"" << hex(kDeviceComponent) << "\" name=\"device\">\n";
    f.begin(0x5f00, "SN", 1, true).attr("max", 32).empty();
    f.begin(0x5f01, "vendor", 1, false).attr("max", 32).text(id.vendor);
    f.begin(0x5f02, "model", 1, true).attr("max", 64).empty();
    f.begin(0x5f03, "hardware version", 1, true).attr("max", 16).empty();
    f.begin(0x5f04, "firmware version", 1, false).attr("max", 16).text(id.firmwareText());
    f.begin(0x4200, "trigger mode", 3, true).empty();
    f.begin(0x1202, "frame per trigger", 3, true)
        .attr("min", 1)
        .attr("max", kFramesPerTriggerMax)
        .attr("inc", 1)
        .empty();
    f.begin(0x7523, "trigger mode struct", 3, false).empty();
    out << "    <build><hash>" << id.buildHash() << "</hash></build>\n  </component>\n";

    out << "  <component id=\"" << hex(kDepthComponent) << "\" name=\"depth\">\n";
    f.begin(0x3107, "pixel format", 1, false).entries({{"0x30100020", "depth16"}});
    f.begin(0x3108, "image mode", 3, true).attr("default", depth->image_mode).entries(imageModeEntries(0));
    sizeAndIntrinsic(f, *depth, cal.depth);
    f.begin(0x7000, "depth intrinsic", 1, false).text(matrix3(cal.depth));
    out << "  </component>\n";

    out << "  <component id=\"" << hex(kPointComponent) << "\" name=\"Point3D\">\n";
    f.begin(0x3107, "pixel format", 1, false).entries({{"0x40600030", "float32*3"}});
    f.bind(kDepthComponent | 0x3108);
    f.bind(kDepthComponent | 0x1104);
    f.bind(kDepthComponent | 0x1105);
    out << "  </component>\n";

    irComponent(out, f, kLeftIrComponent, "leftIR", true);
    irComponent(out, f, kRightIrComponent, "rightIR", false);

    out << "  <component id=\"" << hex(kColorComponent) << "\" name=\"color\">\n";
    f.begin(0x3107, "pixel format", 1, false).entries({{"0x20180010", "rgb24"}});
    f.begin(0x3108, "image mode", 3, true).attr("default", color->image_mode).entries(imageModeEntries(1));
    sizeAndIntrinsic(f, *color, cal.color);
    f.begin(0x7000, "color intrinsic", 1, false).text(matrix3(cal.color));
    f.begin(0x7001, "color extrinsic", 1, false).text(floats(cal.color_from_depth.data(), 16));
    f.begin(0x1301, "exposure", 3, true)
        .attr("min", kExposureMin)
        .attr("max", kExposureMax)
        .attr("inc", 1)
        .empty();
    f.begin(0x4300, "auto exposure", 3, true).empty();
    f.begin(0x1520, "red gain", 3, true).attr("min", 0).attr("max", kRgbGainMax).attr("inc", 1).empty();
    f.begin(0x1521, "green gain", 3, true).attr("min", 0).attr("max", kRgbGainMax).attr("inc", 1).empty();
    f.begin(0x1522, "blue gain", 3, true).attr("min", 0).attr("max", kRgbGainMax).attr("inc", 1).empty();
    f.begin(0x4304, "auto white balance", 3, true).empty();
    out << "  </component>\n";

    out << "  <component id=\"" << hex(kLaserComponent) << "\" name=\"laser\">\n";
    f.begin(0x1500, "power", 3, true)
        .attr("min", 0)
        .attr("max", kLaserPowerMax)
        .attr("inc", 1)
        .attr("writableAtRun", 1)
        .empty();
    f.begin(0x4501, "auto control", 3, true).attr("writableAtRun", 1).empty();
    out << "  </component>\n</config>\n";
    return out.str();
}

std::string buildFirmwareXml(const DeviceIdentity& id) {
    std::ostringstream out;
    out << "<?xml version=\"1.0\" ?>\n<firmware version=\"1\">\n  <component id=\"0x80000000\" "
           "name=\"device\">\n"
        << "    <firmware>" << id.firmwareText() << "</firmware>\n"
        << "    <hardware>" << id.hardwareText() << "</hardware>\n"
        << "    <model>" << id.model << "</model>\n"
        << "    <build><hash>" << id.buildHash() << "</hash></build>\n"
        << "  </component>\n</firmware>\n";
    return out.str();
}

bool parseDescriptorInt(const char* text, long long& value) {
    if (text == nullptr) return false;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') ++text;
    char* end = nullptr;
    errno = 0;
    if (text[0] == '0' && text[1] == 'x') {
        unsigned long long v = std::strtoull(text + 2, &end, 16);
        if (end == text + 2 || errno != 0 || v > 0xffffffffull) return false;
        value = static_cast<int32_t>(static_cast<uint32_t>(v));  // 0x80000000 is the device component
    } else {
        value = std::strtoll(text, &end, 10);
        if (end == text || errno != 0) return false;
    }
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    return *end == '\0';
}

namespace {

std::vector<float> readFloats(const char* text) {
    std::vector<float> out;
    if (text == nullptr) return out;
    const char* p = text;
    while (*p != '\0') {
        char* end = nullptr;
        float v = std::strtof(p, &end);
        if (end == p) break;
        out.push_back(v);
        p = end;
    }
    return out;
}

const tinyxml2::XMLElement* findFeature(const tinyxml2::XMLElement* component, long long id) {
    for (const auto* f = component->FirstChildElement("feature"); f; f = f->NextSiblingElement("feature")) {
        long long fid = 0;
        if (parseDescriptorInt(f->Attribute("id"), fid) && fid == id) return f;
    }
    return nullptr;
}

void readIntrinsic(const tinyxml2::XMLElement* component, Intrinsic& k) {
    long long v = 0;
    if (const auto* f = findFeature(component, 0x1003); f && parseDescriptorInt(f->GetText(), v) && v > 0)
        k.ref_width = static_cast<int>(v);
    if (const auto* f = findFeature(component, 0x1004); f && parseDescriptorInt(f->GetText(), v) && v > 0)
        k.ref_height = static_cast<int>(v);
    if (const auto* f = findFeature(component, 0x7000)) {
        std::vector<float> m = readFloats(f->GetText());
        if (m.size() >= 6) {
            k.fx = m[0];
            k.cx = m[2];
            k.fy = m[4];
            k.cy = m[5];
        }
    }
}

}  // namespace

bool calibrationFromDescriptor(const std::string& text, Calibration& cal, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (text.size() > kMaxDescriptorLength)
        return fail("descriptor has " + std::to_string(text.size()) + " bytes, at most " +
                    std::to_string(kMaxDescriptorLength) + " fit one reply");
    tinyxml2::XMLDocument doc;
    if (doc.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS)
        return fail(std::string("descriptor is not valid XML: ") + doc.ErrorStr());
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    if (root == nullptr) return fail("descriptor has no root element");
    Calibration out = cal;
    for (const auto* c = root->FirstChildElement("component"); c; c = c->NextSiblingElement("component")) {
        long long id = 0;
        if (!parseDescriptorInt(c->Attribute("id"), id)) continue;
        if (id == static_cast<int32_t>(kDepthComponent)) {
            readIntrinsic(c, out.depth);
        } else if (id == static_cast<int32_t>(kColorComponent)) {
            readIntrinsic(c, out.color);
            if (const auto* f = findFeature(c, 0x7001)) {
                std::vector<float> m = readFloats(f->GetText());
                if (m.size() >= 12) {
                    for (size_t i = 0; i < 16; ++i) out.color_from_depth[i] = i < m.size() ? m[i] : 0.0f;
                    if (m.size() < 16) out.color_from_depth[15] = 1.0f;
                }
            }
        }
    }
    cal = out;
    return true;
}

}  // namespace kvsim
}  // namespace orvane
