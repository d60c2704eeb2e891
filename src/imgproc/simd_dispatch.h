// Run-time selection between the plain and the vectorised image-processing kernels.
//
// Every kernel exists as portable C++ and, where it pays, as AVX2 (and for the undistortion map
// AVX-512) variants compiled with target attributes, so the library still runs on any x86-64. All
// variants compute bit-identical results; a level includes the ones below it.
#pragma once

namespace orvane {

enum class SimdLevel : int { kScalar = 0, kAvx2 = 1, kAvx512 = 2 };

// The best level this CPU supports.
SimdLevel supportedSimdLevel();

// The level the kernels use now: the supported one, unless lowered with limitSimdLevel.
SimdLevel activeSimdLevel();

// Caps the level used by later kernel calls (process-wide). Tests use it to run every path on the
// same input; levels above what the CPU supports are ignored.
void limitSimdLevel(SimdLevel level);

}  // namespace orvane
