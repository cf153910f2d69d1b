#include "fuzz/udev_gen.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <map>
#include <set>

#include "base/ascii.h"
#include "base/utf8.h"
#include "devtree/device_node.h"
#include "units/unit_shape.h"

namespace kq::test {
namespace {

using udev::Device;
using udev::Devices;

struct Gen {
  FuzzedDataProvider& in;
  Devices devices;
  int ttys = 0;
  int cards = 0;
};

// What libudev hands over is a C string: no NUL, whatever the device wrote.
std::string cString(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return text;
}

// A string a device or a driver chooses: the ordinary one, or the fuzzer's.
std::string chosen(Gen& g, const std::string& ordinary) {
  return g.in.ConsumeBool() ? cString(g.in.ConsumeRandomLengthString(48)) : ordinary;
}

// A kernel name: chosen too, but never holding a slash, as sysfs allows none.
std::string kernelName(Gen& g, const std::string& ordinary) {
  std::string name = chosen(g, ordinary);
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

// One in eight choices is out of the ordinary; none once the bytes run out.
bool odd(Gen& g) { return g.in.ConsumeIntegralInRange(0, 7) == 7; }

Device& add(Gen& g, const std::string& parentPath, const std::string& name, const char* subsystem,
            const char* devType) {
  Device d;
  d.parentPath = parentPath;
  d.sysName = name;
  d.sysPath = parentPath + "/" + name;
  d.subsystem = subsystem;
  d.devType = devType;
  if (odd(g)) d.parentPath = chosen(g, "/sys/devices/gone");  // a parent udev no longer has
  g.devices.push_back(std::move(d));
  return g.devices.back();
}

enum class Kind { Hub, Mcu, Ftdi, Codec, Other };

const UsbDeviceShape& shapeOf(Kind kind) {
  switch (kind) {
    case Kind::Hub: return kHubShape;
    case Kind::Mcu: return kMcuShape;
    case Kind::Ftdi: return kFtdiShape;
    case Kind::Codec: return kCodecShape;
    case Kind::Other: break;
  }
  return kMouseShape;
}

void addTty(Gen& g, const Device& iface, bool ftdiStyle) {
  const int n = g.ttys++;
  const std::string ordinary = (ftdiStyle ? "ttyUSB" : "ttyACM") + std::to_string(n);
  const std::string name = kernelName(g, ordinary);
  std::string below = iface.sysPath;
  if (ftdiStyle != odd(g)) {
    Device& port = add(g, iface.sysPath, name, "usb-serial", "");
    below = port.sysPath;
  }
  Device& tty = add(g, below + "/tty", name, "tty", "");
  if (!odd(g)) tty.devNode = "/dev/" + name;
  const int links = g.in.ConsumeIntegralInRange(0, 2);
  if (links == 0) tty.links.push_back("/dev/serial/by-id/usb-" + chosen(g, "KQ") + "-if0" + std::to_string(n));
  if (links == 1) tty.links.push_back(chosen(g, "/dev/serial/by-path/pci-usb-0:4:1.0"));
}

void addCard(Gen& g, const Device& iface) {
  const int n = g.cards++;
  Device& card = add(g, iface.sysPath + "/sound", kernelName(g, "card" + std::to_string(n)), "sound", "");
  card.attrs["id"] = chosen(g, "CODEC");
  const std::string cardPath = card.sysPath;
  for (const char direction : {'p', 'c'}) {
    if (odd(g)) continue;
    const std::string ordinary = "pcmC" + std::to_string(n) + "D" +
                                 std::to_string(g.in.ConsumeIntegralInRange(0, 3)) + direction;
    add(g, cardPath, kernelName(g, ordinary), "sound", "");
  }
}

void addInterface(Gen& g, const Device& usb, int number, const char* cls, const char* driver,
                  Kind kind) {
  const UsbDeviceShape& shape = shapeOf(kind);
  const std::string base = usb.sysName + ":1." + std::to_string(number);
  Device& iface = add(g, usb.sysPath, kernelName(g, base), "usb", "usb_interface");
  char hex[4];
  std::snprintf(hex, sizeof hex, "%02x", number);
  iface.attrs["bInterfaceNumber"] = chosen(g, hex);
  iface.attrs["bInterfaceClass"] = chosen(g, cls);
  iface.driver = chosen(g, odd(g) ? "" : driver);
  if (g.in.ConsumeBool()) iface.attrs["interface"] = chosen(g, "CDC Abstract Control Model");
  const Device copy = iface;  // `add` below may move the devices
  // An FTDI channel's tty hangs below a usb-serial device of its own.
  if (portRoleOn(shape, number)) addTty(g, copy, shape.busPortDesc != nullptr);
  if (carriesSoundCard(shape, number)) addCard(g, copy);
  if (kind == Kind::Other && odd(g)) addTty(g, copy, g.in.ConsumeBool());
}

// Adds a USB device with its interfaces and what hangs below them; its sysPath.
std::string addUsb(Gen& g, const std::string& parentPath, const std::string& name, Kind kind,
                   const std::string& serial) {
  const UsbDeviceShape& shape = shapeOf(kind);
  const std::string vendor = linuxUsbId(shape.id.vendor);
  const std::string product = linuxUsbId(shape.id.product);
  Device& usb = add(g, parentPath, kernelName(g, name), "usb", "usb_device");
  usb.driver = "usb";
  usb.attrs["idVendor"] = odd(g) ? chosen(g, vendor) : vendor;
  usb.attrs["idProduct"] = odd(g) ? chosen(g, product) : product;
  usb.attrs["product"] = chosen(g, shape.product);
  if (!odd(g)) usb.attrs["serial"] = chosen(g, serial);
  const Device copy = usb;
  if (kind == Kind::Other) {
    for (int i = 0, n = g.in.ConsumeIntegralInRange(0, 3); i < n; ++i) addInterface(g, copy, i, "ff", "", kind);
  } else {
    for (size_t i = 0; i < shape.interfaceCount; ++i) {
      const UsbInterfaceShape& iface = shape.interfaces[i];
      addInterface(g, copy, iface.number, iface.usbClass, iface.linuxDriver, kind);
    }
  }
  return copy.sysPath;
}

}  // namespace

Devices generateUdevDevices(FuzzedDataProvider& in) {
  Gen g{in, {}};
  const std::string root = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
  Device hostController;
  hostController.sysPath = root;
  hostController.parentPath = "/sys/devices/pci0000:00/0000:00:14.0";
  hostController.subsystem = "usb";
  hostController.devType = "usb_device";
  hostController.sysName = "usb1";
  hostController.driver = "usb";
  hostController.attrs = {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"serial", "0000:00:14.0"}};
  g.devices.push_back(hostController);

