// The .devtree reader: what it rejects (with file and line), what it accepts,
// its UTF-8 decoding for both widths of wchar_t, and the shipped demo trees.
#ifdef _WIN32
#include <initguid.h>  // defines the DEVPKEY_* symbols that cm_api.h declares
#endif

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "cfgmgr/cm_api.h"
#include "memcm/memcm.h"
#include "sim/sim_control.h"
#include "tests/tree_fixture.h"

namespace kq::test {

namespace {

const std::wstring kUsbClass = L"{36fc9e60-c465-11cf-8056-444553540000}";

DEVINST locate(const std::wstring& id) {
  DEVINST dev = 0;
  return CM_Locate_DevNodeW(&dev, const_cast<WCHAR*>(id.c_str()), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS ? dev : 0;
}

std::wstring description(const std::wstring& id) {
  ULONG size = 0;
  DEVPROPTYPE type = 0;
  const DEVINST dev = locate(id);
  if (CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, nullptr, &size, 0) != CR_BUFFER_SMALL)
    return L"(none)";
  std::wstring text(size / sizeof(wchar_t), L'\0');
  CM_Get_DevNode_PropertyW(dev, &DEVPKEY_Device_DeviceDesc, &type, reinterpret_cast<PBYTE>(&text[0]), &size, 0);
  return text.substr(0, text.find(L'\0'));
}

// The entries of a class's ID list, in order.
std::vector<std::wstring> classIds(const std::wstring& guid) {
  ULONG size = 0;
  CM_Get_Device_ID_List_SizeW(&size, guid.c_str(), CM_GETIDLIST_FILTER_CLASS);
  std::wstring list(size, L'\0');
  CM_Get_Device_ID_ListW(guid.c_str(), &list[0], size, CM_GETIDLIST_FILTER_CLASS);
  std::vector<std::wstring> ids;
  for (size_t i = 0; i < list.size() && list[i] != L'\0'; i = list.find(L'\0', i) + 1)
    ids.push_back(list.substr(i, list.find(L'\0', i) - i));
  return ids;
}

class SimReader : public testing::Test {
 protected:
  void SetUp() override { kq::memcm::clearTree(); }
};

struct Rejected {
  const char* name;
  std::string text;
  int line;
  const char* reason;  // a fragment of the message
};

std::ostream& operator<<(std::ostream& os, const Rejected& r) { return os << r.name; }

std::string caseName(const testing::TestParamInfo<Rejected>& param) { return param.param.name; }

class SimReaderRejects : public SimReader, public testing::WithParamInterface<Rejected> {};

TEST_P(SimReaderRejects, NamesFileLineAndReasonAndLoadsNothing) {
  const Rejected& r = GetParam();
  std::string error;
  EXPECT_FALSE(kq::sim::loadTreeText("KEEP\\ME\\0\n" + r.text, "bad.devtree", &error));
  const std::string where = "bad.devtree:" + std::to_string(r.line + 1) + ": ";
  EXPECT_EQ(error.substr(0, where.size()), where) << error;
  EXPECT_NE(error.find(r.reason), std::string::npos) << error;
  EXPECT_EQ(locate(L"KEEP\\ME\\0"), 0u);  // not even the good first line was loaded
}

INSTANTIATE_TEST_SUITE_P(
    Indentation, SimReaderRejects,
    testing::Values(Rejected{"oddSpaces", "   A\n", 1, "not a multiple of two"},
                    Rejected{"tabIndent", "\tA\n", 1, "tab in indentation"},
                    Rejected{"spacesThenTab", "  \tA\n", 1, "tab in indentation"},
                    Rejected{"jumpTwoLevels", "  A\n      B\n", 2, "more than one level deeper"},
                    Rejected{"firstAfterSeparatorIndented", "=== after 2 calls\n  A\n", 2,
                             "first node of a snapshot"},
                    Rejected{"tabBetweenAttributes", "A\tdesc=x\n", 1, "tab"},
                    Rejected{"tabInBareValue", "A desc=x\ty\n", 1, "tab"}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Ids, SimReaderRejects,
    testing::Values(Rejected{"duplicate", "A\n  B\n  A\n", 3, "appears twice in this snapshot (first on line 2)"},
                    Rejected{"duplicateOtherCase", "USB\\X\\1\nusb\\x\\1\n", 2, "appears twice"},
                    Rejected{"duplicateOfFirstLine", "KEEP\\me\\0\n", 1, "appears twice"},
                    Rejected{"emptyListEntry", "A children=B||C\n", 1, "empty instance ID"},
                    Rejected{"trailingBar", "A siblings=B|\n", 1, "empty instance ID"},
                    Rejected{"nulInId", std::string("A\0B desc=x\n", 11), 1, "NUL in instance ID"},
                    Rejected{"nulInParent", std::string("A parent=\"B\0C\"\n", 15), 1, "NUL in an instance ID in parent="},
                    Rejected{"nulInList", std::string("A children=B|C\0D\n", 17), 1, "NUL in an instance ID in children="}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Attributes, SimReaderRejects,
    testing::Values(Rejected{"unknownName", "A color=red\n", 1, "unknown attribute 'color'"},
                    Rejected{"noEquals", "A desc\n", 1, "malformed attribute 'desc'"},
                    Rejected{"givenTwice", "A desc=a desc=b\n", 1, "given twice"},
                    Rejected{"unclosedQuote", "A desc=\"Generic USB Hub\n", 1, "missing closing quote"},
                    Rejected{"quoteInBareValue", "A desc=ab\"c\"\n", 1, "quote inside"},
                    Rejected{"textAfterQuote", "A desc=\"a\"b\n", 1, "after the closing quote"},
                    Rejected{"unknownWord", "A friendly=!missing\n", 1, "unknown failure word '!missing'"},
                    Rejected{"wordOnPresent", "A present=!absent\n", 1, "present= takes yes or no"},
                    Rejected{"badPresent", "A present=maybe\n", 1, "present= takes yes or no"},
                    Rejected{"badClass", "A class=hid\n", 1, "class= takes usb, ports or other"},
                    Rejected{"upperCaseClass", "A class=USB\n", 1, "class= takes"},
                    Rejected{"negativeProblem", "A problem=-1\n", 1, "problem= takes a decimal"},
                    Rejected{"hexProblem", "A problem=0x1C\n", 1, "problem= takes a decimal"},
                    Rejected{"problemTooLarge", "A problem=4294967296\n", 1, "problem= takes a decimal"},
                    Rejected{"unterminatedProblem", "A unterminated=desc,problem\n", 1, "unknown name 'problem'"},
                    Rejected{"unterminatedEmptyName", "A unterminated=desc,,parent\n", 1, "unknown name ''"},
                    Rejected{"invalidUtf8", "A desc=\"Gr\xC3\x28\xC3\x9F" "e\"\n", 1, "not valid UTF-8"}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Separators, SimReaderRejects,
    testing::Values(Rejected{"notANumber", "=== after x calls\n", 1, "malformed snapshot separator"},
                    Rejected{"singularCall", "=== after 1 call\n", 1, "malformed snapshot separator"},
                    Rejected{"missingCalls", "=== after 5\n", 1, "malformed snapshot separator"},
                    Rejected{"negative", "=== after -5 calls\n", 1, "malformed snapshot separator"},
                    Rejected{"overflow", "=== after 99999999999999999999 calls\n", 1, "malformed snapshot separator"},
                    Rejected{"indented", "  === after 5 calls\n", 1, "must not be indented"},
                    Rejected{"zero", "=== after 0 calls\n", 1, "larger than the previous snapshot's (0)"},
                    Rejected{"notIncreasing", "=== after 5 calls\nA\n=== after 5 calls\n", 3,
                             "larger than the previous snapshot's (5)"}),
    caseName);

TEST_F(SimReader, FailedLoadKeepsTreeAndClockInForce) {
  kq::test::loadTree("A desc=\"first\"\n=== after 3 calls\nA desc=\"second\"\n");
  EXPECT_EQ(description(L"A"), L"first");  // calls 1 to 3
  std::string error;
  EXPECT_FALSE(kq::sim::loadTreeText("A desc=\"new\"\nB class=bogus\n", "bad.devtree", &error));
  EXPECT_EQ(error, "bad.devtree:2: class= takes usb, ports or other, not 'bogus'");
  EXPECT_EQ(description(L"A"), L"second");
  EXPECT_FALSE(kq::sim::loadTreeFile(KQ_SOURCE_DIR "/sim/trees/no-such.devtree", &error));
  EXPECT_NE(error.find("no-such.devtree: cannot open"), std::string::npos) << error;
  EXPECT_EQ(description(L"A"), L"second");
}

TEST_F(SimReader, AcceptsCommentsBlanksCrlfBomAndQuotedText) {
  kq::test::loadTree(
      "\xEF\xBB\xBF# a comment\r\n"
      "\r\n"
      "   \t \r\n"
      "ROOT\\1 desc=\"a = b # c | d\t\xC3\xA4\"   \r\n"
      "  # an indented comment at any depth\n"
      "  USB\\\"odd\"&ID\\{x}  friendly=\"\" desc=plain \n"
      "=== after 8 calls\n"
      "=== after 12 calls\n"
      "ROOT\\1 desc=\"last\"");  // no final line end
  EXPECT_EQ(description(L"ROOT\\1"), L"a = b # c | d\t\u00e4");           // calls 1-3
  EXPECT_EQ(description(L"USB\\\"odd\"&ID\\{x}"), L"plain");              // 4-6
  EXPECT_EQ(classIds(kUsbClass), std::vector<std::wstring>{L"USB\\\"odd\"&ID\\{x}"});  // 7-8
  EXPECT_EQ(description(L"ROOT\\1"), L"(none)");  // 9-10: the empty snapshot
  EXPECT_EQ(description(L"ROOT\\1"), L"(none)");  // 11-12
  EXPECT_EQ(description(L"ROOT\\1"), L"last");
  EXPECT_EQ(kq::sim::callCounts().total(), 15u);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST_F(SimReader, DemoTreesLoad) {
  for (const char* name : {"two-units", "two-units-win7", "empty", "example"}) {
    std::string error;
    EXPECT_TRUE(kq::sim::loadTreeFile(std::string(KQ_SOURCE_DIR "/sim/trees/") + name + ".devtree", &error))
        << error;
  }
  // The example is the one-unit tree the other tests edit.
  EXPECT_EQ(readFile(KQ_SOURCE_DIR "/sim/trees/example.devtree"), kq::test::kOneUnit);
}

// Both layouts list a forgotten unit first, then units 40117 and 40262, with
// the MCU IDs upper-case on Windows 8 and later and lower-case on Windows 7.
TEST_F(SimReader, DemoTreesHoldTheUnitsInEitherLayout) {
  struct Layout {
    const char* file;
    const wchar_t* prefix;
  };
  for (const Layout& layout : {Layout{"two-units", L"USB\\VID_0483&PID_A1DF\\2051"},
                               Layout{"two-units-win7", L"usb\\vid_0483&pid_a1df\\2051"}}) {
    std::string error;
    ASSERT_TRUE(kq::sim::loadTreeFile(std::string(KQ_SOURCE_DIR "/sim/trees/") + layout.file + ".devtree", &error));
    std::vector<std::wstring> mcus;
    for (const std::wstring& id : classIds(kUsbClass))
      if (id.compare(0, 26, layout.prefix) == 0) mcus.push_back(id);
    ASSERT_EQ(mcus.size(), 3u) << layout.file;
    EXPECT_EQ(locate(mcus[0]), 0u) << "the forgotten unit is not present";
    EXPECT_EQ(mcus[1].substr(26), L"40117");
    EXPECT_EQ(mcus[2].substr(26), L"40262");
    for (const std::wstring& id : mcus) EXPECT_EQ(id.size(), 31u);
  }
  std::string error;
  ASSERT_TRUE(kq::sim::loadTreeFile(KQ_SOURCE_DIR "/sim/trees/empty.devtree", &error));
  const std::vector<std::wstring> usb = classIds(kUsbClass);
  EXPECT_GE(usb.size(), 4u);
  for (const std::wstring& id : usb)
    EXPECT_TRUE(id.find(L"PID_A1DF") == std::wstring::npos && id.find(L"pid_a1df") == std::wstring::npos) << "no KQ-6200";
}

}  // namespace

}  // namespace kq::test
