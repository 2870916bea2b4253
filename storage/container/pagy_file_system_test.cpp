// The container-backed file store on real container files: files inside the
// container through the file abstraction, the plain file system's name
// space, and the registry serving fsmSingleFile once the store is registered.
#include "storage/container/pagy_file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::kNoException;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WhatOf;

// The container header starts after the 280-byte part header of the file.
constexpr std::size_t kHeaderAt = 280;

std::int32_t HeaderInt(const std::string& file, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<std::uint8_t>(file.at(kHeaderAt + offset + i));
  return static_cast<std::int32_t>(v);
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class PagyStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<TPagyPlainFileSystem> Create(const std::string& name,
                                               const std::string& password = {},
                                               TDatabaseFileMode mode = dfmNormal) {
    return std::make_unique<TPagyPlainFileSystem>(dir.file(name), password, mode, false, false,
                                                  true);
  }
  std::unique_ptr<TPagyPlainFileSystem> Open(const std::string& name,
                                             const std::string& password = {},
                                             bool readOnly = false,
                                             TDatabaseFileMode mode = dfmNormal) {
    return std::make_unique<TPagyPlainFileSystem>(dir.file(name), password, mode, readOnly, false,
                                                  false);
  }
  static void WriteText(TAbstractFile& f, const std::string& text) {
    f.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
  }
  static std::string ReadAll(TAbstractFile& f) {
    std::string out(static_cast<std::size_t>(f.GetSize()), '\0');
    f.SetPosition(0);
    f.ReadBuffer(out.data(), static_cast<std::int32_t>(out.size()));
    return out;
  }

  void TearDown() override { DefaultExtentPageCount = 8; }

  TempDir dir;
};

TEST_F(PagyStoreTest, FilesAreWrittenReadAndKeptAcrossOpens) {
  std::string big(10000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  {
    auto fs = Create("db.kvb");
    EXPECT_EQ(fs->StoreMode(), fsmSingleFile);
    EXPECT_FALSE(fs->ReadOnly());
    EXPECT_FALSE(fs->Encrypted());
    TAbstractFile* f = fs->OpenFile("orders.dat", true, false, false);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fs->OpenFileCount(), 1);
    WriteText(*f, big);  // spans three data pages
    EXPECT_EQ(f->GetPosition(), 10000);
    EXPECT_EQ(f->GetSize(), 10000);
    f->SetPosition(4090);
    WriteText(*f, "XYZ");  // across a page boundary
    big.replace(4090, 3, "XYZ");
    fs->CloseFile(f);
    EXPECT_EQ(fs->OpenFileCount(), 0);
  }
  auto fs = Open("db.kvb");
  EXPECT_TRUE(fs->FileExists("orders.dat"));
  EXPECT_TRUE(fs->FileExists("ORDERS.DAT"));
  TAbstractFile* f = fs->OpenFile("orders.dat", false, false, false);
  EXPECT_FALSE(f->ReadOnly());
  EXPECT_EQ(ReadAll(*f), big);
  // Reading at the end gives nothing.
  char c;
  EXPECT_EQ(f->Read(&c, 1), 0);
  f->SetSize(5);
  EXPECT_EQ(f->GetSize(), 5);
  EXPECT_EQ(ReadAll(*f), big.substr(0, 5));
  fs->CloseFile(f);

  // A create replaces the file's content.
  f = fs->OpenFile("orders.dat", true, false, false);
  EXPECT_EQ(f->GetSize(), 0);
  fs->CloseFile(f);
}

TEST_F(PagyStoreTest, RenameAndDeleteWorkOnClosedFilesOnly) {
  auto fs = Create("db.kvb");
  TAbstractFile* f = fs->OpenFile("a.dat", true, false, false);
  WriteText(*f, "alpha");
  EXPECT_FALSE(fs->RenameFile("a.dat", "b.dat"));  // open
  EXPECT_FALSE(fs->DeleteFile("a.dat"));
  fs->CloseFile(f);
  EXPECT_TRUE(fs->RenameFile("a.dat", "b.dat"));
  EXPECT_FALSE(fs->FileExists("a.dat"));
  f = fs->OpenFile("b.dat", false, false, false);
  EXPECT_EQ(ReadAll(*f), "alpha");
  fs->CloseFile(f);
  EXPECT_TRUE(fs->DeleteFile("b.dat"));
  EXPECT_FALSE(fs->FileExists("b.dat"));
  EXPECT_FALSE(fs->DeleteFile("b.dat"));
}

