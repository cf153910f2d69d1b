#include "units/unit_shape.h"

#include <cstdio>

#include "base/ascii.h"

namespace kq {
namespace {

// The MCU is two CDC-ACM functions: a communication and a data interface
// each, the WinKey port on interface 0 and the FSK port on interface 2.
constexpr UsbInterfaceShape kMcuInterfaces[] = {
    {0, "02", "cdc_acm", "KQ-6200 WinKey", nullptr},
    {1, "0a", "cdc_acm", nullptr, nullptr},
    {2, "02", "cdc_acm", "KQ-6200 FSK", nullptr},
    {3, "0a", "cdc_acm", nullptr, nullptr},
};
constexpr UsbInterfaceShape kFtdiInterfaces[] = {
    {0, "ff", "ftdi_sio", "USB Serial Converter A", nullptr},
    {1, "ff", "ftdi_sio", "USB Serial Converter B", nullptr},
};
constexpr UsbInterfaceShape kCodecInterfaces[] = {
    {kAudioControlInterface, "01", "snd-usb-audio", "USB Audio Device", nullptr},
    {1, "ff", "", "KQ-6200 Reserved Interface", nullptr},
    {kAudioEndpointInterface, "01", "snd-usb-audio", "USB Audio Device", "USB Audio CODEC"},
};
constexpr UsbInterfaceShape kHubInterfaces[] = {{0, "09", "hub", nullptr, nullptr}};

constexpr char kComposite[] = "USB Composite Device";

bool sameFunction(const UsbFunctionId& a, const UsbFunctionId& b) {
  return std::string_view(a.vendor) == b.vendor && std::string_view(a.product) == b.product;
}

std::string instancePart(const std::string& interfaces, int number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(number) & 0xFFFFu);
  return interfaces + digits;
}

// The function with its interfaces; each port interface is the port, or
// holds the port of the bus driver, which names each channel by a letter
// from A, after its interface, behind `busPorts`.
WindowsNode withInterfaces(const UsbDeviceShape& device, WindowsNode function, const WindowsUnitChoice& unit,
                           const std::string& interfaces, const char* setupClass,
                           const std::string& busPorts = {}) {
  for (size_t i = 0; i < device.interfaceCount; ++i) {
    const UsbInterfaceShape& shape = device.interfaces[i];
    if (!shape.windowsDesc) continue;
    WindowsNode node{usbInterfaceId(device.id.vendor, device.id.product, shape.number) + "\\" +
                         instancePart(interfaces, shape.number),
                     shape.windowsDesc, std::nullopt, setupClass, false, {}};
    if (shape.windowsFriendly) node.friendly = shape.windowsFriendly;
    if (const auto role = portRoleOn(device, shape.number)) {
      const std::string com = " (COM" + std::to_string(unit.comPorts[static_cast<size_t>(*role)]) + ")";
      if (device.busPortDesc)
        node.children.push_back(WindowsNode{busPorts + static_cast<char>('A' + shape.number) + "\\0000",
                                            device.busPortDesc,
                                            device.busPortDesc + com, "ports", false, {}});
      else
        node = WindowsNode{node.id, shape.windowsDesc, shape.windowsDesc + com, "ports", false, {}};
    }
    if (shape.number == kAudioEndpointInterface && sameFunction(device.id, kAudioFunctionId))
      for (const WindowsUnitChoice::Endpoint& endpoint : unit.endpoints)
        node.children.push_back(windowsEndpoint(endpoint.capture, endpoint.guid, *node.friendly));
    function.children.push_back(std::move(node));
  }
  return function;
}

}  // namespace

const UsbDeviceShape kMcuShape{kMcuFunctionId, "KQ-6200", kComposite, nullptr, kMcuInterfaces,
                               std::size(kMcuInterfaces)};
const UsbDeviceShape kFtdiShape{kFtdiFunctionId, "Dual RS232-HS", kComposite, "USB Serial Port",
                                kFtdiInterfaces, std::size(kFtdiInterfaces)};
const UsbDeviceShape kCodecShape{kAudioFunctionId, "USB Audio CODEC", kComposite, nullptr, kCodecInterfaces,
                                 std::size(kCodecInterfaces)};
const UsbDeviceShape kHubShape{{"05E3", "0608"}, "USB2.0 Hub", "Generic USB Hub", nullptr, kHubInterfaces,
                               std::size(kHubInterfaces)};
const UsbDeviceShape kMouseShape{{"046D", "C077"}, "USB Optical Mouse", "USB Input Device", nullptr, nullptr, 0};

std::optional<Role> portRoleOn(const UsbDeviceShape& device, int interfaceNumber) {
  for (const RoleInfo& info : kRoles)
    if (info.kind == RoleKind::kPort && info.interfaceNumber == interfaceNumber &&
        sameFunction(info.function, device.id))
      return info.role;
  return std::nullopt;
}

bool carriesSoundCard(const UsbDeviceShape& device, int interfaceNumber) {
  return interfaceNumber == kAudioControlInterface && sameFunction(device.id, kAudioFunctionId);
}

std::string linuxUsbId(std::string_view windowsId) { return toAsciiLower(windowsId); }

WindowsNode windowsFunction(const UsbDeviceShape& device, std::string_view instance) {
  return WindowsNode{usbFunctionId(device.id.vendor, device.id.product) + "\\" + std::string(instance),
                     device.windowsDesc, std::nullopt, nullptr, false, {}};
}

WindowsNode windowsEndpoint(bool capture, const std::string& guid, const std::string& deviceName) {
  const std::string what = capture ? "Microphone" : "Speakers";
  return WindowsNode{std::string(capture ? kCaptureEndpointPrefix : kRenderEndpointPrefix) + ".{" + guid + "}",
                     what, what + " (" + deviceName + ")", nullptr, false, {}};
}

std::vector<WindowsNode> windowsUnitFunctions(const WindowsUnitChoice& unit) {
  WindowsNode mcu = windowsFunction(kMcuShape, unit.mcuSerial);
  if (unit.mcuLowerCase) mcu.id = toAsciiLower(usbFunctionId(kMcuShape.id.vendor, kMcuShape.id.product)) + "\\" + unit.mcuSerial;
  std::vector<WindowsNode> functions;
  functions.push_back(withInterfaces(kMcuShape, std::move(mcu), unit, unit.mcuInterfaces, nullptr));
  functions.push_back(withInterfaces(kFtdiShape, windowsFunction(kFtdiShape, unit.ftdiSerial), unit,
                                     unit.ftdiInterfaces, nullptr,
                                     ftdiPortIdPrefix(kFtdiShape.id.vendor, kFtdiShape.id.product) + unit.ftdiSerial));
  functions.push_back(withInterfaces(kCodecShape, windowsFunction(kCodecShape, unit.codecInstance), unit,
                                     unit.codecInterfaces, unit.codecInterfaceClass));
  return functions;
}

}  // namespace kq
