#include "storage/container/page_manager.h"
#include "platform/little_endian.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/file_util.h"
#include "storage/crypto/cipher.h"
#include "storage/crypto/hash.h"
#include "storage/crypto/password.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::kNoException;
using testing::MessageOf;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr std::size_t kPart = 280;  // the part header before the logical stream

std::uint32_t Get32(const std::string& s, std::size_t at) {
  return TByteReader(s.data(), s.size(), at).Read<std::uint32_t>();
}

void Put32(std::string& s, std::size_t at, std::uint32_t v) { StoreLE(s.data() + at, v); }

// XOR of little-endian words, written here independently of the code under test.
std::uint32_t XorWords(const std::string& s, std::size_t from, std::size_t size) {
  std::uint32_t x = 0;
  for (std::size_t i = 0; i + 4 <= size; i += 4) x ^= Get32(s, from + i);
  return x;
}

// The container header of a new container, from the documented layout.
std::string ExpectedHeader(std::int32_t pageSize, std::int32_t extentPages,
                           std::int32_t pageCount) {
  std::string h(256, '\0');
  h.replace(0, 8, "KRPGYSGN");
  h[12] = 0x66;
  h[13] = 0x66;
  h[14] = 0x26;
  h[15] = 0x40;
  Put32(h, 16, static_cast<std::uint32_t>(pageSize));
  Put32(h, 20, static_cast<std::uint32_t>(extentPages));
  Put32(h, 24, 1);
  Put32(h, 48, static_cast<std::uint32_t>(pageCount));
  Put32(h, 8, XorWords(h, 12, 244));
  return h;
}

std::string Pattern(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::unique_ptr<TPageFileManager> CreateContainer(const std::string& path, std::int32_t pageSize,
                                                  std::int32_t extentPages,
                                                  const std::string& password = {}) {
  return std::make_unique<TPageFileManager>(path, kContainerCreate, password, "", "", false,
                                            pageSize, extentPages, -1);
}

std::unique_ptr<TPageFileManager> OpenContainer(const std::string& path,
                                                std::uint16_t mode = kOpenReadWrite,
                                                const std::string& password = {}) {
  return std::make_unique<TPageFileManager>(path, mode, password, "", "", false, 4096, 8, -1);
}

// --- byte layout ------------------------------------------------------------

class PageLayoutTest : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(PageLayoutTest, NewContainerIsPartHeaderPlusContainerHeader) {
  const auto [pageSize, extentPages] = GetParam();
  TempDir dir;
  const std::string path = dir.file("new.kvb");
  CreateContainer(path, pageSize, extentPages).reset();
  const std::string bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 536u);
  EXPECT_EQ(bytes.substr(0, 8), "KRMVHFSS");
  EXPECT_EQ(bytes.substr(280, 8), "KRPGYSGN");
  EXPECT_EQ(bytes.substr(kPart), ExpectedHeader(pageSize, extentPages, 1));
}

TEST_P(PageLayoutTest, PlainPageIsHeaderThenDataWithXorChecksum) {
  const auto [pageSize, extentPages] = GetParam();
  TempDir dir;
  const std::string path = dir.file("p.kvb");
  const std::int32_t dataSize = pageSize - 32;
  const std::string data = Pattern(static_cast<std::size_t>(dataSize), 7);
  {
    auto pm = CreateContainer(path, pageSize, extentPages);
    ASSERT_TRUE(pm->ExtendFile(3));
    TPageRecBuffer page(dataSize);
    std::memcpy(page.data(), data.data(), data.size());
    page.rec.NextPageNo = 7;
    page.rec.PageType = ptFileData;
    ASSERT_TRUE(pm->WritePage(page.rec, 2));
  }
  const std::string bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), kPart + 4 * static_cast<std::size_t>(pageSize));
  EXPECT_EQ(bytes.substr(kPart, 256), ExpectedHeader(pageSize, extentPages, 4));

  std::string header(32, '\0');
  Put32(header, 0, 7);
  Put32(header, 4, XorWords(data, 0, data.size()));
  header[8] = 6;
  const std::size_t at = kPart + 2 * static_cast<std::size_t>(pageSize);
  EXPECT_EQ(bytes.substr(at, 32), header);
  EXPECT_EQ(bytes.substr(at + 32, data.size()), data);
}

