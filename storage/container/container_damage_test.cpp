// Opens containers after seeded random damage: every open either succeeds or
// raises one of the container's own messages, and every page read either
// works or reports a page error code. A crash, a hang, a foreign exception
// or (under the sanitizers) a read outside a buffer fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "storage/container/pagybox.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr std::size_t kPart = 280;

struct Base {
  std::string bytes;
  std::string password;
  std::int32_t pageSize;
};

// A container with allocated, written data pages.
Base MakeBase(const std::string& path, std::int32_t pageSize, std::int32_t extentPages,
              const std::string& password, int pageCount, unsigned seed) {
  {
    TPagybox box(path, kContainerCreate, false, password, "", "", pageSize, extentPages, -1);
    std::vector<std::int32_t> pages;
    EXPECT_TRUE(box.FreeSpaceManager().GetPages(pageCount, 0, pages, false));
    std::mt19937 rng(seed);
    TPageRecBuffer page(pageSize - 32);
    for (std::size_t i = 0; i < pages.size(); ++i) {
      for (std::int32_t j = 0; j < page.size(); ++j)
        page.data()[j] = static_cast<std::uint8_t>(rng());
      page.rec.PageType = ptFileData;
      page.rec.NextPageNo = i + 1 < pages.size() ? pages[i + 1] : -1;
      page.rec.EncryptionType = password.empty() ? kEncryptionNone : kEncryptionRijndael;
      EXPECT_TRUE(box.PageManager().WritePage(page.rec, pages[i]));
    }
    std::vector<std::int32_t> freed{pages[3], pages[4]};
    box.FreeSpaceManager().FreePages(freed);
  }
  return {ReadFileBytes(path), password, pageSize};
}

bool IsContainerMessage(const std::string& m) {
  static const char* const kPrefixes[] = {
      "TPagybox.LoadHeader - Invalid Pagy file, header is corrupted.",
      "TPagybox.Create - invalid password specified, file name = ",
      "TPagyHugeFile.",
      "TFreeSpaceManager.",
      "TFreeSpaceManager - bit ",
      "TDIRManager.Load - ",
  };
  for (const char* p : kPrefixes)
    if (m.rfind(p, 0) == 0) return true;
  const std::string corrupted = " has corrupted header.";
  return m.rfind("File ", 0) == 0 && m.size() > corrupted.size() &&
         m.compare(m.size() - corrupted.size(), corrupted.size(), corrupted) == 0;
}

std::uint32_t XorWords(const std::string& s, std::size_t from) {
  std::uint32_t x = 0;
  for (std::size_t i = 0; i < 244; i += 4) {
    std::uint32_t w;
    std::memcpy(&w, s.data() + from + i, 4);
    x ^= w;
  }
  return x;
}

