#include "sfx/archive.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "base/ascii.h"
#include "base/utf8.h"

namespace kq::sfx {

namespace {

constexpr unsigned char kBodyMagic[8] = {'K', 'Q', '6', 'K', 'P', 'K', 'G', '1'};
constexpr unsigned char kTrailerMagic[8] = {'K', 'Q', '6', 'K', 'E', 'N', 'D', '1'};
constexpr std::size_t kTrailerSize = 4 + sizeof kTrailerMagic;
constexpr std::uint32_t kMaxEntries = 4096;
constexpr std::size_t kMaxPathBytes = 200;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();



// Windows opens the device instead of a file for these base names, whatever
// the extension ("nul.txt" is NUL), and ignores blanks before the extension.
bool IsReservedDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static constexpr std::string_view kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (auto name : kPlain)
    if (equalsIgnoringAsciiCase(base, name)) return true;
  for (std::string_view stem : {std::string_view("COM"), std::string_view("LPT")}) {
    if (base.size() < 4 || !equalsIgnoringAsciiCase(base.substr(0, 3), stem)) continue;
    // (Superscript digits count too, but no name with them passes the ASCII rule.)
    const std::string_view digit = base.substr(3);
    if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
  }
  return false;
}

// "NAME~1.INF": Windows may resolve such a name to the short name of another
// file in the folder rather than create it.
bool LooksLikeShortNameAlias(std::string_view c) {
  const std::string_view base = c.substr(0, c.rfind('.'));
  for (std::size_t i = 0; i + 1 < base.size(); ++i)
    if (base[i] == '~' && base[i + 1] >= '0' && base[i + 1] <= '9') return true;
  return false;
}

bool IsSafeComponent(std::string_view c) {
  if (c.empty() || c.size() > 255 || c == "." || c == "..") return false;
  if (c.back() == '.' || c.back() == ' ') return false;
  for (char ch : c) {
    const auto b = static_cast<unsigned char>(ch);
    // Printable ASCII only: letter case beyond ASCII is the file system's
    // own table, which no comparison here could follow.
    if (b < 0x20 || b > 0x7E || std::string_view("<>:\"\\|?*").find(ch) != std::string_view::npos)
      return false;
  }
  return !IsReservedDeviceName(c) && !LooksLikeShortNameAlias(c);
}

void PutU16(std::vector<unsigned char>& out, std::uint32_t v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}
void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

// Bounds-checked reading through one region of the package.
struct Reader {
  const unsigned char* at;
  std::size_t left;

  bool Take(std::size_t n, const unsigned char*& p) {
    if (n > left) return false;
    p = at;
    at += n;
    left -= n;
    return true;
  }
  bool U16(std::uint32_t& v) {
    const unsigned char* p;
    if (!Take(2, p)) return false;
    v = p[0] | (p[1] << 8);
    return true;
  }
  bool U32(std::uint32_t& v) {
    std::uint32_t lo, hi;
    if (!U16(lo) || !U16(hi)) return false;
    v = lo | (hi << 16);
    return true;
  }
};

}  // namespace

std::uint32_t Crc32(const unsigned char* data, std::size_t size) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

const char* ArchiveErrorText(ArchiveError error) {
  switch (error) {
    case ArchiveError::None: return "no error";
    case ArchiveError::NoTrailer: return "no package trailer (not a package, or cut short)";
    case ArchiveError::Truncated: return "package truncated";
    case ArchiveError::BadMagic: return "bad package signature";
    case ArchiveError::BadSettings: return "damaged settings text";
    case ArchiveError::TooManyEntries: return "too many entries";
    case ArchiveError::BadPath: return "unsafe entry path";
    case ArchiveError::DuplicatePath: return "duplicate entry path";
    case ArchiveError::CrcMismatch: return "checksum mismatch";
    case ArchiveError::TrailingData: return "unexpected data after the last entry";
  }
  return "unknown error";
}

bool IsSafeEntryPath(std::string_view path) {
  if (path.empty() || path.size() > kMaxPathBytes || !isValidUtf8(path)) return false;
  const std::size_t slash = path.find('/');
  // A top-level file may not take the name of one of the two subfolders.
  if (slash == std::string_view::npos)
    return IsSafeComponent(path) && !equalsIgnoringAsciiCase(path, "x86") && !equalsIgnoringAsciiCase(path, "amd64");
  const std::string_view folder = path.substr(0, slash);
  const std::string_view name = path.substr(slash + 1);
  return (folder == "x86" || folder == "amd64") && name.find('/') == std::string_view::npos &&
         IsSafeComponent(name);
}

