#include "fuzz/tree_gen.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ascii.h"

namespace kq::test {
namespace {

// One device as planned: every snapshot writes it from this, each with its
// own faults.
struct Part {
  std::string id;
  std::optional<std::string> desc;
  std::optional<std::string> friendly;
  const char* setupClass = nullptr;  // only where the ID alone would give another class
  bool remembered = false;           // unplugged long ago: present=no
  std::vector<Part> children;
};

struct Gen {
  FuzzedDataProvider& in;
  bool windows7;
  std::set<std::wstring> planned;  // folded IDs: Windows lists no ID twice
  std::vector<std::string> pool;   // every planned ID, for the explicit lists
  std::string eol = "\n";
};

// Attribute name and value as written, each name at most once per line.
using Attrs = std::vector<std::pair<std::string, std::string>>;

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

std::string comPort(Gen& g) { return "(COM" + std::to_string(g.in.ConsumeIntegralInRange(1, 256)) + ")"; }

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

// A serial port as Windows names it: its description and the port in parentheses.
Part port(Gen& g, const std::string& id, const std::string& desc) {
  return device(g, id, desc, desc + " " + comPort(g), "ports");
}

std::string endpointId(Gen& g, bool capture) {
  std::string guid = hex(g, 8) + "-" + hex(g, 4) + "-" + hex(g, 4) + "-" + hex(g, 4) + "-" + hex(g, 12);
  std::transform(guid.begin(), guid.end(), guid.begin(), [](char c) { return c >= 'A' && c <= 'F' ? c + 32 : c; });
  return std::string("SWD\\MMDEVAPI\\{0.0.") + (capture ? "1" : "0") + ".00000000}.{" + guid + "}";
}

// The three functions of one unit, as siblings under one parent.
std::vector<Part> unitFunctions(Gen& g) {
  // Serials of five characters make the 31-character IDs of real units;
  // shorter ones make MCU functions too short to carry a serial.
  const int serialChoice = g.in.ConsumeIntegralInRange(0, 15);
  const int serialLength = serialChoice < 8 ? 5 : serialChoice - 8;
  const char* mcuPrefix = g.windows7 ? "usb\\vid_0483&pid_a1df\\2051" : "USB\\VID_0483&PID_A1DF\\2051";
  Part mcu = device(g, mcuPrefix + hex(g, serialLength), "USB Composite Device");
  const std::string mcuInterfaces = "\\7&" + hex(g, 7) + "&0&000";
  mcu.children.push_back(port(g, "USB\\VID_0483&PID_A1DF&MI_00" + mcuInterfaces + "0", "KQ-6200 WinKey"));
  mcu.children.push_back(port(g, "USB\\VID_0483&PID_A1DF&MI_02" + mcuInterfaces + "2", "KQ-6200 FSK"));

  const std::string ftdiSerial = "KQ6" + hex(g, 5);
  Part ftdi = device(g, "USB\\VID_0403&PID_6010\\" + ftdiSerial, "USB Composite Device");
  const std::string channels = "\\7&" + hex(g, 7) + "&0&000";
  for (const char* channel : {"A", "B"}) {
    const std::string mi = channel[0] == 'A' ? "0" : "1";
    Part converter = device(g, "USB\\VID_0403&PID_6010&MI_0" + mi + channels + mi,
                            std::string("USB Serial Converter ") + channel);
    converter.children.push_back(
        port(g, "FTDIBUS\\VID_0403+PID_6010+" + ftdiSerial + channel + "\\0000", "USB Serial Port"));
    ftdi.children.push_back(std::move(converter));
  }

  Part codec = device(g, "USB\\VID_10C4&PID_EAC3\\6&" + hex(g, 7) + "&0&3", "USB Composite Device");
  const std::string interfaces = "\\7&" + hex(g, 7) + "&0&000";
  codec.children.push_back(device(g, "USB\\VID_10C4&PID_EAC3&MI_00" + interfaces + "0", "USB Audio Device",
                                  std::nullopt, "other"));
  codec.children.push_back(device(g, "USB\\VID_10C4&PID_EAC3&MI_01" + interfaces + "1",
                                  "KQ-6200 Reserved Interface", std::nullopt, "other"));
  Part mi02 = device(g, "USB\\VID_10C4&PID_EAC3&MI_02" + interfaces + "2", "USB Audio Device",
                     "USB Audio CODEC", "other");
  // Windows 7 has no endpoint nodes; Windows 8 and later list the two in either order.
  if (g.windows7 == g.in.ConsumeBool()) {
    const bool captureFirst = g.in.ConsumeBool();
    for (bool capture : {captureFirst, !captureFirst}) {
      const std::string what = capture ? "Microphone" : "Speakers";
      mi02.children.push_back(device(g, endpointId(g, capture), what, what + " (USB Audio CODEC)"));
    }
  }
  codec.children.push_back(std::move(mi02));

  std::vector<Part> functions;
  functions.push_back(std::move(mcu));
  functions.push_back(std::move(ftdi));
  functions.push_back(std::move(codec));
  std::rotate(functions.begin(), functions.begin() + g.in.ConsumeIntegralInRange(0, 2), functions.end());
  return functions;
}

// Devices a PC has besides the units, some of them with IDs that begin like
// a unit's.
Part otherDevice(Gen& g) {
  switch (g.in.ConsumeIntegralInRange(0, 4)) {
    case 0: {
      Part mouse = device(g, "USB\\VID_046D&PID_C077\\5&" + hex(g, 6) + "&0&1", "USB Input Device");
      mouse.children.push_back(device(g, "HID\\VID_046D&PID_C077\\6&" + hex(g, 8) + "&0&0000", "HID-compliant mouse"));
      return mouse;
    }
    case 1: {
      Part webcam = device(g, "USB\\VID_046D&PID_0825\\" + hex(g, 8), "USB Composite Device");
      Part audio = device(g, "USB\\VID_046D&PID_0825&MI_02\\7&" + hex(g, 8) + "&0&0002", "USB Audio Device",
                          "HD Webcam C270", "other");
      audio.children.push_back(device(g, endpointId(g, true), "Microphone", "Microphone (HD Webcam C270)"));
      webcam.children.push_back(std::move(audio));
      return webcam;
    }
    case 2:  // another STMicroelectronics device with a serial like the units'
      return port(g, "USB\\VID_0483&PID_5740\\2051" + hex(g, 8), "USB Serial Device");
    case 3: {  // a single-channel FTDI cable
      const std::string serial = "A5" + hex(g, 6);
      Part cable = device(g, "USB\\VID_0403&PID_6001\\" + serial, "USB Serial Converter");
      cable.children.push_back(port(g, "FTDIBUS\\VID_0403+PID_6001+" + serial + "A\\0000", "USB Serial Port"));
      return cable;
    }
    default:
      return device(g, "USB\\VID_05E3&PID_0608\\5&" + hex(g, 7) + "&0&" + std::to_string(g.in.ConsumeIntegralInRange(1, 9)),
                    "Generic USB Hub");
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
      root.children.push_back(device(g, "USB\\VID_05E3&PID_0608\\6&" + hex(g, 7) + "&0&3", "Generic USB Hub"));
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
      static constexpr std::array<const char*, 5> kPrefixes = {
          "USB\\VID_0483&PID_A1DF&MI_00\\", "USB\\VID_0403&PID_6010&MI_01\\", "FTDIBUS\\VID_0403+PID_6010+",
          "USB\\VID_10C4&PID_EAC3&MI_02\\", "SWD\\MMDEVAPI\\{0.0.1.00000000}"};
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
  Attrs attrs;
  if (part.remembered) set(attrs, "present", "no");
  if (part.setupClass) set(attrs, "class", part.setupClass);
  if (part.desc) set(attrs, "desc", quoted(*part.desc));
  if (part.friendly) set(attrs, "friendly", quoted(*part.friendly));
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
