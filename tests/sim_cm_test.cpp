// The simulated configuration manager's answers: the derived properties, the
// size-query protocol with every failure word, case-insensitive locate, class
// lists, snapshots switched by call count, stale handles and call counts.
#ifdef _WIN32
#include <initguid.h>  // defines the DEVPKEY_* symbols that cm_api.h declares
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cfgmgr/cm_api.h"
#include "memcm/memcm.h"
#include "sim/sim_control.h"
#include "tests/tree_fixture.h"

namespace kq::test {

namespace {


const std::wstring kUsbClass = L"{36fc9e60-c465-11cf-8056-444553540000}";
const std::wstring kPortsClass = L"{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr ULONG kW = sizeof(wchar_t);

DEVINST locate(const std::wstring& id) {
  DEVINST dev = 0;
  return CM_Locate_DevNodeW(&dev, const_cast<WCHAR*>(id.c_str()), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS ? dev : 0;
}

// A size query followed, when it asks for a buffer, by a read into a buffer of
// exactly the size it gave.
struct Reading {
  CONFIGRET query = CR_SUCCESS;
  ULONG size = 0;
  DEVPROPTYPE queryType = 0;
  CONFIGRET read = CR_SUCCESS;
  DEVPROPTYPE type = 0;
  std::wstring units;  // the bytes read, as wide characters
};

Reading readProperty(DEVINST dev, const DEVPROPKEY& key) {
  Reading r;
  r.query = CM_Get_DevNode_PropertyW(dev, &key, &r.queryType, nullptr, &r.size, 0);
  if (r.query != CR_BUFFER_SMALL) return r;
  std::vector<BYTE> buffer(r.size + 1, 0xEE);  // one guard byte
  ULONG size = r.size;
  r.read = CM_Get_DevNode_PropertyW(dev, &key, &r.type, buffer.data(), &size, 0);
  EXPECT_EQ(buffer[r.size], 0xEE) << "wrote past the size it asked for";
  if (r.read == CR_SUCCESS) {
    EXPECT_EQ(size, r.size);
    r.units.assign(reinterpret_cast<const wchar_t*>(buffer.data()), size / kW);
  }
  return r;
}

Reading readProperty(const std::wstring& id, const DEVPROPKEY& key) { return readProperty(locate(id), key); }

// A string as the configuration manager returns it, terminator included.
std::wstring sz(const std::wstring& text) { return text + L'\0'; }

// A string list: entries each NUL-terminated, then the closing empty entry.
std::wstring multiSz(const std::vector<std::wstring>& entries) {
  std::wstring units;
  for (const std::wstring& e : entries) units += sz(e);
  return units + L'\0';
}

uint32_t problemCode(const Reading& r) {
  uint32_t value = 0xFFFFFFFF;
  if (r.read == CR_SUCCESS && r.size == 4) std::memcpy(&value, r.units.data(), 4);
  return value;
}

std::wstring classList(const std::wstring& guid) {
  ULONG size = 0;
  EXPECT_EQ(CM_Get_Device_ID_List_SizeW(&size, guid.c_str(), CM_GETIDLIST_FILTER_CLASS), CR_SUCCESS);
  std::wstring list(size, L'#');
  EXPECT_EQ(CM_Get_Device_ID_ListW(guid.c_str(), &list[0], size, CM_GETIDLIST_FILTER_CLASS), CR_SUCCESS);
  return list;
}

class Sim : public testing::Test {
 protected:
  void SetUp() override {
    kq::memcm::clearTree();
    kq::sim::resetCallCounts();
  }
};

const std::string kShape = R"(ROOT\A desc="Root"
  USB\B
    C1
    C2
    C3
  usb\d
OTHER\E parent=X children= siblings=P|Q
)";

TEST_F(Sim, DerivesParentChildrenSiblingsAndClassFromTheShape) {
  loadTree(kShape);
  EXPECT_EQ(readProperty(L"ROOT\\A", DEVPKEY_Device_Parent).query, CR_NO_SUCH_VALUE);
  EXPECT_EQ(readProperty(L"ROOT\\A", DEVPKEY_Device_Children).units, multiSz({L"USB\\B", L"usb\\d"}));
  EXPECT_EQ(readProperty(L"ROOT\\A", DEVPKEY_Device_Siblings).query, CR_NO_SUCH_VALUE);  // level 0
  EXPECT_EQ(readProperty(L"USB\\B", DEVPKEY_Device_Parent).units, sz(L"ROOT\\A"));
  EXPECT_EQ(readProperty(L"USB\\B", DEVPKEY_Device_Children).units, multiSz({L"C1", L"C2", L"C3"}));
  EXPECT_EQ(readProperty(L"USB\\B", DEVPKEY_Device_Siblings).units, multiSz({L"usb\\d"}));
  EXPECT_EQ(readProperty(L"C2", DEVPKEY_Device_Siblings).units, multiSz({L"C1", L"C3"}));
  EXPECT_EQ(readProperty(L"C2", DEVPKEY_Device_Children).query, CR_NO_SUCH_VALUE);
  EXPECT_EQ(readProperty(L"C2", DEVPKEY_Device_Parent).units, sz(L"USB\\B"));
  EXPECT_EQ(readProperty(L"C2", DEVPKEY_Device_DeviceDesc).query, CR_NO_SUCH_VALUE);
  EXPECT_EQ(readProperty(L"C2", DEVPKEY_Device_FriendlyName).query, CR_NO_SUCH_VALUE);
  EXPECT_EQ(problemCode(readProperty(L"C2", DEVPKEY_Device_ProblemCode)), 0u);
  // Explicit values replace the derived ones; an empty list is present.
  EXPECT_EQ(readProperty(L"OTHER\\E", DEVPKEY_Device_Parent).units, sz(L"X"));
  const Reading empty = readProperty(L"OTHER\\E", DEVPKEY_Device_Children);
  EXPECT_EQ(empty.query, CR_BUFFER_SMALL);
  EXPECT_EQ(empty.size, kW);
  EXPECT_EQ(empty.units, std::wstring(1, L'\0'));
  EXPECT_EQ(readProperty(L"OTHER\\E", DEVPKEY_Device_Siblings).units, multiSz({L"P", L"Q"}));
  // USB class by default for "USB\" in any letter case, other for the rest.
  EXPECT_EQ(classList(kUsbClass), multiSz({L"USB\\B", L"usb\\d"}));
  EXPECT_EQ(classList(kPortsClass), multiSz({}));
}

TEST_F(Sim, PropertyProtocolFollowsTheSizeQuery) {
  loadTree("DEV\\1 desc=\"Generic USB Hub\" problem=28\n  DEV\\2\n  DEV\\3\n");
  const DEVINST dev = locate(L"DEV\\1");
  ASSERT_NE(dev, 0u);
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  ASSERT_EQ(CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, nullptr, &size, 0), CR_BUFFER_SMALL);
  EXPECT_EQ(size, 16 * kW);
  EXPECT_EQ(type, DEVPROP_TYPE_STRING);

