// Control side of the simulation: what tests, tools and the simulated
// cfgmgr32.dll use to load a .devtree file into the in-memory configuration
// manager, count its calls and run code before each. The four CM_* functions
// themselves are declared in cfgmgr/cm_api.h; clearing the tree and the
// handles held are memcm/memcm.h's.
#pragma once

#include <cstdint>
#include <string>

namespace kq::sim {

// Loads a .devtree text. On success the new tree is in force from its first
// snapshot and the per-snapshot call clock restarts at 0. On failure `error`
// says "NAME:LINE: reason" and the tree in force stays as it was.
bool loadTreeText(const std::string& utf8Text, const std::string& name, std::string* error);
bool loadTreeFile(const std::string& path, std::string* error);

struct CallCounts {
  uint64_t locate = 0;       // CM_Locate_DevNodeW
  uint64_t property = 0;     // CM_Get_DevNode_PropertyW
  uint64_t listSize = 0;     // CM_Get_Device_ID_List_SizeW
  uint64_t list = 0;         // CM_Get_Device_ID_ListW
  uint64_t total() const { return locate + property + listSize + list; }
};

CallCounts callCounts();
void resetCallCounts();

// Runs `hook` at the start of every CM_* call, before the call is counted and
// before its snapshot is chosen; the simulated cfgmgr32.dll reloads its tree
// file from there. Null removes the hook.
void setBeforeCallHook(void (*hook)());

}  // namespace kq::sim
