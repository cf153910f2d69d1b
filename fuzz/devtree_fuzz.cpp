// The .devtree reader on arbitrary bytes. A text that loads is enumerated as
// Windows 8 and as Windows 7 and its reports checked; a text that does not
// load must say FILE:LINE: reason with a line of the text, and leave the tree
// in force as it was.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cfgmgr/cm_api.h"
#include "fuzz/report_check.h"
#include "sim/sim_control.h"

namespace kq::test {
namespace {

const std::string kName = "fuzz.devtree";

// In force whenever an input starts; each input that loads puts it back.
const std::string kReference =
    "USB\\ROOT_HUB30\\4&2B8E0A2&0&0 desc=\"USB Root Hub (USB 3.0)\"\n"
    "  USB\\VID_0483&PID_A1DF\\205112345 desc=\"USB Composite Device\"\n"
    "ACPI\\PNP0501\\1 class=ports desc=\"Communications Port\" friendly=\"Communications Port (COM1)\"\n";

std::wstring usbClassList() {
  const wchar_t* guid = L"{36fc9e60-c465-11cf-8056-444553540000}";
  ULONG size = 0;
  if (CM_Get_Device_ID_List_SizeW(&size, guid, CM_GETIDLIST_FILTER_CLASS) != CR_SUCCESS) return L"(no size)";
  std::wstring list(size, L'\0');
  if (CM_Get_Device_ID_ListW(guid, list.data(), size, CM_GETIDLIST_FILTER_CLASS) != CR_SUCCESS) return L"(no list)";
  return list;
}

std::wstring referenceList;

void loadReference() {
  if (!sim::loadTreeText(kReference, "reference.devtree", nullptr)) abortWith("reference tree", kReference);
}

// "fuzz.devtree:LINE: reason" with LINE a line of the text.
bool wellFormedError(const std::string& error, const std::string& text) {
  const std::string head = kName + ":";
  if (error.compare(0, head.size(), head) != 0) return false;
  size_t at = head.size();
  const size_t digits = error.find_first_not_of("0123456789", at);
  if (digits == at || digits == std::string::npos || digits - at > 19) return false;
  const unsigned long long line = std::stoull(error.substr(at, digits - at));
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  return line >= 1 && line <= lines && error.compare(digits, 2, ": ") == 0 && error.size() > digits + 2;
}

}  // namespace
}  // namespace kq::test

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kq::test::loadReference();
  kq::test::referenceList = kq::test::usbClassList();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kq;
  using namespace kq::test;
  const std::string text(reinterpret_cast<const char*>(data), size);
  memcm::Tree tree;
  std::string parseError;
  const bool parsed = sim::parseDevtree(text, kName, &tree, &parseError);
  std::string loadError;
  const bool loaded = sim::loadTreeText(text, kName, &loadError);
  if (parsed != loaded || parseError != loadError)
    abortWith("parsing and loading disagree: '" + parseError + "' / '" + loadError + "'", text);
  if (!loaded) {
    if (!wellFormedError(loadError, text)) abortWith("malformed load error: " + loadError, text);
    if (usbClassList() != referenceList) abortWith("a failed load changed the tree in force", text);
    return 0;
  }
  enumerateAndCheck(text, tree, true, true);
  sim::loadTreeText(text, kName, nullptr);  // the call clock back to 0
  enumerateAndCheck(text, tree, false, true);
  loadReference();
  return 0;
}
