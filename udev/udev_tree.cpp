#include "udev/udev_tree.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

#include "base/ascii.h"
#include "base/utf8.h"
#include "units/unit_ids.h"

// How udev's devices become the Windows tree the walk reads:
// - A USB device is a node "USB\VID_vvvv&PID_pppp\<serial>", or with its sysfs
//   name in place of a serial it lacks, shares or could not carry (Windows
//   gives such a device an ID from its location too). Its children are the
//   devices on its ports, in port order, then its interfaces.
// - An interface is "USB\VID_vvvv&PID_pppp&MI_nn\<sysfs name>". A hub's
//   interface is left out, and so is a CDC data interface, which Windows
//   folds into the communication interface before it. Without a driver bound
//   it carries problem 28, as Windows gives an interface without a driver.
// - A tty right below an interface (cdc_acm) makes the interface itself the
//   port, friendly name "<description> (/dev/ttyACM0)"; a tty below a
//   usb-serial port of it (ftdi_sio) is a port node of its own below the
//   interface, "FTDIBUS\VID_vvvv+PID_pppp+<serial><channel letter>\0000", as the
//   FTDI bus driver names it, friendly name "USB Serial Port (/dev/ttyUSB0)".
// - A sound card of a USB device gives its first playback and first capture
//   PCM as the render and capture endpoints "SWD\MMDEVAPI\{0.0.0.00000000}..."
//   and "{0.0.1.00000000}...", below the device's last audio-class interface,
//   where Windows hangs them; friendly name "hw:CARD=<id>,DEV=<n>
//   (<product>)".
// - Everything else is left out: the walk never asks for it.

namespace kq::udev {
namespace {

constexpr int kProblemNoDriver = 28;

struct Node {
  std::string id;
  memcm::SetupClass setupClass;  // Usb for a USB device, Ports for a port, else Other
  std::string desc;
  std::string friendly;
  int problem = 0;
  std::vector<size_t> children;  // indexes into the node table
};

std::string attr(const Device& device, const char* name) {
  const auto found = device.attrs.find(name);
  return found == device.attrs.end() ? std::string() : found->second;
}

// Four hexadecimal digits, as Windows writes VID and PID; "0000" for anything else.
std::string hex4(const std::string& text) {
  if (text.size() != 4 || !std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      }))
    return "0000";
  return toAsciiUpper(text);
}

int number(const std::string& text, int fallback) {
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 16);
  return *end == '\0' && value >= 0 && value < 256 ? static_cast<int>(value) : fallback;
}

// A serial Windows would take into an instance ID: printable ASCII without
// blanks, commas or quotes; anything else reads as no serial.
bool usableSerial(const std::string& serial) {
  if (serial.empty() || serial.size() > kMaxUsbSerialLength) return false;
  for (const char c : serial)
    if (c <= ' ' || c > '~' || c == ',' || c == '"' || c == '|') return false;
  return true;
}

// A name as a property holds it: one line, and a name in another encoding
// than UTF-8 keeps its ASCII letters.
std::wstring shown(const std::string& text) {
  const bool utf8 = isValidUtf8(text);
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 ? ' ' : (byte >= 0x80 && !utf8) ? '?' : c;
  }
  return wideFromUtf8(out);
}


// The card's name in the sound servers, as a rule set it: a name they take
// as it stands (letters, digits, '.', '_', '-'), else none.
std::string soundServerName(const Device& card) {
  const auto found = card.props.find("PULSE_NAME");
  if (found == card.props.end() || found->second.empty() || found->second.size() > 64) return {};
  for (const char c : found->second)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
          c == '.' || c == '_' || c == '-'))
      return {};
  return found->second;
}

// A device's names with its sysfs path as its own ID.
DeviceNames namesOf(const std::string& sysPath) {
  DeviceNames names;
  names.id = wideFromUtf8(sysPath);
  return names;
}

bool isBelow(const std::string& path, const std::string& ancestor) {
  return path.size() > ancestor.size() + 1 && path.compare(0, ancestor.size(), ancestor) == 0 &&
         path[ancestor.size()] == '/';
}