TEST_P(PageLayoutTest, EncryptedPageHoldsCipherTextOfTheMasterKey) {
  const auto [pageSize, extentPages] = GetParam();
  TempDir dir;
  const std::string path = dir.file("e.kvb");
  const std::int32_t dataSize = pageSize - 32;
  const std::string data = Pattern(static_cast<std::size_t>(dataSize), 11);
  {
    auto pm = CreateContainer(path, pageSize, extentPages, "secret");
    ASSERT_TRUE(pm->ExtendFile(1));
    TPageRecBuffer page(dataSize);
    std::memcpy(page.data(), data.data(), data.size());
    page.rec.PageType = ptDirectory;
    page.rec.EncryptionType = kEncryptionRijndael;
    ASSERT_TRUE(pm->WritePage(page.rec, 1));
  }
  const std::string bytes = ReadFileBytes(path);
  const std::string h = bytes.substr(kPart, 256);
  EXPECT_EQ(h.substr(0, 8), "KRPGYSGN");
  EXPECT_EQ(static_cast<std::uint8_t>(h[224]), 1);
  EXPECT_EQ(Get32(h, 8), XorWords(h, 12, 244));
  EXPECT_EQ(Get32(h, 48), 2u);
  // Without question and answer only the key and its CRC are in the record.
  EXPECT_EQ(h.substr(52 + 32, 32), std::string(32, '\0'));
  EXPECT_EQ(Get32(h, 52 + 64) >> 16, 0u);
  EXPECT_EQ(h.substr(52 + 68, 172 - 68), std::string(172 - 68, '\0'));
  EXPECT_EQ(h.substr(225), std::string(31, '\0'));

  PasswordRecord record;
  std::memcpy(record.data(), h.data() + 52, record.size());
  std::string key;
  ASSERT_TRUE(CheckPassword(record, "secret", key));
  ASSERT_EQ(key.size(), 33u);
  std::string cipherText = data;
  TCipher_Rijndael(key).EncodeBuffer(cipherText.data(), cipherText.data(), cipherText.size());

  const std::size_t at = kPart + static_cast<std::size_t>(pageSize);
  std::string header(32, '\0');
  Put32(header, 0, 0xFFFFFFFFu);
  Put32(header, 4, XorWords(cipherText, 0, cipherText.size()));
  header[8] = 1;
  header[9] = 1;
  EXPECT_EQ(bytes.substr(at, 32), header);
  EXPECT_EQ(bytes.substr(at + 32, cipherText.size()), cipherText);
}

INSTANTIATE_TEST_SUITE_P(Geometries, PageLayoutTest,
                         ::testing::Values(std::make_pair(544, 2), std::make_pair(4096, 8),
                                           std::make_pair(8192, 16)));

TEST(PageFormatTest, ReaderAcceptsHandBuiltCrc16AndUncheckedPages) {
  TempDir dir;
  const std::string path = dir.file("crc.kvb");
  CreateContainer(path, 544, 2)->ExtendFile(2);
  std::string bytes = ReadFileBytes(path);
  const std::string data = Pattern(512, 3);
  // Page 1: CRC-16/ARC checksum, stored zero-extended.
  std::string page1(32, '\0');
  Put32(page1, 0, 0xFFFFFFFFu);
  Put32(page1, 4, CRC16ARC(0, data.data(), data.size()));
  page1[8] = ptFileData;
  page1[10] = 1;
  bytes.replace(kPart + 544, 544, page1 + data);
  // Page 2: an unknown checksum type and a checksum field that matches nothing.
  std::string page2(32, '\0');
  Put32(page2, 4, 0x12345678);
  page2[10] = 9;
  bytes.replace(kPart + 2 * 544, 544, page2 + data);
  WriteFileBytes(path, bytes);

  auto pm = OpenContainer(path);
  TPageRecBuffer page(512);
  ASSERT_TRUE(pm->ReadPage(page.rec, 1));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(page.data()), 512), data);
  EXPECT_EQ(page.rec.ChecksumType, 1);
  ASSERT_TRUE(pm->ReadPage(page.rec, 2));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(page.data()), 512), data);

  // Writing with CRC-16 stores the CRC in the low 16 bits.
  page.rec.ChecksumType = kChecksumCRC16;
  ASSERT_TRUE(pm->WritePage(page.rec, 2));
  pm.reset();
  bytes = ReadFileBytes(path);
  EXPECT_EQ(Get32(bytes, kPart + 2 * 544 + 4), CRC16ARC(0, data.data(), data.size()));
}

