// Small fixed-size linear algebra shared by the registration and undistortion code.
#pragma once

namespace orvane {

// Inverse of a 3x3 matrix (row by row): adjugate divided by the determinant, computed in double and
// rounded to float element by element. A singular matrix gives infinities or NaN, not an error.
inline void invert3x3ToFloat(const float m[9], float inverse[9]) {
    const double a = m[0], b = m[1], c = m[2];
    const double d = m[3], e = m[4], f = m[5];
    const double g = m[6], h = m[7], i = m[8];
    const double det = a * (e * i - h * f) - b * (d * i - f * g) + c * (d * h - e * g);
    inverse[0] = static_cast<float>((e * i - h * f) / det);
    inverse[1] = static_cast<float>((c * h - b * i) / det);
    inverse[2] = static_cast<float>((b * f - c * e) / det);
    inverse[3] = static_cast<float>((f * g - d * i) / det);
    inverse[4] = static_cast<float>((a * i - c * g) / det);
    inverse[5] = static_cast<float>((c * d - a * f) / det);
    inverse[6] = static_cast<float>((d * h - e * g) / det);
    inverse[7] = static_cast<float>((b * g - a * h) / det);
    inverse[8] = static_cast<float>((a * e - b * d) / det);
}

}  // namespace orvane