TEST_F(PagyStoreTest, OpenErrorsNameTheFile) {
  auto fs = Create("db.kvb");
  TAbstractFile* f = fs->OpenFile("t.dat", true, false, false);
  // The same name, in any letter case, cannot be opened twice.
  EXPECT_EQ(WhatOf([&] { fs->OpenFile("t.dat", false, false, false); }),
            "TPagyPlainFileSystem.OpenFile - File \"t.dat\" is already open.");
  EXPECT_EQ(WhatOf([&] { fs->OpenFile("T.DAT", true, false, false); }),
            "TPagyPlainFileSystem.OpenFile - File \"T.DAT\" is already open.");
  EXPECT_EQ(fs->OpenFileCount(), 1);
  fs->CloseFile(f);

  // A missing file fails even read-only; nothing stays listed.
  EXPECT_EQ(WhatOf([&] { fs->OpenFile("missing.dat", false, false, false); }),
            "Cannot open file \"missing.dat\"");
  EXPECT_EQ(WhatOf([&] { fs->OpenFile("missing.dat", false, false, true); }),
            "Cannot open file \"missing.dat\"");
  // A name that cannot be created (its folder is missing).
  EXPECT_EQ(WhatOf([&] { fs->OpenFile("nodir\\x.dat", true, false, false); }),
            "Cannot create file \"nodir\\x.dat\"");
  EXPECT_EQ(fs->OpenFileCount(), 0);
}

TEST_F(PagyStoreTest, FileObjectRestoresReadOnlyWhenTheOpenFails) {
  auto fs = Create("db.kvb");
  TPagyFile file(fs.get(), fs->Pagybox(), "missing.dat");
  EXPECT_EQ(WhatOf([&] { file.Open(false); }), "Cannot open file \"missing.dat\"");
  EXPECT_FALSE(file.ReadOnly());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Seek(0, TAbstractFile::kFromBeginning), -1);
  EXPECT_EQ(file.Write("x", 1), 0);
}

TEST_F(PagyStoreTest, ChangingTheFlagsReopensAtTheSamePosition) {
  auto fs = Create("db.kvb");
  auto* f = static_cast<TPagyFile*>(fs->OpenFile("t.dat", true, false, false));
  WriteText(*f, "0123456789");
  f->SetPosition(4);
  const std::int32_t first = f->Handle();
  f->SetReadOnly(true);
  EXPECT_NE(f->Handle(), first);  // a new container handle
  EXPECT_EQ(f->GetPosition(), 4);
  f->SetExclusive(true);
  EXPECT_EQ(f->GetPosition(), 4);
  char buf[3];
  f->ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, 3), "456");
  EXPECT_EQ(fs->Pagybox().OpenHandleCount(), 1u);
  fs->CloseFile(f);
  EXPECT_EQ(fs->Pagybox().OpenHandleCount(), 0u);
}

TEST_F(PagyStoreTest, PositionsStayWithinTheThirtyTwoBitRange) {
  auto fs = Create("db.kvb");
  TAbstractFile* f = fs->OpenFile("t.dat", true, false, false);
  WriteText(*f, "abc");
  EXPECT_EQ(f->Seek(kMaxFilePosition, TAbstractFile::kFromBeginning), kMaxFilePosition);
  // One step further would not fit the 32-bit position: refused, kept.
  EXPECT_EQ(f->Seek(1, TAbstractFile::kFromCurrent), -1);
  EXPECT_EQ(f->GetPosition(), kMaxFilePosition);
  EXPECT_EQ(f->Write("x", 1), 0);
  EXPECT_EQ(f->Seek(kMaxFilePosition, TAbstractFile::kFromEnd), -1);
  EXPECT_EQ(f->Seek(-4, TAbstractFile::kFromEnd), -1);
  EXPECT_EQ(f->Seek(-1, TAbstractFile::kFromEnd), 2);
  EXPECT_EQ(f->Seek(0, 7), -1);
  EXPECT_EQ(f->GetPosition(), 2);
  EXPECT_EQ(f->GetSize(), 3);  // no write went past the end
  EXPECT_EQ(WhatOf([&] { f->SetSize(-1); }).rfind("TPagyFile.SetSize - ", 0), 0u);
  fs->CloseFile(f);
}

