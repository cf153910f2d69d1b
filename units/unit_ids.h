// The USB functions a unit is made of, in one place for every system that
// looks for them: the walk over Windows instance IDs, and on Linux the
// translation of udev's devices and the udev rules. Each role's interface is
// in the roles' table (roles.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kq {

// Vendor and product IDs as Windows writes them in instance IDs: four
// hexadecimal digits in capitals (sysfs and udev write them in lower case).
struct UsbFunctionId {
  const char* vendor;
  const char* product;
};

inline constexpr UsbFunctionId kMcuFunctionId{"0483", "A1DF"};
inline constexpr UsbFunctionId kFtdiFunctionId{"0403", "6010"};
inline constexpr UsbFunctionId kAudioFunctionId{"10C4", "EAC3"};

// How every unit's MCU serial begins; the unit's own serial is its last
// kSerialLength characters.
inline constexpr char kMcuSerialPrefix[] = "2051";
inline constexpr size_t kSerialLength = 5;
// The longest USB serial a device's instance ID carries; a device with a
// longer one gets an ID from its place instead, so no unit is made of it.
inline constexpr size_t kMaxUsbSerialLength = 126;

// The codec's audio-control interface, first below its function, and the
// streaming interface that carries the endpoints.
inline constexpr int kAudioControlInterface = 0;
inline constexpr int kAudioEndpointInterface = 2;

// How Windows starts the instance IDs the walk follows (ASCII):
// "USB\VID_vvvv&PID_pppp" for a USB function, "USB\VID_vvvv&PID_pppp&MI_nn"
// for one of its interfaces (nn in hexadecimal), "FTDIBUS\VID_vvvv+PID_pppp+"
// for a port of the FTDI bus driver (the serial and channel letter follow);
// each is followed by "\" and the instance's own part.
std::string usbFunctionId(std::string_view vendor, std::string_view product);
std::string usbInterfaceId(std::string_view vendor, std::string_view product, int interfaceNumber);
std::string ftdiPortIdPrefix(std::string_view vendor, std::string_view product);
inline constexpr char kRenderEndpointPrefix[] = "SWD\\MMDEVAPI\\{0.0.0.00000000}";
inline constexpr char kCaptureEndpointPrefix[] = "SWD\\MMDEVAPI\\{0.0.1.00000000}";

}  // namespace kq
