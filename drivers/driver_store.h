// Looks in the Windows driver store and polls for files by name.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kq {

enum class DriverState { FtdiMissing, DeviceDriversMissing, AllPresent };

// Paths are composed in buffers of MAX_PATH units, terminator included.
constexpr std::size_t kPathBufferUnits = 260;

// `folder` + `name`, or nothing when the result would not fit a path buffer
// or `folder` is empty (which would turn `name` into a path from the drive root).
std::optional<std::wstring> ComposePath(std::wstring_view folder, std::wstring_view name);

// Whether the first entry a search for folder + `name` found is the entry
// asked for: it must begin with `name` less its leading backslash and less its
// last character (the "*" of a wildcard name), compared case-sensitively,
// because the directory search itself ignores letter case.
bool MatchesProbePrefix(std::wstring_view entryName, std::wstring_view name);

// The driver test over a probe of one name in the repository folder, in the
// order and with the short-circuits the gate relies on.
DriverState ClassifyDriverStore(const std::function<bool(const wchar_t* name)>& probe);

// Runs `probe` up to 15 times, calling `sleep(2000)` after each miss (the
// fifteenth included); true at the first success.
bool PollForFile(const std::function<bool()>& probe, const std::function<void(unsigned ms)>& sleep);

#ifdef _WIN32
// "<system directory>\DriverStore\FileRepository", or empty when the system
// directory cannot be read or the path would not fit (every probe then fails).
std::wstring RepositoryFolder();

bool ProbeFile(const std::wstring& folder, const wchar_t* name);
bool WaitForFile(const std::wstring& folder, const wchar_t* name);

// The driver test. On 64-bit Windows each probe runs with WOW64 file-system
// redirection off, so that it sees the real store: Vista and Server 2008
// redirect System32\DriverStore for a 32-bit process to SysWOW64, where the
// 64-bit drivers are not. When redirection cannot be switched off, the probe
// sees the store as the process does.
DriverState CheckInstalledDrivers(const std::wstring& repositoryFolder, bool is64BitOs);
#endif

}  // namespace kq
