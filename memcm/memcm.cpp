// The four configuration-manager functions, answering from the tree in force
// with the protocol the real CfgMgr32 follows.
#include "memcm/memcm.h"

#include <cstring>
#include <optional>
#include <unordered_map>

#include "base/ascii.h"
#include "cfgmgr/cm_api.h"

#ifndef _WIN32
#define WINAPI  // the Windows build defines them __stdcall, as cfgmgr32.h declares
#endif

namespace kq::memcm {

namespace {

struct LiveSnapshot {
  Snapshot snapshot;
  std::unordered_map<DEVINST, size_t> byHandle;  // handle -> index into snapshot.nodes
  // The class lists as CM_Get_Device_ID_ListW returns them, made once at
  // load: a search asks for one at every attempt, and a machine may list
  // thousands of devices.
  std::wstring usbList;
  std::wstring portsList;
  std::wstring allList;
};

struct CmState {
  std::vector<LiveSnapshot> snapshots;  // empty: no device at all
  uint64_t clock = 0;                   // calls made since the tree was put in force
  // Handles name instance IDs, not nodes, so they survive snapshot changes and
  // reloads; Windows matches IDs without regard to case, so they are interned
  // folded. Only the IDs of the tree in force are kept; a handle number is
  // never given to another ID, so a stale handle finds nothing.
  std::unordered_map<std::wstring, DEVINST> handles;
  DEVINST nextHandle = 1;
  void (*observer)(Call) = nullptr;
};

CmState& state() {
  static CmState s;
  return s;
}

// The handle of `id` in `handles`: the one it had in `previous`, else a new one.
DEVINST internHandle(const std::wstring& id, std::unordered_map<std::wstring, DEVINST>& handles,
                     const std::unordered_map<std::wstring, DEVINST>& previous) {
  std::wstring folded = toAsciiUpper(id);
  const auto known = handles.find(folded);
  if (known != handles.end()) return known->second;
  const auto before = previous.find(folded);
  const DEVINST handle = before != previous.end() ? before->second : state().nextHandle++;
  handles.emplace(std::move(folded), handle);
  return handle;
}

// Picks the snapshot in force for the call: the last one whose N calls have
// all been made before this one.
const LiveSnapshot* beginCall(Call call) {
  CmState& s = state();
  if (s.observer) s.observer(call);
  const LiveSnapshot* current = nullptr;
  for (const LiveSnapshot& snap : s.snapshots)
    if (snap.snapshot.afterCalls <= s.clock) current = &snap;
  ++s.clock;
  return current;
}

const Node* presentNode(const LiveSnapshot* snap, DEVINST handle) {
  if (!snap) return nullptr;
  const auto found = snap->byHandle.find(handle);
  if (found == snap->byHandle.end()) return nullptr;
  const Node& node = snap->snapshot.nodes[found->second];
  return node.present ? &node : nullptr;
}

// Property keys are compared by value, so this needs none of the
// DEVPKEY_* symbols that mingw-w64 only defines under <initguid.h>.
constexpr GUID kDeviceFmtid = {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}};
constexpr GUID kNodeFmtid = {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}};

struct KnownKey {
  const GUID* fmtid;
  ULONG pid;
  Prop prop;
};
constexpr KnownKey kKeys[] = {
    {&kDeviceFmtid, 2, kDesc},   {&kDeviceFmtid, 14, kFriendly}, {&kNodeFmtid, 8, kParent},
    {&kNodeFmtid, 9, kChildren}, {&kNodeFmtid, 10, kSiblings},   {&kNodeFmtid, 3, kProblem},
};

bool propOf(const DEVPROPKEY& key, Prop* prop) {
  for (const KnownKey& k : kKeys) {
    if (key.pid == k.pid && std::memcmp(&key.fmtid, k.fmtid, sizeof(GUID)) == 0) {
      *prop = k.prop;
      return true;
    }
  }
  return false;
}

constexpr ULONG kAllDevices = 0;  // CM_GETIDLIST_FILTER_NONE: every device, filter unused

