// Generated device trees for measurements and tests: complete units (Windows 8
// layout, each under its own hub, serials 2051 10000 + n) spread evenly among
// ordinary USB devices, as on a machine with many of them.
#pragma once

#include <string>

namespace kq::sim {

// A .devtree text of `units` units among `others` other USB devices.
std::string generatedTree(int units, int others);

}  // namespace kq::sim