// Port order of sysfs names "1-1.2" < "1-1.10": the numbers after the last
// separator compared as numbers. Ports count to 255 at most; a longer run of
// digits sorts as the largest.
std::vector<int> portPath(const std::string& sysName) {
  constexpr int kLargest = 1000000;
  std::vector<int> parts;
  int value = 0;
  bool digits = false;
  for (const char c : sysName) {
    if (c >= '0' && c <= '9') {
      value = std::min(kLargest, value * 10 + (c - '0'));
      digits = true;
    } else {
      if (digits) parts.push_back(value);
      value = 0;
      digits = false;
    }
  }
  if (digits) parts.push_back(value);
  return parts;
}

struct Shaper {
  const Devices& devices;
  std::vector<Node> nodes;
  std::set<std::wstring> usedIds;  // folded, as the configuration manager compares them
  WindowsShape shape;

  bool claimId(const std::string& id) { return usedIds.insert(toAsciiUpper(wideFromUtf8(id))).second; }

  size_t add(Node node, const DeviceNames& names) {
    shape.names[wideFromUtf8(node.id)] = names;
    nodes.push_back(std::move(node));
    return nodes.size() - 1;
  }

  std::vector<const Device*> below(const std::string& path, const char* subsystem,
                                   const char* devType) const {
    std::vector<const Device*> found;
    for (const Device& d : devices)
      if (d.parentPath == path && d.subsystem == subsystem && d.devType == devType)
        found.push_back(&d);
    return found;
  }

  // The nearest USB interface above a device, or null.
  const Device* interfaceAbove(const Device& device) const {
    const Device* best = nullptr;
    for (const Device& d : devices)
      if (d.devType == "usb_interface" && isBelow(device.sysPath, d.sysPath) &&
          (!best || d.sysPath.size() > best->sysPath.size()))
        best = &d;
    return best;
  }

  static std::string byIdLink(const Device& tty) {
    for (const std::string& link : tty.links)
      if (link.rfind("/dev/serial/by-id/", 0) == 0) return link;
    return {};
  }

  static std::vector<std::wstring> allLinks(const Device& tty) {
    std::vector<std::wstring> links;
    for (const std::string& link : tty.links) links.push_back(wideFromUtf8(link));
    return links;
  }

  void addPorts(const Device& usb, const Device& iface, Node& node, const std::string& vid,
                const std::string& pid, DeviceNames& ifaceNames) {
    for (const Device& tty : devices) {
      if (tty.subsystem != "tty" || tty.devNode.empty() || interfaceAbove(tty) != &iface) continue;
      const std::string relative = tty.sysPath.substr(iface.sysPath.size() + 1);
      if (relative.rfind("tty/", 0) == 0) {
        // The interface is the port.
        node.setupClass = memcm::SetupClass::Ports;
        node.friendly = node.desc + " (" + tty.devNode + ")";
        ifaceNames.id = wideFromUtf8(tty.sysPath);
        ifaceNames.link = wideFromUtf8(byIdLink(tty));
        ifaceNames.allLinks = allLinks(tty);
        return;
      }
      const std::string serial = attr(usb, "serial");
      const char channel = static_cast<char>('A' + number(attr(iface, "bInterfaceNumber"), 0) % 26);
      // The FTDI bus driver names the ports of every FTDI chip.
      std::string id = vid == kFtdiFunctionId.vendor
                           ? ftdiPortIdPrefix(vid, pid) +
                                 (usableSerial(serial) ? serial : usb.sysName) + channel + "\\0000"
                           : "USBSERIAL\\VID_" + vid + "&PID_" + pid + "\\" + tty.sysName;
      if (!claimId(id) && !claimId(id = "USBSERIAL\\" + tty.sysName)) continue;
      Node port{id, memcm::SetupClass::Ports, "USB Serial Port", "USB Serial Port (" + tty.devNode + ")", 0, {}};
      DeviceNames names = namesOf(tty.sysPath);
      names.link = wideFromUtf8(byIdLink(tty));
      names.allLinks = allLinks(tty);
      node.children.push_back(add(std::move(port), names));
      return;
    }
  }