  std::vector<BYTE> buffer(64 * kW, 0xEE);
  size = 16 * kW - 1;  // one byte short
  type = 0;
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, buffer.data(), &size, 0),
            CR_BUFFER_SMALL);
  EXPECT_EQ(size, 16 * kW);
  EXPECT_EQ(buffer[0], 0xEE);
  size = static_cast<ULONG>(buffer.size());  // larger than needed: answers the real size
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, buffer.data(), &size, 0), CR_SUCCESS);
  EXPECT_EQ(size, 16 * kW);
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(buffer.data()), 16), sz(L"Generic USB Hub"));

  const Reading problem = readProperty(dev, DEVPKEY_Device_ProblemCode);
  EXPECT_EQ(problem.size, 4u);
  EXPECT_EQ(problem.type, DEVPROP_TYPE_UINT32);
  EXPECT_EQ(problemCode(problem), 28u);
  const Reading children = readProperty(dev, DEVPKEY_Device_Children);
  EXPECT_EQ(children.queryType, DEVPROP_TYPE_STRING_LIST);
  EXPECT_EQ(children.type, DEVPROP_TYPE_STRING_LIST);
  EXPECT_EQ(children.size, 13 * kW);

  // Arguments Windows rejects before looking at the device.
  size = 0;
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, nullptr, &size, 1), CR_INVALID_FLAG);
  size = 8;
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, nullptr, &size, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dev, nullptr, &type, nullptr, &size, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, nullptr, nullptr, &size, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, nullptr, nullptr, 0), CR_INVALID_POINTER);
  // Unknown handles and keys.
  EXPECT_EQ(readProperty(DEVINST(0), DEVPKEY_Device_DeviceDesc).query, CR_NO_SUCH_DEVINST);
  EXPECT_EQ(readProperty(dev + 1000, DEVPKEY_Device_DeviceDesc).query, CR_NO_SUCH_DEVINST);
  DEVPROPKEY other = DEVPKEY_Device_DeviceDesc;
  other.pid = 3;
  EXPECT_EQ(readProperty(dev, other).query, CR_NO_SUCH_VALUE);
}

