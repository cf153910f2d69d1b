#include "devtree/device_node.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
// mingw-w64 defines the DEVPKEY_* constants only in the one file where
// <initguid.h> precedes <devpkey.h>; the SDK libraries do not export them.
#include <windows.h>
#include <initguid.h>
#endif
#include "cfgmgr/cm_api.h"

namespace kq {
namespace {

constexpr wchar_t kUsbClassGuid[] = L"{36fc9e60-c465-11cf-8056-444553540000}";
constexpr wchar_t kPortsClassGuid[] = L"{4d36e978-e325-11ce-bfc1-08002be10318}";

// Result of one size-query-then-read of a property.
enum class Read {
  Ok,         // value read with the expected type
  NoSize,     // the size query did not answer CR_BUFFER_SMALL (usually: no such property)
  BadRead,    // the read failed, or the property has another type
};

// The configuration manager's two-call protocol: ask for the size with no
// buffer, then read into a buffer of exactly that size and check the type.
Read readRaw(DEVINST devInst, const DEVPROPKEY& key, DEVPROPTYPE expectedType,
             std::vector<BYTE>& bytes) {
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  if (CM_Get_DevNode_PropertyW(devInst, &key, &type, nullptr, &size, 0) != CR_BUFFER_SMALL)
    return Read::NoSize;
  bytes.assign(size, 0);
  type = 0;
  ULONG got = size;
  if (CM_Get_DevNode_PropertyW(devInst, &key, &type, bytes.data(), &got, 0) != CR_SUCCESS ||
      type != expectedType)
    return Read::BadRead;
  bytes.resize(std::min<ULONG>(got, size));
  return Read::Ok;
}

// Wide characters held in the returned bytes; a trailing odd byte is ignored.
// Works on a copy so an unaligned buffer is never read as wchar_t directly.
std::wstring wideChars(const std::vector<BYTE>& bytes) {
  std::wstring chars(bytes.size() / sizeof(wchar_t), L'\0');
  if (!chars.empty()) std::memcpy(chars.data(), bytes.data(), chars.size() * sizeof(wchar_t));
  return chars;
}

// A string property ends at its first NUL, or at the end of the bytes returned
// when the terminator is missing.
std::wstring asString(const std::vector<BYTE>& bytes) {
  std::wstring chars = wideChars(bytes);
  return chars.substr(0, chars.find(L'\0'));
}

// A string list ends at its first empty entry; a list that comes back without
// its closing empty entry ends with the bytes returned.
StringList asStringList(const std::vector<BYTE>& bytes) {
  const std::wstring chars = wideChars(bytes);
  StringList list;
  size_t pos = 0;
  while (pos < chars.size()) {
    size_t end = chars.find(L'\0', pos);
    if (end == std::wstring::npos) end = chars.size();
    if (end == pos) break;
    list.emplace_back(chars, pos, end - pos);
    pos = end + 1;
  }
  return list;
}

// Returns false when no further property may be read.
bool readString(DEVINST devInst, const DEVPROPKEY& key, std::optional<std::wstring>& field,
                bool mandatory) {
  std::vector<BYTE> bytes;
  switch (readRaw(devInst, key, DEVPROP_TYPE_STRING, bytes)) {
    case Read::Ok:
      field = asString(bytes);
      return true;
    case Read::NoSize:
      return !mandatory;
    case Read::BadRead:
      return false;
  }
  return false;
}

void readList(DEVINST devInst, const DEVPROPKEY& key, std::optional<StringList>& field) {
  std::vector<BYTE> bytes;
  if (readRaw(devInst, key, DEVPROP_TYPE_STRING_LIST, bytes) == Read::Ok)
    field = asStringList(bytes);
}

// The six reads in their fixed order. A description that cannot be read, or a
// friendly name that exists but does not read cleanly, ends the reads: such a
// node keeps problem code 255 and fails every health check of the walk.
void readProperties(DEVINST devInst, DeviceNode& node) {
  if (!readString(devInst, DEVPKEY_Device_DeviceDesc, node.description, true)) return;
  if (!readString(devInst, DEVPKEY_Device_FriendlyName, node.friendlyName, false)) return;

  std::vector<BYTE> bytes;
  if (readRaw(devInst, DEVPKEY_Device_Parent, DEVPROP_TYPE_STRING, bytes) == Read::Ok)
    node.parentId = asString(bytes);
  readList(devInst, DEVPKEY_Device_Children, node.childrenIds);
  readList(devInst, DEVPKEY_Device_Siblings, node.siblingIds);

  if (readRaw(devInst, DEVPKEY_Device_ProblemCode, DEVPROP_TYPE_UINT32, bytes) == Read::Ok &&
      bytes.size() >= sizeof(uint32_t))
    std::memcpy(&node.problemCode, bytes.data(), sizeof(uint32_t));
}

// CM_Locate_DevNodeW matches without regard to letter case and takes a
// non-const, NUL-terminated text.
bool locate(std::wstring_view id, DEVINST& devInst) {
  std::wstring text(id);
  return CM_Locate_DevNodeW(&devInst, text.data(), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
}

// The whole instance-ID list of one setup class, present devices or not,
// exactly as the configuration manager returns it.
bool fetchClassList(bool usbClass, std::vector<wchar_t>& list) {
  const wchar_t* guid = usbClass ? kUsbClassGuid : kPortsClassGuid;
  ULONG size = 0;
  if (CM_Get_Device_ID_List_SizeW(&size, guid, CM_GETIDLIST_FILTER_CLASS) != CR_SUCCESS ||
      size == 0)
    return false;
  list.assign(size, L'\0');
  return CM_Get_Device_ID_ListW(guid, list.data(), size, CM_GETIDLIST_FILTER_CLASS) ==
         CR_SUCCESS;
}

bool isExcluded(std::wstring_view id, const IdList& exclusions) {
  return std::find(exclusions.begin(), exclusions.end(), id) != exclusions.end();
}

}  // namespace

std::wstring_view firstEntry(const StringList& list) {
  return list.empty() ? std::wstring_view() : std::wstring_view(list[0]);
}

std::wstring_view secondEntry(const StringList& list) {
  return list.size() < 2 ? std::wstring_view() : std::wstring_view(list[1]);
}

DeviceNode openDeviceNode(std::wstring_view text, const IdList& exclusions, bool usbClass) {
  DeviceNode node;
  if (text.empty()) return node;

  DEVINST devInst = 0;
  if (locate(text, devInst)) {
    readProperties(devInst, node);
    node.instanceId = std::wstring(text);
    return node;
  }
  return findDeviceNode(text, exclusions, usbClass);
}

DeviceNode findDeviceNode(std::wstring_view text, const IdList& exclusions, bool usbClass) {
  DeviceNode node;
  if (text.empty()) return node;

  DEVINST devInst = 0;
  std::vector<wchar_t> list;
  if (!fetchClassList(usbClass, list)) return node;

  // Walk the entries in list order; the first present device that starts
  // with `text` and is not excluded is taken. Only such a candidate is
  // located: the list holds every USB device the machine has ever seen, and
  // locating each of them would make every search cost as many calls.
  const wchar_t* const limit = list.data() + list.size();
  for (const wchar_t* at = list.data(); at < limit && *at != L'\0';) {
    // A prefix that would reach past the list cannot match here or later.
    if (static_cast<size_t>(limit - at) < text.size()) return node;
    const wchar_t* end = std::wmemchr(at, L'\0', static_cast<size_t>(limit - at));
    if (!end) end = limit;
    const std::wstring_view entry(at, static_cast<size_t>(end - at));
    if (startsWith(entry, text) && !isExcluded(entry, exclusions) && locate(entry, devInst)) {
      readProperties(devInst, node);
      node.instanceId = std::wstring(entry);
      return node;
    }
    at = end + 1;
  }
  return node;
}

DeviceNode openPortNode(std::wstring_view instanceId) {
  DeviceNode node = openDeviceNode(instanceId, IdList(), false);
  derivePortName(node);
  return node;
}

// The port name sits in the friendly name after the description, a blank and
// an opening parenthesis, before the closing one: "USB Serial Port (COM12)".
// Only the lengths are used, as Windows composes the name that way.
void derivePortName(DeviceNode& node) {
  node.portName.reset();
  if (node.problemCode != 0 || !node.friendlyName || !node.description) return;
  const size_t d = node.description->size();
  const size_t f = node.friendlyName->size();
  if (f < d + 7) return;
  node.portName = node.friendlyName->substr(d + 2, f - d - 3);
}

}  // namespace kq
