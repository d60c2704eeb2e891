#include "sim/scene/geometry.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace orvane {
namespace kvsim {
namespace {

constexpr double kPi = 3.14159265358979323846;

Vec3 normalised(const Vec3& v) {
    double n = length(v);
    return n > 0 ? v * (1.0 / n) : Vec3{0, 0, -1};
}

}  // namespace

Vec3 Motion::offsetAt(uint32_t frame) const {
    if (!moves()) return Vec3{};
    // The phase is taken modulo the period in integers first, so that large frame numbers lose nothing.
    const uint64_t period = static_cast<uint64_t>(period_frames);
    const double phase = period > 0 ? static_cast<double>(frame % period) / period_frames
                                    : static_cast<double>(frame) / period_frames;
    return amplitude * std::sin(2 * kPi * phase);
}

Shape Shape::plane(std::string name, Vec3 point, Vec3 normal, Material m) {
    Shape s;
    s.kind = kPlane;
    s.name = std::move(name);
    s.a = point;
    s.b = normalised(normal);
    s.material = m;
    return s;
}

Shape Shape::box(std::string name, Vec3 lower, Vec3 upper, Material m) {
    Shape s;
    s.kind = kBox;
    s.name = std::move(name);
    s.a = {std::min(lower.x, upper.x), std::min(lower.y, upper.y), std::min(lower.z, upper.z)};
    s.b = {std::max(lower.x, upper.x), std::max(lower.y, upper.y), std::max(lower.z, upper.z)};
    s.material = m;
    return s;
}

Shape Shape::sphere(std::string name, Vec3 centre, double radius, Material m) {
    Shape s;
    s.kind = kSphere;
    s.name = std::move(name);
    s.a = centre;
    s.radius = radius;
    s.material = m;
    return s;
}

Shape Shape::at(uint32_t frame) const {
    if (!motion.moves()) return *this;
    Shape s = *this;
    const Vec3 d = motion.offsetAt(frame);
    s.a = s.a + d;
    if (kind == kBox) s.b = s.b + d;
    return s;
}

bool Shape::intersect(const Vec3& o, const Vec3& dir, double t_min, double& t, Vec3& normal) const {
    switch (kind) {
        case kPlane: {
            const double denom = dot(b, dir);
            if (std::fabs(denom) < 1e-12) return false;
            const double tt = dot(a - o, b) / denom;
            if (!(tt > t_min)) return false;
            t = tt;
            normal = b;
            return true;
        }
        case kSphere: {
            const Vec3 oc = o - a;
            const double qa = dot(dir, dir);
            const double qb = dot(oc, dir);
            const double qc = dot(oc, oc) - radius * radius;
            const double disc = qb * qb - qa * qc;
            if (disc < 0 || qa <= 0) return false;
            const double root = std::sqrt(disc);
            double tt = (-qb - root) / qa;
            if (!(tt > t_min)) tt = (-qb + root) / qa;
            if (!(tt > t_min)) return false;
            t = tt;
            normal = normalised((o + dir * tt) - a);
            return true;
        }
        case kBox: {
            // Slab test; remember which face the ray enters (or leaves, from inside) through.
            double t_near = -std::numeric_limits<double>::infinity();
            double t_far = std::numeric_limits<double>::infinity();
            int near_axis = -1, far_axis = -1;
            double near_sign = 0, far_sign = 0;
            const double orig[3] = {o.x, o.y, o.z};
            const double d[3] = {dir.x, dir.y, dir.z};
            const double lo[3] = {a.x, a.y, a.z};
            const double hi[3] = {b.x, b.y, b.z};
            for (int i = 0; i < 3; ++i) {
                if (std::fabs(d[i]) < 1e-15) {
                    if (orig[i] < lo[i] || orig[i] > hi[i]) return false;
                    continue;
                }
                double t0 = (lo[i] - orig[i]) / d[i];
                double t1 = (hi[i] - orig[i]) / d[i];
                double s0 = -1, s1 = 1;  // outward normal sign of the face hit at t0 / t1
                if (t0 > t1) {
                    std::swap(t0, t1);
                    std::swap(s0, s1);
                }
                if (t0 > t_near) {
                    t_near = t0;
                    near_axis = i;
                    near_sign = s0;
                }
                if (t1 < t_far) {
                    t_far = t1;
                    far_axis = i;
                    far_sign = s1;
                }
                if (t_near > t_far) return false;
            }
            int axis;
            double sign;
            if (t_near > t_min) {
                t = t_near;
                axis = near_axis;
                sign = near_sign;
            } else if (t_far > t_min) {
                t = t_far;
                axis = far_axis;
                sign = far_sign;
            } else {
                return false;
            }
            if (axis < 0) return false;
            normal = Vec3{axis == 0 ? sign : 0, axis == 1 ? sign : 0, axis == 2 ? sign : 0};
            return true;
        }
    }
    return false;
}

double Shape::distanceTo(const Vec3& p) const {
    switch (kind) {
        case kPlane:
            return std::fabs(dot(p - a, b));
        case kSphere:
            return std::fabs(length(p - a) - radius);
        case kBox: {
            const double dx = std::max({a.x - p.x, 0.0, p.x - b.x});
            const double dy = std::max({a.y - p.y, 0.0, p.y - b.y});
            const double dz = std::max({a.z - p.z, 0.0, p.z - b.z});
            const double outside = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (outside > 0) return outside;
            return std::min({p.x - a.x, b.x - p.x, p.y - a.y, b.y - p.y, p.z - a.z, b.z - p.z});
        }
    }
    return std::numeric_limits<double>::infinity();
}

}  // namespace kvsim
}  // namespace orvane