// --- creation and opening ------------------------------------------------------

TEST(PageManagerCreateTest, RejectsBadGeometryWithItsMessages) {
  TempDir dir;
  const std::string path = dir.file("g.kvb");
  EXPECT_EQ(MessageOf([&] { CreateContainer(path, 543, 2); }),
            "TPageFileManager.Create - page size should be >= 544bytes .");
  EXPECT_EQ(MessageOf([&] { CreateContainer(path, 0, 2); }),
            "TPageFileManager.Create - page size should be >= 544bytes .");
  EXPECT_EQ(MessageOf([&] { CreateContainer(path, 544, 0); }),
            "TPageFileManager.Create - extent page count should be >= 1 Page.");
  EXPECT_EQ(MessageOf([&] { CreateContainer(path, 544, -3); }),
            "TPageFileManager.Create - extent page count should be >= 1 Page.");
  // Geometries the bitmaps cannot describe are refused before a file is made.
  EXPECT_NE(MessageOf([&] { CreateContainer(path, 544, 5000); }), kNoException);
  EXPECT_NE(MessageOf([&] { CreateContainer(path, 0x7FFFFFFF, 8); }), kNoException);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(MessageOf([&] { CreateContainer(path, 544, 2); }), kNoException);
}

TEST(PageManagerCreateTest, OpenTakesTheGeometryFromTheFile) {
  TempDir dir;
  const std::string path = dir.file("geo.kvb");
  CreateContainer(path, 8192, 16).reset();
  auto pm = OpenContainer(path);  // asks for 4096 / 8
  EXPECT_EQ(pm->PageSize(), 8192);
  EXPECT_EQ(pm->ExtentPageCount(), 16);
  EXPECT_EQ(pm->PageDataSize(), 8160);
  EXPECT_EQ(pm->PageOffset(3), 3 * 8192);
  EXPECT_FALSE(pm->ReadOnly());
  EXPECT_FALSE(pm->Exclusive());
}

TEST(PageManagerOpenTest, MissingFileAndDamagedHeader) {
  TempDir dir;
  const std::string path = dir.file("h.kvb");
  EXPECT_EQ(MessageOf([&] { OpenContainer(path); }), "File '" + path + "' not found");

  CreateContainer(path, 4096, 8).reset();
  const std::string good = ReadFileBytes(path);
  for (std::size_t at : {kPart + 0, kPart + 8, kPart + 12, kPart + 100, kPart + 255}) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x10);
    WriteFileBytes(path, bad);
    EXPECT_EQ(MessageOf([&] { OpenContainer(path); }),
              "TPagybox.LoadHeader - Invalid Pagy file, header is corrupted.")
        << "byte " << at;
  }
  // Version and checksum changed together: accepted.
  std::string other = good;
  other[kPart + 12] = 0;
  Put32(other, kPart + 8, XorWords(other, kPart + 12, 244));
  WriteFileBytes(path, other);
  EXPECT_EQ(MessageOf([&] { OpenContainer(path); }), kNoException);
  // Not a container at all.
  WriteFileBytes(path, std::string(600, 'x'));
  EXPECT_EQ(MessageOf([&] { OpenContainer(path); }), "File h.kvb has corrupted header.");
}

