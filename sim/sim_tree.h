// A parsed .devtree file: its snapshots of device nodes, each node holding the
// answer every one of the six properties gives. Built by parseDevtree, served
// by the simulated CM_* functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kq::sim {

// The six properties, in the order a node holds them.
enum Prop : uint8_t { kDesc, kFriendly, kParent, kChildren, kSiblings, kProblem, kPropCount };

enum class ReadOutcome : uint8_t {
  Value,   // size query and read both work
  Absent,  // CR_NO_SUCH_VALUE
  Fail,    // the size query works, the read fails with CR_FAILURE
};

// The property types the six properties come in (DEVPROP_TYPE_STRING,
// DEVPROP_TYPE_STRING_LIST, DEVPROP_TYPE_UINT32).
enum class ValueType : uint8_t { String, StringList, Uint32 };

struct PropAnswer {
  ReadOutcome outcome = ReadOutcome::Absent;
  ValueType type = ValueType::String;  // the type that comes with the bytes
  std::vector<unsigned char> bytes;  // exactly what a read returns
};

enum class SetupClass : uint8_t { Usb, Ports, Other };

struct SimNode {
  std::wstring id;  // as written in the file
  bool present = true;
  SetupClass setupClass = SetupClass::Other;
  PropAnswer props[kPropCount];
};

struct Snapshot {
  uint64_t afterCalls = 0;     // in force once this many calls have been made
  std::vector<SimNode> nodes;  // in file order
};

using SimTree = std::vector<Snapshot>;

// Parses a whole .devtree text. On failure `error` reads "NAME:LINE: reason"
// and `out` is untouched.
bool parseDevtree(std::string_view utf8, const std::string& name, SimTree* out, std::string* error);

// Instance IDs compare without regard to ASCII letter case, as Windows does.
std::wstring foldCase(std::wstring_view id);

}  // namespace kq::sim
