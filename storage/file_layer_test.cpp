#include "storage/file_layer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/errors.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
  return s;
}

std::string ReadAll(TAbstractFile& f) {
  std::string s(static_cast<std::size_t>(f.GetSize()), '\0');
  f.SetPosition(0);
  f.ReadBuffer(s.data(), static_cast<std::int32_t>(s.size()));
  return s;
}

TEST(FileGeometry, FileModesGiveExtentAndPageSizes) {
  EXPECT_EQ(ExtentPageCountOf(dfmCompact), 2);
  EXPECT_EQ(PageSizeOf(dfmCompact), 544);
  EXPECT_EQ(ExtentPageCountOf(dfmNormal), 8);
  EXPECT_EQ(PageSizeOf(dfmNormal), 4096);
  EXPECT_EQ(ExtentPageCountOf(dfmLarge), 16);
  EXPECT_EQ(PageSizeOf(dfmLarge), 8192);
  EXPECT_EQ(ExtentPageCountOf(static_cast<TDatabaseFileMode>(3)), 0);
  EXPECT_EQ(PageSizeOf(static_cast<TDatabaseFileMode>(7)), 0);
}

class DiskFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  TDiskPlainFileSystem fs{dir.path()};
};

TEST_F(DiskFileTest, CreateWriteReadAndReopenKeepContent) {
  TAbstractFile* f = fs.OpenFile("t.dat", true, false, false);
  f->WriteBuffer("hello world", 11);
  EXPECT_EQ(f->GetPosition(), 11);
  EXPECT_EQ(f->GetSize(), 11);
  EXPECT_EQ(f->GetPosition(), 11);  // GetSize leaves the position alone
  fs.CloseFile(f);
  EXPECT_EQ(fs.OpenFileCount(), 0);
  EXPECT_EQ(ReadFileBytes(dir.file("t.dat")), "hello world");

  f = fs.OpenFile("t.dat", false, false, false);
  char buf[5];
  f->SetPosition(6);
  f->ReadBuffer(buf, 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  // Creating again truncates, also when the new handle only reads.
  fs.CloseFile(f);
  f = fs.OpenFile("t.dat", true, false, true);
  EXPECT_EQ(f->GetSize(), 0);
  EXPECT_TRUE(f->ReadOnly());
  fs.CloseFile(f);
}

TEST_F(DiskFileTest, MissingFileRaisesCannotOpenAndLeavesReadOnlyClear) {
  auto path = dir.file("missing.dat");
  EXPECT_EQ(MessageOf([&] { fs.OpenFile("missing.dat", false, false, false); }),
            "Cannot open file \"" + path + "\"");
  EXPECT_EQ(fs.OpenFileCount(), 0);

  TDiskFile f(nullptr, dir.path() + "/", "missing.dat");
  EXPECT_THROW(f.Open(false), Exception);
  EXPECT_FALSE(f.ReadOnly());
  f.SetReadOnly(true);
  EXPECT_THROW(f.Open(false), Exception);
  EXPECT_TRUE(f.ReadOnly());  // left as it was before the call
}

TEST_F(DiskFileTest, CreateInMissingDirectoryRaisesCannotCreate) {
  TDiskPlainFileSystem nowhere(dir.file("no/such"));
  EXPECT_EQ(MessageOf([&] { nowhere.OpenFile("a.dat", true, false, false); }),
            "Cannot create file \"" + dir.file("no/such/a.dat") + "\"");
}

TEST_F(DiskFileTest, WriteProtectedFileOpensReadOnly) {
  WriteFileBytes(dir.file("p.dat"), "abc");
  ASSERT_EQ(::chmod(dir.file("p.dat").c_str(), 0444), 0);
  // Root ignores permission bits; only a file that really refuses writing shows the fallback.
  if (::access(dir.file("p.dat").c_str(), W_OK) == 0)
    GTEST_SKIP() << "permission bits do not stop writes for this user";
  TAbstractFile* f = fs.OpenFile("p.dat", false, false, false);
  EXPECT_TRUE(f->ReadOnly());
  char buf[3];
  f->ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(f->Write("x", 1), 0);
  fs.CloseFile(f);
}

TEST_F(DiskFileTest, ChangingReadOnlyOrExclusiveKeepsPositionAndTakesEffect) {
  TAbstractFile* f = fs.OpenFile("t.dat", true, false, false);
  f->WriteBuffer("0123456789", 10);
  f->SetPosition(4);
  f->SetReadOnly(true);
  EXPECT_EQ(f->GetPosition(), 4);
  EXPECT_EQ(f->Write("x", 1), 0);  // really read-only now
  f->SetExclusive(true);
  EXPECT_EQ(f->GetPosition(), 4);
  f->SetReadOnly(false);
  EXPECT_EQ(f->GetPosition(), 4);
  f->WriteBuffer("X", 1);
  fs.CloseFile(f);
  EXPECT_EQ(ReadFileBytes(dir.file("t.dat")), "0123X56789");
}

TEST_F(DiskFileTest, ExclusiveAndSharedOpensExcludeEachOther) {
  TDiskPlainFileSystem other(dir.path());
  TAbstractFile* f = fs.OpenFile("t.dat", true, true, false);
  EXPECT_EQ(MessageOf([&] { other.OpenFile("t.dat", false, false, false); }),
            "Cannot open file \"" + dir.file("t.dat") + "\"");
  fs.CloseFile(f);

  f = fs.OpenFile("t.dat", false, false, false);
  TAbstractFile* g = other.OpenFile("t.dat", false, false, false);  // shared + shared
  EXPECT_THROW(TDiskPlainFileSystem(dir.path()).OpenFile("t.dat", false, true, false), Exception);
  // A failed exclusive create must not have emptied the shared file.
  f->WriteBuffer("keep", 4);
  EXPECT_THROW(TDiskPlainFileSystem(dir.path()).OpenFile("t.dat", true, true, false), Exception);
  EXPECT_EQ(g->GetSize(), 4);
  other.CloseFile(g);
  fs.CloseFile(f);
}

TEST_F(DiskFileTest, ZeroByteWriteTruncatesAtPosition) {
  TAbstractFile* f = fs.OpenFile("t.dat", true, false, false);
  f->WriteBuffer("0123456789", 10);
  f->SetPosition(3);
  EXPECT_EQ(f->Write("", 0), 0);
  EXPECT_EQ(f->GetSize(), 3);
  fs.CloseFile(f);
  EXPECT_EQ(ReadFileBytes(dir.file("t.dat")), "012");
}

TEST_F(DiskFileTest, SetSizeGrowsShrinksAndReportsOsFailure) {
  TAbstractFile* f = fs.OpenFile("t.dat", true, false, false);
  f->SetSize(100);
  EXPECT_EQ(f->GetSize(), 100);
  EXPECT_EQ(f->GetPosition(), 100);
  f->SetSize(7);
  EXPECT_EQ(f->GetSize(), 7);
  EXPECT_THROW(f->SetSize(-1), EInOutError);
  f->SetReadOnly(true);
  EXPECT_THROW(f->SetSize(1), EInOutError);
  EXPECT_EQ(f->GetSize(), 7);
  fs.CloseFile(f);
}

TEST_F(DiskFileTest, PositionsStayWithinTwoGigabytes) {
  TAbstractFile* f = fs.OpenFile("t.dat", true, false, false);
  f->WriteBuffer("abc", 3);
  EXPECT_EQ(f->Seek(-4, TAbstractFile::kFromEnd), -1);
  EXPECT_EQ(f->GetPosition(), 3);
  EXPECT_EQ(f->Seek(kMaxFilePosition, TAbstractFile::kFromCurrent), -1);
  EXPECT_EQ(f->Seek(1, 9), -1);
  EXPECT_EQ(f->Seek(kMaxFilePosition, TAbstractFile::kFromBeginning), kMaxFilePosition);
  // Nothing may be written at or past the limit.
  EXPECT_EQ(f->Write("x", 1), 0);
  EXPECT_THROW(f->WriteBuffer("x", 1), Exception);
  fs.CloseFile(f);
}

TEST_F(DiskFileTest, DoubleOpenOfOneNameRaisesAlreadyOpen) {
  TAbstractFile* f = fs.OpenFile("Orders.dat", true, false, false);
  EXPECT_EQ(
      MessageOf([&] { fs.OpenFile("ORDERS.DAT", false, false, false); }),
      "TDiskPlainFileSystem.OpenFile - File \"" + dir.file("ORDERS.DAT") + "\" is already open.");
  EXPECT_EQ(fs.FindFile("orders.DAT"), f);
  EXPECT_EQ(fs.OpenFileCount(), 1);
}

TEST_F(DiskFileTest, FileOperationsOnDirectory) {
  WriteFileBytes(dir.file("a.dat"), "a");
  WriteFileBytes(dir.file("b.dat"), "b");
  std::filesystem::create_directory(dir.file("sub"));
  EXPECT_TRUE(fs.FileExists("a.dat"));
  EXPECT_FALSE(fs.FileExists("sub"));
  EXPECT_FALSE(fs.RenameFile("a.dat", "b.dat"));  // never replaces a file
  EXPECT_EQ(ReadFileBytes(dir.file("b.dat")), "b");
  EXPECT_TRUE(fs.RenameFile("a.dat", "c.dat"));
  EXPECT_FALSE(fs.FileExists("a.dat"));
  EXPECT_TRUE(fs.DeleteFile("c.dat"));
  EXPECT_FALSE(fs.DeleteFile("c.dat"));
}

TEST(FileNames, DiskListsWithoutExtensionMemoryWithIt) {
  TempDir dir;
  WriteFileBytes(dir.file("orders.dat"), "");
  WriteFileBytes(dir.file("orders.idx"), "");
  WriteFileBytes(dir.file("notes.txt"), "");
  std::filesystem::create_directory(dir.file("x.dat"));
  TDiskPlainFileSystem disk(dir.path() + "/");
  EXPECT_EQ(disk.Directory(), dir.path() + "/");
  std::vector<std::string> list{"stale"};
  disk.GetFileNames(".dat", list);
  EXPECT_EQ(list, std::vector<std::string>{"orders"});

  TMemoryPlainFileSystem mem("m");
  mem.OpenFile("orders.dat", true, false, false);
  mem.OpenFile("Items.DAT", true, false, false);
  mem.OpenFile("orders.idx", true, false, false);
  mem.GetFileNames(".dat", list);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{"Items.DAT", "orders.dat"}));
}