TEST_F(PagyStoreTest, FileNamesListRootFilesOnceWithoutExtension) {
  auto fs = Create("db.kvb");
  for (const char* name : {"orders.dat", "Customers.DAT", "orders.idx", "notes.txt.dat"})
    fs->CloseFile(fs->OpenFile(name, true, false, false));
  TPagybox& box = fs->Pagybox();
  ASSERT_TRUE(box.CreateDirectory("folder.dat"));  // a directory: skipped
  ASSERT_TRUE(box.CreateDirectory("sub"));
  fs->CloseFile(fs->OpenFile("sub\\inner.dat", true, false, false));  // not in the root
  // Two items of one name, as a damaged directory might hold them.
  TDIRItem twin;
  twin.FirstMapPageNo = -1;
  twin.ParentItemNo = -1;
  twin.Name = "twin.dat";
  ASSERT_TRUE(box.Directory().AddItem(twin));
  twin.Name = "TWIN.dat";
  ASSERT_TRUE(box.Directory().AddItem(twin));

  std::vector<std::string> list{"stale"};
  fs->GetFileNames(".dat", list);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{"Customers", "notes.txt", "orders", "twin"}));
  fs->GetFileNames(".idx", list);
  EXPECT_EQ(list, (std::vector<std::string>{"orders"}));
  fs->GetFileNames(".bdf", list);
  EXPECT_TRUE(list.empty());
  // The enumeration gave its search slots back.
  EXPECT_EQ(WhatOf([&] { fs->GetFileNames(".dat", list); }), kNoException);
}

TEST_F(PagyStoreTest, OpenFilesAreClosedBeforeTheContainerGoes) {
  {
    auto fs = Create("db.kvb");
    TAbstractFile* f = fs->OpenFile("left.dat", true, false, false);
    WriteText(*f, "still here");
    // Destroyed with the file still open.
  }
  auto fs = Open("db.kvb");
  TAbstractFile* f = fs->OpenFile("left.dat", false, false, false);
  EXPECT_EQ(ReadAll(*f), "still here");
}

TEST_F(PagyStoreTest, FileModesGiveThePageGeometry) {
  struct Case {
    TDatabaseFileMode mode;
    std::int32_t page_size, extent_pages;
  };
  for (Case c : {Case{dfmCompact, 544, 2}, Case{dfmNormal, 4096, 8}, Case{dfmLarge, 8192, 16}}) {
    const std::string name = "m" + std::to_string(c.mode) + ".kvb";
    DefaultExtentPageCount = 0;
    {
      auto fs = Create(name, {}, c.mode);
      EXPECT_EQ(DefaultExtentPageCount, c.extent_pages);
      fs->CloseFile(fs->OpenFile("t.dat", true, false, false));
    }
    const std::string bytes = ReadFileBytes(dir.file(name));
    EXPECT_EQ(HeaderInt(bytes, 16), c.page_size) << name;
    EXPECT_EQ(HeaderInt(bytes, 20), c.extent_pages) << name;
    EXPECT_EQ(bytes.size() % c.page_size, kHeaderAt % c.page_size) << name;
  }
  // Opening takes the geometry from the file, but DefaultExtentPageCount
  // from the file mode it is given.
  auto fs = Open("m0.kvb", {}, false, dfmLarge);
  EXPECT_EQ(DefaultExtentPageCount, 16);
  EXPECT_EQ(fs->Pagybox().PageManager().PageSize(), 544);
  fs.reset();
  fs = Open("m2.kvb", {}, false, dfmNormal);
  EXPECT_EQ(DefaultExtentPageCount, 8);
  EXPECT_EQ(fs->Pagybox().PageManager().PageSize(), 8192);
}

TEST_F(PagyStoreTest, EncryptedContainerNeedsItsPassword) {
  const std::string secret = "Top secret payload";
  {
    auto fs = Create("enc.kvb", "titok");
    EXPECT_TRUE(fs->Encrypted());
    TAbstractFile* f = fs->OpenFile("t.dat", true, false, false);
    WriteText(*f, secret);
  }
  {
    auto fs = Create("plain.kvb");
    TAbstractFile* f = fs->OpenFile("t.dat", true, false, false);
    WriteText(*f, secret);
  }
  EXPECT_TRUE(TPagyPlainFileSystem::IsFileEncrypted(dir.file("enc.kvb")));
  EXPECT_FALSE(TPagyPlainFileSystem::IsFileEncrypted(dir.file("plain.kvb")));
  EXPECT_EQ(ReadFileBytes(dir.file("enc.kvb")).find(secret), std::string::npos);
  EXPECT_NE(ReadFileBytes(dir.file("plain.kvb")).find(secret), std::string::npos);

  EXPECT_EQ(
      WhatOf([&] { Open("enc.kvb", "wrong"); }),
      "TPagybox.Create - invalid password specified, file name = \"" + dir.file("enc.kvb") + "\"");
  EXPECT_NE(WhatOf([&] { Open("enc.kvb"); }), kNoException);
  auto fs = Open("enc.kvb", "titok");
  EXPECT_TRUE(fs->Encrypted());
  TAbstractFile* f = fs->OpenFile("t.dat", false, false, false);
  EXPECT_EQ(ReadAll(*f), secret);
}

