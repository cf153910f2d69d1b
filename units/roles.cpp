#include "units/roles.h"

#include <vector>

#include "base/utf8.h"
#include "base/word_list.h"

namespace kq {

std::optional<Role> findRole(std::wstring_view name) {
  for (const RoleInfo& info : kRoles)
    if (info.name == name) return info.role;
  return std::nullopt;
}

const std::optional<std::wstring>& roleText(const DeviceNode& node, Role role) {
  return roleInfo(role).kind == RoleKind::kPort ? node.portName : node.friendlyName;
}

std::wstring LinkPath(std::wstring_view unit, std::wstring_view link) {
  return L"/dev/" + wideFromUtf8(kLinkFolder) + L"/" + std::wstring(unit) + L"/" + std::wstring(link);
}

std::wstring RoleWords(RoleKind kind, std::wstring_view last) {
  std::vector<std::wstring> words;
  for (const RoleInfo& info : kRoles)
    if (info.kind == kind) words.emplace_back(info.name);
  return WordList(words, last);
}

std::wstring LinkNames() {
  std::vector<std::wstring> names;
  for (const RoleInfo& info : kRoles)
    if (info.linkName) names.push_back(wideFromUtf8(info.linkName));
  return WordList(names, L" and ");
}

}  // namespace kq