  // The render and capture endpoints of the sound cards of `usb`.
  std::vector<size_t> addEndpoints(const Device& usb) {
    std::vector<size_t> endpoints;
    for (const Device& card : devices) {
      if (card.subsystem != "sound" || card.sysName.rfind("card", 0) != 0 ||
          !isBelow(card.sysPath, usb.sysPath))
        continue;
      const std::string description =
          attr(usb, "product").empty() ? attr(card, "id") : attr(usb, "product");
      for (const char direction : {'p', 'c'}) {
        const Device* first = nullptr;
        int firstNumber = 0;
        for (const Device& pcm : devices) {
          if (pcm.subsystem != "sound" || !isBelow(pcm.sysPath, card.sysPath)) continue;
          unsigned cardNo = 0, deviceNo = 0;
          char kind = 0;
          if (std::sscanf(pcm.sysName.c_str(), "pcmC%uD%u%c", &cardNo, &deviceNo, &kind) != 3 ||
              kind != direction)
            continue;
          if (!first || static_cast<int>(deviceNo) < firstNumber) {
            first = &pcm;
            firstNumber = static_cast<int>(deviceNo);
          }
        }
        if (!first) continue;
        const std::string alsa =
            "hw:CARD=" + attr(card, "id") + ",DEV=" + std::to_string(firstNumber);
        const std::string id = std::string(direction == 'p' ? kRenderEndpointPrefix
                                                            : kCaptureEndpointPrefix) +
                               ".{" + first->sysName + "}";
        if (!claimId(id)) continue;
        Node endpoint{
            id, memcm::SetupClass::Other, direction == 'p' ? "Playback" : "Capture", alsa + " (" + description + ")",
            0,  {}};
        DeviceNames names = namesOf(card.sysPath);
        names.alsa = wideFromUtf8(alsa);
        names.description = wideFromUtf8(description);
        names.soundServer = wideFromUtf8(soundServerName(card));
        endpoints.push_back(add(std::move(endpoint), names));
      }
    }
    return endpoints;
  }

  size_t addUsbDevice(const Device& usb) {
    const std::string vid = hex4(attr(usb, "idVendor"));
    const std::string pid = hex4(attr(usb, "idProduct"));
    const std::string prefix = usbFunctionId(vid, pid);
    const std::string serial = attr(usb, "serial");
    std::string id = prefix + "\\" + (usableSerial(serial) ? serial : usb.sysName);
    // A serial may be another device's sysfs name: then a number tells them apart.
    for (int n = 1; !claimId(id); ++n)
      id = prefix + "\\" + usb.sysName + (n == 1 ? "" : "&" + std::to_string(n));
    const std::string product = attr(usb, "product");
    Node node{id, memcm::SetupClass::Usb, product.empty() ? "USB Device" : product, "", 0, {}};
    const size_t self = add(std::move(node), namesOf(usb.sysPath));

    std::vector<const Device*> hubPorts = below(usb.sysPath, "usb", "usb_device");
    std::sort(hubPorts.begin(), hubPorts.end(), [](const Device* a, const Device* b) {
      return portPath(a->sysName) < portPath(b->sysName);
    });
    std::vector<size_t> children;
    for (const Device* child : hubPorts) children.push_back(addUsbDevice(*child));

    std::vector<const Device*> interfaces = below(usb.sysPath, "usb", "usb_interface");
    std::sort(interfaces.begin(), interfaces.end(), [](const Device* a, const Device* b) {
      return number(attr(*a, "bInterfaceNumber"), 0) < number(attr(*b, "bInterfaceNumber"), 0);
    });
    size_t lastAudio = SIZE_MAX;
    for (const Device* iface : interfaces) {
      const int cls = number(attr(*iface, "bInterfaceClass"), -1);
      if (cls == 0x09 || cls == 0x0a) continue;
      const int mi = number(attr(*iface, "bInterfaceNumber"), 0);
      const std::string ifaceId = usbInterfaceId(vid, pid, mi) + "\\" + iface->sysName;
      if (!claimId(ifaceId)) continue;
      const std::string name = attr(*iface, "interface");
      Node ifaceNode{ifaceId,
                     memcm::SetupClass::Other,
                     name.empty() ? (product.empty() ? "USB Interface" : product) : name,
                     "",
                     iface->driver.empty() ? kProblemNoDriver : 0,
                     {}};
      DeviceNames names = namesOf(iface->sysPath);
      addPorts(usb, *iface, ifaceNode, vid, pid, names);
      const size_t at = add(std::move(ifaceNode), names);
      if (cls == 0x01) lastAudio = at;
      children.push_back(at);
    }
    if (lastAudio != SIZE_MAX) {
      const std::vector<size_t> endpoints = addEndpoints(usb);
      nodes[lastAudio].children.insert(nodes[lastAudio].children.end(), endpoints.begin(),
                                       endpoints.end());
    }
    nodes[self].children = children;
    return self;
  }

