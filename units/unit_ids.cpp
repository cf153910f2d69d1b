#include "units/unit_ids.h"

#include <cstdio>

namespace kq {

std::string usbFunctionId(std::string_view vendor, std::string_view product) {
  return "USB\\VID_" + std::string(vendor) + "&PID_" + std::string(product);
}

std::string usbInterfaceId(std::string_view vendor, std::string_view product, int interfaceNumber) {
  char mi[8];
  std::snprintf(mi, sizeof mi, "&MI_%02X", static_cast<unsigned>(interfaceNumber) & 0xFFu);
  return usbFunctionId(vendor, product) + mi;
}

std::string ftdiPortIdPrefix(std::string_view vendor, std::string_view product) {
  return "FTDIBUS\\VID_" + std::string(vendor) + "+PID_" + std::string(product) + "+";
}

}  // namespace kq
