#include "commands.h"

#include <cstdio>
#include <cstring>

#include "descriptor_model.h"
#include "feature_values.h"

namespace orvane {
namespace tool {
namespace {

std::string fixedText(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

std::string versionText(const KV_VERSION_INFO& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

const char* transportName(int32_t iface) {
    return iface == KV_INTERFACE_USB ? "usb" : iface == KV_INTERFACE_ETHERNET ? "tcp" : "?";
}

std::string componentNames(int32_t mask, const std::vector<DescComponent>& components) {
    std::string text;
    for (const DescComponent& c : components)
        if ((mask & c.id) != 0) text += (text.empty() ? "" : ", ") + c.name;
    return text.empty() ? "none" : text;
}

bool openCamera(CameraSession& session, const CameraChoice& camera) {
    std::string error;
    if (session.open(camera, &error)) return true;
    failWith(error);
    return false;
}

bool loadDescriptor(KV_DEV_HANDLE h, std::vector<DescComponent>& components) {
    std::string xml, error;
    if (!readDescriptorText(h, xml, &error) || !parseDescriptor(xml, components, &error)) {
        failWith(error);
        return false;
    }
    return true;
}

void printListLine(const std::string& id, const KV_DEVICE_BASE_INFO& info, bool opened) {
    std::printf("%-16s %-4s %-16s %-20s %s\n", id.c_str(), transportName(info.iface),
                opened ? fixedText(info.id, sizeof info.id).c_str() : "-",
                opened ? fixedText(info.modelName, sizeof info.modelName).c_str() : "-",
                opened ? versionText(info.firmwareVersion).c_str() : "-");
}

}  // namespace

int failWith(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "kvdepth: %s\n", message.c_str());
    return kExitError;
}

bool readDescriptorText(KV_DEV_HANDLE h, std::string& out, std::string* error) {
    // The library has no size query for the descriptor: grow the buffer until the text fits.
    for (int32_t size = 64 * 1024; size <= 16 * 1024 * 1024; size *= 4) {
        std::vector<char> text(static_cast<size_t>(size), '\0');
        const KV_STATUS status = KVGetDeviceDescriptor(h, text.data(), size);
        if (status == KV_STATUS_OK) {
            out.assign(text.data(), strnlen(text.data(), text.size()));
            if (out.empty()) break;
            return true;
        }
        if (status != KV_STATUS_WRONG_SIZE) {
            *error = "cannot read the camera's descriptor: " + statusText(status);
            return false;
        }
    }
    *error = "the camera sent no descriptor";
    return false;
}

// Opens a camera just long enough to read its base information (serial, model and firmware are known
// only once a camera has been brought up).
static bool probe(bool by_ip, const std::string& id, KV_DEVICE_BASE_INFO& info) {
    QuietStdout quiet;
    KV_DEV_HANDLE h = nullptr;
    const KV_STATUS status = by_ip ? KVOpenDeviceWithIP(id.c_str(), &h) : KVOpenDevice(id.c_str(), &h);
    const bool ok = status == KV_STATUS_OK && KVGetDeviceInfo(h, &info) == KV_STATUS_OK &&
                    info.initStatus == KV_STATUS_OK;
    if (h) KVCloseDevice(h);
    return ok;
}

int runList(const std::vector<std::string>& ips) {
    for (const std::string& ip : ips)
        if (!isIpv4(ip)) return failWith("'" + ip + "' is not an IPv4 address");
    Library library;
    if (library.status() != KV_STATUS_OK)
        return failWith("cannot initialise the library: " + statusText(library.status()));
    int32_t filled = 0;
    std::vector<KV_DEVICE_BASE_INFO> usb(64);
    {
        QuietStdout quiet;
        KVGetDeviceList(usb.data(), static_cast<int32_t>(usb.size()), &filled);
    }
    std::vector<std::string> ids;
    for (int32_t i = 0; i < filled && i < static_cast<int32_t>(usb.size()); ++i)
        if (usb[i].iface == KV_INTERFACE_USB) ids.push_back(fixedText(usb[i].id, sizeof usb[i].id));
    std::printf("%-16s %-4s %-16s %-20s %s\n", "IDENTIFIER", "VIA", "SERIAL", "MODEL", "FIRMWARE");
    for (const std::string& id : ids) {
        KV_DEVICE_BASE_INFO info{};
        info.iface = KV_INTERFACE_USB;
        const bool opened = probe(false, id, info);
        printListLine(id, info, opened);
    }
    int missing = 0;
    for (const std::string& ip : ips) {
        KV_DEVICE_BASE_INFO info{};
        if (probe(true, ip, info)) {
            printListLine(ip, info, true);
        } else {
            failWith("no camera at " + ip);
            ++missing;
        }
    }
    if (ids.empty() && ips.empty())
        std::printf("no cameras found on USB (use --ip ADDRESS for network cameras)\n");
    return missing > 0 ? kExitError : kExitOk;
}

int runInfo(const CameraChoice& camera) {
    CameraSession session;
    if (!openCamera(session, camera)) return kExitError;
    const KV_DEV_HANDLE h = session.handle();
    KV_DEVICE_BASE_INFO info{};
    KV_STATUS status = KVGetDeviceInfo(h, &info);
    if (status != KV_STATUS_OK) return failWith("cannot read the device information: " + statusText(status));
    std::vector<DescComponent> components;
    if (!loadDescriptor(h, components)) return kExitError;
    const std::string id = fixedText(info.id, sizeof info.id);
    const char* build = KVGetFirmwareVer(id.c_str());
    int32_t all = 0, enabled = 0;
    KVGetComponentIDs(h, &all);
    KVGetEnabledComponentIDs(h, &enabled);
    std::printf("camera:      %s\n", session.label().c_str());
    std::printf("serial:      %s\n", id.c_str());
    std::printf("transport:   %s\n", transportName(info.iface));
    std::printf("vendor:      %s\n", fixedText(info.vendorName, sizeof info.vendorName).c_str());
    std::printf("model:       %s\n", fixedText(info.modelName, sizeof info.modelName).c_str());
    std::printf("hardware:    %s\n", versionText(info.hardwareVersion).c_str());
    std::printf("firmware:    %s\n", versionText(info.firmwareVersion).c_str());
    std::printf("build:       %s\n", build && *build ? build : "-");
    std::printf("components:  %s\n", componentNames(all, components).c_str());
    std::printf("enabled:     %s\n", componentNames(enabled, components).c_str());
    for (const DescComponent& c : components) {
        bool has_intrinsic = false;
        for (const DescFeature& f : c.features) has_intrinsic |= f.id == KV_FEATURE_INTRINSIC && f.bind == 0;
        if (!has_intrinsic) continue;
        KV_CAMERA_INTRINSIC k;
        int32_t w = 0, h2 = 0;
        KVGetInt(h, c.id, KV_FEATURE_IMAGE_WIDTH, &w);
        KVGetInt(h, c.id, KV_FEATURE_IMAGE_HEIGHT, &h2);
        status = KVGetStruct(h, c.id, KV_FEATURE_INTRINSIC, &k, sizeof k);
        if (status != KV_STATUS_OK) {
            std::printf("intrinsic %s: unavailable (%s)\n", c.name.c_str(), statusText(status).c_str());
            continue;
        }
        std::printf("intrinsic %s at %dx%d: fx %.3f fy %.3f cx %.3f cy %.3f\n", c.name.c_str(), w, h2,
                    k.data[0], k.data[4], k.data[2], k.data[5]);
    }
    return kExitOk;
}

int runFeatures(const CameraChoice& camera, bool xml) {
    CameraSession session;
    if (!openCamera(session, camera)) return kExitError;
    const KV_DEV_HANDLE h = session.handle();
    if (xml) {
        std::string text, error;
        if (!readDescriptorText(h, text, &error)) return failWith(error);
        std::fputs(text.c_str(), stdout);
        if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
        return kExitOk;
    }
    std::vector<DescComponent> components;
    if (!loadDescriptor(h, components)) return kExitError;
    for (const DescComponent& c : components) {
        std::printf("%s (0x%08x)\n", c.name.c_str(), static_cast<uint32_t>(c.id));
        for (const DescFeature& f : c.features) {
            KV_FEATURE_INFO info{};
            KVGetFeatureInfo(h, c.id, f.id, &info);
            if (!info.isValid) continue;
            std::string value;
            const KV_STATUS status = readValueText(h, c.id, f.id, value);
            if (status != KV_STATUS_OK) value = "(" + std::string(KVErrorString(status)) + ")";
            const std::string access = std::string(info.accessMode & KV_ACCESS_READ ? "r" : "") +
                                       (info.accessMode & KV_ACCESS_WRITE ? "w" : "");
            std::printf("  %-20s 0x%04x %-6s %-2s %s", fixedText(info.name, sizeof info.name).c_str(),
                        static_cast<uint32_t>(f.id), typeName(f.id), access.c_str(), value.c_str());
            const std::string limits = limitsText(h, c.id, f.id);
            if (!limits.empty())
                std::printf("  [%s: %s]",
                            (f.id & KV_FEATURE_TYPE_MASK) == KV_FEATURE_TYPE_ENUM ? "entries" : "range",
                            limits.c_str());
            if (f.bind != 0) std::printf("  (shared with 0x%08x)", static_cast<uint32_t>(f.bind));
            std::printf("\n");
        }
    }
    return kExitOk;
}

// Opens the camera and finds a feature by name; kExitOk, or the exit status after an error line.
int openFeature(CameraSession& session, const CameraChoice& camera, const std::string& name,
                FeatureRef& ref) {
    if (!openCamera(session, camera)) return kExitError;
    std::vector<DescComponent> components;
    if (!loadDescriptor(session.handle(), components)) return kExitError;
    std::string error;
    if (!resolveFeature(components, name, ref, &error)) return failWith(error);
    return kExitOk;
}

int runGet(const CameraChoice& camera, const std::string& feature) {
    CameraSession session;
    FeatureRef ref;
    if (const int exit = openFeature(session, camera, feature, ref)) return exit;
    std::string value;
    const KV_STATUS status = readValueText(session.handle(), ref.component, ref.feature, value);
    if (status != KV_STATUS_OK)
        return failWith("cannot read " + ref.component_name + "." + ref.feature_name + ": " +
                        statusText(status));
    std::printf("%s\n", value.c_str());
    return kExitOk;
}

int runSet(const CameraChoice& camera, const std::string& feature, const std::string& value) {
    CameraSession session;
    FeatureRef ref;
    if (const int exit = openFeature(session, camera, feature, ref)) return exit;
    std::string error;
    const std::string label = ref.component_name + "." + ref.feature_name;
    if (!writeValueText(session.handle(), ref.component, ref.feature, label, value, &error))
        return failWith(error);
    std::string now;
    if (readValueText(session.handle(), ref.component, ref.feature, now) == KV_STATUS_OK)
        std::printf("%s = %s\n", label.c_str(), now.c_str());
    return kExitOk;
}

}  // namespace tool
}  // namespace orvane