  // Node `at` and those below it, depth first, as the configuration manager
  // lists them.
  void emit(size_t at, std::optional<size_t> parent, std::vector<memcm::Node>& out,
            std::vector<std::optional<size_t>>& parents) const {
    const Node& node = nodes[at];
    memcm::Node& shaped = out.emplace_back();
    shaped.id = wideFromUtf8(node.id);
    shaped.setupClass = node.setupClass;
    shaped.props[memcm::kDesc] = memcm::textAnswer(shown(node.desc));
    if (!node.friendly.empty()) shaped.props[memcm::kFriendly] = memcm::textAnswer(shown(node.friendly));
    shaped.props[memcm::kProblem] = memcm::numberAnswer(static_cast<uint32_t>(node.problem));
    parents.push_back(parent);
    const size_t self = out.size() - 1;
    for (const size_t child : node.children) emit(child, self, out, parents);
  }
};

}  // namespace

WindowsShape ShapeAsWindows(const Devices& devices) {
  Shaper shaper{devices, {}, {}, {}};
  std::vector<const Device*> roots;
  for (const Device& d : devices) {
    if (d.subsystem != "usb" || d.devType != "usb_device") continue;
    const bool underUsb = std::any_of(devices.begin(), devices.end(), [&](const Device& p) {
      return p.sysPath == d.parentPath && p.devType == "usb_device";
    });
    if (!underUsb) roots.push_back(&d);
  }
  std::sort(roots.begin(), roots.end(), [](const Device* a, const Device* b) {
    return portPath(a->sysName) < portPath(b->sysName);
  });
  std::vector<size_t> top;
  for (const Device* root : roots) top.push_back(shaper.addUsbDevice(*root));
  std::vector<std::optional<size_t>> parents;
  for (const size_t at : top) shaper.emit(at, std::nullopt, shaper.shape.nodes, parents);
  memcm::linkNodes(shaper.shape.nodes, parents);
  return std::move(shaper.shape);
}

bool LoadUdevTree(ReportNames* names, Devices* devices) {
  std::optional<Devices> read = ReadUdevDevices();
  if (!read) return false;
  WindowsShape shape = ShapeAsWindows(*read);
  memcm::putInForce({memcm::Snapshot{0, std::move(shape.nodes)}});
  *names = std::move(shape.names);
  *devices = std::move(*read);
  return true;
}

std::map<std::wstring, std::wstring> UnitLabelsOf(const Devices& devices) {
  std::map<std::wstring, std::wstring> labels;
  for (const Device& device : devices) {
    const auto serial = device.props.find("KQ6200_SERIAL");
    const auto label = device.props.find("KQ6200_LABEL");
    if (serial == device.props.end() || label == device.props.end()) continue;
    const std::wstring wideSerial = wideFromUtf8(serial->second);
    const std::wstring wideLabel = wideFromUtf8(label->second);
    if (isPlainSerial(wideSerial) && isPlainLabel(wideLabel)) labels[wideSerial] = wideLabel;
  }
  return labels;
}

}  // namespace kq::udev