TEST(FileNames, EmptyDirectoryNameMeansCurrentDirectory) {
  TempDir dir;
  WriteFileBytes(dir.file("here.dat"), "");
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  TDiskPlainFileSystem disk("");
  std::vector<std::string> list;
  disk.GetFileNames(".dat", list);
  bool exists = disk.FileExists("here.dat");
  std::filesystem::current_path(old);
  EXPECT_EQ(list, std::vector<std::string>{"here"});
  EXPECT_TRUE(exists);
}

TEST(MemoryStore, OpenOfListedNameReusesTheFile) {
  TMemoryPlainFileSystem mem("m");
  TAbstractFile* f = mem.OpenFile("a.dat", true, false, false);
  f->WriteBuffer("abcdef", 6);
  TAbstractFile* g = mem.OpenFile("A.DAT", false, false, true);
  EXPECT_EQ(g, f);
  EXPECT_EQ(g->GetPosition(), 0);
  EXPECT_TRUE(g->ReadOnly());
  EXPECT_EQ(g->GetSize(), 6);
  TAbstractFile* h = mem.OpenFile("a.dat", true, false, false);
  EXPECT_EQ(h, f);
  EXPECT_EQ(h->GetSize(), 0);
  EXPECT_FALSE(h->ReadOnly());
}

