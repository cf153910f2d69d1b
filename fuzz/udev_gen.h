// udev's devices from fuzzer bytes, for the Linux translation: USB devices
// behind hubs with their interfaces, ttys and sound cards, in the shapes the
// kernel gives them, but with every string a device or a driver chooses
// (serials, product and interface names, card ids, sysfs names, links) and
// many numbers taken from the bytes. Where the bytes run out, the devices
// are one complete KQ-6200 unit behind its hub.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "udev/udev_tree.h"

namespace kq::test {

udev::Devices generateUdevDevices(FuzzedDataProvider& in);

// Empty when `shape`, put in force, reads back through the four CM_* calls
// as the translation built it: every node located by its instance ID (one
// node per ID, letter case aside), its description, friendly name and
// problem code as built, its parent, children and siblings the nodes of the
// tree around it, its texts one line each; and every Linux name given to an
// instance ID of the tree. Otherwise what is wrong. Leaves the tree in force.
std::string readBackProblem(const udev::WindowsShape& shape);

// The devices in a form that reads in a fuzzer's log.
std::string describe(const udev::Devices& devices);

}  // namespace kq::test