// A header with a correct checksum but absurd values is as corrupt as one
// with a wrong checksum: nothing divides by it or allocates from it.
TEST(PageManagerOpenTest, ChecksummedButAbsurdValuesAreRefused) {
  TempDir dir;
  const std::string path = dir.file("v.kvb");
  CreateContainer(path, 544, 2)->ExtendFile(3);
  const std::string good = ReadFileBytes(path);
  struct Case {
    std::size_t field;
    std::uint32_t value;
  };
  const Case cases[] = {{16, 0},  {16, 543},         {16, 0x7FFFFFFF},  {16, 0x80000000u},
                        {20, 0},  {20, 0xFFFFFFFFu}, {20, 1000000},     {24, 0},
                        {24, 2},  {28, 0xFFFFFFFFu}, {32, 5000},        {36, 0x80000000u},
                        {40, 99}, {48, 0},           {48, 0xFFFFFFFFu}, {44, 0xFFFFFFFFu}};
  for (const Case& c : cases) {
    std::string bad = good;
    Put32(bad, kPart + c.field, c.value);
    Put32(bad, kPart + 8, XorWords(bad, kPart + 12, 244));
    WriteFileBytes(path, bad);
    EXPECT_EQ(MessageOf([&] { OpenContainer(path); }),
              "TPagybox.LoadHeader - Invalid Pagy file, header is corrupted.")
        << "offset " << c.field << " value " << c.value;
  }
  std::string bad = good;
  bad[kPart + 224] = 2;
  Put32(bad, kPart + 8, XorWords(bad, kPart + 12, 244));
  WriteFileBytes(path, bad);
  EXPECT_EQ(MessageOf([&] { OpenContainer(path); }),
            "TPagybox.LoadHeader - Invalid Pagy file, header is corrupted.");
}

TEST(PageManagerOpenTest, ShortFileRaisesTheStreamReadError) {
  TempDir dir;
  const std::string path = dir.file("s.kvb");
  CreateContainer(path, 544, 2).reset();
  const std::string good = ReadFileBytes(path);
  WriteFileBytes(path, good.substr(0, 400));
  EXPECT_EQ(MessageOf([&] { OpenContainer(path); }),
            "TPagyHugeFile.ReadBuffer - Stream read error");
}

// --- reading and writing pages ------------------------------------------------

class PageIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("io.kvb");
    pm_ = CreateContainer(path_, 544, 2);
    ASSERT_TRUE(pm_->ExtendFile(4));
  }
  std::string PageBytes(int pageNo) {
    return ReadFileBytes(path_).substr(kPart + 544 * static_cast<std::size_t>(pageNo), 544);
  }
  TempDir dir_;
  std::string path_;
  std::unique_ptr<TPageFileManager> pm_;
};

TEST_F(PageIoTest, RoundTripAndHeaderOnlyWrites) {
  const std::string data = Pattern(512, 5);
  TPageRecBuffer page(512);
  std::memcpy(page.data(), data.data(), 512);
  page.rec.NextPageNo = 3;
  page.rec.PageType = ptFileMap;
  ASSERT_TRUE(pm_->WritePage(page.rec, 2));
  EXPECT_EQ(pm_->LastError(), 0);

  TPageRecBuffer back(512);
  ASSERT_TRUE(pm_->ReadPage(back.rec, 2));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.data()), 512), data);
  EXPECT_EQ(back.rec.NextPageNo, 3);
  EXPECT_EQ(back.rec.PageType, ptFileMap);

  // Header only: the chain link changes, data and data checksum stay.
  TPageRec head;
  ASSERT_TRUE(pm_->ReadPage(head, 2, false, {}, 0));
  EXPECT_EQ(head.DataChecksum, back.rec.DataChecksum);
  head.NextPageNo = -1;
  ASSERT_TRUE(pm_->WritePage(head, 2, {}, 0));
  ASSERT_TRUE(pm_->ReadPage(back.rec, 2));
  EXPECT_EQ(back.rec.NextPageNo, -1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.data()), 512), data);

  // A shorter data size checksums and transfers only those bytes.
  TPageRecBuffer part(512);
  std::memcpy(part.data(), data.data(), 100);
  ASSERT_TRUE(pm_->WritePage(part.rec, 3, {}, 100));
  TPageRecBuffer partBack(100);
  ASSERT_TRUE(pm_->ReadPage(partBack.rec, 3, false, {}, 100));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(partBack.data()), 100), data.substr(0, 100));
}

TEST_F(PageIoTest, DamagedDataFailsTheChecksum) {
  TPageRecBuffer page(512);
  std::memset(page.data(), 0x5A, 512);
  ASSERT_TRUE(pm_->WritePage(page.rec, 1));
  pm_.reset();
  std::string bytes = ReadFileBytes(path_);
  bytes[kPart + 544 + 32 + 17] ^= 1;
  WriteFileBytes(path_, bytes);
  pm_ = OpenContainer(path_);
  EXPECT_FALSE(pm_->ReadPage(page.rec, 1));
  EXPECT_EQ(pm_->LastError(), kPageErrChecksum);
  // The header alone still reads.
  EXPECT_TRUE(pm_->ReadPage(page.rec, 1, false, {}, 0));
  EXPECT_EQ(pm_->LastError(), 0);
}