TEST(MemoryStore, ContentSurvivesCloseFileButNotDeleteFile) {
  TMemoryPlainFileSystem mem("m");
  TAbstractFile* f = mem.OpenFile("a.dat", true, false, false);
  f->WriteBuffer("abc", 3);
  mem.CloseFile(f);
  TAbstractFile* g = mem.OpenFile("a.dat", false, false, false);
  EXPECT_EQ(ReadAll(*g), "abc");
  EXPECT_TRUE(mem.RenameFile("a.dat", "b.dat"));
  EXPECT_FALSE(mem.FileExists("a.dat"));
  EXPECT_TRUE(mem.DeleteFile("B.dat"));
  EXPECT_FALSE(mem.FileExists("b.dat"));
  EXPECT_FALSE(mem.DeleteFile("b.dat"));
  EXPECT_EQ(MessageOf([&] { mem.OpenFile("b.dat", false, false, false); }),
            "TMemoryFile.Open - File cannot be open, only creation is available.");
  EXPECT_EQ(mem.OpenFileCount(), 0);
}

TEST(MemoryStore, MemoryFileStreamRules) {
  TMemoryFile f(nullptr, "x");
  EXPECT_EQ(f.Write("a", 1), 0);  // closed: nothing happens
  f.Open(true);
  EXPECT_EQ(f.Seek(10, TAbstractFile::kFromBeginning), 10);
  f.WriteBuffer("z", 1);
  EXPECT_EQ(f.GetSize(), 11);
  std::string s = ReadAll(f);
  EXPECT_EQ(s, std::string(10, '\0') + "z");
  f.SetSize(4);
  EXPECT_EQ(f.GetPosition(), 4);
  char c;
  EXPECT_EQ(f.Read(&c, 1), 0);
  EXPECT_THROW(f.ReadBuffer(&c, 1), Exception);
  EXPECT_EQ(f.Seek(-5, TAbstractFile::kFromEnd), -1);
  f.Close();
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(MessageOf([&] { f.ReadBuffer(&c, 1); }),
            "TAbstractFile.ReadBuffer - Stream read error");
  EXPECT_EQ(MessageOf([&] { f.WriteBuffer(&c, 1); }),
            "TAbstractFile.WriteBuffer - Stream write error");
}

