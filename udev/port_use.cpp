#include "udev/port_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/unique_handle.h"
#include "base/utf8.h"
#include "base/word_list.h"
#include "udev/udev_rules.h"
#include "units/roles.h"

namespace kq::udev {
namespace {

using UniqueDir = UniqueHandle<NullIsInvalidTraits<DIR*, closedir>>;

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

// A process's comm: at most 15 bytes in the kernel; read up to 64 here, to
// its first line end.
std::string commandOf(int pidFd) {
  const int fd = openat(pidFd, "comm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char text[64];
  const ssize_t length = read(fd, text, sizeof text);
  close(fd);
  if (length <= 0) return {};
  std::string command(text, static_cast<size_t>(length));
  return command.substr(0, command.find('\n'));
}

// Files read between two looks at the clock.
constexpr size_t kFilesPerClockRead = 64;

// Reads the numbers of the process's open files that are character devices,
// at most `mostFiles` of them and until `deadline`; false when the process
// went away before its files could be listed.
//
// Each /proc/<pid>/fd/<n> leads to the open file itself, in whatever mount
// namespace it was opened, and statx reads its type and device number
// without opening it. AT_STATX_DONT_SYNC takes what the kernel holds of the
// file and asks its file system nothing: a FUSE daemon that stopped
// answering or a dead NFS server would otherwise keep the call waiting, in
// a sleep no signal ends. The link's text is never read: a process may
// mount anything on /dev in a mount namespace of its own, so a path names
// no port; the device number does.
bool readFiles(int pidFd, Process& process, size_t mostFiles,
               std::chrono::steady_clock::time_point deadline) {
  const int fdFolder = openat(pidFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdFolder < 0) {
    if (errno == ENOENT || errno == ESRCH) return false;
    process.unread = Unread::kNotAllowed;
    return true;
  }
  const UniqueDir folder(fdopendir(fdFolder));
  if (!folder) {
    close(fdFolder);
    process.unread = Unread::kNotAllowed;
    return true;
  }
  size_t read = 0;
  while (const dirent* entry = readdir(folder.get())) {
    if (!allDigits(entry->d_name)) continue;
    if (read == mostFiles) {
      process.unread = Unread::kTooMany;
      break;
    }
    if (read++ % kFilesPerClockRead == 0 && std::chrono::steady_clock::now() >= deadline) {
      process.unread = Unread::kOutOfTime;
      break;
    }
    struct statx status {};
    if (statx(dirfd(folder.get()), entry->d_name, AT_STATX_DONT_SYNC, STATX_TYPE, &status) == 0 &&
        (status.stx_mask & STATX_TYPE) && S_ISCHR(status.stx_mode))
      process.devices.push_back(makedev(status.stx_rdev_major, status.stx_rdev_minor));
  }
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
std::vector<unsigned long long> deviceNumbersOf(const std::vector<std::string>& paths) {
  std::vector<unsigned long long> numbers;
  for (const std::string& path : paths) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode))
      numbers.push_back(status.st_rdev);
  }
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

std::optional<Process> ReadProcess(int procFd, long pid, size_t mostFiles,
                                   std::chrono::steady_clock::time_point deadline) {
  Process process;
  process.pid = pid;
  const int pidFd =
      openat(procFd, std::to_string(pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pidFd < 0) return std::nullopt;  // gone since the folder was read
  process.command = commandOf(pidFd);
  bool there = true;
  if (std::chrono::steady_clock::now() >= deadline)
    process.unread = Unread::kOutOfTime;
  else
    there = readFiles(pidFd, process, mostFiles, deadline);
  close(pidFd);
  if (!there) return std::nullopt;
  return process;
}

ProcessTable ReadProcesses(const std::string& procRoot, size_t mostFiles,
                           std::chrono::steady_clock::time_point deadline) {
  ProcessTable table;
  const UniqueDir root(opendir(procRoot.c_str()));
  if (!root) return table;
  for (const long pid : ProcessIds(root.get()))
    if (auto process = ReadProcess(dirfd(root.get()), pid, mostFiles, deadline))
      table.push_back(std::move(*process));
  return table;
}

std::vector<PortHolder> HoldersOf(const ProcessTable& table,
                                  const std::vector<unsigned long long>& devices) {
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

std::wstring UninspectedHelp(const ProcessTable& table) {
  const int notAllowed = UninspectedCount(table, Unread::kNotAllowed);
  const int tooMany = UninspectedCount(table, Unread::kTooMany);
  const int outOfTime = UninspectedCount(table, Unread::kOutOfTime);
  std::vector<std::wstring> parts;
  const auto processes = [](int count) {
    return std::to_wstring(count) + (count == 1 ? L" process" : L" processes");
  };
  if (notAllowed)
    parts.push_back(processes(notAllowed) + L" of other users, which only root may look at " +
                    L"(sudo kqports looks at them too)");
  if (tooMany)
    parts.push_back(processes(tooMany) + L" with more than " +
                    std::to_wstring(kMostFilesPerProcess) + L" open files");
  if (outOfTime) parts.push_back(processes(outOfTime) + L" the look had no time left for");
  if (parts.empty()) return {};
  return L"Not looked at for holders of the ports: " + WordList(parts, L" and ") +
         L"; any of them may hold a port.";
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

PortUse UseOf(const Device& tty, const ProcessTable& table) {
  PortUse use;
  const NodeAccess node = accessOf(tty);
  use.mayOpen = node.mayOpen;
  use.accessHelp = AccessHelp(node);
  if (!node.mayOpen && groupGrantsUse(node.mode)) {
    use.group = wideFromUtf8(node.group);
    use.inGroup = node.inGroupNow;
  }
  use.holders = HoldersOf(table, deviceNumbersOf(pathsOf(tty.devNode)));
  use.uninspected = UninspectedCount(table);
  use.uninspectedHelp = UninspectedHelp(table);
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
                        const ProcessTable& table) {
  for (const auto& [instanceId, pcm] : endpoints) {
    PortUse use;
    use.holders = HoldersOf(table, deviceNumbersOf(pathsOf(devices.at(pcm).devNode)));
    use.uninspected = UninspectedCount(table);
    use.uninspectedHelp = UninspectedHelp(table);
    names[instanceId].use = std::move(use);
  }
}

void AddPortUses(ReportNames& names, const ReportedPorts& ports, const Devices& devices,
                 const ProcessTable& table) {
  for (const auto& [instanceId, tty] : ports) names[instanceId].use = UseOf(devices.at(tty), table);
}

}  // namespace kq::udev
