#include "drivers/sfx/archive.h"

#include <array>
#include <stdexcept>

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

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}


// Windows opens the device instead of a file for these base names, whatever
// the extension ("nul.txt" is NUL), and ignores blanks before the extension.
bool IsReservedDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static constexpr std::string_view kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (auto name : kPlain)
    if (EqualsNoCase(base, name)) return true;
  for (std::string_view stem : {std::string_view("COM"), std::string_view("LPT")}) {
    if (base.size() < 4 || !EqualsNoCase(base.substr(0, 3), stem)) continue;
    const std::string_view digit = base.substr(3);
    if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
    // Superscript one, two, three count as digits to the device namespace.
    if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
  }
  return false;
}

bool IsSafeComponent(std::string_view c) {
  if (c.empty() || c.size() > 255 || c == "." || c == "..") return false;
  if (c.back() == '.' || c.back() == ' ') return false;
  for (char ch : c) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x20 || std::string_view("<>:\"\\|?*").find(ch) != std::string_view::npos) return false;
  }
  return !IsReservedDeviceName(c);
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
    return IsSafeComponent(path) && !EqualsNoCase(path, "x86") && !EqualsNoCase(path, "amd64");
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
      if (EqualsNoCase(files[j].path, f.path))
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
      if (EqualsNoCase(earlier.path, e.path)) return ArchiveError::DuplicatePath;
    if (Crc32(data, dataSize) != dataCrc) return ArchiveError::CrcMismatch;
    view.entries.push_back(std::move(e));
  }
  if (r.left != 0) return ArchiveError::TrailingData;
  out = std::move(view);
  return ArchiveError::None;
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
