#include "udev/port_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/unique_handle.h"
#include "base/utf8.h"
#include "udev/udev_rules.h"

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

// Whether all of the process's open files could be read, at most
// `mostFiles` of them: the numbers of those that are character devices, and
// the targets below /dev/ of links that lead nowhere this process can follow.
bool readFiles(int pidFd, Process& process, size_t mostFiles) {
  const int fdFolder = openat(pidFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fdFolder < 0) return false;
  const UniqueDir folder(fdopendir(fdFolder));
  if (!folder) {
    close(fdFolder);
    return false;
  }
  size_t read = 0;
  while (const dirent* entry = readdir(folder.get())) {
    if (!allDigits(entry->d_name)) continue;
    if (read++ == mostFiles) return false;
    // stat follows the link to the open file itself, in whatever mount
    // namespace it was opened, and opens nothing. Only a character device
    // can be a port; a link that leads nowhere is known by its text alone.
    struct stat status {};
    if (fstatat(dirfd(folder.get()), entry->d_name, &status, 0) == 0) {
      if (S_ISCHR(status.st_mode)) process.devices.push_back(status.st_rdev);
      continue;
    }
    std::string target = linkTarget(dirfd(folder.get()), entry->d_name);
    if (target.rfind("/dev/", 0) == 0) process.files.push_back(std::move(target));
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
                                    [](const char* file) { return access(file, F_OK) == 0; });
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

ProcessTable ReadProcesses(const std::string& procRoot, size_t mostFiles) {
  ProcessTable table;
  const UniqueDir root(opendir(procRoot.c_str()));
  if (!root) return table;
  const long self = static_cast<long>(getpid());
  while (const dirent* entry = readdir(root.get())) {
    if (!allDigits(entry->d_name)) continue;
    Process process;
    process.pid = std::strtol(entry->d_name, nullptr, 10);
    if (process.pid == self) continue;
    const int pidFd = openat(dirfd(root.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pidFd < 0) continue;  // gone since the folder was read
    process.command = commandOf(pidFd);
    process.inspected = readFiles(pidFd, process, mostFiles);
    close(pidFd);
    table.push_back(std::move(process));
  }
  std::sort(table.begin(), table.end(),
            [](const Process& a, const Process& b) { return a.pid < b.pid; });
  return table;
}

std::vector<PortHolder> HoldersOf(const ProcessTable& table, const std::vector<std::string>& paths,
                                  const std::vector<unsigned long long>& devices) {
  const auto among = [](const auto& wanted, const auto& held) {
    return std::find_first_of(held.begin(), held.end(), wanted.begin(), wanted.end()) != held.end();
  };
  std::vector<PortHolder> holders;
  for (const Process& process : table)
    if (among(paths, process.files) || among(devices, process.devices))
      holders.push_back({process.pid, wideFromUtf8(process.command)});
  return holders;
}

int UninspectedCount(const ProcessTable& table) {
  return static_cast<int>(std::count_if(table.begin(), table.end(),
                                        [](const Process& p) { return !p.inspected; }));
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
  const std::vector<std::string> paths = pathsOf(tty.devNode);
  use.holders = HoldersOf(table, paths, deviceNumbersOf(paths));
  use.uninspected = UninspectedCount(table);
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

void AddPortUses(ReportNames& names, const ReportedPorts& ports, const Devices& devices,
                 const ProcessTable& table) {
  for (const auto& [instanceId, tty] : ports) names[instanceId].use = UseOf(devices.at(tty), table);
}

}  // namespace kq::udev