  // Units behind their own hubs, then other devices anywhere.
  const int units = 1 + g.in.ConsumeIntegralInRange(0, 2);
  for (int u = 0; u < units; ++u) {
    const std::string hub = "1-" + std::to_string(4 + u);
    const std::string hubPath = addUsb(g, root, hub, Kind::Hub, "");
    const std::string serial = kMcuSerialPrefix + std::to_string(40117 + 145 * u);
    addUsb(g, hubPath, hub + ".1", Kind::Mcu, serial);
    addUsb(g, hubPath, hub + ".2", Kind::Ftdi, "FT" + std::to_string(u) + "KQ");
    addUsb(g, hubPath, hub + ".3", Kind::Codec, "");
  }
  for (int extra = g.in.ConsumeIntegralInRange(0, 8); extra > 0; --extra) {
    std::vector<const Device*> usbDevices;
    for (const Device& d : g.devices)
      if (d.devType == "usb_device") usbDevices.push_back(&d);
    const Device& parent = *usbDevices[g.in.ConsumeIntegralInRange<size_t>(0, usbDevices.size() - 1)];
    const std::string parentPath = parent.sysPath;
    const std::string name = (parent.sysName == "usb1" ? "1-" : parent.sysName + ".") +
                             std::to_string(g.in.ConsumeIntegralInRange(1, 15));
    const Kind kind = static_cast<Kind>(g.in.ConsumeIntegralInRange(0, 4));
    addUsb(g, parentPath, name, kind,
           chosen(g, kMcuSerialPrefix + std::to_string(g.in.ConsumeIntegralInRange(0, 99999))));
  }
  return std::move(g.devices);
}

namespace {

// The text a string answer was built with, up to its terminator; none for an
// absent one.
std::optional<std::wstring> builtText(const memcm::PropAnswer& answer) {
  if (answer.outcome == memcm::ReadOutcome::Absent) return std::nullopt;
  std::wstring text(answer.bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), answer.bytes.data(), text.size() * sizeof(wchar_t));
  return text.substr(0, text.find(L'\0'));
}

uint32_t builtNumber(const memcm::PropAnswer& answer) {
  uint32_t number = 0;
  if (answer.bytes.size() >= sizeof number) std::memcpy(&number, answer.bytes.data(), sizeof number);
  return number;
}

bool oneLine(const std::optional<std::wstring>& text) {
  if (!text) return true;
  for (const wchar_t c : *text)
    if (static_cast<uint32_t>(c) < 0x20) return false;
  return true;
}

std::string quoted(const std::optional<std::wstring>& text) {
  return text ? "\"" + encodeUtf8(*text) + "\"" : "(absent)";
}

}  // namespace

