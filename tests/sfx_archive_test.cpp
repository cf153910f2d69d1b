#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "sfx/archive.h"

namespace kq::test {

using namespace kq::sfx;
using namespace std::string_literals;

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

const std::u16string kSettings =
    u"Setup=install_KQ-6200x86.bat\r\nTempMode\r\nSilent=1\r\nOverwrite=1\r\n"
    u"Title=KQ-6200 Driver installation";

// A stub stand-in followed by an archive of three files.
std::vector<unsigned char> SamplePackage(const std::string& secondPath = "x86/libusb0.sys") {
  std::vector<unsigned char> package = Bytes("MZ fake stub bytes");
  const auto archive = WriteArchive(
      kSettings, {{"install_KQ-6200x86.bat", Bytes("@echo off\r\n")},
                  {secondPath, Bytes(std::string(1000, 'S'))},
                  {"empty.cer", {}}});
  package.insert(package.end(), archive.begin(), archive.end());
  return package;
}

// Offset of the first occurrence of `text` in `package`.
std::size_t Find(const std::vector<unsigned char>& package, const std::string& text) {
  const auto at = std::search(package.begin(), package.end(), text.begin(), text.end());
  EXPECT_NE(at, package.end()) << text;
  return static_cast<std::size_t>(at - package.begin());
}

ArchiveError Read(const std::vector<unsigned char>& package) {
  ArchiveView view;
  return ReadArchive(package.data(), package.size(), view);
}

TEST(SfxArchive, RoundTripKeepsSettingsPathsAndBytes) {
  const auto package = SamplePackage();
  ArchiveView view;
  ASSERT_EQ(ReadArchive(package.data(), package.size(), view), ArchiveError::None);
  EXPECT_EQ(view.settings, kSettings);
  EXPECT_EQ(SettingValue(view.settings, u"Title"), u"KQ-6200 Driver installation");
  EXPECT_EQ(SettingValue(view.settings, u"Setup"), u"install_KQ-6200x86.bat");
  EXPECT_EQ(SettingValue(view.settings, u"TempMode"), u"");
  ASSERT_EQ(view.entries.size(), 3u);
  EXPECT_EQ(view.entries[1].path, "x86/libusb0.sys");
  EXPECT_EQ(std::string(view.entries[1].data, view.entries[1].data + view.entries[1].size),
            std::string(1000, 'S'));
  EXPECT_EQ(view.entries[2].size, 0u);
}

void PutU32At(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// The package behind a PE32 header, signed the way signing tools do it: zero
// bytes up to a multiple of 8, then the certificate table, which the header's
// security directory (index 4) names by file offset and length.
std::vector<unsigned char> SignedPackage(std::size_t tableSize = 40) {
  std::vector<unsigned char> package(0x40 + 24 + 224, 0);
  package[0] = 'M';
  package[1] = 'Z';
  PutU32At(package, 0x3C, 0x40);
  package[0x40] = 'P';
  package[0x41] = 'E';
  package[0x40 + 20] = 224;  // size of the optional header
  package[0x58] = 0x0b;      // PE32
  package[0x59] = 0x01;
  PutU32At(package, 0x58 + 92, 16);  // number of data directories
  const auto rest = SamplePackage();
  package.insert(package.end(), rest.begin(), rest.end());
  while (package.size() % 8 != 0) package.push_back(0);
  PutU32At(package, 0x58 + 96 + 32, static_cast<std::uint32_t>(package.size()));
  PutU32At(package, 0x58 + 96 + 36, static_cast<std::uint32_t>(tableSize));
  package.resize(package.size() + tableSize, 0x30);
  return package;
}

TEST(SfxArchive, ASignedPackageReadsAsBeforeItsSignature) {
  const auto signedPackage = SignedPackage();
  ArchiveView view;
  ASSERT_EQ(ReadArchive(signedPackage.data(), signedPackage.size(), view), ArchiveError::None);
  ASSERT_EQ(view.entries.size(), 3u);
  EXPECT_EQ(view.entries[1].size, 1000u);
  EXPECT_EQ(SettingValue(view.settings, u"Title"), u"KQ-6200 Driver installation");
  // The seal covers the archive's bytes, which signing leaves as they were:
  // the span ends before the padding and the table.
  const auto plainPackage = SamplePackage();
  ArchiveView plain;
  ASSERT_EQ(ReadArchive(plainPackage.data(), plainPackage.size(), plain), ArchiveError::None);
  EXPECT_EQ(plain.archiveEnd, plainPackage.size());
  ASSERT_EQ(view.archiveEnd - view.archiveOffset, plain.archiveEnd - plain.archiveOffset);
  EXPECT_TRUE(std::equal(signedPackage.begin() + view.archiveOffset,
                         signedPackage.begin() + view.archiveEnd,
                         plainPackage.begin() + plain.archiveOffset));

  // The table counts only where the header says it is and when it ends the
  // file: anything else after the archive is still damage.
  auto longer = signedPackage;
  longer.push_back(0);
  EXPECT_EQ(Read(longer), ArchiveError::NoTrailer);
  auto elsewhere = signedPackage;
  PutU32At(elsewhere, 0x58 + 96 + 32, static_cast<std::uint32_t>(elsewhere.size() - 39));
  EXPECT_EQ(Read(elsewhere), ArchiveError::NoTrailer);
  auto hugeTable = signedPackage;
  PutU32At(hugeTable, 0x58 + 96 + 36, 0xFFFFFFF0u);
  EXPECT_EQ(Read(hugeTable), ArchiveError::NoTrailer);
  auto fewDirectories = signedPackage;
  PutU32At(fewDirectories, 0x58 + 92, 4);
  EXPECT_EQ(Read(fewDirectories), ArchiveError::NoTrailer);
  auto notPe = signedPackage;
  notPe[0x41] = 'X';
  EXPECT_EQ(Read(notPe), ArchiveError::NoTrailer);
  // A table as long as the whole file leaves no archive.
  auto wholeFile = signedPackage;
  PutU32At(wholeFile, 0x58 + 96 + 32, 0);
  PutU32At(wholeFile, 0x58 + 96 + 36, static_cast<std::uint32_t>(wholeFile.size()));
  EXPECT_EQ(Read(wholeFile), ArchiveError::NoTrailer);
}

TEST(SfxArchive, Crc32IsTheZipChecksum) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const unsigned char*>(check.data()), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

TEST(SfxArchive, EveryTruncationIsRejected) {
  const auto package = SamplePackage();
  for (std::size_t cut = 0; cut < package.size(); ++cut) {
    const std::vector<unsigned char> head(package.begin(), package.begin() + cut);
    EXPECT_NE(Read(head), ArchiveError::None) << "cut at " << cut;
  }
}

TEST(SfxArchive, EveryFlippedPayloadOrSettingsByteIsRejected) {
  const auto package = SamplePackage();
  const std::size_t stub = 18;
  for (std::size_t i = stub; i < package.size(); ++i) {
    auto damaged = package;
    damaged[i] ^= 0x20;
    const ArchiveError error = Read(damaged);
    // Flipping a byte of a path may still leave a safe path: a different, valid name.
    if (error == ArchiveError::None) {
      ArchiveView view;
      ReadArchive(damaged.data(), damaged.size(), view);
      EXPECT_TRUE(view.entries[0].path != "install_KQ-6200x86.bat" ||
                  view.entries[1].path != "x86/libusb0.sys" || view.entries[2].path != "empty.cer")
          << "byte " << i << " changed nothing that was checked";
    }
  }
  auto payload = package;
  payload[Find(payload, "SSSS") + 500] = 'T';
  EXPECT_EQ(Read(payload), ArchiveError::CrcMismatch);
  auto settings = package;
  settings[Find(settings, "S\0e\0t\0u\0p"s)] = 'Z';
  EXPECT_EQ(Read(settings), ArchiveError::BadSettings);
}

TEST(SfxArchive, DamagedFramingIsNamed) {
  const auto package = SamplePackage();
  auto magic = package;
  magic[Find(magic, "KQ6KPKG1")] = 'X';
  EXPECT_EQ(Read(magic), ArchiveError::BadMagic);

  auto trailer = package;
  trailer.at(trailer.size() - 1) = '2';
  EXPECT_EQ(Read(trailer), ArchiveError::NoTrailer);

  // Body length pointing before the start of the file.
  auto length = package;
  length[length.size() - 12 + 3] = 0x7F;
  EXPECT_EQ(Read(length), ArchiveError::Truncated);

  // Extra bytes between the last entry and the trailer, counted in the body.
  auto extra = package;
  const std::size_t bodyEnd = extra.size() - 12;
  extra.insert(extra.begin() + bodyEnd, {1, 2, 3});
  const std::uint32_t body = extra[bodyEnd + 3] | (extra[bodyEnd + 4] << 8) | (extra[bodyEnd + 5] << 16);
  const std::uint32_t longer = body + 3;
  for (int k = 0; k < 4; ++k) extra[bodyEnd + 3 + k] = static_cast<unsigned char>(longer >> (8 * k));
  EXPECT_EQ(Read(extra), ArchiveError::TrailingData);

  EXPECT_EQ(Read(Bytes("MZ not a package at all")), ArchiveError::NoTrailer);
}

TEST(SfxArchive, UnsafePathsInsideAPackageAreRejected) {
  // Written with a harmless name, then renamed in place to the same length.
  const std::string harmless = "x86/abcdefgh.sys";  // 16 bytes
  const std::string unsafe[] = {
      "../abcdefghi.sys", "..\\abcdefghi.sy", "C:/abcdefgh.sys", "/x86/abcdefg.sys",
      "x86//abcdefg.sys", "amd64/../a.sys", "x86/NUL.sysabcd", "other/abcdef.sys",
      "x86/abcdefgh.sy.", "x86/sub/abcd.sys",
  };
  for (std::string bad : unsafe) {
    bad.resize(harmless.size(), 'z');  // keep the stored length
    auto package = SamplePackage(harmless);
    const std::size_t at = Find(package, harmless);
    std::copy(bad.begin(), bad.end(), package.begin() + static_cast<std::ptrdiff_t>(at));
    EXPECT_EQ(Read(package), ArchiveError::BadPath) << bad;
  }
  // Two entries that Windows would write to the same file.
  auto twice = SamplePackage("empty.ce2");
  std::copy_n("EMPTY.CER", 9, twice.begin() + static_cast<std::ptrdiff_t>(Find(twice, "empty.ce2")));
  EXPECT_EQ(Read(twice), ArchiveError::DuplicatePath);
}

TEST(SfxArchive, PathRules) {
  for (const char* good : {"certmgr.exe", "x86/libusb0.sys", "amd64/libusbK_x86.dll",
                           "install_KQ-6200x64.bat", "Quorvanta_KQ-6200_Reserved.inf",
                           "nul_file.txt", "com10.txt", "console.log", "a~b.txt", "v1~x.1~2",
                           "~!#$%&'()+,;=@[]^_`{}.txt"})
    EXPECT_TRUE(IsSafeEntryPath(good)) << good;
  for (const char* bad : {"", "/etc", "\\x", "C:x", "c:/x", "x86", "x86/", "/", ".", "..",
                          "x86/..", "x86/./a", "amd64/a/b", "X86/a", "a/b", "NUL", "nul.txt",
                          "Con", "aux.inf", "COM1", "lpt9.log", "x86/com3.sys", "CONIN$",
                          "conout$.txt", "NUL .txt", "COM\xC2\xB9", "trailing.", "blank ",
                          "a:b", "a*b", "a?b", "a|b", "a<b", "a>b", "a\"b", "tab\tname",
                          "bad\xC3", "\xC0\xAF", "\xED\xA0\x80surrogate", "AMD64",
                          // Outside printable ASCII: Windows' own letter case
                          // table would decide which names are one file.
                          "x86/\xC3\xA4nderung.txt", "\xC3\x84NDERUNG.TXT", "del\x7F.txt",
                          // 8.3 aliases: Windows may take them for another file.
                          "KQ_620~1.INF", "x86/LIBUSB~1.SYS", "certmg~9", "a~0b.txt", "x.y~1.z"})
    EXPECT_FALSE(IsSafeEntryPath(bad)) << bad;
  EXPECT_FALSE(IsSafeEntryPath(std::string(201, 'a')));
}

TEST(SfxArchive, WriterRefusesWhatTheReaderWouldReject) {
  EXPECT_THROW(WriteArchive(u"", {{"../evil.bat", {}}}), std::invalid_argument);
  EXPECT_THROW(WriteArchive(u"", {{"a.inf", {}}, {"A.INF", {}}}), std::invalid_argument);
}

std::string Hex(const Sha256Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) text += {kHex[byte >> 4], kHex[byte & 15]};
  return text;
}

TEST(SfxSeal, Sha256OfTheStandardMessages) {
  const auto digest = [](const std::string& text) {
    return Hex(Sha256(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
  };
  EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first padding block.
  EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(digest(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(digest(std::string(64, 'x')), digest(std::string(64, 'x')));
  EXPECT_NE(digest(std::string(64, 'x')), digest(std::string(63, 'x')));
}

// The packer writes the archive's digest after the stub's one marker; the
// stub accepts an archive only when its digest is that one.
TEST(SfxSeal, TheStubAcceptsOnlyTheArchiveItIsSealedFor) {
  const std::string marker = std::string(kSealMarkerHead) + kSealMarkerTail;
  ASSERT_EQ(marker.size(), kSealMarkerSize);
  std::vector<unsigned char> stub = Bytes("MZ code " + marker + std::string(32, '\0') + " more");
  const auto archive = WriteArchive(kSettings, {{"a.inf", Bytes("one")}});
  const auto digest = Sha256(archive.data(), archive.size());
  const std::size_t at = Find(stub, marker) + marker.size();

  std::array<unsigned char, 32> unsealed{};
  std::copy_n(stub.begin() + static_cast<std::ptrdiff_t>(at), 32, unsealed.begin());
  EXPECT_FALSE(SealMatches(unsealed.data(), digest)) << "an unsealed stub accepts nothing";
  EXPECT_FALSE(SealMatches(unsealed.data(), Sha256Digest{}));

  SealStub(stub, digest);
  EXPECT_TRUE(SealMatches(stub.data() + at, digest));
  EXPECT_EQ(std::string(stub.end() - 5, stub.end()), " more");
  auto other = archive;
  other[other.size() / 2] ^= 1;
  EXPECT_FALSE(SealMatches(stub.data() + at, Sha256(other.data(), other.size())));

  // The package reads back with the offset of its archive.
  std::vector<unsigned char> package = stub;
  package.insert(package.end(), archive.begin(), archive.end());
  ArchiveView view;
  ASSERT_EQ(ReadArchive(package.data(), package.size(), view), ArchiveError::None);
  EXPECT_EQ(view.archiveOffset, stub.size());

  std::vector<unsigned char> none = Bytes("MZ no marker here, only 40 bytes of code..");
  EXPECT_THROW(SealStub(none, digest), std::invalid_argument);
  std::vector<unsigned char> twice = Bytes(marker + std::string(32, '\0') + marker + std::string(32, '\0'));
  EXPECT_THROW(SealStub(twice, digest), std::invalid_argument);
  std::vector<unsigned char> cut = Bytes("MZ " + marker + std::string(31, '\0'));
  EXPECT_THROW(SealStub(cut, digest), std::invalid_argument);
}

}  // namespace

}  // namespace kq::test
