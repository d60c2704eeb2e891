// The scenes kvsim offers by name, and the text that documents them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/device/scene.h"
#include "sim/scene/synthetic_scene.h"

namespace orvane {
namespace kvsim {

// A scene description is NAME[,MODIFIER...]:
//   pattern  the built-in test pattern (no modifiers)
//   wall     a flat wall facing the camera at 1500 mm, with a checker texture
//   room     a back wall at 3000 mm, a floor 500 mm below the camera, two boxes and two spheres
//   moving   room with motion (a sphere swings sideways, a box slides back and forth)
//   noisy    room with noise=2 and speckles=12
// Modifiers: motion, still, noise=MM (0-50), speckles=N (0-1000), seed=N.
// Null with a message for anything else.
std::shared_ptr<Scene> makeScene(const std::string& description, std::string* error);
// The same for the synthetic scenes only (null for pattern), for callers that need the ground truth.
std::shared_ptr<SyntheticScene> makeSyntheticScene(const std::string& description, std::string* error);

// The shapes of the named scenes.
std::vector<Shape> wallShapes(double distance_mm);
std::vector<Shape> roomShapes();

// Lines for kvsim --help.
std::string sceneHelpText();

}  // namespace kvsim
}  // namespace orvane
