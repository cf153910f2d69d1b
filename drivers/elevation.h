// What the program and the elevated self-extractor agree on for one
// installation: the switch and its arguments, where the installation's own
// folder is made and with which security descriptor, how the install script is
// started and what the self-extractor's exit code says: text and numbers only,
// for the host tests too. What calls Windows is in elevation_win.h.
//
// The program (unelevated) writes the package and starts it elevated with
// "--install <run folder name> <user SID>". The package's self-extractor,
// signed and sealed (sfx/FORMAT.md at the top of the tree), checks its archive against the seal in
// its own image, makes <Windows folder>\Temp\<run folder name> with the
// descriptor below (refusing a folder that exists), unpacks there, runs the
// script from there and waits for it. The program only reads the markers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kq {

inline constexpr std::wstring_view kElevatedSwitch = L"--install";

// "QuorvantaKQ6k-" and 32 lower-case hexadecimal digits of 16 random bytes.
inline constexpr std::wstring_view kRunFolderPrefix = L"QuorvantaKQ6k-";
std::wstring RunFolderName(const unsigned char (&random)[16]);
bool IsRunFolderName(std::wstring_view name);

// A SID as ConvertSidToStringSidW writes it: "S-1-", an authority and one to
// fifteen sub-authorities, decimal, no leading zeros, each within 32 bits
// (the authority within 48).
bool IsSidString(std::wstring_view sid);

// `before` + `userSid` + `after`: SDDL text naming a user; empty for a SID
// that is not IsSidString, so that nothing else reaches a descriptor's text.
std::wstring SddlNamingUser(std::wstring_view before, std::wstring_view userSid,
                           std::wstring_view after);

// <windows folder>\Temp\<name>, or empty when it would not fit a MAX_PATH
// buffer together with the longest name the package puts under it. Windows'
// own Temp folder lets every user make a folder in it that only its creator
// controls, and lets no user list it or take a folder of another away.
std::wstring RunFolderUnder(std::wstring_view windowsFolder, std::wstring_view name);

// Owner Administrators; a protected DACL (nothing inherited from the Temp
// folder, whose CREATOR OWNER entry would hand the folder to whoever made it)
// granting SYSTEM and Administrators full control and the user who started
// the program read access, each inherited by files and subfolders. Empty for
// a SID that is not IsSidString.
std::wstring RunFolderSddl(std::wstring_view userSid);

// The self-extractor's parameters, and their reading back. Exactly the
// switch, a run folder name and a SID, separated by single blanks.
struct ElevatedRequest {
  std::wstring runFolderName;
  std::wstring userSid;
};
std::wstring ElevatedParameters(const ElevatedRequest& request);
std::optional<ElevatedRequest> ParseElevatedParameters(std::wstring_view parameters);

// The command line that runs `script` in a command shell that reads no AutoRun
// command from the registry (/d), whatever the user put there.
std::wstring ScriptCommandLine(std::wstring_view cmdPath, std::wstring_view script);

// The whole environment of the elevated script, as a CreateProcessW block
// (sorted NAME=value strings, each NUL-terminated, one more NUL at the end).
// Nothing is taken from the user's environment, which the user can set for an
// elevated process too (a "SystemRoot" or "windir" of the user's own would
// send the script's full paths elsewhere): the Windows and system folders are
// the ones the system names, the search path holds only them, and temporary
// files go to the run folder.
std::wstring ScriptEnvironment(std::wstring_view windowsFolder, std::wstring_view systemFolder,
                               std::wstring_view runFolder);

// The self-extractor's exit codes, in both its modes (sfx/FORMAT.md): the
// self-extractor returns them and the driver gate reads them.
enum SfxExit : std::uint32_t {
  // Unpacking: every file was written. Elevated: the script ended and wrote
  // its end marker.
  kSfxFinished = 0,
  kSfxUsage = 2,              // started without "-y" or a valid elevated request
  kSfxCannotRead = 3,         // own executable unreadable
  kSfxDamaged = 4,            // archive damaged or unsafe, or it does not match the seal
  kSfxWriteFailed = 5,        // a file or folder could not be written
  // The target folder or a subfolder is a link or cannot be examined
  // (unpacking), or the run folder existed or could not be made as required
  // (elevated): nothing is written through it.
  kSfxFolderRefused = 6,
  kSfxNotFinished = 10,       // the script ended without its end marker
  kSfxScriptNotStarted = 11,  // the command shell could not be started
  kSfxBusy = 12,              // another installation runs on this machine
};

// Whether an exit code says that the script ran (so that its markers, if
// any, are its own); every other end means that no script ran.
bool ScriptRanBefore(std::uint32_t sfxExitCode);

// The locks of an installation. The program holds its own, per user, while
// its installation runs: "Local\" (this session's namespace) with the
// user's SID in the name, so that no other user can take it first, and a
// second program of the same user finds it. The elevated self-extractor holds
// its lock while its script runs, in a private namespace whose boundary holds
// the Administrators SID: a process without Administrators enabled in its
// token can neither make that namespace nor open it, so no user can take the
// lock first. Beside it the elevated side makes a sign that any program can
// see, a Global mutex owned by Administrators; one owned by anyone else is
// somebody else's and means nothing. Where the system offers no private
// namespace (Wine), the sign itself is the elevated side's lock.
inline constexpr wchar_t kProgramLockPrefix[] = L"Local\\QuorvantaKQ6200DriverInstallation-";
inline constexpr wchar_t kScriptLockNamespace[] = L"QuorvantaKQ6200";
inline constexpr wchar_t kScriptLockName[] = L"QuorvantaKQ6200\\DriverScript";
inline constexpr wchar_t kScriptSignName[] = L"Global\\QuorvantaKQ6200DriverScript";
// Owner Administrators; SYSTEM and Administrators may do anything with it,
// everyone may wait for it and read its owner.
inline constexpr wchar_t kScriptSignSddl[] =
    L"O:BAG:BAD:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00120001;;;WD)";
// Only SYSTEM and Administrators may open the namespace.
inline constexpr wchar_t kScriptLockNamespaceSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The program's lock of the user with `userSid`; empty for a SID that is not
// IsSidString.
std::wstring ProgramLockName(std::wstring_view userSid);

}  // namespace kq
