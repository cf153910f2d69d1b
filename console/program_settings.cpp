#include "console/program_settings.h"

#include <algorithm>
#include <iterator>

#include "base/ascii.h"
#include "base/word_list.h"

namespace kq {
namespace {

// "the unit with S/N 40117", "the unit IC7300 (S/N 40117)"
std::wstring unitName(const ProgramUnit& unit) {
  if (unit.label.empty()) return L"the unit with S/N " + unit.serial;
  return L"the unit " + unit.label + L" (S/N " + unit.serial + L")";
}

// What a unit's program of its own is named by: its label, else its serial.
const std::wstring& instanceName(const ProgramUnit& unit) {
  return unit.label.empty() ? unit.serial : unit.label;
}

// --- WSJT-X ------------------------------------------------------------------
// Configuration.cpp keeps its settings in WSJT-X.ini through QSettings, group
// [Configuration]; the PTT method is a QVariant of its enum, which QSettings
// writes as @Variant(...) with the enum's type and value names.

std::wstring wsjtxPttMethod(ControlLine line) {
  return L"@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1eTransceiverFactory::PTTMethod\\0\\0\\0\\0\\xfPTT_method_" +
         std::wstring(LineName(line)) + L"\\0)";
}

// A value as QSettings writes it into an INI file: a backslash or a quote
// escaped, and the whole quoted when it holds what would end or split it.
std::wstring iniValue(const std::wstring& value) {
  std::wstring out;
  bool quote = !value.empty() && (value.front() == L' ' || value.back() == L' ');
  for (const wchar_t c : value) {
    if (c == L'\\' || c == L'"') out += L'\\';
    if (c == L';' || c == L',' || c == L'=') quote = true;
    out += c;
  }
  return quote ? L"\"" + out + L"\"" : out;
}

// One block a unit, a blank line between two: `block(unit, second)`, where
// `second` says the unit is not the first, whose program runs as another
// instance.
template <typename Block>
std::wstring perUnit(const std::vector<ProgramUnit>& units, Block block) {
  std::wstring out;
  for (size_t i = 0; i < units.size(); ++i) out += (i ? L"\n" : L"") + block(units[i], i > 0);
  return out;
}

// The forms of the programs' settings files, each with its comments.
enum class Form { kIni, kXml, kPrefs };

std::wstring comment(Form form, const std::wstring& text) {
  return form == Form::kXml ? L"<!-- " + text + L" -->\n" : L"; " + text + L"\n";
}

std::wstring xmlText(const std::wstring& value);

// One setting in the file's form; for a value the unit does not give, a
// comment that says why.
void setting(std::wstring& out, Form form, const wchar_t* key, const GivenValue& given) {
  if (given.value.empty()) {
    out += comment(form, std::wstring(key) + L": none: " + given.missing + L".");
    return;
  }
  switch (form) {
    case Form::kIni: out += std::wstring(key) + L"=" + iniValue(given.value) + L"\n"; break;
    case Form::kXml:
      out += L"<" + std::wstring(key) + L">" + xmlText(given.value) + L"</" + key + L">\n";
      break;
    case Form::kPrefs: out += std::wstring(key) + L":" + given.value + L"\n"; break;
  }
}

using Settings = std::vector<std::pair<const wchar_t*, GivenValue>>;

void settings(std::wstring& out, Form form, const Settings& all) {
  for (const auto& [key, given] : all) setting(out, form, key, given);
}

GivenValue given(std::wstring value) { return {std::move(value), {}}; }

std::wstring wsjtx(const std::vector<ProgramUnit>& units, KeyingLines lines,
                   SettingsSystem system) {
  const bool windows = system == SettingsSystem::kWindows;
  return perUnit(units, [&](const ProgramUnit& unit, bool second) {
    std::wstring out;
    if (!second) {
      out += L"; WSJT-X, " + unitName(unit) + L": these keys of the group [Configuration] in\n; " +
             (windows ? L"%LOCALAPPDATA%\\WSJT-X\\WSJT-X.ini" : L"~/.config/WSJT-X.ini") +
             L", written while WSJT-X is closed.\n";
    } else {
      const std::wstring instance = L"WSJT-X - " + instanceName(unit);
      out += L"; WSJT-X, " + unitName(unit) + L": started as " +
             (windows ? L"wsjtx.exe" : L"wsjtx") + L" --rig-name=" + instanceName(unit) +
             L", which keeps\n; its settings apart in " +
             (windows ? L"%LOCALAPPDATA%\\" + instance + L"\\" + instance + L".ini"
                      : L"~/.config/" + instance + L".ini") +
             L", group [Configuration].\n";
    }
    out += L"[Configuration]\n";
    setting(out, Form::kIni, L"CATSerialPort", unit.cat);
    out += L"PTTMethod=" + wsjtxPttMethod(lines.ptt) + L"\n";  // as QSettings writes it
    settings(out, Form::kIni,
             {{L"PTTport", unit.ptt}, {L"SoundInName", unit.audioIn},
              {L"SoundOutName", unit.audioOut}});
    return out;
  });
}

// --- rigctld -----------------------------------------------------------------
// Hamlib's rigctld: -r the CAT port, -p the PTT port, -P the line that keys
// PTT, -t the TCP port (4532 by default), -C the serial port's settings:
// dtr_state and rts_state hold the CAT port's control lines as it opens.

constexpr int kFirstRigctldPort = 4532;

// A word the shell takes as it stands: quoted unless it holds only
// characters no shell reads as anything but themselves.
std::wstring shellWord(const std::wstring& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           std::wstring_view(L"/._-:=+@,").find(c) != std::wstring_view::npos;
  });
  if (plain) return word;
  std::wstring out = L"'";
  for (const wchar_t c : word) out += c == L'\'' ? std::wstring(L"'\\''") : std::wstring(1, c);
  return out + L"'";
}

