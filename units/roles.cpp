#include "units/roles.h"

namespace kq {

std::optional<Role> findRole(std::wstring_view name) {
  for (const RoleInfo& info : kRoles)
    if (info.name == name) return info.role;
  return std::nullopt;
}

const std::optional<std::wstring>& roleText(const DeviceNode& node, Role role) {
  return roleInfo(role).kind == RoleKind::kPort ? node.portName : node.friendlyName;
}

}  // namespace kq
