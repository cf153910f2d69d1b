#include "drivers/elevation.h"

#include <algorithm>
#include <vector>

namespace kq {

namespace {

constexpr std::size_t kRunTokenDigits = 32;
// The longest name put under the run folder: "\Quorvanta_KQ-6200_Reserved.inf".
constexpr std::size_t kLongestNameUnder = 31;
constexpr std::size_t kPathBufferUnits = 260;

bool IsDecimal(std::wstring_view text, std::uint64_t limit) {
  if (text.empty() || text.size() > 15 || (text.size() > 1 && text[0] == L'0')) return false;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  return value <= limit;
}

wchar_t UpperAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; }

// The parts of `text` between the separators, empty ones included.
std::vector<std::wstring_view> Split(std::wstring_view text, wchar_t separator) {
  std::vector<std::wstring_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::wstring_view::npos ? at : at - start));
    if (at == std::wstring_view::npos) return parts;
    start = at + 1;
  }
}

}  // namespace

std::wstring RunFolderName(const unsigned char (&random)[16]) {
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring name(kRunFolderPrefix);
  for (unsigned char byte : random) {
    name += kHex[byte >> 4];
    name += kHex[byte & 15];
  }
  return name;
}

bool IsRunFolderName(std::wstring_view name) {
  if (name.size() != kRunFolderPrefix.size() + kRunTokenDigits ||
      name.substr(0, kRunFolderPrefix.size()) != kRunFolderPrefix)
    return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(kRunFolderPrefix.size()),
                     name.end(), [](wchar_t c) {
                       return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
                     });
}

bool IsSidString(std::wstring_view sid) {
  if (sid.size() > 184 || sid.substr(0, 4) != L"S-1-") return false;
  const std::vector<std::wstring_view> parts = Split(sid.substr(4), L'-');
  if (parts.size() < 2 || parts.size() > 16) return false;
  if (!IsDecimal(parts[0], 0xFFFFFFFFFFFFull)) return false;
  return std::all_of(parts.begin() + 1, parts.end(),
                     [](std::wstring_view part) { return IsDecimal(part, 0xFFFFFFFFull); });
}

std::wstring RunFolderUnder(std::wstring_view windowsFolder, std::wstring_view name) {
  if (windowsFolder.empty() || !IsRunFolderName(name)) return {};
  std::wstring folder(windowsFolder);
  if (folder.back() != L'\\') folder += L'\\';
  folder += L"Temp\\";
  folder += name;
  if (folder.size() + kLongestNameUnder >= kPathBufferUnits) return {};
  return folder;
}

std::wstring SddlNamingUser(std::wstring_view before, std::wstring_view userSid,
                           std::wstring_view after) {
  if (!IsSidString(userSid)) return {};
  std::wstring sddl(before);
  sddl += userSid;
  sddl += after;
  return sddl;
}

std::wstring RunFolderSddl(std::wstring_view userSid) {
  return SddlNamingUser(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;", userSid, L")");
}

std::wstring ElevatedParameters(const ElevatedRequest& request) {
  return std::wstring(kElevatedSwitch) + L' ' + request.runFolderName + L' ' + request.userSid;
}

std::optional<ElevatedRequest> ParseElevatedParameters(std::wstring_view parameters) {
  const std::vector<std::wstring_view> words = Split(parameters, L' ');
  if (words.size() != 3 || words[0] != kElevatedSwitch || !IsRunFolderName(words[1]) ||
      !IsSidString(words[2]))
    return std::nullopt;
  return ElevatedRequest{std::wstring(words[1]), std::wstring(words[2])};
}

std::wstring ScriptCommandLine(std::wstring_view cmdPath, std::wstring_view script) {
  std::wstring line = L"\"";
  line += cmdPath;
  line += L"\" /d /c \"";
  line += script;
  line += L'"';
  return line;
}

std::wstring ScriptEnvironment(std::wstring_view windowsFolder, std::wstring_view systemFolder,
                               std::wstring_view runFolder) {
  const std::wstring windows(windowsFolder), system(systemFolder), run(runFolder);
  std::vector<std::wstring> variables = {
      L"ComSpec=" + system + L"\\cmd.exe",
      L"PATH=" + system + L';' + windows + L';' + system + L"\\Wbem",
      L"PATHEXT=.COM;.EXE;.BAT;.CMD",
      L"SystemDrive=" + windows.substr(0, 2),
      L"SystemRoot=" + windows,
      L"TEMP=" + run,
      L"TMP=" + run,
      L"windir=" + windows,
  };
  // Windows wants the block sorted by name without regard to case.
  std::sort(variables.begin(), variables.end(), [](const std::wstring& a, const std::wstring& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](wchar_t x, wchar_t y) { return UpperAscii(x) < UpperAscii(y); });
  });
  std::wstring block;
  for (const auto& variable : variables) {
    block += variable;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

bool ScriptRanBefore(std::uint32_t sfxExitCode) {
  return sfxExitCode == kSfxFinished || sfxExitCode == kSfxNotFinished;
}

std::wstring ProgramLockName(std::wstring_view userSid) {
  if (!IsSidString(userSid)) return {};
  return std::wstring(kProgramLockPrefix) + std::wstring(userSid);
}

}  // namespace kq