struct WordCase {
  const char* attribute;
  const DEVPROPKEY* key;
  DEVPROPTYPE type;       // the property's own type
  DEVPROPTYPE wrongType;  // what !type answers
  ULONG failSize;         // what the size query of !fail answers, in bytes
};

// Every one of the six properties takes each failure word.
TEST_F(Sim, FailureWordsOnEveryProperty) {
  const WordCase cases[] = {
      {"desc", &DEVPKEY_Device_DeviceDesc, DEVPROP_TYPE_STRING, DEVPROP_TYPE_UINT32, kW},
      {"friendly", &DEVPKEY_Device_FriendlyName, DEVPROP_TYPE_STRING, DEVPROP_TYPE_UINT32, kW},
      {"parent", &DEVPKEY_Device_Parent, DEVPROP_TYPE_STRING, DEVPROP_TYPE_UINT32, 3 * kW},
      {"children", &DEVPKEY_Device_Children, DEVPROP_TYPE_STRING_LIST, DEVPROP_TYPE_STRING, 4 * kW},
      {"siblings", &DEVPKEY_Device_Siblings, DEVPROP_TYPE_STRING_LIST, DEVPROP_TYPE_STRING, 8 * kW},
      {"problem", &DEVPKEY_Device_ProblemCode, DEVPROP_TYPE_UINT32, DEVPROP_TYPE_STRING, 4},
  };
  for (const WordCase& c : cases) {
    SCOPED_TRACE(c.attribute);
    const std::string a = c.attribute;
    loadTree("P1\n  N " + a + "=!absent\n    K1\n  S1\n  T " + a + "=!type\n    K2\n  U " + a +
             "=!fail\n    K3\n");
    EXPECT_EQ(readProperty(L"N", *c.key).query, CR_NO_SUCH_VALUE);

    const Reading wrong = readProperty(L"T", *c.key);
    EXPECT_EQ(wrong.query, CR_BUFFER_SMALL);
    EXPECT_EQ(wrong.queryType, c.wrongType);
    EXPECT_EQ(wrong.read, CR_SUCCESS);
    EXPECT_EQ(wrong.type, c.wrongType);
    EXPECT_EQ(wrong.size, c.wrongType == DEVPROP_TYPE_UINT32 ? 4u : 2 * kW);

    const Reading failing = readProperty(L"U", *c.key);
    EXPECT_EQ(failing.query, CR_BUFFER_SMALL);
    EXPECT_EQ(failing.queryType, c.type);
    EXPECT_EQ(failing.size, c.failSize);
    EXPECT_EQ(failing.read, CR_FAILURE);
  }
}

