#include "sim/scene/scene_catalog.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace orvane {
namespace kvsim {
namespace {

Material material(uint8_t r, uint8_t g, uint8_t b, double ir, double checker_mm = 0) {
    Material m;
    m.rgb[0] = r;
    m.rgb[1] = g;
    m.rgb[2] = b;
    m.ir_reflectivity = ir;
    m.checker_mm = checker_mm;
    return m;
}

bool parseNumber(const std::string& text, double lo, double hi, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, sep)) out.push_back(item);
    if (!text.empty() && text.back() == sep) out.emplace_back();
    return out;
}

}  // namespace

std::vector<Shape> wallShapes(double distance_mm) {
    return {Shape::plane("wall", Vec3{0, 0, distance_mm}, Vec3{0, 0, -1}, material(170, 180, 200, 0.8, 100))};
}

std::vector<Shape> roomShapes() {
    std::vector<Shape> s;
    s.push_back(
        Shape::plane("back wall", Vec3{0, 0, 3000}, Vec3{0, 0, -1}, material(170, 180, 200, 0.8, 250)));
    s.push_back(Shape::plane("floor", Vec3{0, 500, 0}, Vec3{0, -1, 0}, material(150, 110, 70, 0.6, 300)));
    s.push_back(
        Shape::box("red box", Vec3{-700, 200, 1800}, Vec3{-300, 500, 2200}, material(200, 40, 40, 0.7)));
    Shape green =
        Shape::box("green box", Vec3{300, 250, 1400}, Vec3{650, 500, 1700}, material(40, 180, 60, 0.7));
    green.motion.amplitude = Vec3{0, 0, 200};
    green.motion.period_frames = 90;
    s.push_back(green);
    s.push_back(Shape::sphere("yellow ball", Vec3{0, 300, 2300}, 200, material(220, 200, 40, 0.9)));
    Shape magenta = Shape::sphere("magenta ball", Vec3{350, -250, 2400}, 250, material(200, 50, 180, 0.85));
    magenta.motion.amplitude = Vec3{400, 0, 0};
    magenta.motion.period_frames = 60;
    s.push_back(magenta);
    return s;
}

std::shared_ptr<SyntheticScene> makeSyntheticScene(const std::string& description, std::string* error) {
    auto fail = [error](const std::string& why) -> std::shared_ptr<SyntheticScene> {
        if (error) *error = why;
        return nullptr;
    };
    std::vector<std::string> parts = split(description, ',');
    if (parts.empty() || parts[0].empty()) return fail("scene name missing");
    const std::string& name = parts[0];
    SceneOptions options;
    std::vector<Shape> shapes;
    if (name == "wall") {
        shapes = wallShapes(1500);
    } else if (name == "room" || name == "moving" || name == "noisy") {
        shapes = roomShapes();
        options.motion = name == "moving";
        if (name == "noisy") {
            options.noise_mm = 2;
            options.speckles = 12;
        }
    } else if (name == "pattern") {
        return fail("the pattern scene has no ground truth");
    } else {
        return fail("unknown scene '" + name + "' (pattern, wall, room, moving, noisy)");
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string& mod = parts[i];
        const size_t eq = mod.find('=');
        const std::string key = mod.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : mod.substr(eq + 1);
        double v = 0;
        if (key == "motion" && eq == std::string::npos) {
            options.motion = true;
        } else if (key == "still" && eq == std::string::npos) {
            options.motion = false;
        } else if (key == "noise") {
            if (!parseNumber(value, 0, 50, v)) return fail("noise=MM needs 0 to 50 millimetres");
            options.noise_mm = v;
        } else if (key == "speckles") {
            if (!parseNumber(value, 0, 1000, v) || v != static_cast<int>(v))
                return fail("speckles=N needs a whole number from 0 to 1000");
            options.speckles = static_cast<int>(v);
        } else if (key == "seed") {
            char* end = nullptr;
            errno = 0;
            unsigned long long s = std::strtoull(value.c_str(), &end, 0);
            if (value.empty() || errno != 0 || *end != '\0' || value[0] == '-')
                return fail("seed=N needs a non-negative whole number");
            options.seed = s;
        } else {
            return fail("unknown scene modifier '" + mod + "' (motion, still, noise=MM, speckles=N, seed=N)");
        }
    }
    return std::make_shared<SyntheticScene>(description, std::move(shapes), options);
}

std::shared_ptr<Scene> makeScene(const std::string& description, std::string* error) {
    if (description == "pattern") return std::make_shared<PatternScene>();
    return makeSyntheticScene(description, error);
}

std::string sceneHelpText() {
    return "Scenes (--scene NAME[,MODIFIER...]):\n"
           "  pattern            test pattern: depth ramp, infrared checkerboard, colour gradient (default)\n"
           "  wall               a flat wall facing the camera at 1500 mm\n"
           "  room               back wall at 3000 mm, floor 500 mm below the camera, two boxes, two "
           "spheres\n"
           "  moving             room with motion: a sphere swings sideways, a box slides to and fro\n"
           "  noisy              room with depth noise of +-2 mm and 12 speckles per depth image\n"
           "  modifiers          motion, still, noise=MM (0-50), speckles=N (0-1000), seed=N\n"
           "  Depth is rendered through the served depth intrinsics (mm), infrared with the projector's\n"
           "  dot pattern, colour through the declared colour intrinsics and extrinsic.\n";
}

}  // namespace kvsim
}  // namespace orvane