TEST_F(PageIoTest, PageNumbersOutsideTheContainerAreRefused) {
  TPageRecBuffer page(512);
  for (int pageNo : {0, -1, -2147483647 - 1, 5, 6, 2147483647}) {
    EXPECT_FALSE(pm_->ReadPage(page.rec, pageNo)) << pageNo;
    EXPECT_EQ(pm_->LastError(), kPageErrShortHeaderRead);
    EXPECT_FALSE(pm_->WritePage(page.rec, pageNo)) << pageNo;
    EXPECT_EQ(pm_->LastError(), kPageErrShortHeaderWrite);
  }
  EXPECT_EQ(ReadFileBytes(path_).size(), kPart + 5 * 544u);
}

TEST_F(PageIoTest, ShortStreamGivesShortReadCodes) {
  TPageRecBuffer page(512);
  ASSERT_TRUE(pm_->WritePage(page.rec, 4));
  // Cut the stream inside page 4's data, then inside its header.
  pm_->Stream().SetSize(4 * 544 + 100);
  EXPECT_FALSE(pm_->ReadPage(page.rec, 4));
  EXPECT_EQ(pm_->LastError(), kPageErrShortDataRead);
  EXPECT_TRUE(pm_->ReadPage(page.rec, 4, false, {}, 0));
  pm_->Stream().SetSize(4 * 544 + 10);
  EXPECT_FALSE(pm_->ReadPage(page.rec, 4));
  EXPECT_EQ(pm_->LastError(), kPageErrShortHeaderRead);
  // Asking for more than a page holds is a short read, not an overrun.
  EXPECT_FALSE(pm_->ReadPage(page.rec, 1, false, {}, 600));
  EXPECT_EQ(pm_->LastError(), kPageErrShortDataRead);
  // Writing beyond the shortened stream lengthens it again.
  EXPECT_TRUE(pm_->WritePage(page.rec, 4));
  EXPECT_TRUE(pm_->ReadPage(page.rec, 4));
}

TEST_F(PageIoTest, MissingBufferAndEncryptionTypes) {
  TPageRec noData;
  EXPECT_EQ(MessageOf([&] { pm_->ReadPage(noData, 1); }),
            "TPageFileManager.ReadPage - pData is nil.");

  TPageRecBuffer page(512);
  page.rec.EncryptionType = 7;
  EXPECT_EQ(MessageOf([&] { pm_->WritePage(page.rec, 1); }),
            "TPageFileManager.EncodeBuffer - Unknown encryption type");

  // Rijndael without any key (an unencrypted container has none).
  page.rec.EncryptionType = kEncryptionRijndael;
  EXPECT_FALSE(pm_->WritePage(page.rec, 1));
  EXPECT_EQ(pm_->LastError(), kPageErrEncrypt);

  // An explicit key works in any container; the reader needs the same key.
  std::memset(page.data(), 0x33, 512);
  ASSERT_TRUE(pm_->WritePage(page.rec, 1, "file key"));
  EXPECT_NE(page.data()[0], 0x33);  // encrypted in place
  TPageRecBuffer back(512);
  EXPECT_FALSE(pm_->ReadPage(back.rec, 1));
  EXPECT_EQ(pm_->LastError(), kPageErrDecrypt);
  ASSERT_TRUE(pm_->ReadPage(back.rec, 1, false, "file key"));
  EXPECT_EQ(back.data()[0], 0x33);
  ASSERT_TRUE(pm_->ReadPage(back.rec, 1, true));  // no decryption asked
  EXPECT_NE(back.data()[0], 0x33);

  // An unknown type on disk cannot be decrypted.
  std::string bytes = ReadFileBytes(path_);
  pm_.reset();
  bytes[kPart + 544 + 9] = 5;
  WriteFileBytes(path_, bytes);
  pm_ = OpenContainer(path_);
  EXPECT_FALSE(pm_->ReadPage(back.rec, 1, false, "file key"));
  EXPECT_EQ(pm_->LastError(), kPageErrDecrypt);
}