std::string readBackProblem(const udev::WindowsShape& shape) {
  memcm::putInForce({memcm::Snapshot{0, shape.nodes}});
  std::set<std::wstring> folded;
  std::map<std::wstring, DeviceNode> read;
  for (const memcm::Node& node : shape.nodes) {
    const std::string id = encodeUtf8(node.id);
    if (node.id.empty()) return "a node without an instance ID";
    if (node.id.find(L'\0') != std::wstring::npos) return "a NUL in the instance ID " + id;
    if (!folded.insert(toAsciiUpper(node.id)).second) return "two nodes with the instance ID " + id;
    DeviceNode seen = openDeviceNode(node.id, {}, node.setupClass == memcm::SetupClass::Usb);
    if (!seen.found()) return "not located: " + id;
    const auto desc = builtText(node.props[memcm::kDesc]);
    const auto friendly = builtText(node.props[memcm::kFriendly]);
    if (seen.description != desc)
      return id + ": description " + quoted(seen.description) + " read, " + quoted(desc) + " built";
    if (seen.friendlyName != friendly)
      return id + ": friendly name " + quoted(seen.friendlyName) + " read, " + quoted(friendly) + " built";
    if (!oneLine(desc) || !oneLine(friendly)) return id + ": a name of more than one line";
    if (seen.problemCode != builtNumber(node.props[memcm::kProblem])) return id + ": problem code";
    read.emplace(node.id, std::move(seen));
  }
  for (const auto& [id, node] : read) {
    const std::string name = encodeUtf8(id);
    const auto parent = node.parentId ? read.find(*node.parentId) : read.end();
    if (node.parentId && parent == read.end()) return name + ": parent is no node of the tree";
    const StringList none;
    const StringList& family = parent != read.end() && parent->second.childrenIds
                                   ? *parent->second.childrenIds
                                   : none;
    if (node.parentId && std::count(family.begin(), family.end(), id) != 1)
      return name + ": not once among its parent's children";
    StringList siblings;
    for (const std::wstring& other : family)
      if (other != id) siblings.push_back(other);
    if (node.siblingIds.value_or(StringList()) != siblings)
      return name + ": siblings are not the parent's other children";
    for (const std::wstring& child : node.childrenIds.value_or(StringList())) {
      const auto below = read.find(child);
      if (below == read.end() || below->second.parentId != id)
        return name + ": child " + encodeUtf8(child) + " does not name it as its parent";
    }
  }
  for (const auto& [id, names] : shape.names)
    if (read.count(id) == 0) return "Linux names for an instance ID of no node: " + encodeUtf8(id);
  return {};
}

std::string describe(const Devices& devices) {
  std::string out;
  for (const Device& d : devices) {
    out += d.sysPath + " [" + d.subsystem + " " + d.devType + "] parent=" + d.parentPath +
           " name=" + d.sysName + " driver=" + d.driver + " node=" + d.devNode + "\n";
    for (const auto& [key, value] : d.attrs) out += "    " + key + "=" + value + "\n";
    for (const std::string& link : d.links) out += "    link " + link + "\n";
  }
  return out;
}

}  // namespace kq::test