TEST(CopyFrom, CopiesFilesLargerThanItsBuffer) {
  TempDir dir;
  TDiskPlainFileSystem disk(dir.path());
  TMemoryPlainFileSystem mem("m");
  const std::string data = Pattern(61440 * 3 + 123);
  TAbstractFile* src = disk.OpenFile("big.dat", true, false, false);
  src->WriteBuffer(data.data(), static_cast<std::int32_t>(data.size()));
  TAbstractFile* dst = mem.OpenFile("big.dat", true, false, false);
  // Count 0 copies everything from the source's start, whatever its position.
  EXPECT_EQ(dst->CopyFrom(*src, 0), static_cast<std::int32_t>(data.size()));
  EXPECT_EQ(ReadAll(*dst), data);

  // A given count copies from both current positions.
  TAbstractFile* part = disk.OpenFile("part.dat", true, false, false);
  part->WriteBuffer("##", 2);
  src->SetPosition(70000);
  EXPECT_EQ(part->CopyFrom(*src, 65000), 65000);
  EXPECT_EQ(ReadAll(*part), "##" + data.substr(70000, 65000));

  // Asking for more than the source holds raises the read error.
  src->SetPosition(static_cast<std::int32_t>(data.size()) - 10);
  EXPECT_THROW(part->CopyFrom(*src, 20), Exception);
}