TEST_F(PageIoTest, ExtendFileGrowsThePersistentPageCount) {
  ASSERT_TRUE(pm_->ExtendFile(10));
  EXPECT_EQ(pm_->PageCount(), 15);
  EXPECT_EQ(ReadFileBytes(path_).size(), kPart + 15 * 544u);
  EXPECT_FALSE(pm_->ExtendFile(-1));
  EXPECT_FALSE(pm_->ExtendFile(2147483647));
  EXPECT_EQ(pm_->PageCount(), 15);
  pm_.reset();
  EXPECT_EQ(OpenContainer(path_)->PageCount(), 15);
}

// A stream error behind a failed page operation is kept beside its result.
TEST(PageManagerCauseTest, AFailedExtendKeepsTheStreamError) {
  TempDir dir;
  // Parts of 4096 bytes: a million more pages would need more part files
  // than a stream may have.
  TPageFileManager pm(dir.file("parts.kvb"), kContainerCreate, "", "", "", false, 544, 8, 4096);
  const std::int32_t pages = pm.PageCount();
  EXPECT_FALSE(pm.ExtendFile(1000000));
  EXPECT_EQ(pm.PageCount(), pages);
  EXPECT_EQ(pm.LastErrorMessage(), "TPagyHugeFile.SetSize - Too many part files.");
  ASSERT_TRUE(pm.ExtendFile(2));
  EXPECT_EQ(pm.LastErrorMessage(), "");
}

// Runs of pages give the same file as page-by-page writes, across more than
// one transfer, and stop at the first failing page.
TEST(PageRunTest, RunsMatchSinglePagesAndStopAtFailures) {
  TempDir dir;
  const int kCount = TPageFileManager::kRunPages + 6;
  std::vector<std::string> data;
  for (int i = 0; i < kCount; ++i) data.push_back(Pattern(512, 100 + static_cast<unsigned>(i)));
  auto writeAll = [&](const std::string& path, bool asRun) {
    auto pm = CreateContainer(path, 544, 2, "pw");
    EXPECT_TRUE(pm->ExtendFile(kCount + 1));
    std::vector<std::unique_ptr<TPageRecBuffer>> bufs;
    std::vector<TPageRec> recs;
    for (int i = 0; i < kCount; ++i) {
      bufs.push_back(std::make_unique<TPageRecBuffer>(512));
      std::memcpy(bufs.back()->data(), data[static_cast<std::size_t>(i)].data(), 512);
      bufs.back()->rec.EncryptionType = i % 3 == 0 ? kEncryptionNone : kEncryptionRijndael;
      bufs.back()->rec.NextPageNo = i;
      recs.push_back(bufs.back()->rec);
    }
    if (asRun) {
      EXPECT_TRUE(pm->WritePages(recs.data(), kCount, 2));
    } else {
      for (int i = 0; i < kCount; ++i)
        EXPECT_TRUE(pm->WritePage(recs[static_cast<std::size_t>(i)], 2 + i));
    }
    return pm;
  };
  auto single = writeAll(dir.file("single.kvb"), false);
  auto run = writeAll(dir.file("run.kvb"), true);
  // Same pages (the headers differ only in the random master key).
  const std::string a = ReadFileBytes(dir.file("single.kvb"));
  const std::string b = ReadFileBytes(dir.file("run.kvb"));
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < kCount; i += 3)  // the unencrypted pages
    EXPECT_EQ(a.substr(kPart + (2 + i) * 544, 544), b.substr(kPart + (2 + i) * 544, 544)) << i;

  std::vector<std::unique_ptr<TPageRecBuffer>> bufs;
  std::vector<TPageRec> recs(static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    bufs.push_back(std::make_unique<TPageRecBuffer>(512));
    recs[static_cast<std::size_t>(i)].Data = bufs.back()->data();
  }
  ASSERT_TRUE(run->ReadPages(recs.data(), kCount, 2));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bufs[static_cast<std::size_t>(i)]->data()), 512),
              data[static_cast<std::size_t>(i)])
        << i;
    EXPECT_EQ(recs[static_cast<std::size_t>(i)].NextPageNo, i);
  }
  // A run reaching past PageCount fails at the page beyond it.
  TPageRecBuffer extra(512);
  std::vector<TPageRec> tail{recs[0], recs[1], extra.rec};
  tail[0].EncryptionType = tail[1].EncryptionType = kEncryptionNone;
  EXPECT_FALSE(run->WritePages(tail.data(), 3, kCount));
  EXPECT_EQ(run->LastError(), kPageErrShortHeaderWrite);
  // A damaged page in the middle of a read run: the pages before it are read.
  run.reset();
  std::string damaged = ReadFileBytes(dir.file("run.kvb"));
  damaged[kPart + 544 * 70 + 40] ^= 1;
  WriteFileBytes(dir.file("run.kvb"), damaged);
  run = OpenContainer(dir.file("run.kvb"), kOpenReadWrite, "pw");
  for (auto& r : recs) r.NextPageNo = -5;
  EXPECT_FALSE(run->ReadPages(recs.data(), kCount, 2));
  EXPECT_EQ(run->LastError(), kPageErrChecksum);
  EXPECT_EQ(recs[67].NextPageNo, 67);
  EXPECT_EQ(recs[69].NextPageNo, -5);
}