std::vector<unsigned char> WriteArchive(std::u16string_view settings,
                                        const std::vector<PackedFile>& files) {
  std::vector<unsigned char> out(std::begin(kBodyMagic), std::end(kBodyMagic));
  std::vector<unsigned char> text;
  for (char16_t u : settings) PutU16(text, u);
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  PutU32(out, Crc32(text.data(), text.size()));
  if (files.size() > kMaxEntries) throw std::invalid_argument("too many files");
  PutU32(out, static_cast<std::uint32_t>(files.size()));
  for (std::size_t i = 0; i < files.size(); ++i) {
    const PackedFile& f = files[i];
    if (!IsSafeEntryPath(f.path)) throw std::invalid_argument("unsafe entry path: " + f.path);
    for (std::size_t j = 0; j < i; ++j)
      if (equalsIgnoringAsciiCase(files[j].path, f.path))
        throw std::invalid_argument("duplicate entry path: " + f.path);
    if (f.data.size() > 0xFFFFFFFFu) throw std::invalid_argument("file too large: " + f.path);
    PutU16(out, static_cast<std::uint32_t>(f.path.size()));
    out.insert(out.end(), f.path.begin(), f.path.end());
    PutU32(out, static_cast<std::uint32_t>(f.data.size()));
    PutU32(out, Crc32(f.data.data(), f.data.size()));
    out.insert(out.end(), f.data.begin(), f.data.end());
  }
  const std::size_t bodySize = out.size();
  PutU32(out, static_cast<std::uint32_t>(bodySize));
  out.insert(out.end(), std::begin(kTrailerMagic), std::end(kTrailerMagic));
  return out;
}

