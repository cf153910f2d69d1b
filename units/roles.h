// The six roles of a unit, in one table that the walk, the report, the JSON,
// --role and the udev rules all read: a CAT, PTT/CW, FSK and WinKey port and
// the codec's input and output.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "units/device_unit.h"
#include "units/unit_ids.h"
#include "units/walks.h"

namespace kq {

// In the report's order, which is also the JSON's.
enum class Role { kCat, kPtt, kFsk, kWinkey, kAudioIn, kAudioOut };

enum class RoleKind { kPort, kAudio };

struct RoleInfo {
  Role role;
  std::wstring_view name;   // the JSON member and the --role word
  const char* linkName;     // a port's link of the rules, /dev/<kLinkFolder>/<serial>/<linkName>
  std::wstring_view label;  // the report line's label, up to its TAB
  Walk walk;                // the walk that finds it
  RoleKind kind;
  UsbFunctionId function;
  int interfaceNumber;      // the USB interface (MI_nn) a port is, or the endpoints are below
  // Where the walk keeps the role's node. Without split audio it keeps the
  // codec's interface as the output's node.
  std::optional<DeviceNode> DeviceUnit::*node;
};

inline constexpr RoleInfo kRoles[] = {
    {Role::kCat, L"cat", "cat", L"CAT Port ", Walk::kFtdi, RoleKind::kPort, kFtdiFunctionId, 0,
     &DeviceUnit::catNode},
    {Role::kPtt, L"ptt", "ptt", L"PTT/CW Port ", Walk::kFtdi, RoleKind::kPort, kFtdiFunctionId, 1,
     &DeviceUnit::pttNode},
    {Role::kFsk, L"fsk", "fsk", L"FSK Port ", Walk::kMcu, RoleKind::kPort, kMcuFunctionId, 2,
     &DeviceUnit::fskNode},
    {Role::kWinkey, L"winkey", "winkey", L"WinKey Port ", Walk::kMcu, RoleKind::kPort,
     kMcuFunctionId, 0, &DeviceUnit::winkeyNode},
    {Role::kAudioIn, L"audioIn", nullptr, L"Audio Input ", Walk::kAudio, RoleKind::kAudio,
     kAudioFunctionId, kAudioEndpointInterface, &DeviceUnit::audioInNode},
    {Role::kAudioOut, L"audioOut", nullptr, L"Audio Output", Walk::kAudio, RoleKind::kAudio,
     kAudioFunctionId, kAudioEndpointInterface, &DeviceUnit::audioOutNode},
};

constexpr const RoleInfo& roleInfo(Role role) { return kRoles[static_cast<int>(role)]; }

// The folder below /dev that holds the rules' links of a unit's ports:
// /dev/kq6200/<serial>/<linkName>, which udev makes and kqports shows.
inline constexpr char kLinkFolder[] = "kq6200";

// A link of the rules, the unit named by its serial or label:
// "/dev/kq6200/40117/cat".
std::wstring LinkPath(std::wstring_view unit, std::wstring_view link);

// The roles of one kind by their --role words, as a sentence lists them:
// "cat, ptt, fsk or winkey".
std::wstring RoleWords(RoleKind kind, std::wstring_view last = L" or ");

// The ports' link names as a sentence lists them: "cat, ptt, fsk and winkey".
std::wstring LinkNames();

// The role of a --role word or JSON member; none for another word.
std::optional<Role> findRole(std::wstring_view name);

// A port's name or an endpoint's friendly name, when the node has one.
const std::optional<std::wstring>& roleText(const DeviceNode& node, Role role);

}  // namespace kq