TEST(PageManagerReadOnlyTest, ReadsPagesButWritesNothing) {
  TempDir dir;
  const std::string path = dir.file("ro.kvb");
  {
    auto pm = CreateContainer(path, 544, 2);
    pm->ExtendFile(2);
    TPageRecBuffer page(512);
    std::memset(page.data(), 0x42, 512);
    ASSERT_TRUE(pm->WritePage(page.rec, 1));
  }
  const std::string before = ReadFileBytes(path);
  {
    auto pm = OpenContainer(path, kOpenReadOnly);
    EXPECT_TRUE(pm->ReadOnly());
    TPageRecBuffer page(512);
    ASSERT_TRUE(pm->ReadPage(page.rec, 1));
    EXPECT_EQ(page.data()[511], 0x42);
    pm->Header().SetDirItemCount(77);
    pm->SaveHeader();
    EXPECT_FALSE(pm->WritePage(page.rec, 1));
    EXPECT_FALSE(pm->ExtendFile(1));
    pm->CheckInvariants();
  }
  EXPECT_EQ(ReadFileBytes(path), before);
}

TEST(PageManagerEncryptionTest, WrongPasswordGivesAWrongKey) {
  TempDir dir;
  const std::string path = dir.file("k.kvb");
  std::string key;
  {
    auto pm = CreateContainer(path, 4096, 8, "right");
    key = pm->Key();
    EXPECT_EQ(key.size(), 33u);
    pm->ExtendFile(1);
    TPageRecBuffer page(4064);
    std::memset(page.data(), 0x11, 4064);
    page.rec.EncryptionType = kEncryptionRijndael;
    ASSERT_TRUE(pm->WritePage(page.rec, 1));
  }
  TPageRecBuffer page(4064);
  {
    auto pm = OpenContainer(path, kOpenReadWrite, "right");
    EXPECT_EQ(pm->Key(), key);
    ASSERT_TRUE(pm->ReadPage(page.rec, 1));
    EXPECT_EQ(page.data()[100], 0x11);
  }
  {
    auto pm = OpenContainer(path, kOpenReadWrite, "wrong");
    EXPECT_NE(pm->Key(), key);
    ASSERT_TRUE(pm->ReadPage(page.rec, 1));  // the checksum is over the stored bytes
    EXPECT_NE(std::string(reinterpret_cast<char*>(page.data()), 4064), std::string(4064, 0x11));
  }
  {
    auto pm = OpenContainer(path, kOpenReadWrite, "");
    EXPECT_TRUE(pm->Key().empty());
    EXPECT_FALSE(pm->ReadPage(page.rec, 1));
    EXPECT_EQ(pm->LastError(), kPageErrDecrypt);
  }
  EXPECT_EQ(
      MessageOf([&] { CreateContainer(dir.file("long.kvb"), 4096, 8, std::string(33, 'p')); }),
      "Password length should be shorter then 32");
  EXPECT_FALSE(FileExists(dir.file("long.kvb")));
}

