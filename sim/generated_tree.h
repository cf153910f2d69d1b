// Generated device trees for measurements and tests: complete units (Windows 8
// layout, each under its own hub, serials 2051 10000 + n) spread evenly among
// ordinary USB devices, as on a machine with many of them. The nodes of a unit
// are those of units/unit_shape.h; how a node is written is shared with the
// fuzzers' trees.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "units/unit_shape.h"

namespace kq::sim {

// A .devtree text of `units` units among `others` other USB devices.
std::string generatedTree(int units, int others);

// A node's attributes as a .devtree line writes them, in order: present,
// class, desc, friendly (names and texts quoted).
using DevtreeAttributes = std::vector<std::pair<std::string, std::string>>;
DevtreeAttributes devtreeAttributes(const WindowsNode& node);

// The node and everything below it as .devtree lines, from `level`.
void writeDevtree(const WindowsNode& node, size_t level, std::string& out);

}  // namespace kq::sim