namespace {

std::uint32_t U32At(const unsigned char* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

// A signed package is the package with an Authenticode certificate table
// appended (and zero bytes before it that align it to 8 bytes), so that the
// signature covers the archive too. The table is the one the PE header's
// security directory names, and only when it ends exactly at the file's end;
// the package proper ends where the table and its alignment begin.
std::size_t UnsignedSize(const unsigned char* file, std::size_t size) {
  if (size < 0x40 || file[0] != 'M' || file[1] != 'Z') return size;
  const std::size_t pe = U32At(file + 0x3C);
  if (pe > size || size - pe < 24 || file[pe] != 'P' || file[pe + 1] != 'E' ||
      file[pe + 2] != 0 || file[pe + 3] != 0)
    return size;
  const std::size_t optional = pe + 24;
  const std::size_t optionalSize = file[pe + 20] | (file[pe + 21] << 8);
  if (optionalSize < 2 || optionalSize > size - optional) return size;
  const unsigned magic = file[optional] | (file[optional + 1] << 8);
  const std::size_t directories = magic == 0x10b ? 96 : magic == 0x20b ? 112 : 0;
  constexpr std::size_t kSecurity = 4;  // the directory's index
  if (directories == 0 || optionalSize < directories + (kSecurity + 1) * 8 ||
      U32At(file + optional + directories - 4) <= kSecurity)
    return size;
  const std::size_t offset = U32At(file + optional + directories + kSecurity * 8);
  const std::size_t length = U32At(file + optional + directories + kSecurity * 8 + 4);
  if (length == 0 || offset > size || length != size - offset) return size;
  std::size_t end = offset;
  for (int padding = 0; padding < 7 && end > 0 && file[end - 1] == 0; ++padding) --end;
  return end;
}

}  // namespace

ArchiveError ReadArchive(const unsigned char* package, std::size_t size, ArchiveView& out) {
  size = UnsignedSize(package, size);
  if (size < kTrailerSize) return ArchiveError::NoTrailer;
  Reader trailer{package + size - kTrailerSize, kTrailerSize};
  std::uint32_t bodySize = 0;
  trailer.U32(bodySize);
  for (std::size_t i = 0; i < sizeof kTrailerMagic; ++i)
    if (trailer.at[i] != kTrailerMagic[i]) return ArchiveError::NoTrailer;
  if (bodySize > size - kTrailerSize) return ArchiveError::Truncated;

  Reader r{package + size - kTrailerSize - bodySize, bodySize};
  const unsigned char* p;
  if (!r.Take(sizeof kBodyMagic, p)) return ArchiveError::Truncated;
  for (std::size_t i = 0; i < sizeof kBodyMagic; ++i)
    if (p[i] != kBodyMagic[i]) return ArchiveError::BadMagic;

  ArchiveView view;
  std::uint32_t textSize, textCrc, count;
  const unsigned char* text;
  if (!r.U32(textSize) || !r.Take(textSize, text) || !r.U32(textCrc)) return ArchiveError::Truncated;
  if (textSize % 2 != 0 || Crc32(text, textSize) != textCrc) return ArchiveError::BadSettings;
  for (std::size_t i = 0; i < textSize; i += 2)
    view.settings.push_back(static_cast<char16_t>(text[i] | (text[i + 1] << 8)));

  if (!r.U32(count)) return ArchiveError::Truncated;
  if (count > kMaxEntries) return ArchiveError::TooManyEntries;
  for (std::uint32_t n = 0; n < count; ++n) {
    std::uint32_t pathSize, dataSize, dataCrc;
    const unsigned char* pathBytes;
    const unsigned char* data;
    if (!r.U16(pathSize) || !r.Take(pathSize, pathBytes) || !r.U32(dataSize) || !r.U32(dataCrc) ||
        !r.Take(dataSize, data))
      return ArchiveError::Truncated;
    EntryView e{std::string(reinterpret_cast<const char*>(pathBytes), pathSize), data, dataSize};
    if (!IsSafeEntryPath(e.path)) return ArchiveError::BadPath;
    for (const EntryView& earlier : view.entries)
      if (equalsIgnoringAsciiCase(earlier.path, e.path)) return ArchiveError::DuplicatePath;
    if (Crc32(data, dataSize) != dataCrc) return ArchiveError::CrcMismatch;
    view.entries.push_back(std::move(e));
  }
  if (r.left != 0) return ArchiveError::TrailingData;
  view.archiveOffset = size - kTrailerSize - bodySize;
  view.archiveEnd = size;
  out = std::move(view);
  return ArchiveError::None;
}

namespace {

constexpr std::uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Sha256Block(std::uint32_t (&h)[8], const unsigned char* block) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | block[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 =
        k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[i] + w[i];
    const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::uint32_t add[8] = {a, b, c, d, e, f, g, k};
  for (int i = 0; i < 8; ++i) h[i] += add[i];
}

}  // namespace

Sha256Digest Sha256(const unsigned char* data, std::size_t size) {
  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::size_t done = 0;
  for (; size - done >= 64; done += 64) Sha256Block(h, data + done);
  // The tail, the 0x80 byte, zeros and the bit length fill one or two blocks.
  unsigned char tail[128] = {};
  const std::size_t rest = size - done;
  for (std::size_t i = 0; i < rest; ++i) tail[i] = data[done + i];
  tail[rest] = 0x80;
  const std::size_t blocks = rest + 9 <= 64 ? 1 : 2;
  const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
  for (int i = 0; i < 8; ++i) tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  for (std::size_t b = 0; b < blocks; ++b) Sha256Block(h, tail + 64 * b);
  Sha256Digest digest;
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

void SealStub(std::vector<unsigned char>& stub, const Sha256Digest& digest) {
  const std::string text = std::string(kSealMarkerHead) + kSealMarkerTail;
  const auto marker = reinterpret_cast<const unsigned char*>(text.data());
  const auto at = std::search(stub.begin(), stub.end(), marker, marker + kSealMarkerSize);
  if (at == stub.end() || stub.end() - at < static_cast<std::ptrdiff_t>(kSealMarkerSize + 32))
    throw std::invalid_argument("the stub carries no seal");
  if (std::search(at + 1, stub.end(), marker, marker + kSealMarkerSize) != stub.end())
    throw std::invalid_argument("the stub carries the seal marker more than once");
  std::copy(digest.begin(), digest.end(), at + kSealMarkerSize);
}

bool SealMatches(const unsigned char* sealDigest, const Sha256Digest& archiveDigest) {
  unsigned char any = 0, differs = 0;
  for (std::size_t i = 0; i < archiveDigest.size(); ++i) {
    any |= sealDigest[i];
    differs |= sealDigest[i] ^ archiveDigest[i];
  }
  return any != 0 && differs == 0;
}

std::u16string SettingValue(std::u16string_view settings, std::u16string_view key) {
  std::size_t start = 0;
  while (start <= settings.size()) {
    std::size_t end = settings.find(u"\r\n", start);
    if (end == std::u16string_view::npos) end = settings.size();
    const std::u16string_view line = settings.substr(start, end - start);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == u'=')
      return std::u16string(line.substr(key.size() + 1));
    start = end + 2;
  }
  return {};
}

}  // namespace kq::sfx