TEST_F(Sim, UnterminatedPropertiesLoseTheirFinalTerminator) {
  loadTree(
      "P\n"
      "  N desc=\"Serial\" friendly=\"Port (COM3)\" unterminated=desc,friendly,parent,children,siblings\n"
      "    K1\n"
      "    K2\n"
      "  S\n"
      "  E children= unterminated=children,desc\n"
      "  F friendly=!fail unterminated=friendly\n");
  EXPECT_EQ(readProperty(L"N", DEVPKEY_Device_DeviceDesc).units, L"Serial");
  EXPECT_EQ(readProperty(L"N", DEVPKEY_Device_DeviceDesc).size, 6 * kW);
  EXPECT_EQ(readProperty(L"N", DEVPKEY_Device_FriendlyName).units, L"Port (COM3)");
  EXPECT_EQ(readProperty(L"N", DEVPKEY_Device_Parent).units, L"P");
  EXPECT_EQ(readProperty(L"N", DEVPKEY_Device_Children).units, std::wstring(L"K1\0K2\0", 6));
  EXPECT_EQ(readProperty(L"N", DEVPKEY_Device_Siblings).units, std::wstring(L"S\0E\0F\0", 6));
  EXPECT_EQ(readProperty(L"S", DEVPKEY_Device_Siblings).units, multiSz({L"N", L"E", L"F"}));
  // An empty list without its closing entry is no bytes at all: nothing to
  // ask a buffer for. An absent property stays absent.
  const Reading none = readProperty(L"E", DEVPKEY_Device_Children);
  EXPECT_EQ(none.query, CR_SUCCESS);
  EXPECT_EQ(none.size, 0u);
  EXPECT_EQ(none.queryType, DEVPROP_TYPE_STRING_LIST);
  EXPECT_EQ(readProperty(L"E", DEVPKEY_Device_DeviceDesc).query, CR_NO_SUCH_VALUE);
  // With nothing to size, the size query is already the read that fails.
  EXPECT_EQ(readProperty(L"F", DEVPKEY_Device_FriendlyName).query, CR_FAILURE);
}

TEST_F(Sim, NonAsciiTextIsSizedInThePlatformsWideCharacters) {
  loadTree("D desc=\"Lautsprecher \xF0\x9F\x94\x8A (K\xC3\xBC" "che)\"\n");
  const std::wstring text = L"Lautsprecher \U0001F50A (K\u00fcche)";
  const Reading r = readProperty(L"D", DEVPKEY_Device_DeviceDesc);
  EXPECT_EQ(r.size, (text.size() + 1) * kW);
  EXPECT_EQ(r.units, sz(text));
}

