#include "sim/kvsim/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "sim/scene/scene_catalog.h"
#include "sim/tcp/tcp_server.h"

namespace orvane {
namespace kvsim {
namespace {

bool parseLong(const std::string& text, long lo, long hi, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseVersion(const std::string& text, uint32_t& a, uint32_t& b, uint32_t& c) {
    unsigned x = 0, y = 0, z = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &x, &y, &z, &tail) != 3) return false;
    if (x > 255 || y > 255 || z > 65535) return false;
    a = x;
    b = y;
    c = z;
    return true;
}

// `address` with its last number increased by `step`, or empty when that leaves the range.
std::string nthAddress(const std::string& address, int step) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return std::string();
    uint32_t host = ntohl(a.s_addr);
    uint32_t last = (host & 0xff) + static_cast<uint32_t>(step);
    if (last > 254) return std::string();
    host = (host & 0xffffff00u) | last;
    a.s_addr = htonl(host);
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

}  // namespace

std::string nthSerial(const std::string& base, int step) {
    size_t start = base.size();
    while (start > 0 && base[start - 1] >= '0' && base[start - 1] <= '9') --start;
    size_t width = base.size() - start;
    if (width == 0) return base + std::to_string(step);
    unsigned long long value = std::strtoull(base.c_str() + start, nullptr, 10) + static_cast<unsigned>(step);
    std::string digits = std::to_string(value);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    if (digits.size() > width) digits = digits.substr(digits.size() - width);  // wraps within its width
    return base.substr(0, start) + digits;
}

std::string usageText() {
    return "Usage: kvsim --listen ADDRESS [options]\n"
           "Simulated depth cameras that a kvdepth application reaches over loopback TCP.\n"
           "\n"
           "  --listen ADDRESS   loopback address (127.0.0.0/8) a camera listens on; repeat it for more\n"
           "                     cameras\n"
           "  --port PORT        TCP port of every camera (default 7001, the port network cameras use)\n"
           "  --cameras N        number of cameras, 1 to 64 (default: one per --listen); with a single\n"
           "                     --listen, camera i listens on that address with its last number\n"
           "                     increased by i (127.0.0.1, 127.0.0.2, ...)\n"
           "  --fps RATE         frame rate while streaming, 1 to 1000 (default 30); 0 sends frames as\n"
           "                     fast as the application takes them\n"
           "  --descriptor FILE  serve this XML device descriptor instead of the built-in one; the\n"
           "                     depth and colour intrinsics and the colour extrinsic it declares are\n"
           "                     used to render the streams\n"
           "  --firmware X.Y.Z   firmware version the cameras report (default 2.3.0); with major\n"
           "                     version 1 applications do not send keep-alives\n"
           "  --serial TEXT      serial number of the first camera (default KVSIM0000001, at most 31\n"
           "                     characters); the trailing number counts up for further cameras\n"
           "  --scene NAME       what the cameras look at (default pattern; see Scenes below)\n"
           "  --fault LIST       make the cameras misbehave (see Faults below); may be repeated\n"
           "  --replay FILE      serve a recording made by 'kvdepth record' as the camera: its recorded\n"
           "                     replies and images, at the recorded pace (one --listen address)\n"
           "  --loop             with --replay: start the images again when the recording ends\n"
           "  --speed X          with --replay: play X times as fast, 0.01 to 100 (default 1)\n"
           "  --verbose          print a line for every command a camera receives\n"
           "  --help             print this text and exit\n"
           "\n" +
           sceneHelpText() + "\n" + faultHelpText() +
           "\n"
           "Each camera serves one application at a time and accepts the next one after a disconnect.\n"
           "kvsim prints a line for every connection and stops cleanly on SIGINT or SIGTERM.\n"
           "Example: kvsim --listen 127.0.0.1 --fps 30, then open the camera by IP address 127.0.0.1.\n";
}

bool parseOptions(int argc, const char* const* argv, Options& out, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    Options o;
    std::string simulation_option;  // the first option that shapes a simulated camera
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (simulation_option.empty() && (arg == "--fps" || arg == "--descriptor" || arg == "--firmware" ||
                                          arg == "--scene" || arg == "--fault"))
            simulation_option = arg;
        auto value = [&](std::string& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string v;
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--verbose" || arg == "-v") {
            o.verbose = true;
        } else if (arg == "--listen") {
            if (!value(v)) return fail("--listen needs an address");
            if (!isLoopbackAddress(v))
                return fail("--listen " + v + ": not a loopback address (127.0.0.0/8)");
            o.listen.push_back(v);
        } else if (arg == "--port") {
            if (!value(v) || !parseLong(v, 1, 65535, n)) return fail("--port needs a number from 1 to 65535");
            o.port = static_cast<uint16_t>(n);
        } else if (arg == "--cameras") {
            if (!value(v) || !parseLong(v, 1, 64, n)) return fail("--cameras needs a number from 1 to 64");
            o.cameras = static_cast<int>(n);
        } else if (arg == "--fps") {
            char* end = nullptr;
            double f = 0;
            if (value(v)) f = std::strtod(v.c_str(), &end);
            if (v.empty() || end == nullptr || *end != '\0' || !(f == 0 || (f >= 1 && f <= 1000)))
                return fail("--fps needs a rate from 1 to 1000, or 0");
            o.fps = f;
        } else if (arg == "--descriptor") {
            if (!value(v) || v.empty()) return fail("--descriptor needs a file name");
            o.descriptor_file = v;
        } else if (arg == "--firmware") {
            if (!value(v) || !parseVersion(v, o.fw_major, o.fw_minor, o.fw_patch))
                return fail("--firmware needs a version MAJOR.MINOR.PATCH");
        } else if (arg == "--scene") {
            if (!value(v)) return fail("--scene needs a scene name (see --help)");
            std::string why;
            if (!makeScene(v, &why)) return fail("--scene " + v + ": " + why);
            o.scene = v;
        } else if (arg == "--fault") {
            if (!value(v)) return fail("--fault needs a list of faults (see --help)");
            std::string why;
            if (!parseFaultSettings(v, o.faults, &why)) return fail("--fault " + v + ": " + why);
            o.has_faults = true;
        } else if (arg == "--replay") {
            if (!value(v) || v.empty()) return fail("--replay needs a recording file");
            o.replay_file = v;
        } else if (arg == "--loop") {
            o.loop = true;
        } else if (arg == "--speed") {
            char* end = nullptr;
            double f = 0;
            if (value(v)) f = std::strtod(v.c_str(), &end);
            if (v.empty() || end == nullptr || *end != '\0' || !(f >= 0.01 && f <= 100))
                return fail("--speed needs a factor from 0.01 to 100");
            o.speed = f;
        } else if (arg == "--serial") {
            if (!value(v) || v.empty() || v.size() > 31)
                return fail("--serial needs a text of 1 to 31 characters");
            o.serial = v;
        } else {
            return fail("unknown option " + arg + " (see --help)");
        }
    }
    if (o.help) {
        out = o;
        return true;
    }
    if (o.listen.empty()) return fail("--listen ADDRESS is required (see --help)");
    if (o.replay_file.empty() && (o.loop || o.speed != 1.0))
        return fail("--loop and --speed need --replay FILE");
    if (!o.replay_file.empty() && !simulation_option.empty())
        return fail(simulation_option +
                    " cannot be combined with --replay: the recording is served as it is");
    if (!o.replay_file.empty() && (o.listen.size() > 1 || o.cameras > 1))
        return fail("--replay serves one camera: give one --listen address");
    int count = o.cameras > 0 ? o.cameras : static_cast<int>(o.listen.size());
    if (o.listen.size() > 1 && count != static_cast<int>(o.listen.size()))
        return fail("--cameras must match the number of --listen addresses when several are given");
    for (int i = 0; i < count; ++i) {
        CameraEndpoint e;
        e.address = o.listen.size() > 1 ? o.listen[i] : nthAddress(o.listen[0], i);
        if (e.address.empty() || !isLoopbackAddress(e.address))
            return fail("--cameras " + std::to_string(count) + " runs past the end of the address range");
        for (const CameraEndpoint& other : o.endpoints)
            if (other.address == e.address) return fail("address " + e.address + " given twice");
        e.port = o.port;
        e.serial = nthSerial(o.serial, i);
        o.endpoints.push_back(e);
    }
    out = o;
    return true;
}

}  // namespace kvsim
}  // namespace orvane
