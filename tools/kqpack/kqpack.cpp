// Builds a KQ-6200 driver package: the self-extractor stub, sealed with the
// archive's SHA-256, followed by an archive of the given files (format:
// sfx/FORMAT.md). Runs on the build machine.
//
//   kqpack --stub STUB --out PACKAGE [--setting LINE]... ENTRY=SOURCE...
//   kqpack --list PACKAGE
//
// ENTRY is the path inside the package ("name", "x86/name", "amd64/name").
// Settings lines are ASCII and are carried as UTF-16, joined by CRLF.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "sfx/archive.h"

namespace {

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

int List(const std::string& path) {
  const auto package = ReadFile(path);
  kq::sfx::ArchiveView view;
  const auto error = kq::sfx::ReadArchive(package.data(), package.size(), view);
  if (error != kq::sfx::ArchiveError::None) {
    std::fprintf(stderr, "kqpack: %s: %s\n", path.c_str(), kq::sfx::ArchiveErrorText(error));
    return 1;
  }
  for (char16_t c : view.settings) std::putchar(c < 0x80 ? static_cast<char>(c) : '?');
  std::putchar('\n');
  for (const auto& e : view.entries) std::printf("%10zu  %s\n", e.size, e.path.c_str());
  return 0;
}

int Pack(int argc, char** argv) {
  std::string stub, out;
  std::u16string settings;
  std::vector<kq::sfx::PackedFile> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--stub" && hasValue) {
      stub = argv[++i];
    } else if (arg == "--out" && hasValue) {
      out = argv[++i];
    } else if (arg == "--setting" && hasValue) {
      if (!settings.empty()) settings += u"\r\n";
      for (const char* p = argv[++i]; *p; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80) throw std::runtime_error("settings must be ASCII");
        settings += static_cast<char16_t>(*p);
      }
    } else if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) != 0) {
      files.push_back({arg.substr(0, eq), ReadFile(arg.substr(eq + 1))});
    } else {
      throw std::runtime_error("unexpected argument: " + arg);
    }
  }
  if (stub.empty() || out.empty()) throw std::runtime_error("--stub and --out are required");

  auto package = ReadFile(stub);
  const auto archive = kq::sfx::WriteArchive(settings, files);
  // The stub elevated by the program unpacks only the archive it is sealed for.
  kq::sfx::SealStub(package, kq::sfx::Sha256(archive.data(), archive.size()));
  package.insert(package.end(), archive.begin(), archive.end());
  // Read back what the self-extractor will read, before anyone ships it.
  kq::sfx::ArchiveView check;
  if (kq::sfx::ReadArchive(package.data(), package.size(), check) != kq::sfx::ArchiveError::None ||
      check.entries.size() != files.size())
    throw std::runtime_error("package does not read back");
  WriteFile(out, package);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::strcmp(argv[1], "--list") == 0) return List(argv[2]);
    return Pack(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kqpack: %s\n", e.what());
    return 1;
  }
}
