#include "udev/port_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/unique_handle.h"
#include "base/utf8.h"
#include "base/word_list.h"
#include "udev/udev_rules.h"
#include "units/roles.h"

namespace kq::udev {
namespace {

using UniqueDir = UniqueHandle<NullIsInvalidTraits<DIR*, closedir>>;

// The reading of /proc calls the kernel directly, not the C library's
// wrappers: a library preloaded to wrap file calls (umockdev, which the test
// beds run under, is one) resolves each path and masks signals around each
// call, which made a look at 3,000 processes three times as long; and the
// reading runs in the child of a fork, where the less runs, the better.
int sysOpenAt(int dirFd, const char* path, int flags) {
  return static_cast<int>(syscall(SYS_openat, dirFd, path, flags, 0));
}
long sysRead(int fd, char* buffer, size_t size) { return syscall(SYS_read, fd, buffer, size); }
int sysStatx(int dirFd, const char* path, unsigned mask, struct statx* status) {
  return static_cast<int>(syscall(SYS_statx, dirFd, path, AT_STATX_DONT_SYNC, mask, status));
}

struct FdTraits {
  using pointer = int;
  static constexpr pointer invalid() noexcept { return -1; }
  static void close(pointer fd) noexcept { syscall(SYS_close, fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

bool allDigits(const char* text) {
  if (!*text) return false;
  for (; *text; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

// The target of a symbolic link, or empty when `path` is none.
std::string linkTarget(int dirFd, const char* path) {
  char target[4096];
  const ssize_t length = readlinkat(dirFd, path, target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return {};
  return std::string(target, static_cast<size_t>(length));
}

// Up to `size` - 1 bytes of the file `path` in the folder `dirFd`, with a
// terminator; empty when it cannot be read.
std::string_view readSmall(int dirFd, const char* path, char* text, size_t size) {
  const UniqueFd fd(sysOpenAt(dirFd, path, O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  const long length = sysRead(fd.get(), text, size - 1);
  if (length <= 0) return {};
  text[length] = 0;
  return std::string_view(text, static_cast<size_t>(length));
}

// A process's comm: at most 15 bytes in the kernel; read up to 63 here, to
// its first line end.
std::string commandOf(int pidFd) {
  char text[64];
  const std::string_view command = readSmall(pidFd, "comm", text, sizeof text);
  return std::string(command.substr(0, command.find('\n')));
}

// Whether the process opened its file numbered `name` (of its fd folder)
// for use, not with O_PATH alone, as its fdinfo's flags say. A file whose
// flags cannot be read counts as opened: a holder named wrongly costs a
// glance, one missed can key a transmitter.
bool openedForUse(int pidFd, const char* name) {
  char path[32] = "fdinfo/";
  std::strncat(path, name, sizeof path - std::strlen(path) - 1);
  char text[256];
  const std::string_view info = readSmall(pidFd, path, text, sizeof text);
  const size_t flags = info.find("flags:");
  if (flags == std::string_view::npos) return true;
  return (std::strtoul(text + flags + 6, nullptr, 8) & O_PATH) == 0;
}

// Calls `each` with the name of every entry of the folder open as `fd`,
// until it returns false. False when the folder could not be read (errno
// says why).
template <typename Each>
bool forEachEntry(int fd, Each each) {
  alignas(8) char buffer[8192];
  for (;;) {
    const long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    // Each entry: u64 inode, s64 offset, u16 length, u8 type, the name.
    for (long at = 0; at < got;) {
      std::uint16_t length = 0;
      std::memcpy(&length, buffer + at + 16, sizeof length);
      if (length == 0) {
        errno = EIO;
        return false;
      }
      if (!each(buffer + at + 19)) return true;
      at += length;
    }
  }
}

// Files read between two looks at the clock.
constexpr size_t kFilesPerClockRead = 64;

// Reads which of `wanted` the process holds open, reading at most
// `mostFiles` of its files and until `deadline`; false when the process
// went away before its files could be listed.
//
// Each /proc/<pid>/fd/<n> leads to the open file itself, in whatever mount
// namespace it was opened, and statx reads its type and device number
// without opening it. AT_STATX_DONT_SYNC takes what the kernel holds of the
// file and asks its file system nothing: a FUSE daemon that stopped
// answering or a dead NFS server would otherwise keep the call waiting, in
// a sleep no signal ends. The link's text is never read: a process may
// mount anything on /dev in a mount namespace of its own, so a path names
// no port; the device number does. Only a file that is one of `wanted`
// costs a read more, of its flags.
bool readFiles(int pidFd, Process& process, const DeviceNumbers& wanted, size_t mostFiles,
               std::chrono::steady_clock::time_point deadline) {
  const UniqueFd folder(sysOpenAt(pidFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    if (errno == ENOENT || errno == ESRCH) return false;
    process.unread = Unread::kNotAllowed;
    return true;
  }
  size_t read = 0;
  const bool listed = forEachEntry(folder.get(), [&](const char* name) {
    if (!allDigits(name)) return true;
    if (read == mostFiles) {
      process.unread = Unread::kTooMany;
      return false;
    }
    if (read++ % kFilesPerClockRead == 0 && std::chrono::steady_clock::now() >= deadline) {
      process.unread = Unread::kOutOfTime;
      return false;
    }
    struct statx status {};
    if (sysStatx(folder.get(), name, STATX_TYPE, &status) != 0) {
      // Refused: not looked at, which a count says. Otherwise the file was
      // closed since the folder was read.
      if (errno == EACCES || errno == EPERM) {
        process.unread = Unread::kNotAllowed;
        return false;
      }
      return true;
    }
    if (!(status.stx_mask & STATX_TYPE) || !S_ISCHR(status.stx_mode)) return true;
    const unsigned long long device = makedev(status.stx_rdev_major, status.stx_rdev_minor);
    if (std::binary_search(wanted.begin(), wanted.end(), device) &&
        std::find(process.devices.begin(), process.devices.end(), device) ==
            process.devices.end() &&
        openedForUse(pidFd, name))
      process.devices.push_back(device);
    return true;
  });
  if (!listed) {
    if (errno == ENOENT || errno == ESRCH) return false;
    process.unread = Unread::kNotAllowed;
  }
  std::sort(process.devices.begin(), process.devices.end());
  return true;
}

std::string userName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  return std::to_string(uid);
}

std::string groupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->gr_name;
  return std::to_string(gid);
}

bool inGroupNow(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Whether the group database lists the user in `gid`: true after usermod
// -aG, before the user logs in again.
bool inGroupListed(gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return false;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    if (count <= static_cast<int>(groups.size())) return false;
    groups.resize(static_cast<size_t>(count));
  }
  return std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

bool tagged(const Device& device, const char* tag) {
  const std::string wanted = std::string(":") + tag + ":";
  for (const char* property : {"CURRENT_TAGS", "TAGS"}) {
    const auto found = device.props.find(property);
    if (found != device.props.end() && found->second.find(wanted) != std::string::npos) return true;
  }
  return false;
}

NodeAccess accessOf(const Device& tty) {
  NodeAccess node;
  node.mayOpen = access(tty.devNode.c_str(), R_OK | W_OK) == 0;
  node.uaccess = tagged(tty, "uaccess");
  node.rulesInstalled = std::any_of(std::begin(kInstalledRulesFiles), std::end(kInstalledRulesFiles),
                                    [](const std::string& file) { return access(file.c_str(), F_OK) == 0; });
  if (node.mayOpen) return node;
  struct stat status {};
  if (stat(tty.devNode.c_str(), &status) != 0) return node;
  node.mode = status.st_mode & 07777;
  node.owner = userName(status.st_uid);
  node.group = groupName(status.st_gid);
  node.userOwnsIt = status.st_uid == getuid();
  node.inGroupNow = inGroupNow(status.st_gid);
  node.inGroupListed = inGroupListed(status.st_gid);
  return node;
}

// The paths an open file of the port shows in /proc: its node, and where
// the node leads when it is a link.
std::vector<std::string> pathsOf(const std::string& node) {
  std::vector<std::string> paths{node};
  std::string target = linkTarget(AT_FDCWD, node.c_str());
  if (target.empty()) return paths;
  if (target[0] != '/') target = node.substr(0, node.rfind('/') + 1) + target;
  paths.push_back(std::move(target));
  return paths;
}

// The numbers of the character devices at `paths` (a port's node and where
// it leads), read without opening them.
DeviceNumbers deviceNumbersOf(const std::vector<std::string>& paths) {
  DeviceNumbers numbers;
  for (const std::string& path : paths) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode))
      numbers.push_back(status.st_rdev);
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

bool groupGrantsUse(unsigned mode) { return (mode & 060) == 060; }

}  // namespace

std::vector<long> ProcessIds(DIR* proc) {
  std::vector<long> pids;
  const long self = static_cast<long>(getpid());
  rewinddir(proc);
  while (const dirent* entry = readdir(proc))
    if (allDigits(entry->d_name)) {
      const long pid = std::strtol(entry->d_name, nullptr, 10);
      if (pid != self) pids.push_back(pid);
    }
  std::sort(pids.begin(), pids.end());
  return pids;
}

std::optional<Process> ReadProcess(int procFd, long pid, const DeviceNumbers& wanted,
                                   size_t mostFiles,
                                   std::chrono::steady_clock::time_point deadline) {
  Process process;
  process.pid = pid;
  char name[24];
  *std::to_chars(name, name + sizeof name - 1, pid).ptr = 0;
  const UniqueFd pidFd(sysOpenAt(procFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!pidFd) {
    if (errno == ENOENT || errno == ESRCH) return std::nullopt;  // gone since the folder was read
    // There, but closed to this user: /proc mounted with hidepid=1 lists
    // other users' processes and lets nobody else in.
    process.unread = Unread::kNotAllowed;
    return process;
  }
  process.command = commandOf(pidFd.get());
  if (std::chrono::steady_clock::now() >= deadline) {
    process.unread = Unread::kOutOfTime;
    return process;
  }
  if (!readFiles(pidFd.get(), process, wanted, mostFiles, deadline)) return std::nullopt;
  return process;
}

ProcessTable ReadProcesses(const std::string& procRoot, const DeviceNumbers& wanted,
                           size_t mostFiles, std::chrono::steady_clock::time_point deadline) {
  ProcessTable table;
  const UniqueDir root(opendir(procRoot.c_str()));
  if (!root) return table;
  for (const long pid : ProcessIds(root.get()))
    if (auto process = ReadProcess(dirfd(root.get()), pid, wanted, mostFiles, deadline))
      table.push_back(std::move(*process));
  return table;
}

DeviceNumbers NodeDevices(const std::string& node) { return deviceNumbersOf(pathsOf(node)); }

std::vector<PortHolder> HoldersOf(const ProcessTable& table, const DeviceNumbers& devices) {
  std::vector<PortHolder> holders;
  for (const Process& process : table)
    if (std::find_first_of(process.devices.begin(), process.devices.end(), devices.begin(),
                           devices.end()) != process.devices.end())
      holders.push_back({process.pid, wideFromUtf8(process.command)});
  return holders;
}

int UninspectedCount(const ProcessTable& table, Unread why) {
  return static_cast<int>(std::count_if(table.begin(), table.end(), [why](const Process& p) {
    return why == Unread::kNone ? p.unread != Unread::kNone : p.unread == why;
  }));
}

std::wstring UninspectedHelp(const ProcessTable& table, const ProcessSight& sight) {
  const int notAllowed = UninspectedCount(table, Unread::kNotAllowed);
  const int tooMany = UninspectedCount(table, Unread::kTooMany);
  const int outOfTime = UninspectedCount(table, Unread::kOutOfTime);
  std::vector<std::wstring> parts;
  const auto processes = [](int count) {
    return std::to_wstring(count) + (count == 1 ? L" process" : L" processes");
  };
  if (notAllowed)
    parts.push_back(processes(notAllowed) +
                    (sight.root ? L" the system lets not even root look at"
                                : L" of other users, which only root may look at (sudo kqports "
                                  L"looks at them too)"));
  if (tooMany)
    parts.push_back(processes(tooMany) + L" with more than " +
                    std::to_wstring(kMostFilesPerProcess) + L" open files");
  if (outOfTime) parts.push_back(processes(outOfTime) + L" the look had no time left for");
  if (sight.hidden == Hidden::kByMount)
    parts.push_back(L"every process of other users, which /proc hides from you (it is mounted "
                    L"with hidepid; sudo kqports sees them)");
  if (sight.hidden == Hidden::kByNamespace)
    parts.push_back(L"every process outside the pid namespace kqports runs in (a container's), "
                    L"which only a kqports outside it sees");
  if (parts.empty()) return {};
  return L"Not looked at for holders of the ports: " + WordList(parts, L" and ") +
         L"; any of them may hold a port.";
}

std::wstring HiddenWord(Hidden hidden) {
  switch (hidden) {
    case Hidden::kNone: break;
    case Hidden::kByMount: return L"hidepid";
    case Hidden::kByNamespace: return L"pidNamespace";
  }
  return {};
}

bool ModemManagerRuns(const ProcessTable& table) {
  return std::any_of(table.begin(), table.end(),
                     [](const Process& p) { return p.command == "ModemManager"; });
}

std::wstring AccessHelp(const NodeAccess& access) {
  if (access.mayOpen) return {};
  const std::wstring owner = wideFromUtf8(access.owner);
  const std::wstring group = wideFromUtf8(access.group);
  std::wstring help;
  if (groupGrantsUse(access.mode) && access.group != "root") {
    if (access.inGroupNow)
      help = L"the group " + group + L" may open it and you are in it, yet the system refuses " +
             L"(an access control list or a security module)";
    else if (access.inGroupListed)
      help = L"the group " + group + L" may open it, and you joined " + group +
             L" after this login began: log out and in again";
    else
      help = L"only " + owner + L" and the group " + group + L" may open it: sudo usermod -aG " +
             group + L" $USER, then log out and in again";
  } else if (access.userOwnsIt) {
    help = L"its permissions let not even you, its owner, open it";
  } else {
    help = L"only " + owner + L" may open it";
  }
  if (access.uaccess)
    help += L"; the udev rules let the user logged in at the desk open it, and this login is not "
            L"that one";
  else if (access.rulesInstalled)
    help += L"; or plug the unit in again: the installed udev rules then let the user at the desk "
            L"open it";
  else
    help += L"; or install the udev rules (kqports --udev-rules) and plug the unit in again: they "
            L"let the user at the desk open it";
  return help;
}

PortUse UseOf(const Device& tty, const ProcessTable& table, const ProcessSight& sight) {
  PortUse use;
  const NodeAccess node = accessOf(tty);
  use.mayOpen = node.mayOpen;
  use.accessHelp = AccessHelp(node);
  if (!node.mayOpen && groupGrantsUse(node.mode)) {
    use.group = wideFromUtf8(node.group);
    use.inGroup = node.inGroupNow;
  }
  use.holders = HoldersOf(table, NodeDevices(tty.devNode));
  use.uninspected = UninspectedCount(table);
  use.uninspectedHelp = UninspectedHelp(table, sight);
  use.hiddenProcesses = HiddenWord(sight.hidden);
  use.modemManagerRunning = ModemManagerRuns(table);
  const auto ignore = tty.props.find("ID_MM_DEVICE_IGNORE");
  use.modemManagerIgnores = ignore != tty.props.end() && ignore->second == "1";
  return use;
}

ReportedPorts PortsOf(const Report& report, const ReportNames& names, const Devices& devices) {
  ReportedPorts ports;
  for (const ReportItem& line : report) {
    const auto own = names.find(line.id);
    if (!IsPortLine(line) || own == names.end()) continue;
    for (size_t i = 0; i < devices.size(); ++i)
      if (devices[i].subsystem == "tty" && !devices[i].devNode.empty() &&
          wideFromUtf8(devices[i].sysPath) == own->second.id)
        ports.emplace_back(line.id, i);
  }
  return ports;
}

ReportedPorts EndpointsOf(const Report& report, const ReportNames& names, const Devices& devices) {
  ReportedPorts endpoints;
  for (const ReportItem& line : report) {
    const auto own = names.find(line.id);
    if ((line.kind != LineKind::kRole && line.kind != LineKind::kAudioDevice) ||
        roleInfo(line.role).kind != RoleKind::kAudio || own == names.end())
      continue;
    // An endpoint's ID ends in ".{<its PCM device's name>}".
    const size_t open = line.id.rfind(L".{");
    if (open == std::wstring::npos || line.id.back() != L'}') continue;
    const std::string pcm = encodeUtf8(line.id.substr(open + 2, line.id.size() - open - 3));
    const std::string card = encodeUtf8(own->second.id);
    for (size_t i = 0; i < devices.size(); ++i)
      if (devices[i].subsystem == "sound" && devices[i].sysName == pcm &&
          !devices[i].devNode.empty() && devices[i].sysPath.rfind(card + "/", 0) == 0)
        endpoints.emplace_back(line.id, i);
  }
  return endpoints;
}

void AddEndpointHolders(ReportNames& names, const ReportedPorts& endpoints, const Devices& devices,
                        const ProcessTable& table, const ProcessSight& sight) {
  for (const auto& [instanceId, pcm] : endpoints) {
    PortUse use;
    use.holders = HoldersOf(table, NodeDevices(devices.at(pcm).devNode));
    use.uninspected = UninspectedCount(table);
    use.uninspectedHelp = UninspectedHelp(table, sight);
    use.hiddenProcesses = HiddenWord(sight.hidden);
    names[instanceId].use = std::move(use);
  }
}

void AddPortUses(ReportNames& names, const ReportedPorts& ports, const Devices& devices,
                 const ProcessTable& table, const ProcessSight& sight) {
  for (const auto& [instanceId, tty] : ports)
    names[instanceId].use = UseOf(devices.at(tty), table, sight);
}

DeviceNumbers DevicesOf(const ReportedPorts& ports, const ReportedPorts& endpoints,
                        const Devices& devices) {
  DeviceNumbers numbers;
  for (const ReportedPorts* list : {&ports, &endpoints})
    for (const auto& [instanceId, index] : *list) {
      const DeviceNumbers node = NodeDevices(devices.at(index).devNode);
      numbers.insert(numbers.end(), node.begin(), node.end());
    }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

}  // namespace kq::udev