void missingLine(std::wstring& out, const wchar_t* comment, const wchar_t* what,
                 const GivenValue& given) {
  if (given.value.empty())
    out += std::wstring(comment) + L" " + what + L": none: " + given.missing + L".\n";
}

std::wstring rigctld(const std::vector<ProgramUnit>& units, KeyingLines lines,
                     SettingsSystem system) {
  const bool windows = system == SettingsSystem::kWindows;
  const auto word = [windows](const std::wstring& value) {
    return windows ? value : shellWord(value);
  };
  std::wstring out =
      L"# rigctld, one per unit. MODEL is the radio's Hamlib model number (rigctl -l\n"
      L"# lists them); dtr_state and rts_state keep the CAT port's control lines low\n"
      L"# as it opens.\n";
  for (size_t i = 0; i < units.size(); ++i) {
    const ProgramUnit& unit = units[i];
    const int tcpPort = kFirstRigctldPort + 2 * static_cast<int>(i);
    out += L"\n# " + unitName(unit) + L", on TCP port " + std::to_wstring(tcpPort) + L"\n";
    missingLine(out, L"#", L"CAT port", unit.cat);
    missingLine(out, L"#", L"PTT port", unit.ptt);
    if (unit.cat.value.empty()) continue;
    out += std::wstring(windows ? L"rigctld.exe" : L"rigctld") + L" -m MODEL -r " + word(unit.cat.value);
    if (!unit.ptt.value.empty())
      out += L" -p " + word(unit.ptt.value) + L" -P " + std::wstring(LineName(lines.ptt));
    out += L" -t " + std::to_wstring(tcpPort) + L" -C dtr_state=OFF,rts_state=OFF\n";
  }
  return out;
}

// --- Direwolf ----------------------------------------------------------------
// direwolf.conf: ADEVICEn names sound card n (input, then output), whose
// channels are 2n and 2n + 1, ACHANNELS the channels of the card before it,
// CHANNEL the channel the lines after it are for, PTT the port and the line
// that keys it. On Windows a card is named by a part of its name, which
// Windows gives Direwolf cut to 31 characters; a name with blanks is quoted.

