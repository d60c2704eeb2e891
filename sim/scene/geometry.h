// Geometry of the synthetic scenes: vectors, the three kinds of surface (infinite planes, axis-aligned
// boxes, spheres), ray intersection and distance to a surface. Millimetres in the depth camera's frame:
// x to the right, y down, z forward (the way image columns, rows and depth values grow).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

namespace orvane {
namespace kvsim {

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

inline Vec3 operator+(const Vec3& a, const Vec3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(const Vec3& a, const Vec3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator*(const Vec3& a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
inline double dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline double length(const Vec3& a) {
    return std::sqrt(dot(a, a));
}

// How a surface looks: its colour under white light and how strongly it returns the infrared projector's
// light (0..1). A checker texture of `checker_mm` squares darkens every other square (0: plain).
struct Material {
    uint8_t rgb[3] = {200, 200, 200};
    double ir_reflectivity = 0.8;
    double checker_mm = 0;
};

// Sinusoidal motion: the shape is displaced by amplitude * sin(2 pi frame / period_frames).
struct Motion {
    Vec3 amplitude;
    double period_frames = 0;  // 0: the shape stands still

    bool moves() const {
        return period_frames > 0 && (amplitude.x != 0 || amplitude.y != 0 || amplitude.z != 0);
    }
    Vec3 offsetAt(uint32_t frame) const;
};

struct Shape {
    enum Kind { kPlane, kBox, kSphere };

    Kind kind = kPlane;
    std::string name;
    // Plane: a point on it and its unit normal (towards the camera). Box: the lower and upper corner.
    // Sphere: the centre in `a` and the radius.
    Vec3 a, b;
    double radius = 0;
    Material material;
    Motion motion;

    static Shape plane(std::string name, Vec3 point, Vec3 normal, Material m);
    static Shape box(std::string name, Vec3 lower, Vec3 upper, Material m);
    static Shape sphere(std::string name, Vec3 centre, double radius, Material m);

    // The shape as it stands in frame `frame`.
    Shape at(uint32_t frame) const;
    // Smallest ray parameter t > t_min with origin + t * dir on the surface, and the outward normal there;
    // false when the ray misses. `dir` need not be normalised.
    bool intersect(const Vec3& origin, const Vec3& dir, double t_min, double& t, Vec3& normal) const;
    // Distance from p to the surface (not to the solid: a point inside a box or sphere is as far as its
    // nearest face).
    double distanceTo(const Vec3& p) const;
};

// 64-bit mixing function (splitmix64 finaliser): the source of every pseudo-random choice in the scenes,
// so that the same seed gives the same pictures on every platform.
inline uint64_t mix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}
inline uint64_t hash3(uint64_t a, uint64_t b, uint64_t c) {
    return mix64(a ^ mix64(b ^ mix64(c)));
}

}  // namespace kvsim
}  // namespace orvane
