#include "fuzz/tree_gen.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "sim/generated_tree.h"
#include "units/unit_shape.h"

namespace kq::test {
namespace {

// One device as planned: every snapshot writes it from this, each with its
// own faults.
using Part = WindowsNode;

struct Gen {
  FuzzedDataProvider& in;
  bool windows7;
  std::set<std::wstring> planned;  // folded IDs: Windows lists no ID twice
  std::vector<std::string> pool;   // every planned ID, for the explicit lists
  std::string eol = "\n";
};

// Attribute name and value as written, each name at most once per line.
using Attrs = sim::DevtreeAttributes;

void set(Attrs& attrs, const std::string& name, const std::string& value) {
  for (auto& [n, v] : attrs) {
    if (n == name) {
      v = value;
      return;
    }
  }
  attrs.emplace_back(name, value);
}

template <typename T, size_t N>
const T& pick(Gen& g, const std::array<T, N>& choices) {
  return choices[g.in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

std::string hex(Gen& g, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < digits; ++i) text += kDigits[g.in.ConsumeIntegralInRange(0, 15)];
  return text;
}

std::string quoted(const std::string& text) { return '"' + text + '"'; }

int comPort(Gen& g) { return g.in.ConsumeIntegralInRange(1, 256); }

// A colliding ID (the fuzzer's digits repeat) gets a number appended.
std::string claimId(Gen& g, const std::string& id) {
  std::string unique = id;
  for (int n = 1; !g.planned.insert(toAsciiUpper(std::wstring(unique.begin(), unique.end()))).second; ++n)
    unique = id + "&" + std::to_string(n);
  g.pool.push_back(unique);
  return unique;
}

Part device(Gen& g, const std::string& id, std::optional<std::string> desc,
            std::optional<std::string> friendly = std::nullopt, const char* setupClass = nullptr) {
  return Part{claimId(g, id), std::move(desc), std::move(friendly), setupClass, false, {}};
}

// A node built whole: its ID and those below it claimed in the order written.
Part claimed(Gen& g, Part part) {
  part.id = claimId(g, part.id);
  for (Part& child : part.children) child = claimed(g, std::move(child));
  return part;
}

// A USB function of a known shape, without what lies below it.
Part function(Gen& g, const UsbDeviceShape& shape, const std::string& instance) {
  return claimed(g, windowsFunction(shape, instance));
}

// A serial port as Windows names it: its description and the port in parentheses.
Part port(Gen& g, const std::string& id, const std::string& desc) {
  return device(g, id, desc, desc + " (COM" + std::to_string(comPort(g)) + ")", "ports");
}

std::string endpointGuid(Gen& g) {
  return toAsciiLower(hex(g, 8) + "-" + hex(g, 4) + "-" + hex(g, 4) + "-" + hex(g, 4) + "-" + hex(g, 12));
}

size_t at(Role role) { return static_cast<size_t>(role); }

// The three functions of one unit, as siblings under one parent.
std::vector<Part> unitFunctions(Gen& g) {
  // Serials of five characters make the 31-character IDs of real units;
  // shorter ones make MCU functions too short to carry a serial.
  const int serialChoice = g.in.ConsumeIntegralInRange(0, 15);
  const int serialLength = serialChoice < 8 ? 5 : serialChoice - 8;
  WindowsUnitChoice unit;
  unit.mcuSerial = kMcuSerialPrefix + hex(g, serialLength);
  unit.mcuLowerCase = g.windows7;
  unit.mcuInterfaces = "7&" + hex(g, 7) + "&0&";
  unit.comPorts[at(Role::kWinkey)] = comPort(g);
  unit.comPorts[at(Role::kFsk)] = comPort(g);
  unit.ftdiSerial = "KQ6" + hex(g, 5);
  unit.ftdiInterfaces = "7&" + hex(g, 7) + "&0&";
  unit.comPorts[at(Role::kCat)] = comPort(g);
  unit.comPorts[at(Role::kPtt)] = comPort(g);
  unit.codecInstance = "6&" + hex(g, 7) + "&0&3";
  unit.codecInterfaces = "7&" + hex(g, 7) + "&0&";
  unit.codecInterfaceClass = "other";
  // Windows 7 has no endpoint nodes; Windows 8 and later list the two in either order.
  if (g.windows7 == g.in.ConsumeBool()) {
    const bool captureFirst = g.in.ConsumeBool();
    for (bool capture : {captureFirst, !captureFirst}) unit.endpoints.push_back({capture, endpointGuid(g)});
  }
  std::vector<Part> functions;
  for (Part& function : windowsUnitFunctions(unit)) functions.push_back(claimed(g, std::move(function)));
  std::rotate(functions.begin(), functions.begin() + g.in.ConsumeIntegralInRange(0, 2), functions.end());
  return functions;
}

// Devices a PC has besides the units, some of them with IDs that begin like
// a unit's.
Part otherDevice(Gen& g) {
  switch (g.in.ConsumeIntegralInRange(0, 4)) {
    case 0: {
      Part mouse = function(g, kMouseShape, "5&" + hex(g, 6) + "&0&1");
      const std::string hid = std::string("HID\\VID_") + kMouseShape.id.vendor + "&PID_" + kMouseShape.id.product;
      mouse.children.push_back(device(g, hid + "\\6&" + hex(g, 8) + "&0&0000", "HID-compliant mouse"));
      return mouse;
    }
    case 1: {
      // A webcam of the mouse's maker.
      const char* vendor = kMouseShape.id.vendor;
      Part webcam = device(g, usbFunctionId(vendor, "0825") + "\\" + hex(g, 8), "USB Composite Device");
      Part audio = device(g, usbInterfaceId(vendor, "0825", 2) + "\\7&" + hex(g, 8) + "&0&0002", "USB Audio Device",
                          "HD Webcam C270", "other");
      audio.children.push_back(claimed(g, windowsEndpoint(true, endpointGuid(g), *audio.friendly)));
      webcam.children.push_back(std::move(audio));
      return webcam;
    }
    case 2:  // another STMicroelectronics device with a serial like the units'
      return port(g, usbFunctionId(kMcuFunctionId.vendor, "5740") + "\\" + kMcuSerialPrefix + hex(g, 8),
                  "USB Serial Device");
    case 3: {  // a single-channel FTDI cable
      const std::string serial = "A5" + hex(g, 6);
      Part cable = device(g, usbFunctionId(kFtdiFunctionId.vendor, "6001") + "\\" + serial, "USB Serial Converter");
      cable.children.push_back(
          port(g, ftdiPortIdPrefix(kFtdiFunctionId.vendor, "6001") + serial + "A\\0000", kFtdiShape.busPortDesc));
      return cable;
    }
    default:
      return function(g, kHubShape, "5&" + hex(g, 7) + "&0&" + std::to_string(g.in.ConsumeIntegralInRange(1, 9)));
  }
}

void remember(Part& part) {
  part.remembered = true;
  for (Part& child : part.children) remember(child);
}

std::vector<Part> plan(Gen& g) {
  std::vector<Part> top;
  if (!g.in.ConsumeBool())
    top.push_back(device(g, "ACPI\\PNP0501\\1", "Communications Port", "Communications Port (COM1)", "ports"));
  if (g.in.ConsumeBool()) {  // a unit Windows remembers from long ago
    std::vector<Part> gone = unitFunctions(g);
    for (Part& p : gone) remember(p);
    top.insert(top.end(), std::make_move_iterator(gone.begin()), std::make_move_iterator(gone.end()));
  }
  Part root = g.windows7 ? device(g, "USB\\ROOT_HUB20\\4&" + hex(g, 7) + "&0", "USB Root Hub")
                         : device(g, "USB\\ROOT_HUB30\\4&" + hex(g, 7) + "&0&0", "USB Root Hub (USB 3.0)");
  // Small trees keep each run short; two units are enough to compete for claims.
  for (int n = g.in.ConsumeIntegralInRange(0, 2); n > 0; --n) root.children.push_back(otherDevice(g));
  for (int n = 1 + g.in.ConsumeIntegralInRange(0, 1); n > 0; --n) {
    std::vector<Part> functions = unitFunctions(g);
    std::vector<Part>* parent = &root.children;
    if (g.in.ConsumeBool()) {  // behind a desk hub
      root.children.push_back(function(g, kHubShape, "6&" + hex(g, 7) + "&0&3"));
      parent = &root.children.back().children;
    }
    parent->insert(parent->end(), std::make_move_iterator(functions.begin()),
                   std::make_move_iterator(functions.end()));
  }
  top.push_back(std::move(root));
  return top;
}

// Names may hold what IDs may not: blanks, tabs, a NUL, a CR, other scripts,
// the failure words as plain text. Never a double quote or a line feed.
std::string name(Gen& g) {
  static constexpr std::array<std::string_view, 20> kPieces = {
      "USB Serial Port", " ", "(", ")", "COM", "12", "(COM3)", "\t", std::string_view("\0", 1), "\r",
      "\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x93\xBB", "\\", "|", "!fail", "=", "#", "KQ-6200 FSK", "x"};
  std::string text;
  for (int n = g.in.ConsumeIntegralInRange(0, 6); n > 0; --n) text += pick(g, kPieces);
  return text;
}

// An ID for an explicit parent or list: one of the tree's, or one Windows
// would locate differently (other letter case, cut short, longer, a bare prefix).
std::string someId(Gen& g) {
  std::string id = g.pool[g.in.ConsumeIntegralInRange<size_t>(0, g.pool.size() - 1)];
  switch (g.in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      std::transform(id.begin(), id.end(), id.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
      break;
    case 1:
      id.resize(g.in.ConsumeIntegralInRange<size_t>(1, id.size()));
      break;
    case 2:
      id += "0";
      break;
    case 3: {
      static const std::array<std::string, 5> kPrefixes = {
          usbInterfaceId(kMcuFunctionId.vendor, kMcuFunctionId.product, roleInfo(Role::kWinkey).interfaceNumber) + "\\",
          usbInterfaceId(kFtdiFunctionId.vendor, kFtdiFunctionId.product, roleInfo(Role::kPtt).interfaceNumber) + "\\",
          ftdiPortIdPrefix(kFtdiFunctionId.vendor, kFtdiFunctionId.product),
          usbInterfaceId(kAudioFunctionId.vendor, kAudioFunctionId.product, kAudioEndpointInterface) + "\\",
          kCaptureEndpointPrefix};
      id = pick(g, kPrefixes);
      break;
    }
    default:
      break;
  }
  return id;
}

std::string idList(Gen& g) {
  std::string list;
  for (int n = g.in.ConsumeIntegralInRange(0, 3); n > 0; --n) list += (list.empty() ? "" : "|") + someId(g);
  return list;
}

void flipCase(std::string& id, bool lower) {
  for (char& c : id) c = lower ? asciiLower(c) : asciiUpper(c);
}

// One way for this node to differ from the plan in this snapshot.
void addFault(Gen& g, std::string& id, Attrs& attrs, std::vector<const Part*>& children, bool& dropped) {
  static constexpr std::array<const char*, 6> kProps = {"desc", "friendly", "parent", "children", "siblings", "problem"};
  static constexpr std::array<const char*, 3> kWords = {"!absent", "!type", "!fail"};
  static constexpr std::array<const char*, 6> kProblems = {"28", "10", "22", "1", "43", "4294967295"};
  static constexpr std::array<const char*, 3> kClasses = {"usb", "ports", "other"};
  switch (g.in.ConsumeIntegralInRange(0, 11)) {
    case 0:
      dropped = true;  // unplugged, with everything below it
      break;
    case 1:
      set(attrs, "present", "no");
      break;
    case 2:
      set(attrs, "problem", pick(g, kProblems));
      break;
    case 3:
      set(attrs, pick(g, kProps), pick(g, kWords));
      break;
    case 4: {
      std::string names;
      for (int p = 0; p < 5; ++p)
        if (g.in.ConsumeBool()) names += (names.empty() ? "" : ",") + std::string(kProps[p]);
      set(attrs, "unterminated", names);
      break;
    }
    case 5:
      set(attrs, "parent", someId(g));
      break;
    case 6:
      set(attrs, "children", idList(g));
      break;
    case 7:
      set(attrs, "siblings", idList(g));
      break;
    case 8:
      set(attrs, "class", pick(g, kClasses));
      break;
    case 9:
      flipCase(id, g.in.ConsumeBool());
      break;
    case 10:
      set(attrs, g.in.ConsumeBool() ? "desc" : "friendly", quoted(name(g)));
      break;
    default:
      if (children.size() >= 2)
        std::swap(children[g.in.ConsumeIntegralInRange<size_t>(0, children.size() - 1)],
                  children[g.in.ConsumeIntegralInRange<size_t>(0, children.size() - 1)]);
      break;
  }
}

void write(Gen& g, const Part& part, size_t level, std::string& out) {
  std::string id = part.id;
  Attrs attrs = sim::devtreeAttributes(part);
  std::vector<const Part*> children;
  for (const Part& child : part.children) children.push_back(&child);

  // Most nodes come out as planned; one in eight gets up to three faults.
  bool dropped = false;
  const uint8_t trouble = g.in.ConsumeIntegral<uint8_t>();
  if (trouble >= 224)
    for (int n = g.in.ConsumeIntegralInRange(1, 3); n > 0; --n) addFault(g, id, attrs, children, dropped);
  if (dropped) return;
  if (trouble == 223) out += "  # a comment, then a blank line" + g.eol + g.eol;

  out += std::string(2 * level, ' ') + id;
  for (const auto& [attrName, value] : attrs) out += " " + attrName + "=" + value;
  out += g.eol;
  for (const Part* child : children) write(g, *child, level + 1, out);
}

}  // namespace

std::string generateTree(FuzzedDataProvider& in, bool windows7) {
  Gen g{in, windows7, {}, {}, "\n"};
  const std::vector<Part> devices = plan(g);
  std::string text = g.in.ConsumeBool() ? "\xEF\xBB\xBF" : "";
  if (g.in.ConsumeBool()) g.eol = "\r\n";

  // Mostly one snapshot: every later one is parsed on every run but matters
  // only while an enumeration still runs when it takes over.
  const int later = std::max(0, g.in.ConsumeIntegralInRange(-1, 2));
  uint64_t after = 0;
  for (int snapshot = later; snapshot >= 0; --snapshot) {
    for (const Part& part : devices) write(g, part, 0, text);
    if (snapshot == 0) break;
    after += g.in.ConsumeIntegralInRange(1, 200);
    text += (g.in.ConsumeBool() ? "===  after " : "=== after ") + std::to_string(after) + " calls" + g.eol;
  }
  return text;
}

}  // namespace kq::test
