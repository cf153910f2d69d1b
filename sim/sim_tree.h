// The .devtree reader: a whole text parsed into the snapshots of device nodes
// that the in-memory configuration manager serves, each node holding the
// answer every one of the six properties gives, failures included.
#pragma once

#include <string>
#include <string_view>

#include "memcm/memcm.h"

namespace kq::sim {

// Parses a whole .devtree text. On failure `error` reads "NAME:LINE: reason"
// and `out` is untouched.
bool parseDevtree(std::string_view utf8, const std::string& name, memcm::Tree* out, std::string* error);

}  // namespace kq::sim
