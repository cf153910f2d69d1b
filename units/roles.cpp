#include "units/roles.h"

namespace kq {

std::optional<Role> findRole(std::wstring_view name) {
  for (const RoleInfo& info : kRoles)
    if (info.name == name) return info.role;
  return std::nullopt;
}

const std::optional<DeviceNode>& roleNode(const DeviceUnit& unit, Role role) {
  switch (role) {
    case Role::kCat: return unit.catNode;
    case Role::kPtt: return unit.pttNode;
    case Role::kFsk: return unit.fskNode;
    case Role::kWinkey: return unit.winkeyNode;
    case Role::kAudioIn: return unit.splitAudio ? unit.audioInNode : unit.audioOutNode;
    case Role::kAudioOut: break;
  }
  return unit.audioOutNode;
}

bool roleInOrder(const DeviceUnit& unit, Role role) {
  const Walk walk = roleInfo(role).walk;
  if (walkStatus(unit, walk) != kStatusComplete || (walk == Walk::kMcu && !unit.mcuDriversPresent)) return false;
  const std::optional<DeviceNode>& node = roleNode(unit, role);
  return node && node->found();
}

const std::optional<std::wstring>& roleText(const DeviceNode& node, Role role) {
  return roleInfo(role).kind == RoleKind::kPort ? node.portName : node.friendlyName;
}

}  // namespace kq
