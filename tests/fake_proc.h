// A folder shaped as /proc: processes with a comm, an fd folder of links and
// an fdinfo folder where a file's flags are written, for the readers of
// processes' open files.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kq::test {

namespace fs = std::filesystem;

// No process runs with a pid this high (the kernel allows at most 4,194,304),
// so a fake process numbered from here never shares its pid with this test,
// or with a child it starts, which the readers leave out as their own.
constexpr long kFakePid = 5'000'000;

struct FakeProc {
  static inline int made = 0;
  fs::path root = fs::temp_directory_path() /
                  ("kq-proc-" + std::to_string(getpid()) + "-" + std::to_string(made++));
  FakeProc() { fs::create_directories(root); }
  ~FakeProc() { fs::remove_all(root); }
  FakeProc(const FakeProc&) = delete;
  FakeProc& operator=(const FakeProc&) = delete;

  // A process with its comm and, unless `files` is null, an fd folder of
  // links; without one, its fd is no folder, as another user's cannot be
  // opened.
  void add(long pid, const std::string& comm, const std::vector<std::string>* files) {
    const fs::path folder = root / std::to_string(pid);
    fs::create_directories(folder);
    std::ofstream(folder / "comm") << comm;
    if (!files) {
      std::ofstream(folder / "fd") << "";
      return;
    }
    fs::create_directories(folder / "fd");
    int fd = 0;
    for (const std::string& target : *files)
      fs::create_symlink(target, folder / "fd" / std::to_string(fd++));
  }

  // Writes the fdinfo of the process's file `fd` with these flags (octal, as
  // the kernel writes them). A file without one counts as opened for use.
  void flags(long pid, int fd, int flags) {
    const fs::path folder = root / std::to_string(pid) / "fdinfo";
    fs::create_directories(folder);
    char octal[16];
    std::snprintf(octal, sizeof octal, "%07o", static_cast<unsigned>(flags));
    std::ofstream(folder / std::to_string(fd)) << "pos:\t0\nflags:\t" << octal << "\nmnt_id:\t21\n";
  }
};

}  // namespace kq::test