constexpr size_t kDirewolfCards = 3;
constexpr size_t kWaveNameLength = 31;

std::optional<std::wstring> direwolfWord(const std::wstring& value, bool windows) {
  if (value.find(L'"') != std::wstring::npos) return std::nullopt;
  const std::wstring word = windows ? value.substr(0, kWaveNameLength) : value;
  return word.find(L' ') == std::wstring::npos ? word : L"\"" + word + L"\"";
}

std::wstring direwolf(const std::vector<ProgramUnit>& units, KeyingLines lines,
                      SettingsSystem system) {
  const bool windows = system == SettingsSystem::kWindows;
  std::wstring cards, channels, notes;
  size_t card = 0;
  for (const ProgramUnit& unit : units) {
    // On Windows the endpoints by name, input and output; on Linux the card.
    const GivenValue& first = windows ? unit.audioIn : unit.alsa;
    const GivenValue* lacking = first.value.empty() ? &first
                                : windows && unit.audioOut.value.empty() ? &unit.audioOut
                                                                         : nullptr;
    if (lacking) {
      notes += L"# " + unitName(unit) + L": no sound card: " + lacking->missing + L".\n";
      continue;
    }
    const std::optional<std::wstring> in = direwolfWord(first.value, windows);
    const std::optional<std::wstring> out =
        windows ? direwolfWord(unit.audioOut.value, true) : std::optional<std::wstring>(L"");
    if (!in || !out) {
      notes += L"# " + unitName(unit) + L": its sound card's name holds a quote, which "
               L"Direwolf cannot read.\n";
      continue;
    }
    if (card == kDirewolfCards) {
      notes += L"# " + unitName(unit) + L": Direwolf takes at most three sound cards.\n";
      continue;
    }
    const std::wstring number = std::to_wstring(card);
    cards += L"# " + unitName(unit) + L": sound card " + number + L", channel " +
             std::to_wstring(2 * card) + L"\n";
    cards += L"ADEVICE" + number + L" " + *in + (out->empty() ? L"" : L" " + *out) +
             L"\nACHANNELS 1\n";
    channels += L"CHANNEL " + std::to_wstring(2 * card) + L"\n";
    missingLine(channels, L"#", L"PTT port", unit.ptt);
    if (const auto port = unit.ptt.value.empty() ? std::nullopt : direwolfWord(unit.ptt.value, false))
      channels += L"PTT " + *port + L" " + std::wstring(LineName(lines.ptt)) + L"\n";
    ++card;
  }
  return L"# Direwolf: these lines of direwolf.conf; MYCALL, MODEM and the rest of each\n"
         L"# channel's settings are yours.\n" +
         notes + cards + channels;
}

// --- fldigi and flrig --------------------------------------------------------
// Both key CW by a line of a port they share with PTT, and FSK by a line of
// a port of its own, which one a setting of theirs says; which line the
// unit's FSK port keys by is the unit's, so that setting is left to the user.

// fldigi's ELEM_ values for a line (configuration.h: 1 RTS, 2 DTR).
std::wstring lineNumber(ControlLine line) { return line == ControlLine::kRts ? L"1" : L"2"; }

