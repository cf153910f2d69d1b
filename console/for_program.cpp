#include "console/for_program.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/one_line.h"
#include "console/named_items.h"
#include "units/device_unit.h"
#include "units/status_help.h"

namespace kq {
namespace {

// Until the udev rules name a unit's card, the sound servers name it after
// the codec's USB strings, the same for two units, and add ".2" to the one
// plugged in second: a stored name then finds the other radio.
constexpr wchar_t kUnnamedCard[] =
    L"the sound servers name this codec by plug order until the udev rules name it: "
    L"install them (kqports --udev-rules) and plug the unit in again";
// So does ALSA, by the card ids CODEC, CODEC_1 and on, in the order the
// codecs came; the rules give the card the id KQ<serial>.
constexpr wchar_t kUnnamedAlsaCard[] =
    L"ALSA names this codec by plug order (CODEC, CODEC_1, ...), so that the names of two "
    L"units swap, until the udev rules name it: install them (kqports --udev-rules) and plug "
    L"the unit in again";

// The text without the blanks around it.
std::wstring trimmed(std::wstring_view text) {
  const size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring_view::npos) return {};
  return std::wstring(text.substr(first, text.find_last_not_of(L' ') - first + 1));
}

std::wstring labelOf(Role role) { return trimmed(roleInfo(role).label); }

// Why a unit gives no name for a role, and what to do.
std::wstring whyNot(const UnitItems& unit, Role role, HelpSystem system) {
  const RoleInfo& info = roleInfo(role);
  const std::wstring what = L"its " + labelOf(role);
  if (const int code = WalkCode(unit, info.walk))
    if (const StatusHelp* help = FindStatusHelp(info.walk, code))
      return what + L" is not in order (" + trimmed(ErrorLine(info.walk, code)) + L": " +
             PlainText(help->meaning) + L"); " + PlainText(RemedyFor(*help, system));
  for (const ReportItem& item : unit.items)
    if (item.kind == LineKind::kNoDrivers && info.walk == item.walk)
      return what + L" is not listed without the maker's WinKey and FSK drivers";
  return what + L" has no name in order; kqports --serial " + OneLine(unit.serial) +
         L" says why";
}

// "COM9": COM and one to three digits.
bool isComPortName(std::wstring_view name) {
  if (name.size() < 4 || name.size() > 6 || name.substr(0, 3) != L"COM") return false;
  return std::all_of(name.begin() + 3, name.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// `attached`: the serials of every unit attached that may name settings.
ProgramUnit programUnit(const ConsoleReport& report, const UnitItems& unit, bool onLinux,
                        const std::vector<std::wstring>& attached) {
  const HelpSystem system = onLinux ? HelpSystem::kLinux : HelpSystem::kWindows;
  const ReportNames* names = namesIn(report);
  const std::wstring label = LabelOf(report, unit.serial);
  const auto given = [&](Role role) -> GivenValue {
    const auto name = RoleName(unit, role, names, false, label);
    if (!name) return {{}, whyNot(unit, role, system)};
    // A Windows port's name comes from its device's friendly name, which the
    // device may have chosen: only a COM port's name goes into a command.
    if (!onLinux && roleInfo(role).kind == RoleKind::kPort && !isComPortName(*name))
      return {{}, L"its " + labelOf(role) + L"'s name \"" + *name + L"\" is no COM port's name"};
    return {*name, {}};
  };
  ProgramUnit out{OneLine(unit.serial), label,
                  given(Role::kCat),     given(Role::kPtt),
                  given(Role::kFsk),     given(Role::kWinkey),
                  given(Role::kAudioIn), given(Role::kAudioOut),
                  {},                    NumberOf(OneLine(unit.serial), attached)};
  if (!onLinux) return out;
  // On Linux RoleName gives the ALSA name; the programs that speak to a
  // sound server want its source and sink, and Direwolf ALSA's converting name.
  for (auto [role, audio] : {std::pair{Role::kAudioIn, &out.audioIn},
                             std::pair{Role::kAudioOut, &out.audioOut}}) {
    if (audio->value.empty()) continue;
    const DeviceNames* own = namesOf(names, RoleItem(unit, role)->id);
    const std::wstring server = own ? SoundServerName(*own, role) : std::wstring();
    *audio = server.empty() ? GivenValue{{}, kUnnamedCard} : GivenValue{server, {}};
  }
  const GivenValue alsa = given(Role::kAudioIn);
  const std::wstring plug = plugName(alsa.value);
  out.alsa = plug.empty() ? alsa : GivenValue{plug, {}};
  // The rules that give the card its id give it its sound-server names.
  if (!out.alsa.value.empty()) {
    const DeviceNames* own = namesOf(names, RoleItem(unit, Role::kAudioIn)->id);
    if (!own || own->soundServer.empty()) out.alsa = {{}, kUnnamedAlsaCard};
  }
  return out;
}

}  // namespace

RoleAnswer AnswerFor(const ConsoleReport& report, const ConsoleOptions& options) {
  const std::vector<UnitItems> units = ReportUnits(report.report);
  if (units.empty() || !options.program) return NoUnitAnswer(report, options);
  const bool onLinux = options.platform == ConsolePlatform::kLinux;
  // A unit's numbers are counted among every unit attached, not only those
  // asked for: the same unit asked for alone or among others gets the same.
  std::vector<std::wstring> attached;
  for (const std::wstring& serial : report.attached)
    if (isPlainSerial(serial)) attached.push_back(serial);
  std::vector<ProgramUnit> given;
  for (const UnitItems& unit : units) given.push_back(programUnit(report, unit, onLinux, attached));
  return {ProgramSettings(*options.program, given, options.keying,
                          onLinux ? SettingsSystem::kLinux : SettingsSystem::kWindows),
          {}, kExitOk};
}

}  // namespace kq
