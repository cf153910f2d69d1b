#include "console/program_settings.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "base/ascii.h"
#include "base/word_list.h"
#include "base/wrapped.h"
#include "units/device_unit.h"

namespace kq {
namespace {

// The width of a terminal, which each line fits but a setting or a command
// longer by itself.
constexpr size_t kWidth = 80;

// Stands for a space inside a path or a command, so that wrapping keeps it
// on one line; a space again once wrapped.
constexpr wchar_t kKeptSpace = L'\u00A0';

std::wstring whole(std::wstring text) {
  std::replace(text.begin(), text.end(), L' ', kKeptSpace);
  return text;
}

// The unit's label where it is one a name may carry (the command line and
// udev take no other), else none.
std::wstring labelOf(const ProgramUnit& unit) {
  return isPlainLabel(unit.label) ? unit.label : std::wstring();
}

// "the unit with S/N 40117", "the unit IC7300 (S/N 40117)"
std::wstring unitName(const ProgramUnit& unit) {
  if (labelOf(unit).empty()) return L"the unit with S/N " + unit.serial;
  return L"the unit " + labelOf(unit) + L" (S/N " + unit.serial + L")";
}

// What the unit's own program, folder and file are named by: its label,
// else its serial; either is letters, digits, '-' and '_' alone, which no
// shell or file system reads as anything but themselves.
std::wstring instanceName(const ProgramUnit& unit) {
  return labelOf(unit).empty() ? unit.serial : labelOf(unit);
}

// The forms of the programs' settings files and lines, each with its
// comments: WSJT-X's INI file and flrig's prefs (";"), fldigi's XML, and
// Direwolf's file and the shell ("#").
enum class Form { kIni, kXml, kPrefs, kHash };

// `text` as a comment of the form, in lines of at most kWidth columns.
std::wstring comment(Form form, const std::wstring& text) {
  std::wstring out;
  if (form == Form::kXml) {
    // "<!-- " takes the place of the first line's indent; " -->" ends the last.
    out = Wrapped(text, L"     ", kWidth - 4);
    out.replace(0, 5, L"<!-- ");
    out.insert(out.size() - 1, L" -->");
  } else {
    out = Wrapped(text, form == Form::kHash ? L"# " : L"; ", kWidth);
  }
  std::replace(out.begin(), out.end(), kKeptSpace, L' ');
  return out;
}

// --- WSJT-X ------------------------------------------------------------------
// Configuration.cpp keeps its settings in WSJT-X.ini through QSettings, group
// [Configuration]; the PTT method is a QVariant of its enum, which QSettings
// writes as @Variant(...) with the enum's type and value names. Started with
// --rig-name=NAME, WSJT-X is "WSJT-X - NAME" and keeps its settings in that
// name's file.

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

// One block a unit, a blank line between two.
template <typename Block>
std::wstring perUnit(const std::vector<ProgramUnit>& units, Block block) {
  std::wstring out;
  for (size_t i = 0; i < units.size(); ++i) out += (i ? L"\n" : L"") + block(units[i]);
  return out;
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
    case Form::kHash: out += std::wstring(key) + L" " + given.value + L"\n"; break;
  }
}

using Settings = std::vector<std::pair<const wchar_t*, GivenValue>>;

void settings(std::wstring& out, Form form, const Settings& all) {
  for (const auto& [key, given] : all) setting(out, form, key, given);
}

GivenValue given(std::wstring value) { return {std::move(value), {}}; }

// The program's start for the unit, as a command line: `program` on Linux,
// `program.exe` on Windows, and its arguments.
std::wstring started(const wchar_t* program, SettingsSystem system, const std::wstring& arguments) {
  return whole(std::wstring(program) + (system == SettingsSystem::kWindows ? L".exe " : L" ") +
               arguments);
}

std::wstring wsjtx(const std::vector<ProgramUnit>& units, KeyingLines lines,
                   SettingsSystem system) {
  const bool windows = system == SettingsSystem::kWindows;
  return perUnit(units, [&](const ProgramUnit& unit) {
    const std::wstring instance = L"WSJT-X - " + instanceName(unit);
    std::wstring out = comment(
        Form::kIni, L"WSJT-X for " + unitName(unit) + L", started as " +
                        started(L"wsjtx", system, L"--rig-name=" + instanceName(unit)) +
                        L": these keys of the group [Configuration] in " +
                        whole(windows ? L"%LOCALAPPDATA%\\" + instance + L"\\" + instance + L".ini"
                                      : L"~/.config/" + instance + L".ini") +
                        L", written while that WSJT-X is closed.");
    out += L"[Configuration]\n";
    setting(out, Form::kIni, L"CATSerialPort", unit.cat);
    out += L"PTTMethod=" + wsjtxPttMethod(lines.ptt) + L"\n";  // as QSettings writes it
    settings(out, Form::kIni,
             {{L"PTTport", unit.ptt}, {L"SoundInName", unit.audioIn},
              {L"SoundOutName", unit.audioOut}});
    return out;
  });
}

// A unit's TCP port of a program: `first` counted on by two a number, so
// that the odd port after each stays free (Hamlib's rotctld takes 4533
// beside rigctld's 4532; Direwolf's KISS port follows its AGW port).
int tcpPort(int first, const ProgramUnit& unit) { return first + 2 * unit.number.number; }

// Why a unit's ports are not those of its own number, or nothing.
std::wstring numberNote(const ProgramUnit& unit) {
  if (unit.number.ownHeldBy.empty()) return {};
  return L" (the next free ones: its own are those of the unit with S/N " +
         unit.number.ownHeldBy + L" while both are attached)";
}

// --- rigctld -----------------------------------------------------------------
// Hamlib's rigctld (rigctld --help, rigctld.1 and src/conf.c of Hamlib 4.5):
// -m the model, -s the CAT port's speed, -r the CAT port, -p the PTT port,
// -P the line that keys PTT, -T the address it listens on (every one unless
// given), -t the TCP port (4532 unless given), -C the serial port's settings:
// dtr_state and rts_state hold the CAT port's control lines as it opens.

constexpr int kFirstRigctldPort = 4532;
constexpr wchar_t kListenAddress[] = L"127.0.0.1";

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

void missingLine(std::wstring& out, Form form, const wchar_t* what, const GivenValue& given) {
  if (given.value.empty()) out += comment(form, std::wstring(what) + L": none: " + given.missing + L".");
}

std::wstring rigctld(const std::vector<ProgramUnit>& units, KeyingLines lines,
                     SettingsSystem system) {
  const bool windows = system == SettingsSystem::kWindows;
  // On Windows a port is COMn, which cmd takes as it stands.
  const auto word = [windows](const std::wstring& value) {
    return windows ? value : shellWord(value);
  };
  std::wstring out = comment(
      Form::kHash,
      L"rigctld, one for each unit, listening on " + std::wstring(kListenAddress) +
          L" alone: whoever reaches its TCP port can key the transmitter (to reach it from "
          L"another machine, give -T this machine's address there). As printed, each line is a "
          L"comment and runs nothing: fill in MODEL, the radio's Hamlib model number (rigctl -l "
          L"lists them), and SPEED, the speed the radio's menu sets for its CAT port, and take "
          L"away the \"# \" before it. dtr_state and rts_state keep the CAT port's control lines "
          L"low as it opens.");
  for (const ProgramUnit& unit : units) {
    out += L"\n" + comment(Form::kHash, unitName(unit) + L", on " + kListenAddress + L":" +
                                            std::to_wstring(tcpPort(kFirstRigctldPort, unit)) +
                                            numberNote(unit));
    missingLine(out, Form::kHash, L"CAT port", unit.cat);
    missingLine(out, Form::kHash, L"PTT port", unit.ptt);
    if (unit.cat.value.empty()) continue;
    out += std::wstring(L"# ") + (windows ? L"rigctld.exe" : L"rigctld") +
           L" -m MODEL -s SPEED -r " + word(unit.cat.value);
    if (!unit.ptt.value.empty())
      out += L" -p " + word(unit.ptt.value) + L" -P " + std::wstring(LineName(lines.ptt));
    out += L" -T " + std::wstring(kListenAddress) + L" -t " +
           std::to_wstring(tcpPort(kFirstRigctldPort, unit)) +
           L" -C dtr_state=OFF,rts_state=OFF\n";
  }
  return out;
}

// --- Direwolf ----------------------------------------------------------------
// direwolf.conf (config.c and ptt.c of Direwolf 1.6): ADEVICE names the sound
// card (input, then output), ACHANNELS its channels, CHANNEL the channel the
// lines after it are for, PTT the port and the line that keys it, and a
// second line that Direwolf drives with it ("PTT port RTS DTR": in phase;
// "-DTR": in opposite phase; of a PTT line without one Direwolf leaves the
// other line as the port's opening set it: raised). PTT RIG 2 host:port keys
// PTT through rigctld. AGWPORT and KISSPORT are its TCP ports for clients
// (8000 and 8001 unless given). On Windows a card is named by a part of its
// name, which Windows gives Direwolf cut to 31 characters; a name with
// blanks is quoted.

constexpr size_t kWaveNameLength = 31;
constexpr int kFirstAgwPort = 8000;

std::optional<std::wstring> direwolfWord(const std::wstring& value, bool windows) {
  if (value.find(L'"') != std::wstring::npos) return std::nullopt;
  const std::wstring word = windows ? value.substr(0, kWaveNameLength) : value;
  return word.find(L' ') == std::wstring::npos ? word : L"\"" + word + L"\"";
}

std::wstring direwolf(const std::vector<ProgramUnit>& units, KeyingLines lines,
                      SettingsSystem system) {
  const bool windows = system == SettingsSystem::kWindows;
  return perUnit(units, [&](const ProgramUnit& unit) {
    const std::wstring file =
        (windows ? L"direwolf-" : L"~/direwolf-") + instanceName(unit) + L".conf";
    const int agw = tcpPort(kFirstAgwPort, unit);
    std::wstring out = comment(
        Form::kHash, L"Direwolf for " + unitName(unit) + L": a direwolf.conf of its own, started as " +
                         started(L"direwolf", system, L"-c " + file) +
                         L", with AGW and KISS ports of its own" + numberNote(unit) +
                         L". MYCALL, MODEM and the rest are yours.");
    // On Windows the endpoints by name, input and output; on Linux the card.
    const GivenValue& first = windows ? unit.audioIn : unit.alsa;
    const GivenValue* lacking = first.value.empty() ? &first
                                : windows && unit.audioOut.value.empty() ? &unit.audioOut
                                                                         : nullptr;
    // Without its own card Direwolf would take the system's default one.
    if (lacking) return out + comment(Form::kHash, L"ADEVICE: none: " + lacking->missing + L".");
    const std::optional<std::wstring> in = direwolfWord(first.value, windows);
    const std::optional<std::wstring> output =
        windows ? direwolfWord(unit.audioOut.value, true) : std::optional<std::wstring>(L"");
    if (!in || !output)
      return out + comment(Form::kHash, L"ADEVICE: none: its sound card's name holds a quote, "
                                        L"which Direwolf cannot read.");
    out += L"ADEVICE " + *in + (output->empty() ? L"" : L" " + *output) +
           L"\nACHANNELS 1\nCHANNEL 0\n";
    missingLine(out, Form::kHash, L"PTT", unit.ptt);
    if (const auto port = unit.ptt.value.empty() ? std::nullopt : direwolfWord(unit.ptt.value, false)) {
      const std::wstring ptt(LineName(lines.ptt)), cw(LineName(lines.cw));
      out += L"PTT " + *port + L" " + ptt + L" " + cw + L"\n";
      out += comment(
          Form::kHash,
          cw + L" keys CW. Named after " + ptt + L", it is held low while Direwolf does not "
          L"transmit (opening the port raised it), but raised with " + ptt +
          L" while it transmits: none of Direwolf's serial PTT forms keeps it low then. To keep "
          L"it low throughout, let this unit's rigctld (kqports --for rigctld) key PTT, with this "
          L"line in place of the one above, in a Direwolf built with Hamlib (Debian's is): Hamlib "
          L"opens the port only to transmit, with " + cw + L" low:");
      out += L"# PTT RIG 2 " + std::wstring(kListenAddress) + L":" +
             std::to_wstring(tcpPort(kFirstRigctldPort, unit)) + L"\n";
    }
    out += L"AGWPORT " + std::to_wstring(agw) + L"\nKISSPORT " + std::to_wstring(agw + 1) + L"\n";
    return out;
  });
}

// --- fldigi and flrig --------------------------------------------------------
// Both key CW by a line of a port they share with PTT, and FSK by a line of
// a port of its own, which one a setting of theirs says; which line the
// unit's FSK port keys by is the unit's, so that setting is left to the user.
// Both take their settings from the folder --config-dir names (fldigi's
// main.cxx, flrig's main.cxx), a folder of its own for each unit.

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

// A unit's folder of `program`'s settings: beside the program's own one
// (~/.fldigi/, %USERPROFILE%\fldigi.files\), with the unit's name; the
// command line that starts the program with it; and a file in it.
struct ConfigFolder {
  std::wstring folder;  // ends in its separator
  std::wstring start;
  std::wstring file(const std::wstring& name) const { return whole(folder + name); }
};

ConfigFolder configFolder(const wchar_t* program, const ProgramUnit& unit, SettingsSystem system) {
  const std::wstring name = std::wstring(program) + L"-" + instanceName(unit);
  if (system == SettingsSystem::kWindows) {
    // Quoted: the profile's folder may hold a blank; cmd expands %...% in quotes.
    const std::wstring folder = L"%USERPROFILE%\\" + name + L".files";
    return {folder + L"\\", started(program, system, L"--config-dir \"" + folder + L"\"")};
  }
  // The shell expands a ~ at a word's start into one word, blanks and all.
  const std::wstring folder = L"~/." + name;
  return {folder + L"/", started(program, system, L"--config-dir " + folder)};
}

// The heading of a unit's block: how the program is started for it, and
// which of its files the settings are of.
std::wstring heading(const wchar_t* program, const ProgramUnit& unit, const ConfigFolder& folder,
                     const std::wstring& file) {
  return std::wstring(program) + L" for " + unitName(unit) + L", started as " + folder.start +
         L": these settings of " + file + L", written while that " + program + L" is closed.";
}

std::wstring fldigi(const std::vector<ProgramUnit>& units, KeyingLines lines,
                    SettingsSystem system) {
  return perUnit(units, [&](const ProgramUnit& unit) {
    const ConfigFolder folder = configFolder(L"fldigi", unit, system);
    std::wstring out =
        comment(Form::kXml, heading(L"fldigi", unit, folder, folder.file(L"fldigi_def.xml")));
    settings(out, Form::kXml,
             {{L"HAMRIGDEVICE", unit.cat}, {L"XMLRIGDEVICE", unit.cat}, {L"TTYPTT", flag(true)},
              {L"PTTDEV", unit.ptt}, {L"RTSPTT", flag(lines.ptt == ControlLine::kRts)},
              {L"DTRPTT", flag(lines.ptt == ControlLine::kDtr)},
              {L"CW_KEYLINE_SERIAL_PORT_NAME", unit.ptt}, {L"CW_KEYLINE_on_ptt_port", flag(true)},
              {L"CWKEYLINE", given(lineNumber(lines.cw))}, {L"FSK_PORT", unit.fsk}});
    out += comment(Form::kXml, L"FSK_ON_DTR: 1 when the unit's FSK port keys by DTR, 0 by RTS.");
    out += comment(Form::kXml, L"and in " + folder.file(L"fldigi.prefs") + L":");
    setting(out, Form::kPrefs, L"WK_serial_port_name", unit.winkey);
    return out;
  });
}

std::wstring flrig(const std::vector<ProgramUnit>& units, KeyingLines lines,
                   SettingsSystem system) {
  return perUnit(units, [&](const ProgramUnit& unit) {
    const ConfigFolder folder = configFolder(L"flrig", unit, system);
    std::wstring out = comment(
        Form::kPrefs, heading(L"flrig", unit, folder,
                              L"[.] in " + folder.file(L"<radio>.prefs") +
                                  L" (TS-2000.prefs for a TS-2000)"));
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

// The comments' form of each program's settings.
Form formOf(Program program) {
  switch (program) {
    case Program::kWsjtx: return Form::kIni;
    case Program::kFldigi: return Form::kXml;
    case Program::kFlrig: return Form::kPrefs;
    case Program::kRigctld:
    case Program::kDirewolf: break;
  }
  return Form::kHash;
}

// FNV-1a, 32 bits: a number of a text that any other implementation gives alike.
uint32_t fnv1a(const std::wstring& text) {
  uint32_t hash = 2166136261u;
  for (const wchar_t c : text) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  return hash;
}

int ownNumber(const std::wstring& serial) {
  return static_cast<int>(fnv1a(toAsciiUpper(serial)) % kUnitNumbers);
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

UnitNumber NumberOf(const std::wstring& serial, const std::vector<std::wstring>& attached) {
  std::vector<std::wstring> units = attached;
  if (std::find(units.begin(), units.end(), serial) == units.end()) units.push_back(serial);
  // In the order of their serials, each unit takes its own number or, when
  // one before it holds that, the next free one.
  std::sort(units.begin(), units.end(), [](const std::wstring& a, const std::wstring& b) {
    const std::wstring upperA = toAsciiUpper(a), upperB = toAsciiUpper(b);
    return upperA != upperB ? upperA < upperB : a < b;
  });
  units.erase(std::unique(units.begin(), units.end()), units.end());
  std::vector<std::wstring> holders(kUnitNumbers);
  for (const std::wstring& unit : units) {
    const int own = ownNumber(unit);
    int number = own;
    for (int tried = 0; tried < kUnitNumbers && !holders[number].empty(); ++tried)
      number = (number + 1) % kUnitNumbers;
    if (holders[number].empty()) holders[number] = unit;
    if (unit == serial) return {number, number == own ? std::wstring() : holders[own]};
  }
  return {ownNumber(serial), {}};
}

std::wstring ProgramSettings(Program program, const std::vector<ProgramUnit>& units,
                             KeyingLines lines, SettingsSystem system) {
  std::vector<ProgramUnit> named;
  std::wstring refused;
  for (const ProgramUnit& unit : units) {
    if (isPlainSerial(unit.serial)) {
      named.push_back(unit);
      continue;
    }
    if (refused.empty())
      refused = comment(formOf(program),
                        L"A unit whose S/N is not five letters or digits gets no settings here: "
                        L"its S/N would reach file names and commands. The report lists it.");
  }
  std::wstring out;
  if (!named.empty()) {
    switch (program) {
      case Program::kWsjtx: out = wsjtx(named, lines, system); break;
      case Program::kRigctld: out = rigctld(named, lines, system); break;
      case Program::kDirewolf: out = direwolf(named, lines, system); break;
      case Program::kFldigi: out = fldigi(named, lines, system); break;
      case Program::kFlrig: out = flrig(named, lines, system); break;
    }
  }
  return out + (out.empty() || refused.empty() ? L"" : L"\n") + refused;
}

}  // namespace kq
