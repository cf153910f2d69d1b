// What the text and the JSON both make of a report's items: each device's
// names as the system gives them, and each item with the value it shows.
// For the formatters of console/ alone.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "console/render.h"
#include "units/roles.h"

namespace kq {

inline const DeviceNames* namesOf(const ReportNames* names, const std::wstring& id) {
  if (!names) return nullptr;
  const auto found = names->find(id);
  return found == names->end() ? nullptr : &found->second;
}

// "plughw:CARD=CODEC,DEV=0" beside "hw:CARD=CODEC,DEV=0"; empty for a name
// of another kind.
inline std::wstring plugName(const std::wstring& alsa) {
  return startsWith(alsa, L"hw:") ? L"plug" + alsa : std::wstring();
}

// Whether udev made `link` to the device's node.
inline bool hasLink(const DeviceNames& names, const std::wstring& link) {
  return !link.empty() &&
         std::find(names.allLinks.begin(), names.allLinks.end(), link) != names.allLinks.end();
}

// The link the packaged rules give a port of a unit:
// /dev/<kLinkFolder>/<serial>/<linkName>.
inline std::wstring stableNameOf(std::wstring_view serial, Role role) {
  const char* link = roleInfo(role).linkName;
  if (!link) return {};
  return LinkPath(serial, wideFromUtf8(link));
}

inline const ReportNames* namesIn(const ConsoleReport& report) {
  return report.names ? &*report.names : nullptr;
}

// A value with what the system names its device besides: after a port's
// name its links (the rules' link of its own unit and role, when udev made
// it, and its link by ID); an audio endpoint as its ALSA name, the plughw
// name beside it, and its card. `serial` is the unit's whose line it is.
inline std::wstring namedValue(const ReportItem& item, const DeviceNames* own,
                               std::wstring_view serial) {
  if (!own || item.kind != LineKind::kRole) return item.value;
  if (roleInfo(item.role).kind == RoleKind::kAudio) {
    if (own->alsa.empty()) return item.value;
    const std::wstring plug = plugName(own->alsa);
    const std::wstring server = SoundServerName(*own, item.role);
    return own->alsa + (plug.empty() ? L"" : L" or " + plug) + L" (" + own->description +
           (server.empty() ? L"" : L", " + server) + L")";
  }
  std::vector<std::wstring> links;
  const std::wstring stable = stableNameOf(serial, item.role);
  if (hasLink(*own, stable)) links.push_back(stable);
  if (!own->link.empty()) links.push_back(own->link);
  std::wstring value = item.value;
  for (size_t i = 0; i < links.size(); ++i)
    value += (i ? L", " : L" (") + links[i] + (i + 1 == links.size() ? L")" : L"");
  return value;
}

// Each item of the report with its names, and the serial of the unit it
// belongs to, for the text and the JSON.
template <typename Visit>
void forEachNamed(const ConsoleReport& report, Visit visit) {
  std::wstring serial;
  for (const ReportItem& item : report.report) {
    if (item.kind == LineKind::kHeader) {
      serial = item.value;
      // A labelled unit's header: "Quorvanta KQ6200 S/N 40117 (IC7300)".
      if (const std::wstring label = LabelOf(report, serial); !label.empty()) {
        ReportItem labelled = item;
        labelled.value += L" (" + label + L")";
        visit(labelled, nullptr, labelled.value);
        continue;
      }
    }
    const DeviceNames* own = item.id.empty() ? nullptr : namesOf(namesIn(report), item.id);
    visit(item, own, namedValue(item, own, serial));
  }
}

}  // namespace kq
