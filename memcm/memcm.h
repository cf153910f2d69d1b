// An in-memory configuration manager: the four CM_* functions (declared in
// cfgmgr/cm_api.h) answer from a device tree held in this process, with the
// result codes, size-query protocol and case-insensitive instance IDs of
// Windows. The Linux kqports puts the tree it translates from udev in force
// here; the simulation (sim/) puts the trees of its .devtree files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kq::memcm {

// The six properties the walk reads, in the order a node holds them.
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
  std::vector<unsigned char> bytes;    // exactly what a read returns
};

// The only setup classes the walk searches; every other class lists nothing.
enum class SetupClass : uint8_t { Usb, Ports, Other };

struct Node {
  std::wstring id;
  bool present = true;
  SetupClass setupClass = SetupClass::Other;
  PropAnswer props[kPropCount];
};

// The tree as it is from a number of calls on: a tree may change while it is
// read, as a unit is plugged in or pulled out.
struct Snapshot {
  uint64_t afterCalls = 0;  // in force once this many calls have been made
  std::vector<Node> nodes;  // in the order the class lists give them
};

using Tree = std::vector<Snapshot>;

// The type each property comes in.
ValueType typeOf(Prop prop);

// Answers that read as the value given: a NUL-terminated string; a list of
// NUL-terminated entries closed by an empty one (present even when empty);
// a 32-bit number.
PropAnswer textAnswer(const std::wstring& text);
PropAnswer listAnswer(const std::vector<std::wstring>& entries);
PropAnswer numberAnswer(uint32_t number);

// Sets parent, children and siblings of every node as Windows derives them
// from the tree's shape: `parents[i]` is the index of node i's parent, or
// none for a root; children in node order; siblings are the parent's other
// children. An empty list, and a root's parent, are absent.
void linkNodes(std::vector<Node>& nodes, const std::vector<std::optional<size_t>>& parents);

// Puts `tree` in force from its first snapshot; the call clock that picks
// the snapshot restarts at 0. Handles given out before keep naming the same
// instance IDs.
void putInForce(Tree tree);

// Drops every device: the state before any tree was put in force.
void clearTree();

// How many instance IDs handles are held for: those of the tree in force.
size_t knownIdCount();

// Calls `observer` at the start of every CM_* call, before its snapshot is
// chosen; null removes it. The simulation counts calls and reloads its file
// from there.
enum class Call : uint8_t { Locate, Property, ListSize, List };
void setCallObserver(void (*observer)(Call));

}  // namespace kq::memcm