std::string Damage(const Base& base, std::mt19937& rng, int kind) {
  std::string b = base.bytes;
  auto any = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::size_t pages = (b.size() - kPart) / static_cast<std::size_t>(base.pageSize);
  switch (kind) {
    case 0:  // container header bytes
      for (int i = 1 + static_cast<int>(any(3)); i > 0; --i)
        b[kPart + any(256)] ^= static_cast<char>(1 + any(255));
      break;
    case 1: {  // one header field set to a hostile value, checksum made right
      static const std::uint32_t kValues[] = {
          0, 1, 2, 3, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 543, 544, 4096, 1000000, 65536, 65537};
      const std::size_t field = 12 + 4 * any(53);
      std::uint32_t v = rng() % 3 == 0 ? static_cast<std::uint32_t>(rng())
                                       : kValues[any(sizeof kValues / sizeof kValues[0])];
      if (rng() % 4 == 0) {
        std::uint32_t old;
        std::memcpy(&old, b.data() + kPart + field, 4);
        v = old + static_cast<std::uint32_t>(any(5)) - 2u;
      }
      std::memcpy(b.data() + kPart + field, &v, 4);
      const std::uint32_t sum = XorWords(b, kPart + 12);
      std::memcpy(b.data() + kPart + 8, &sum, 4);
      break;
    }
    case 2:  // page headers
      for (int i = 1 + static_cast<int>(any(3)); i > 0; --i) {
        const std::size_t page = 1 + any(pages - 1);
        b[kPart + page * static_cast<std::size_t>(base.pageSize) + any(32)] ^=
            static_cast<char>(1 + any(255));
      }
      break;
    case 3:  // bitmap pages (PFS, GAM, SGAM), headers and data
      for (int i = 1 + static_cast<int>(any(4)); i > 0; --i) {
        const std::size_t page = 1 + any(3);
        b[kPart + page * static_cast<std::size_t>(base.pageSize) +
          any(static_cast<std::size_t>(base.pageSize))] ^= static_cast<char>(1 + any(255));
      }
      break;
    case 4:  // truncation
      b.resize(any(b.size()));
      break;
    case 5:  // zeros
      b.assign(any(3 * b.size()), '\0');
      break;
    case 6:  // random bytes
      b.resize(any(3 * b.size()));
      for (auto& c : b) c = static_cast<char>(rng());
      break;
    default:  // anywhere, part header included
      for (int i = 1 + static_cast<int>(any(8)); i > 0; --i)
        b[any(b.size())] ^= static_cast<char>(1 + any(255));
      break;
  }
  return b;
}

TEST(ContainerDamageTest, RandomDamageNeverEscapesTheContainerMessages) {
  TempDir dir;
  const std::string basePath = dir.file("base.kvb");
  std::vector<Base> bases;
  bases.push_back(MakeBase(basePath, 544, 2, "", 30, 1));
  bases.push_back(MakeBase(basePath, 544, 8, "pw", 20, 2));
  bases.push_back(MakeBase(basePath, 4096, 8, "", 10, 3));

  const std::string path = dir.file("damaged.kvb");
  std::mt19937 rng(20240611);
  int opened = 0, refused = 0, pagesRead = 0, pagesFailed = 0;
  for (int iteration = 0; iteration < 3000; ++iteration) {
    const Base& base = bases[static_cast<std::size_t>(iteration) % bases.size()];
    const int kind = static_cast<int>(rng() % 8);
    WriteFileBytes(path, Damage(base, rng, kind));
    SCOPED_TRACE("iteration " + std::to_string(iteration) + " kind " + std::to_string(kind));
    try {
      TPagybox box(path, kOpenReadWrite, false, base.password, "", "", 4096, 8, -1);
      ++opened;
      TPageFileManager& pm = box.PageManager();
      TPageRecBuffer page(pm.PageDataSize());
      const std::int32_t last = std::min(pm.PageCount() - 1, 100);
      for (std::int32_t p = 1; p <= last; ++p) {
        if (pm.ReadPage(page.rec, p)) {
          ++pagesRead;
        } else {
          ++pagesFailed;
          const std::int32_t e = pm.LastError();
          EXPECT_TRUE(e == kPageErrShortHeaderRead || e == kPageErrShortDataRead ||
                      e == kPageErrChecksum || e == kPageErrDecrypt)
              << e;
        }
      }
      std::vector<std::int32_t> got;
      box.FreeSpaceManager().GetPages(1 + static_cast<std::int32_t>(rng() % 6),
                                      static_cast<std::int32_t>(rng() % 64), got, rng() % 2 == 0);
      box.FreeSpaceManager().FreePages(got);
    } catch (const Exception& e) {
      ++refused;
      EXPECT_TRUE(IsContainerMessage(e.Message())) << e.Message();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "foreign exception: " << e.what();
    }
  }
  // Both outcomes occur, and damaged pages are found as well as good ones.
  EXPECT_GT(opened, 300);
  EXPECT_GT(refused, 300);
  EXPECT_GT(pagesRead, 1000);
  EXPECT_GT(pagesFailed, 50);
}

}  // namespace
}  // namespace kivo