TEST_F(Sim, LocateIgnoresAsciiCaseAndFindsOnlyPresentDevices) {
  loadTree("USB\\VID_0483&PID_A1DF\\205112345 desc=x\nGONE\\1 present=no\nSTRASSE\\\xC3\x9F\n");
  const DEVINST upper = locate(L"USB\\VID_0483&PID_A1DF\\205112345");
  ASSERT_NE(upper, 0u);
  EXPECT_EQ(locate(L"usb\\vid_0483&pid_a1df\\205112345"), upper);
  EXPECT_EQ(locate(L"Usb\\Vid_0483&pId_A1dF\\205112345"), upper);
  EXPECT_EQ(locate(L"USB\\VID_0483&PID_A1DF\\20511234"), 0u);  // no prefix matching
  EXPECT_NE(locate(L"strasse\\\u00df"), 0u);
  EXPECT_EQ(locate(L"STRASSE\\SS"), 0u);  // only ASCII letters fold

  DEVINST dev = 77;
  std::wstring gone = L"GONE\\1";
  EXPECT_EQ(CM_Locate_DevNodeW(&dev, &gone[0], CM_LOCATE_DEVNODE_NORMAL), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(dev, 0u);
  std::wstring missing = L"NOT\\THERE";
  EXPECT_EQ(CM_Locate_DevNodeW(&dev, &missing[0], CM_LOCATE_DEVNODE_NORMAL), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(CM_Locate_DevNodeW(nullptr, &missing[0], CM_LOCATE_DEVNODE_NORMAL), CR_INVALID_POINTER);
  std::wstring id = L"USB\\VID_0483&PID_A1DF\\205112345";
  EXPECT_EQ(CM_Locate_DevNodeW(&dev, &id[0], 1), CR_INVALID_FLAG);
  // Windows reads a null or empty ID as the tree's root, which this tree lacks.
  EXPECT_EQ(CM_Locate_DevNodeW(&dev, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_NO_SUCH_DEVNODE);
  loadTree("HTREE\\ROOT\\0\n  X\n");
  std::wstring empty;
  EXPECT_EQ(CM_Locate_DevNodeW(&dev, &empty[0], CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  EXPECT_EQ(dev, locate(L"htree\\root\\0"));
}

TEST_F(Sim, ClassListsHoldPresentAndAbsentDevicesInFileOrder) {
  loadTree(
      "USB\\ROOT_HUB30\\4&1\n"
      "  USB\\VID_0403&PID_6010\\A present=no\n"
      "    FTDIBUS\\VID_0403+PID_6010+AA\\0000 class=ports present=no\n"
      "  usb\\vid_0483&pid_a1df\\205112345\n"
      "    USB\\VID_0483&PID_A1DF&MI_00\\6&1 class=ports\n"
      "  PCI\\VEN_8086 class=usb\n"
      "  USB\\VID_10C4&PID_EAC3&MI_00\\6&2 class=other\n");
  const std::wstring usb = multiSz({L"USB\\ROOT_HUB30\\4&1", L"USB\\VID_0403&PID_6010\\A",
                                    L"usb\\vid_0483&pid_a1df\\205112345", L"PCI\\VEN_8086"});
  EXPECT_EQ(classList(kUsbClass), usb);
  EXPECT_EQ(classList(L"{36FC9E60-C465-11CF-8056-444553540000}"), usb);
  EXPECT_EQ(classList(kPortsClass),
            multiSz({L"FTDIBUS\\VID_0403+PID_6010+AA\\0000", L"USB\\VID_0483&PID_A1DF&MI_00\\6&1"}));
  EXPECT_EQ(classList(L"{4d36e96c-e325-11ce-bfc1-08002be10318}"), std::wstring(1, L'\0'));  // media

  ULONG size = 0;
  ASSERT_EQ(CM_Get_Device_ID_List_SizeW(&size, kUsbClass.c_str(), CM_GETIDLIST_FILTER_CLASS), CR_SUCCESS);
  EXPECT_EQ(size, usb.size());
  std::wstring buffer(size, L'#');
  EXPECT_EQ(CM_Get_Device_ID_ListW(kUsbClass.c_str(), &buffer[0], size - 1, CM_GETIDLIST_FILTER_CLASS),
            CR_BUFFER_SMALL);
  EXPECT_EQ(CM_Get_Device_ID_ListW(kUsbClass.c_str(), nullptr, size, CM_GETIDLIST_FILTER_CLASS), CR_INVALID_POINTER);
  EXPECT_EQ(CM_Get_Device_ID_ListW(nullptr, &buffer[0], size, CM_GETIDLIST_FILTER_CLASS), CR_INVALID_POINTER);
  EXPECT_EQ(CM_Get_Device_ID_ListW(kUsbClass.c_str(), &buffer[0], size, 0x100), CR_INVALID_FLAG);
  EXPECT_EQ(CM_Get_Device_ID_List_SizeW(&size, kUsbClass.c_str(), 0x100), CR_INVALID_FLAG);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(CM_Get_Device_ID_List_SizeW(nullptr, kUsbClass.c_str(), CM_GETIDLIST_FILTER_CLASS), CR_INVALID_POINTER);
  // Without a filter every device is listed.
  ASSERT_EQ(CM_Get_Device_ID_List_SizeW(&size, nullptr, 0), CR_SUCCESS);
  buffer.assign(size, L'#');
  EXPECT_EQ(CM_Get_Device_ID_ListW(nullptr, &buffer[0], size, 0), CR_SUCCESS);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), L'\0'), 8);
  // No tree: an empty list.
  kq::memcm::clearTree();
  EXPECT_EQ(classList(kUsbClass), std::wstring(1, L'\0'));
}

// Three snapshots: the device B goes away after 3 calls and comes back after 5.
const std::string kReplug = R"(A desc="one"
  B desc="b"
=== after 3 calls
A desc="two"
=== after 5 calls
A desc="three"
  B desc="b again"
)";

std::wstring descOf(DEVINST dev) {
  ULONG size = 64 * kW;
  DEVPROPTYPE type = 0;
  std::wstring text(64, L'\0');
  const CONFIGRET cr = CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type,
                                                reinterpret_cast<PBYTE>(&text[0]), &size, 0);
  return cr == CR_SUCCESS ? text.substr(0, size / kW - 1) : L"cr=" + std::to_wstring(cr);
}