TEST_F(PagyStoreTest, ReadOnlyContainerChangesNothing) {
  {
    auto fs = Create("db.kvb");
    WriteText(*fs->OpenFile("t.dat", true, false, false), "original");
  }
  const std::string before = ReadFileBytes(dir.file("db.kvb"));
  {
    auto fs = Open("db.kvb", {}, true);
    EXPECT_TRUE(fs->ReadOnly());
    TAbstractFile* f = fs->OpenFile("t.dat", false, false, false);
    EXPECT_EQ(ReadAll(*f), "original");
    f->SetPosition(0);
    EXPECT_EQ(f->Write("changed", 7), 0);
    fs->CloseFile(f);
    EXPECT_EQ(WhatOf([&] { fs->OpenFile("new.dat", true, false, false); }),
              "Cannot create file \"new.dat\"");
    EXPECT_FALSE(fs->DeleteFile("t.dat"));
    EXPECT_FALSE(fs->RenameFile("t.dat", "u.dat"));
  }
  EXPECT_EQ(ReadFileBytes(dir.file("db.kvb")), before);
}

// ---- the registry with the container store registered

class PagyRegistryTest : public PagyStoreTest {
 protected:
  void SetUp() override { RegisterContainerStore(); }
  TPFSManager& m = TPFSManager::Instance();
};

TEST_F(PagyRegistryTest, CreateThenFindOrOpenTheContainer) {
  const std::string path = dir.file("db.kvb");
  bool ro = false;
  EXPECT_EQ(m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal), nullptr);
  EXPECT_FALSE(std::filesystem::exists(path));

  ASSERT_TRUE(m.CreatePFS(path, "", false, dfmCompact));
  EXPECT_EQ(m.FindPFS(path, fsmSingleFile), nullptr);  // written and closed again
  EXPECT_EQ(HeaderInt(ReadFileBytes(path), 16), 544);

  TAbstractPlainFileSystem* pfs = m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal);
  ASSERT_NE(pfs, nullptr);
  EXPECT_NE(dynamic_cast<TPagyPlainFileSystem*>(pfs), nullptr);
  EXPECT_FALSE(ro);
  EXPECT_EQ(m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal), pfs);
  pfs->CloseFile(pfs->OpenFile("t.dat", true, false, false));
  std::vector<std::string> names;
  pfs->GetFileNames(".dat", names);
  EXPECT_EQ(names, (std::vector<std::string>{"t"}));
  m.DropPFS(path);
  EXPECT_EQ(m.FindPFS(path, fsmSingleFile), nullptr);
  EXPECT_FALSE(IsFileEncrypted(path));
  EXPECT_EQ(m.LockDepth(), 0);
}

TEST_F(PagyRegistryTest, InMemoryContainerStaysRegistered) {
  const std::string path = dir.file("mem.kvb");
  ASSERT_TRUE(m.CreatePFS(path, "", true, dfmCompact));
  TAbstractPlainFileSystem* pfs = m.FindPFS(path, fsmSingleFile);
  ASSERT_NE(pfs, nullptr);
  EXPECT_TRUE(static_cast<TPagyPlainFileSystem*>(pfs)->InMemory());
  TAbstractFile* f = pfs->OpenFile("t.dat", true, false, false);
  WriteText(*f, "in memory");
  pfs->CloseFile(f);
  bool ro = false;
  EXPECT_EQ(m.GetPFSHandle(path, "", fsmSingleFile, ro, true, dfmCompact), pfs);
  EXPECT_TRUE(pfs->FileExists("t.dat"));
  m.DropPFS(path);
}

}  // namespace
}  // namespace kivo