DEVPROPTYPE devpropType(ValueType type) {
  switch (type) {
    case ValueType::String: return DEVPROP_TYPE_STRING;
    case ValueType::StringList: return DEVPROP_TYPE_STRING_LIST;
    case ValueType::Uint32: break;
  }
  return DEVPROP_TYPE_UINT32;
}

bool equalsIgnoringCase(const wchar_t* text, std::wstring_view expected) {
  return equalsIgnoringAsciiCase(std::wstring_view(text), expected);
}

// The class's instance IDs in file order, present or not, each NUL-terminated,
// closed by an empty entry.
std::wstring makeClassList(const Snapshot& snapshot, std::optional<SetupClass> wanted) {
  std::wstring list;
  for (const Node& node : snapshot.nodes) {
    if (!wanted || node.setupClass == *wanted) {
      list += node.id;
      list += L'\0';
    }
  }
  return list + L'\0';
}

// Only the two setup classes the walk searches are known; any other class
// lists nothing.
std::wstring_view classList(const LiveSnapshot* snap, PCWSTR filter, ULONG flags) {
  static const wchar_t kEmpty[] = L"";
  if (!snap) return std::wstring_view(kEmpty, 1);
  if (flags == kAllDevices) return snap->allList;
  if (equalsIgnoringCase(filter, L"{36fc9e60-c465-11cf-8056-444553540000}")) return snap->usbList;
  if (equalsIgnoringCase(filter, L"{4d36e978-e325-11ce-bfc1-08002be10318}"))
    return snap->portsList;
  return std::wstring_view(kEmpty, 1);
}

CONFIGRET checkListArgs(PCWSTR filter, ULONG flags) {
  if (flags != CM_GETIDLIST_FILTER_CLASS && flags != kAllDevices) return CR_INVALID_FLAG;
  if (flags == CM_GETIDLIST_FILTER_CLASS && !filter) return CR_INVALID_POINTER;
  return CR_SUCCESS;
}

}  // namespace
}  // namespace kq::memcm