TEST_F(Sim, SnapshotsTakeOverByCallCountAndHandlesFollowTheId) {
  loadTree(kReplug);
  const DEVINST b = locate(L"B");  // call 1
  const DEVINST a = locate(L"A");  // call 2
  ASSERT_NE(b, 0u);
  EXPECT_EQ(descOf(b), L"b");                                      // call 3: first snapshot
  EXPECT_EQ(descOf(b), L"cr=" + std::to_wstring(CR_NO_SUCH_DEVINST));  // call 4: B is gone
  EXPECT_EQ(descOf(a), L"two");                                    // call 5
  EXPECT_EQ(descOf(b), L"b again");                                // call 6: the same handle again
  EXPECT_EQ(locate(L"b"), b);
  EXPECT_EQ(descOf(a), L"three");  // the last snapshot stays

  // Loading restarts the clock; the handle still names B.
  loadTree(kReplug);
  EXPECT_EQ(descOf(b), L"b");
  EXPECT_EQ(descOf(a), L"one");
  // Resetting the counts does not move the clock.
  kq::sim::resetCallCounts();
  EXPECT_EQ(descOf(b), L"b");
  EXPECT_EQ(descOf(b), L"cr=" + std::to_wstring(CR_NO_SUCH_DEVINST));
}

// A program that runs for days over changing trees (the simulated DLL reloads
// its file on every change) must not keep every ID it ever saw.
TEST_F(Sim, OnlyTheIdsOfTheTreeInForceAreKept) {
  loadTree("A desc=a\n  B desc=b\n");
  const DEVINST a = locate(L"A");
  const DEVINST b = locate(L"B");
  for (int i = 0; i < 200; ++i)
    loadTree("A desc=a\n  C" + std::to_string(i) + " desc=c\n");
  EXPECT_EQ(kq::memcm::knownIdCount(), 2u);
  // A survives every reload under the same handle; B's handle is never given
  // to another device, so it finds nothing.
  EXPECT_EQ(locate(L"A"), a);
  EXPECT_EQ(descOf(b), L"cr=" + std::to_wstring(CR_NO_SUCH_DEVINST));
  EXPECT_NE(locate(L"C199"), b);
  loadTree("A desc=a\n  B desc=b2\n");
  EXPECT_NE(locate(L"B"), b);
}

TEST_F(Sim, AbsentDeviceAnswersNoSuchDevinst) {
  loadTree("A desc=x\n=== after 1 calls\nA desc=x present=no\n");
  const DEVINST a = locate(L"A");
  ASSERT_NE(a, 0u);
  EXPECT_EQ(descOf(a), L"cr=" + std::to_wstring(CR_NO_SUCH_DEVINST));
  EXPECT_EQ(classList(kUsbClass), std::wstring(1, L'\0'));  // "A" is not a USB ID
}

// A class list that grows between the size query and the fetch makes the
// fetch fail, as it does on Windows when a device arrives.
TEST_F(Sim, ListGrowingBetweenSizeQueryAndFetch) {
  loadTree("USB\\1\n=== after 1 calls\nUSB\\1\nUSB\\2\n");
  ULONG size = 0;
  ASSERT_EQ(CM_Get_Device_ID_List_SizeW(&size, kUsbClass.c_str(), CM_GETIDLIST_FILTER_CLASS), CR_SUCCESS);
  std::wstring buffer(size, L'#');
  EXPECT_EQ(CM_Get_Device_ID_ListW(kUsbClass.c_str(), &buffer[0], size, CM_GETIDLIST_FILTER_CLASS), CR_BUFFER_SMALL);
}

TEST_F(Sim, CountsEveryCallPerFunction) {
  loadTree(kShape);
  locate(L"ROOT\\A");
  locate(L"nothing");
  CM_Locate_DevNodeW(nullptr, nullptr, 0);
  readProperty(L"ROOT\\A", DEVPKEY_Device_DeviceDesc);  // locate, size query, read
  classList(kUsbClass);
  kq::sim::CallCounts counts = kq::sim::callCounts();
  EXPECT_EQ(counts.locate, 4u);
  EXPECT_EQ(counts.property, 2u);
  EXPECT_EQ(counts.listSize, 1u);
  EXPECT_EQ(counts.list, 1u);
  EXPECT_EQ(counts.total(), 8u);
  kq::sim::resetCallCounts();
  EXPECT_EQ(kq::sim::callCounts().total(), 0u);
  // Loading a tree does not touch the counts.
  locate(L"ROOT\\A");
  std::string error;
  ASSERT_TRUE(kq::sim::loadTreeText(kShape, "again", &error));
  locate(L"ROOT\\A");
  EXPECT_EQ(kq::sim::callCounts().locate, 2u);
}

}  // namespace

}  // namespace kq::test
