// Turns fuzzer bytes into a .devtree text the reader must accept: root hubs,
// desk hubs and other devices around KQ-6200 units with the instance-ID shapes
// Windows gives them, every failure word and attribute of the format on
// chosen nodes, and later snapshots in which the same devices come and go.
// Where the bytes run out every choice is the ordinary one, so short inputs
// give healthy, complete units.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace kq::test {

// `windows7` writes the MCU functions in lower case, as Windows 7 lists them,
// and leaves the audio endpoints out unless the bytes ask for them.
std::string generateTree(FuzzedDataProvider& in, bool windows7);

}  // namespace kq::test