TEST(TemporaryStore, FilesLiveUntilDeletedOrStoreDestroyed) {
  TempDir dir;
  {
    TTemporaryPlainFileSystem tmp(dir.path());
    EXPECT_EQ(tmp.StoreMode(), fsmTemporary);
    TAbstractFile* f = tmp.OpenFile("a.tmp", true, false, false);
    f->WriteBuffer("abc", 3);
    tmp.CloseFile(f);
    EXPECT_TRUE(tmp.FileExists("a.tmp"));
    TAbstractFile* again = tmp.OpenFile("a.tmp", false, false, false);
    EXPECT_EQ(again, f);
    EXPECT_EQ(again->GetPosition(), 0);
    EXPECT_EQ(again->GetSize(), 3);
    EXPECT_EQ(tmp.OpenFile("a.tmp", true, false, false)->GetSize(), 0);

    TAbstractFile* b = tmp.OpenFile("b.tmp", true, false, false);
    b->WriteBuffer("bbb", 3);
    EXPECT_TRUE(tmp.DeleteFile("a.tmp"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.tmp")));
    EXPECT_EQ(tmp.FindFile("a.tmp"), nullptr);
    EXPECT_FALSE(tmp.DeleteFile("a.tmp"));

    // Renaming an open temporary file keeps its content and its temporariness.
    EXPECT_TRUE(tmp.RenameFile("b.tmp", "c.tmp"));
    EXPECT_EQ(tmp.FindFile("c.tmp"), b);
    EXPECT_EQ(ReadFileBytes(dir.file("c.tmp")), "bbb");
    EXPECT_FALSE(std::filesystem::exists(dir.file("b.tmp")));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("c.tmp")));
}

// A stand-in container store: a memory store that answers for a file on disk.
class FakeContainer : public TMemoryPlainFileSystem {
 public:
  FakeContainer(const std::string& name, bool readOnly)
      : TMemoryPlainFileSystem(name, fsmSingleFile), read_only_(readOnly) {}
  bool ReadOnly() const override { return read_only_; }

 private:
  bool read_only_;
};

class PFSManagerTest : public ::testing::Test {
 protected:
  void TearDown() override { TPFSManager::SetContainerStore(nullptr, nullptr); }

  void InstallFakeContainer() {
    TPFSManager::SetContainerStore(
        [this](const std::string& name, const std::string& password, TDatabaseFileMode,
               bool readOnly, bool, bool createNew) -> std::unique_ptr<TAbstractPlainFileSystem> {
          ++made;
          if (password == "wrong") throw Exception("bad password");
          if (createNew) WriteFileBytes(name, "KRPGYSGN");
          return std::make_unique<FakeContainer>(name, readOnly);
        },
        [](const std::string& path) { return ReadFileBytes(path) == "ENCRYPTED"; });
  }

  TPFSManager& m = TPFSManager::Instance();
  TempDir dir;
  int made = 0;
};

TEST_F(PFSManagerTest, InvalidStoreModesGiveNilAndRegisterNothing) {
  int before = m.RegisteredCount();
  bool ro = false;
  EXPECT_EQ(m.GetPFSHandle(dir.path(), "", 0, ro, false, dfmNormal), nullptr);
  EXPECT_EQ(m.GetPFSHandle(dir.path(), "", 5, ro, false, dfmNormal), nullptr);
  EXPECT_EQ(m.RegisteredCount(), before);
  EXPECT_EQ(m.LockDepth(), 0);
}

TEST_F(PFSManagerTest, FindPFSIgnoresCaseAndSeparatesStoreModes) {
  std::string upper = dir.path() + "/ABC";
  bool ro = false;
  TAbstractPlainFileSystem* disk = m.GetPFSHandle(upper, "", fsmDisk, ro, false, dfmNormal);
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->StoreMode(), fsmDisk);
  std::string lower = dir.path() + "/abc";
  EXPECT_EQ(m.FindPFS(lower, fsmDisk), disk);
  EXPECT_EQ(m.GetPFSHandle(lower, "", fsmDisk, ro, false, dfmNormal), disk);
  EXPECT_EQ(m.FindPFS(upper, fsmMemory), nullptr);
  TAbstractPlainFileSystem* mem = m.GetPFSHandle(upper, "", fsmMemory, ro, false, dfmNormal);
  ASSERT_NE(mem, nullptr);
  EXPECT_NE(mem, disk);
  EXPECT_EQ(m.FindPFS(lower, fsmMemory), mem);
  TAbstractPlainFileSystem* tmp = m.GetPFSHandle(upper, "", fsmTemporary, ro, false, dfmNormal);
  ASSERT_NE(tmp, nullptr);
  EXPECT_EQ(tmp->StoreMode(), fsmTemporary);
}

