#include "storage/container/pagybox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/file_util.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::unique_ptr<TPagybox> Make(const std::string& path, std::uint16_t mode,
                               const std::string& password = {}, bool inMemory = false) {
  return std::make_unique<TPagybox>(path, mode, inMemory, password, "", "", 544, 2, -1);
}

TEST(PagyboxTest, CreateThenOpenWithFlagsFromTheOpenMode) {
  TempDir dir;
  const std::string path = dir.file("db.kvb");
  {
    auto box = Make(path, kContainerCreate);
    EXPECT_FALSE(box->ReadOnly());
    EXPECT_TRUE(box->Exclusive());
    EXPECT_FALSE(box->IsEncrypted());
    EXPECT_EQ(box->OpenMode(), kContainerCreate);
    std::vector<std::int32_t> pages;
    ASSERT_TRUE(box->FreeSpaceManager().GetPages(3, 0, pages, false));
    box->FlushBuffers();
  }
  EXPECT_EQ(ReadFileBytes(path).size(), 280 + 7 * 544u);
  {
    auto box = Make(path, kOpenReadOnly | kShareDenyNone);
    EXPECT_TRUE(box->ReadOnly());
    EXPECT_FALSE(box->Exclusive());
    EXPECT_EQ(box->FreeSpaceManager().ExtentCount(), 3);
    EXPECT_FALSE(box->FreeSpaceManager().PageIsFree(4));
  }
  auto box = Make(path, kOpenReadWrite | kShareExclusive);
  EXPECT_FALSE(box->ReadOnly());
  EXPECT_TRUE(box->Exclusive());
}

TEST(PagyboxTest, PasswordsOfEncryptedAndPlainContainers) {
  TempDir dir;
  const std::string secret = dir.file("sec\"ret.kvb");
  const std::string plain = dir.file("plain.kvb");
  Make(secret, kContainerCreate, "pw").reset();
  Make(plain, kContainerCreate).reset();
  EXPECT_TRUE(pagy::IsFileEncrypted(secret));
  EXPECT_FALSE(pagy::IsFileEncrypted(plain));
  EXPECT_TRUE(pagy::CheckContainerPassword(secret, "pw"));
  EXPECT_FALSE(pagy::CheckContainerPassword(secret, "PW"));
  EXPECT_FALSE(pagy::CheckContainerPassword(secret, ""));
  EXPECT_TRUE(pagy::CheckContainerPassword(plain, "anything"));

  const std::string before = ReadFileBytes(secret);
  const std::string quoted = "\"" + dir.path() + "/sec\"\"ret.kvb\"";
  EXPECT_EQ(MessageOf([&] { Make(secret, kOpenReadWrite, "wrong"); }),
            "TPagybox.Create - invalid password specified, file name = " + quoted);
  EXPECT_EQ(MessageOf([&] { Make(secret, kOpenReadWrite); }),
            "TPagybox.Create - invalid password specified, file name = " + quoted);
  EXPECT_EQ(ReadFileBytes(secret), before);

  auto box = Make(secret, kOpenReadWrite, "pw");
  EXPECT_TRUE(box->IsEncrypted());
  EXPECT_EQ(box->Password(), "pw");
  EXPECT_EQ(box->PageManager().Key().size(), 33u);
  auto open = Make(plain, kOpenReadWrite, "forgotten");
  EXPECT_FALSE(open->IsEncrypted());
  EXPECT_TRUE(open->Password().empty());
  EXPECT_TRUE(open->PageManager().Key().empty());
}

TEST(PagyboxTest, MissingAndDamagedFiles) {
  TempDir dir;
  const std::string path = dir.file("none.kvb");
  EXPECT_EQ(MessageOf([&] { Make(path, kOpenReadWrite); }), "File '" + path + "' not found");
  EXPECT_EQ(MessageOf([&] { pagy::IsFileEncrypted(path); }), "File '" + path + "' not found");
  WriteFileBytes(path, "not a container");
  EXPECT_EQ(MessageOf([&] { Make(path, kOpenReadWrite); }), "File none.kvb has corrupted header.");
}

TEST(PagyboxTest, InMemoryCreateOverAnExistingFileLoadsIt) {
  TempDir dir;
  const std::string path = dir.file("mem.kvb");
  {
    auto box = Make(path, kContainerCreate);
    std::vector<std::int32_t> pages;
    ASSERT_TRUE(box->FreeSpaceManager().GetPages(5, 0, pages, false));
  }
  const std::string before = ReadFileBytes(path);
  {
    auto box = Make(path, kContainerCreate, "", true);
    EXPECT_EQ(box->OpenMode(), kOpenReadWrite);
    EXPECT_TRUE(box->InMemory());
    EXPECT_FALSE(box->ReadOnly());
    EXPECT_FALSE(box->FreeSpaceManager().PageIsFree(8));
    std::vector<std::int32_t> pages;
    ASSERT_TRUE(box->FreeSpaceManager().GetPages(40, 0, pages, true));
    EXPECT_GT(box->PageManager().PageCount(), 40);
  }
  EXPECT_EQ(ReadFileBytes(path), before);

  // Without a disk file an in-memory create makes a fresh container and no file.
  const std::string fresh = dir.file("fresh.kvb");
  {
    auto box = Make(fresh, kContainerCreate, "pw", true);
    EXPECT_EQ(box->OpenMode(), kContainerCreate);
    EXPECT_TRUE(box->IsEncrypted());
  }
  EXPECT_FALSE(FileExists(fresh));
}

}  // namespace
}  // namespace kivo