// Pages move between the stream and the callers' buffers in scattered runs;
// with parts of 720 data bytes every 544-byte page of a run is cut by a part
// end somewhere. Runs and single pages must give the same stream and data.
TEST(PageManagerRunTest, RunsAcrossPartEndsMatchSinglePages) {
  TempDir dir;
  constexpr int kCount = 23;
  std::vector<std::string> data;
  for (int i = 0; i < kCount; ++i) data.push_back(Pattern(512, 300 + static_cast<unsigned>(i)));
  auto writeAll = [&](const std::string& path, bool asRun) {
    auto pm =
        std::make_unique<TPageFileManager>(path, kContainerCreate, "", "", "", false, 544, 2, 1000);
    EXPECT_TRUE(pm->ExtendFile(kCount + 1));
    std::vector<std::unique_ptr<TPageRecBuffer>> bufs;
    std::vector<TPageRec> recs;
    for (int i = 0; i < kCount; ++i) {
      bufs.push_back(std::make_unique<TPageRecBuffer>(512));
      std::memcpy(bufs.back()->data(), data[static_cast<std::size_t>(i)].data(), 512);
      bufs.back()->rec.NextPageNo = 1000 + i;
      bufs.back()->rec.ChecksumType = i % 2 == 0 ? kChecksumXOR32 : kChecksumCRC16;
      recs.push_back(bufs.back()->rec);
    }
    if (asRun) {
      EXPECT_TRUE(pm->WritePages(recs.data(), kCount, 1));
    } else {
      for (int i = 0; i < kCount; ++i)
        EXPECT_TRUE(pm->WritePage(recs[static_cast<std::size_t>(i)], 1 + i));
    }
    // The callers' data is left as it was (no encryption asked for).
    for (int i = 0; i < kCount; ++i)
      EXPECT_EQ(
          std::string(reinterpret_cast<char*>(bufs[static_cast<std::size_t>(i)]->data()), 512),
          data[static_cast<std::size_t>(i)]);
    return pm;
  };
  auto streamBytes = [](TPageFileManager& pm) {
    std::string bytes(static_cast<std::size_t>(pm.Stream().GetSize()), '\0');
    pm.Stream().SetPosition(0);
    pm.Stream().ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    return bytes;
  };
  auto single = writeAll(dir.file("single.kvb"), false);
  auto run = writeAll(dir.file("run.kvb"), true);
  ASSERT_GT(run->Stream().PartCount(), kCount / 2);
  EXPECT_EQ(streamBytes(*run), streamBytes(*single));
  for (auto* pm : {single.get(), run.get()}) {
    std::vector<std::string> back(kCount, std::string(512, '\0'));
    std::vector<TPageRec> recs(kCount);
    for (int i = 0; i < kCount; ++i)
      recs[static_cast<std::size_t>(i)].Data =
          reinterpret_cast<std::uint8_t*>(back[static_cast<std::size_t>(i)].data());
    ASSERT_TRUE(pm->ReadPages(recs.data(), kCount, 1));
    for (int i = 0; i < kCount; ++i) {
      EXPECT_EQ(back[static_cast<std::size_t>(i)], data[static_cast<std::size_t>(i)]) << i;
      EXPECT_EQ(recs[static_cast<std::size_t>(i)].NextPageNo, 1000 + i);
    }
  }
  // A flipped data byte in a page cut by a part end is caught in a run.
  auto& stream = run->Stream();
  const std::int64_t at = 544 * 7 + 32 + 300;
  std::uint8_t b = 0;
  stream.SetPosition(at);
  stream.ReadBuffer(&b, 1);
  b ^= 0x10;
  stream.SetPosition(at);
  stream.WriteBuffer(&b, 1);
  std::vector<std::string> back(kCount, std::string(512, '\0'));
  std::vector<TPageRec> recs(kCount);
  for (int i = 0; i < kCount; ++i)
    recs[static_cast<std::size_t>(i)].Data =
        reinterpret_cast<std::uint8_t*>(back[static_cast<std::size_t>(i)].data());
  EXPECT_FALSE(run->ReadPages(recs.data(), kCount, 1));
  EXPECT_EQ(run->LastError(), kPageErrChecksum);
  EXPECT_EQ(recs[5].NextPageNo, 1005);
  EXPECT_EQ(recs[7].NextPageNo, -1);
}

}  // namespace
}  // namespace kivo
