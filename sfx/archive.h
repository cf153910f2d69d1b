// The driver package archive (format in sfx/FORMAT.md): written by the
// packer, read and checked by the self-extractor. No Windows API here, so the
// checks run in the host tests as well.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kq::sfx {

std::uint32_t Crc32(const unsigned char* data, std::size_t size);

// One file to pack, owning its bytes.
struct PackedFile {
  std::string path;  // entry path: "name", "x86/name" or "amd64/name" (UTF-8)
  std::vector<unsigned char> data;
};

// One file inside a loaded package, pointing into the package's bytes.
struct EntryView {
  std::string path;
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

struct ArchiveView {
  std::u16string settings;  // the settings text, lines joined by CRLF
  std::vector<EntryView> entries;
  std::size_t archiveOffset = 0;  // where the body begins: the archive is body and trailer
  // Where the trailer ends: the file's end, or where an Authenticode
  // signature appended to the package begins. The seal covers the bytes from
  // archiveOffset to here, signed or not.
  std::size_t archiveEnd = 0;
};

enum class ArchiveError {
  None,
  NoTrailer,     // no end marker: not a package, or cut short at the end
  Truncated,     // a length points past the data it should lie in
  BadMagic,
  BadSettings,   // odd byte count or checksum mismatch
  TooManyEntries,
  BadPath,       // would write outside the target folder, or is no valid file name
  DuplicatePath,
  CrcMismatch,
  TrailingData,  // bytes left between the last entry and the trailer
};

const char* ArchiveErrorText(ArchiveError error);

// True when `path` names a file directly in the target folder or in its "x86"
// or "amd64" subfolder and can mean nothing else on Windows: no absolute or
// drive paths, no "." or "..", no empty parts, no backslashes or characters
// Windows forbids in names, no reserved device names (CON, NUL, COM1, ...),
// no trailing dots or blanks (Windows strips them), printable ASCII only (a
// name that differs from another in non-ASCII letter case alone is the same
// file to Windows), and no 8.3 alias ("~" and a digit before the extension,
// which Windows may resolve to another entry's file).
bool IsSafeEntryPath(std::string_view path);

// The archive body and trailer, to be appended to the self-extractor stub.
// Throws std::invalid_argument on an unsafe or duplicate path.
std::vector<unsigned char> WriteArchive(std::u16string_view settings,
                                        const std::vector<PackedFile>& files);

// Checks the whole package (stub + archive) before anything is written: every
// length, every path and every checksum. `out` is filled only on success; its
// entries point into `package`. A package signed after it was packed reads as
// it was before: the archive ends where the signature's certificate table
// begins.
ArchiveError ReadArchive(const unsigned char* package, std::size_t size, ArchiveView& out);

using Sha256Digest = std::array<unsigned char, 32>;
Sha256Digest Sha256(const unsigned char* data, std::size_t size);

// The seal: the SHA-256 of the archive (body and trailer), written by the
// packer into the stub's image right after the 16 bytes of kSealMarker. The
// stub carries the marker followed by 32 zero bytes (unsealed). The marker is
// kept here in two halves, so that the stub, which links this code, carries
// it whole only once.
inline constexpr char kSealMarkerHead[] = "KQ6K-SEAL";
inline constexpr char kSealMarkerTail[] = "-SHA256";
inline constexpr std::size_t kSealMarkerSize = sizeof kSealMarkerHead + sizeof kSealMarkerTail - 2;

// Writes `digest` after the one occurrence of the marker in `stub`. Throws
// std::invalid_argument when the marker is missing or occurs more than once.
void SealStub(std::vector<unsigned char>& stub, const Sha256Digest& digest);

// Whether the 32 bytes a stub carries after its marker are the seal of an
// archive with `archiveDigest`. An unsealed stub (all zero) matches nothing.
bool SealMatches(const unsigned char* sealDigest, const Sha256Digest& archiveDigest);

// The value of "Key=value" in the settings text, or empty.
std::u16string SettingValue(std::u16string_view settings, std::u16string_view key);

}  // namespace kq::sfx
