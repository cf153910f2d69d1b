// One enumeration and its report over a tree made from the fuzzer's bytes
// (fuzz/tree_gen.h): whatever the tree, the report must be well formed and
// name only devices of the tree, and in a tree that does not change, every
// unit must be found once.
#include <cstddef>
#include <cstdint>

#include "fuzz/report_check.h"
#include "fuzz/tree_gen.h"
#include "sim/sim_control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kq;
  FuzzedDataProvider in(data, size);
  // Exhausted bytes read as zeros: Windows 8 or later, drivers installed.
  const bool splitAudio = !in.ConsumeBool();
  const bool mcuDriversPresent = !in.ConsumeBool();
  // Mostly the MCU letter case of that Windows, sometimes the other.
  const bool windows7 = (in.ConsumeIntegralInRange(0, 7) == 7) == splitAudio;
  const std::string text = test::generateTree(in, windows7);

  memcm::Tree tree;
  std::string error;
  if (!sim::parseDevtree(text, "generated.devtree", &tree, &error) ||
      !sim::loadTreeText(text, "generated.devtree", &error))
    test::abortWith("the generator wrote a tree the reader rejects: " + error, text);
  test::enumerateAndCheck(text, tree, splitAudio, mcuDriversPresent);
  return 0;
}
