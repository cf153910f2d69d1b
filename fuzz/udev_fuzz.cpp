// The Linux translation over udev devices whose strings come from the
// fuzzer: ShapeAsWindows must not crash, the tree it builds must read back
// through the four CM_* calls as it was built, and one enumeration over it
// must give a well-formed report that names only devices of the tree and
// finds every unit the tree holds.
#include <cstddef>
#include <cstdint>

#include "base/ascii.h"
#include "fuzz/report_check.h"
#include "fuzz/udev_gen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kq;
  FuzzedDataProvider in(data, size);
  const udev::Devices devices = test::generateUdevDevices(in);
  const udev::WindowsShape shape = udev::ShapeAsWindows(devices);
  const std::string problem = test::readBackProblem(shape);
  if (!problem.empty()) test::abortWith("the tree does not read back: " + problem, test::describe(devices));

  // Linux shows each direction of a sound card: always split audio; the
  // drivers are the kernel's.
  const UnitList list(true, true);
  test::FoldedIds ids;
  for (const memcm::Node& node : shape.nodes) ids.insert(toAsciiUpper(node.id));
  std::string finding = test::reportProblem(list.fullReport(), {true, true, &ids});
  if (finding.empty())
    finding = test::claimProblem(list, test::unitsIn(memcm::Snapshot{0, shape.nodes}, true));
  if (!finding.empty()) test::abortWith("the report over the translated tree: " + finding, test::describe(devices));
  return 0;
}