// A value as XML text.
std::wstring xmlText(const std::wstring& value) {
  std::wstring out;
  for (const wchar_t c : value) {
    switch (c) {
      case L'&': out += L"&amp;"; break;
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'"': out += L"&quot;"; break;
      case L'\'': out += L"&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

// "1" for the line that is `line`, else "0".
GivenValue flag(bool on) { return given(on ? L"1" : L"0"); }

// The heading of a unit's block: which file, and for a second radio's
// program the folder of its own it runs with.
std::wstring heading(const wchar_t* program, const ProgramUnit& unit, const std::wstring& file,
                     bool second) {
  return std::wstring(program) + L", " + unitName(unit) + L": these settings of " + file +
         L", written while " + program + L" is closed" +
         (second ? L"; " + std::wstring(program) +
                       L" for a second radio runs with --config-dir and a folder of its own"
                 : L"") +
         L".";
}

std::wstring fldigi(const std::vector<ProgramUnit>& units, KeyingLines lines,
                    SettingsSystem system) {
  const std::wstring folder =
      system == SettingsSystem::kWindows ? L"%USERPROFILE%\\fldigi.files\\" : L"~/.fldigi/";
  return perUnit(units, [&](const ProgramUnit& unit, bool second) {
    std::wstring out =
        comment(Form::kXml, heading(L"fldigi", unit, folder + L"fldigi_def.xml", second));
    settings(out, Form::kXml,
             {{L"HAMRIGDEVICE", unit.cat}, {L"XMLRIGDEVICE", unit.cat}, {L"TTYPTT", flag(true)},
              {L"PTTDEV", unit.ptt}, {L"RTSPTT", flag(lines.ptt == ControlLine::kRts)},
              {L"DTRPTT", flag(lines.ptt == ControlLine::kDtr)},
              {L"CW_KEYLINE_SERIAL_PORT_NAME", unit.ptt}, {L"CW_KEYLINE_on_ptt_port", flag(true)},
              {L"CWKEYLINE", given(lineNumber(lines.cw))}, {L"FSK_PORT", unit.fsk}});
    out += comment(Form::kXml, L"FSK_ON_DTR: 1 when the unit's FSK port keys by DTR, 0 by RTS.");
    out += comment(Form::kXml, L"and in " + folder + L"fldigi.prefs:");
    setting(out, Form::kPrefs, L"WK_serial_port_name", unit.winkey);
    return out;
  });
}

std::wstring flrig(const std::vector<ProgramUnit>& units, KeyingLines lines,
                   SettingsSystem system) {
  const std::wstring folder =
      system == SettingsSystem::kWindows ? L"%USERPROFILE%\\flrig.files\\" : L"~/.flrig/";
  return perUnit(units, [&](const ProgramUnit& unit, bool second) {
    std::wstring out = comment(
        Form::kPrefs,
        heading(L"flrig", unit, L"[.] in " + folder + L"<radio>.prefs (TS-2000.prefs for a TS-2000)",
                second));
    // CW keyed by a line of the separate PTT port: cwioSHARED 3.
    settings(out, Form::kPrefs,
             {{L"xcvr_serial_port", unit.cat}, {L"sep_serial_port", unit.ptt},
              {L"sep_rtsptt", flag(lines.ptt == ControlLine::kRts)},
              {L"sep_dtrptt", flag(lines.ptt == ControlLine::kDtr)}, {L"cwioSHARED", given(L"3")},
              {L"cwioKEYLINE", given(lineNumber(lines.cw))}, {L"FSK_PORT", unit.fsk}});
    out += comment(Form::kPrefs, L"FSK_KEYLINE: 2 when the unit's FSK port keys by DTR, 1 by RTS.");
    return out;
  });
}

}  // namespace

std::optional<Program> FindProgram(std::wstring_view word) {
  for (const ProgramInfo& info : kPrograms)
    if (equalsIgnoringAsciiCase(info.name, word)) return info.program;
  return std::nullopt;
}

std::wstring ProgramWords() {
  std::vector<std::wstring> words;
  for (const ProgramInfo& info : kPrograms) words.emplace_back(info.name);
  return WordList(words);
}

std::wstring ProgramSettings(Program program, const std::vector<ProgramUnit>& units,
                             KeyingLines lines, SettingsSystem system) {
  switch (program) {
    case Program::kWsjtx: return wsjtx(units, lines, system);
    case Program::kRigctld: return rigctld(units, lines, system);
    case Program::kDirewolf: return direwolf(units, lines, system);
    case Program::kFldigi: return fldigi(units, lines, system);
    case Program::kFlrig: return flrig(units, lines, system);
  }
  return {};
}

}  // namespace kq