TEST_F(PFSManagerTest, ContainerRequestsWithoutContainerStore) {
  std::string path = dir.file("db.kvb");
  bool ro = false;
  EXPECT_EQ(m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal), nullptr);
  WriteFileBytes(path, "not a container");
  EXPECT_EQ(m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal), nullptr);
  EXPECT_FALSE(m.CreatePFS(dir.file("new.kvb"), "", false, dfmNormal));
  EXPECT_FALSE(IsFileEncrypted(path));
  EXPECT_EQ(m.FindPFS(path, fsmSingleFile), nullptr);
}

TEST_F(PFSManagerTest, ContainerStorePlugsIn) {
  InstallFakeContainer();
  std::string path = dir.file("db.kvb");
  bool ro = false;
  EXPECT_EQ(m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal), nullptr);
  EXPECT_EQ(made, 0);  // a missing file is not handed to the container

  EXPECT_TRUE(m.CreatePFS(path, "", false, dfmNormal));
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(m.FindPFS(path, fsmSingleFile), nullptr);  // a disk container is closed again

  EXPECT_EQ(m.GetPFSHandle(path, "wrong", fsmSingleFile, ro, false, dfmNormal), nullptr);
  TAbstractPlainFileSystem* c = m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal);
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(ro);
  EXPECT_EQ(m.FindPFS(path, fsmSingleFile), c);
  m.DropPFS(path);
  EXPECT_EQ(m.FindPFS(path, fsmSingleFile), nullptr);

  std::string mem = dir.file("mem.kvb");
  EXPECT_TRUE(m.CreatePFS(mem, "", true, dfmCompact));
  EXPECT_NE(m.FindPFS(mem, fsmSingleFile), nullptr);
  m.DropPFS(mem);

  WriteFileBytes(path, "ENCRYPTED");
  EXPECT_TRUE(IsFileEncrypted(path));
  EXPECT_FALSE(IsFileEncrypted(dir.file("none.kvb")));
}

TEST_F(PFSManagerTest, WriteProtectedContainerIsOpenedReadOnly) {
  InstallFakeContainer();
  std::string path = dir.file("ro.kvb");
  WriteFileBytes(path, "KRPGYSGN");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  bool ro = false;
  TAbstractPlainFileSystem* c = m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal);
  ASSERT_NE(c, nullptr);
  // Even where root can write, the read-only permission marks the file read-only.
  EXPECT_TRUE(ro);
  EXPECT_TRUE(c->ReadOnly());
  bool again = false;
  EXPECT_EQ(m.GetPFSHandle(path, "", fsmSingleFile, again, false, dfmNormal), c);
  EXPECT_TRUE(again);
  m.DropPFS(path);
}

TEST_F(PFSManagerTest, ContainerLockedByAnotherWriterIsReadOnly) {
  InstallFakeContainer();
  std::string path = dir.file("busy.kvb");
  WriteFileBytes(path, "KRPGYSGN");
  TDiskPlainFileSystem holder(dir.path());
  TAbstractFile* held = holder.OpenFile("busy.kvb", false, false, false);
  bool ro = false;
  TAbstractPlainFileSystem* c = m.GetPFSHandle(path, "", fsmSingleFile, ro, false, dfmNormal);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(ro);
  m.DropPFS(path);
  holder.CloseFile(held);
}

}  // namespace
}  // namespace kivo