using namespace kq::memcm;
using kq::toAsciiUpper;

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
  const LiveSnapshot* snap = beginCall(Call::Locate);
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags != CM_LOCATE_DEVNODE_NORMAL) return CR_INVALID_FLAG;
  // Windows reads a null or empty ID as the root of the device tree.
  const std::wstring id = (pDeviceID && *pDeviceID) ? toAsciiUpper(pDeviceID) : L"HTREE\\ROOT\\0";
  const auto known = state().handles.find(id);
  if (known == state().handles.end() || !presentNode(snap, known->second)) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = known->second;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_PropertyW(DEVINST dnDevInst, const DEVPROPKEY* PropertyKey,
                                          DEVPROPTYPE* PropertyType, PBYTE PropertyBuffer,
                                          PULONG PropertyBufferSize, ULONG ulFlags) {
  const LiveSnapshot* snap = beginCall(Call::Property);
  if (!PropertyKey || !PropertyType || !PropertyBufferSize) return CR_INVALID_POINTER;
  if (!PropertyBuffer && *PropertyBufferSize != 0) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  const Node* node = presentNode(snap, dnDevInst);
  if (!node) return CR_NO_SUCH_DEVINST;
  Prop prop;
  if (!propOf(*PropertyKey, &prop)) return CR_NO_SUCH_VALUE;
  const PropAnswer& answer = node->props[prop];
  if (answer.outcome == ReadOutcome::Absent) return CR_NO_SUCH_VALUE;
  const auto needed = static_cast<ULONG>(answer.bytes.size());
  if (*PropertyBufferSize < needed) {
    *PropertyBufferSize = needed;
    *PropertyType = devpropType(answer.type);
    return CR_BUFFER_SMALL;
  }
  if (answer.outcome == ReadOutcome::Fail) return CR_FAILURE;
  if (needed != 0) std::memcpy(PropertyBuffer, answer.bytes.data(), needed);
  *PropertyBufferSize = needed;
  *PropertyType = devpropType(answer.type);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeW(PULONG pulLen, PCWSTR pszFilter, ULONG ulFlags) {
  const LiveSnapshot* snap = beginCall(Call::ListSize);
  if (!pulLen) return CR_INVALID_POINTER;
  *pulLen = 0;
  const CONFIGRET args = checkListArgs(pszFilter, ulFlags);
  if (args != CR_SUCCESS) return args;
  *pulLen = static_cast<ULONG>(classList(snap, pszFilter, ulFlags).size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_ListW(PCWSTR pszFilter, PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  const LiveSnapshot* snap = beginCall(Call::List);
  if (!Buffer) return CR_INVALID_POINTER;
  const CONFIGRET args = checkListArgs(pszFilter, ulFlags);
  if (args != CR_SUCCESS) return args;
  const std::wstring_view list = classList(snap, pszFilter, ulFlags);
  if (BufferLen < list.size()) return CR_BUFFER_SMALL;
  std::memcpy(Buffer, list.data(), list.size() * sizeof(wchar_t));
  return CR_SUCCESS;
}

}  // extern "C"

namespace kq::memcm {

ValueType typeOf(Prop prop) {
  switch (prop) {
    case kChildren:
    case kSiblings:
      return ValueType::StringList;
    case kProblem:
      return ValueType::Uint32;
    default:
      return ValueType::String;
  }
}

namespace {

PropAnswer valueAnswer(ValueType type, const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  return {ReadOutcome::Value, type, std::vector<unsigned char>(p, p + size)};
}

std::wstring listUnits(const std::vector<std::wstring>& entries) {
  std::wstring units;
  for (const std::wstring& entry : entries) {
    units += entry;
    units += L'\0';
  }
  return units + L'\0';  // the closing empty entry
}

}  // namespace

PropAnswer textAnswer(const std::wstring& text) {
  return valueAnswer(ValueType::String, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

PropAnswer listAnswer(const std::vector<std::wstring>& entries) {
  const std::wstring units = listUnits(entries);
  return valueAnswer(ValueType::StringList, units.data(), units.size() * sizeof(wchar_t));
}

PropAnswer numberAnswer(uint32_t number) {
  return valueAnswer(ValueType::Uint32, &number, sizeof number);
}

void linkNodes(std::vector<Node>& nodes, const std::vector<std::optional<size_t>>& parents) {
  std::vector<std::vector<size_t>> children(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i)
    if (parents[i]) children[*parents[i]].push_back(i);
  const auto idsOf = [&](const std::vector<size_t>& indexes, size_t leaveOut) {
    std::vector<std::wstring> ids;
    for (const size_t c : indexes)
      if (c != leaveOut) ids.push_back(nodes[c].id);
    return ids.empty() ? PropAnswer() : listAnswer(ids);
  };
  for (size_t i = 0; i < nodes.size(); ++i) {
    Node& node = nodes[i];
    node.props[kParent] = parents[i] ? textAnswer(nodes[*parents[i]].id) : PropAnswer();
    node.props[kChildren] = idsOf(children[i], SIZE_MAX);
    node.props[kSiblings] = parents[i] ? idsOf(children[*parents[i]], i) : PropAnswer();
  }
}

void putInForce(Tree tree) {
  std::vector<LiveSnapshot> live;
  std::unordered_map<std::wstring, DEVINST> handles;
  for (Snapshot& snapshot : tree) {
    LiveSnapshot& snap = live.emplace_back();
    snap.snapshot = std::move(snapshot);
    for (size_t i = 0; i < snap.snapshot.nodes.size(); ++i)
      snap.byHandle.emplace(internHandle(snap.snapshot.nodes[i].id, handles, state().handles), i);
    snap.usbList = makeClassList(snap.snapshot, SetupClass::Usb);
    snap.portsList = makeClassList(snap.snapshot, SetupClass::Ports);
    snap.allList = makeClassList(snap.snapshot, std::nullopt);
  }
  state().snapshots = std::move(live);
  state().handles = std::move(handles);
  state().clock = 0;
}

void clearTree() {
  state().snapshots.clear();
  state().handles.clear();
  state().clock = 0;
}

size_t knownIdCount() { return state().handles.size(); }

void setCallObserver(void (*observer)(Call)) { state().observer = observer; }

}  // namespace kq::memcm
