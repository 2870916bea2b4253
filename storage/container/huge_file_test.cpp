#include "storage/container/huge_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
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

// The part header as the documented layout gives it, built byte by byte.
std::string ExpectedPartHeader(std::int64_t partSize, const std::string& next) {
  std::string h(280, '\0');
  h.replace(0, 8, "KRMVHFSS");
  for (int i = 0; i < 8; ++i)
    h[8 + i] = static_cast<char>((static_cast<std::uint64_t>(partSize) >> (8 * i)) & 0xFF);
  h.replace(16, next.size(), next);
  return h;
}

std::string Pattern(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::string ReadAll(TPagyHugeFile& f) {
  std::string out(static_cast<std::size_t>(f.GetSize()), '\0');
  f.SetPosition(0);
  std::int32_t got = out.empty() ? 0 : f.Read(out.data(), static_cast<std::int32_t>(out.size()));
  out.resize(static_cast<std::size_t>(got));
  return out;
}

void WriteAt(TPagyHugeFile& f, std::int64_t pos, const std::string& data) {
  f.SetPosition(pos);
  f.WriteBuffer(data.data(), static_cast<std::int32_t>(data.size()));
}

// ---------------------------------------------------------------- layout

TEST(HugeFileLayout, NewFileIsOnePartHeaderWithTheGivenPartSize) {
  TempDir dir;
  const std::string path = dir.file("a.kvb");
  TPagyHugeFile f(path, false, true, false, 0x0102030405060708);
  ASSERT_TRUE(f.Open(true, false));
  f.Close();
  EXPECT_EQ(ReadFileBytes(path), ExpectedPartHeader(0x0102030405060708, ""));
}

TEST(HugeFileLayout, AutomaticPartSizeFollowsTheVolume) {
  TempDir dir;
  const std::string path = dir.file("a.kvb");
  std::int64_t volume = MaxFileSizeOfVolume(path);
  TPagyHugeFile f(path, false, true, false, -1);
  EXPECT_EQ(f.PartSize(), volume > 0 ? volume : 2147483647);
  ASSERT_TRUE(f.Open(true, false));
  f.Close();
  EXPECT_EQ(ReadFileBytes(path), ExpectedPartHeader(f.PartSize(), ""));
}

TEST(HugeFileLayout, SmallPartsChainByBareName) {
  TempDir dir;
  const std::string path = dir.file("c.kvb");
  const std::string data = Pattern(250, 1);
  {
    TPagyHugeFile f(path, false, true, false, 380);
    ASSERT_TRUE(f.Open(true, false));
    f.WriteBuffer(data.data(), 250);
    EXPECT_EQ(f.PartCount(), 3);
    EXPECT_EQ(f.GetSize(), 250);
  }
  EXPECT_EQ(ReadFileBytes(path), ExpectedPartHeader(380, "c.kvb1") + data.substr(0, 100));
  EXPECT_EQ(ReadFileBytes(path + "1"), ExpectedPartHeader(380, "c.kvb2") + data.substr(100, 100));
  EXPECT_EQ(ReadFileBytes(path + "2"), ExpectedPartHeader(380, "") + data.substr(200, 50));
}

TEST(HugeFileLayout, PartNamesSkipExistingFiles) {
  TempDir dir;
  const std::string path = dir.file("c.kvb");
  WriteFileBytes(path + "1", "unrelated");
  TPagyHugeFile f(path, false, true, false, 380);
  ASSERT_TRUE(f.Open(true, false));
  const std::string data = Pattern(150, 2);
  f.WriteBuffer(data.data(), 150);
  f.Close();
  EXPECT_EQ(ReadFileBytes(path + "1"), "unrelated");
  EXPECT_EQ(ReadFileBytes(path), ExpectedPartHeader(380, "c.kvb2") + data.substr(0, 100));
  ASSERT_TRUE(f.Open(false, false));
  EXPECT_EQ(ReadAll(f), data);
}

// ---------------------------------------------------------------- stream

// Random writes, reads, size changes and reopens checked against a plain
// string; parts of 120 data bytes make most operations cross part boundaries.
void RunModel(bool inMemory, unsigned seed) {
  TempDir dir;
  const std::string path = dir.file("m.kvb");
  TPagyHugeFile f(path, false, true, inMemory, 400);
  ASSERT_TRUE(f.Open(true, false));
  std::string model;
  std::mt19937 rng(seed);
  for (int step = 0; step < 400; ++step) {
    int op = static_cast<int>(rng() % 10);
    std::int64_t pos = rng() % (model.size() + 300);
    if (op < 5) {
      std::string data = Pattern(rng() % 700 + 1, rng());
      WriteAt(f, pos, data);
      if (static_cast<std::size_t>(pos) > model.size()) model.resize(pos, '\0');
      model.replace(pos, std::min(data.size(), model.size() - pos), data);
    } else if (op < 8) {
      pos = std::min<std::int64_t>(pos, model.size());
      std::string got(rng() % 700, '\0');
      const std::string expected = model.substr(pos, got.size());
      f.SetPosition(pos);
      std::int32_t n = got.empty() ? 0 : f.Read(got.data(), static_cast<std::int32_t>(got.size()));
      got.resize(n);
      ASSERT_EQ(got, expected) << "step " << step;
      ASSERT_EQ(f.GetPosition(), pos + n);
    } else if (op == 8) {
      f.SetSize(pos);
      model.resize(pos, '\0');
      ASSERT_EQ(f.GetPosition(), pos);
    } else {
      f.Close();
      ASSERT_TRUE(f.Open(false, false));
    }
    ASSERT_EQ(f.GetSize(), static_cast<std::int64_t>(model.size())) << "step " << step;
    std::int64_t parts = (static_cast<std::int64_t>(model.size()) + 119) / 120;
    ASSERT_LE(f.PartCount(), std::max<std::int64_t>(parts + 1, 1));
  }
  EXPECT_EQ(ReadAll(f), model);
  if (inMemory) {
    EXPECT_FALSE(FileExists(path));
  }
}

TEST(HugeFileStream, DiskStreamMatchesModel) { RunModel(false, 7); }
TEST(HugeFileStream, MemoryStreamMatchesModel) { RunModel(true, 8); }

// Cuts `total` bytes into pieces of random sizes (some empty) over `buffer`.
std::vector<iovec> RandomPieces(std::string& buffer, std::mt19937& rng) {
  std::vector<iovec> pieces;
  std::size_t at = 0;
  while (at < buffer.size()) {
    const std::size_t n = std::min<std::size_t>(rng() % 90, buffer.size() - at);
    pieces.push_back({buffer.data() + at, n});
    at += n;
  }
  return pieces;
}

// ReadV / WriteV against a plain string: the pieces must land exactly as one
// Read / Write of their concatenation would move them, across part ends and
// the end of the stream.
void RunScatterGatherModel(bool inMemory, unsigned seed) {
  TempDir dir;
  TPagyHugeFile f(dir.file("v.kvb"), false, true, inMemory, 400);
  ASSERT_TRUE(f.Open(true, false));
  std::string model;
  std::mt19937 rng(seed);
  for (int step = 0; step < 300; ++step) {
    std::int64_t pos = rng() % (model.size() + 300);
    if (rng() % 2 == 0) {
      std::string data = Pattern(rng() % 700 + 1, rng());
      std::vector<iovec> pieces = RandomPieces(data, rng);
      f.SetPosition(pos);
      ASSERT_EQ(f.WriteV(pieces.data(), static_cast<int>(pieces.size())),
                static_cast<std::int64_t>(data.size()));
      if (static_cast<std::size_t>(pos) > model.size()) model.resize(pos, '\0');
      model.replace(pos, std::min(data.size(), model.size() - pos), data);
    } else {
      pos = std::min<std::int64_t>(pos, model.size());
      std::string got(rng() % 700 + 1, '\x55');
      std::vector<iovec> pieces = RandomPieces(got, rng);
      f.SetPosition(pos);
      const std::int64_t n = f.ReadV(pieces.data(), static_cast<int>(pieces.size()));
      const std::string expected = model.substr(pos, got.size());
      ASSERT_EQ(n, static_cast<std::int64_t>(expected.size())) << "step " << step;
      ASSERT_EQ(got.substr(0, expected.size()), expected) << "step " << step;
      // Bytes past the end of the stream are left alone.
      ASSERT_EQ(got.substr(expected.size()), std::string(got.size() - expected.size(), '\x55'));
      ASSERT_EQ(f.GetPosition(), pos + n);
    }
    ASSERT_EQ(f.GetSize(), static_cast<std::int64_t>(model.size())) << "step " << step;
  }
  EXPECT_EQ(ReadAll(f), model);
}

TEST(HugeFileStream, DiskScatterGatherMatchesModel) { RunScatterGatherModel(false, 11); }
TEST(HugeFileStream, MemoryScatterGatherMatchesModel) { RunScatterGatherModel(true, 12); }

TEST(HugeFileStream, DiskFileReadVStopsAtTheEndInsideAPiece) {
  TempDir dir;
  const std::string path = dir.file("d.bin");
  WriteFileBytes(path, "abcdefghij");
  TPagyDiskFile f(path, false, true);
  ASSERT_TRUE(f.Open(false));
  std::string a(4, '-'), b(4, '-'), c(4, '-');
  const iovec pieces[3] = {{a.data(), 4}, {b.data(), 4}, {c.data(), 4}};
  f.SetPosition(1);
  EXPECT_EQ(f.ReadV(pieces, 3), 9);
  EXPECT_EQ(a + b + c, "bcdefghij---");
  EXPECT_EQ(f.GetPosition(), 10);
  // Gathered writes land at the position and move it.
  std::string x = "XY", y = "Z";
  const iovec out[2] = {{x.data(), 2}, {y.data(), 1}};
  f.SetPosition(8);
  EXPECT_EQ(f.WriteV(out, 2), 3);
  EXPECT_EQ(f.GetPosition(), 11);
  f.Close();
  EXPECT_EQ(ReadFileBytes(path), "abcdefghXYZ");
}

TEST(HugeFileStream, GrowAndShrinkManagePartFiles) {
  TempDir dir;
  const std::string path = dir.file("g.kvb");
  TPagyHugeFile f(path, false, true, false, 380);
  ASSERT_TRUE(f.Open(true, false));
  f.SetSize(250);
  EXPECT_EQ(f.PartCount(), 3);
  EXPECT_EQ(ReadAll(f), std::string(250, '\0'));
  WriteAt(f, 0, Pattern(250, 3));
  f.SetSize(50);
  EXPECT_EQ(f.PartCount(), 1);
  EXPECT_FALSE(FileExists(path + "1"));
  EXPECT_FALSE(FileExists(path + "2"));
  f.Close();
  EXPECT_EQ(ReadFileBytes(path), ExpectedPartHeader(380, "") + Pattern(250, 3).substr(0, 50));
}

TEST(HugeFileStream, WritingPastTheEndFillsTheGapWithZeros) {
  TempDir dir;
  TPagyHugeFile f(dir.file("z.kvb"), false, true, false, 380);
  ASSERT_TRUE(f.Open(true, false));
  WriteAt(f, 230, "xy");
  EXPECT_EQ(f.GetSize(), 232);
  EXPECT_EQ(f.PartCount(), 3);
  EXPECT_EQ(ReadAll(f), std::string(230, '\0') + "xy");
}

TEST(HugeFileStream, ContainerAfterUnrelatedBytesFindsItsBase) {
  TempDir dir;
  const std::string single = dir.file("s.kvb");
  const std::string stream = "KRPGYSGN" + Pattern(500, 4);
  {
    TPagyHugeFile f(single, false, true, false, 6000);
    ASSERT_TRUE(f.Open(true, false));
    f.WriteBuffer(stream.data(), static_cast<std::int32_t>(stream.size()));
  }
  const std::string path = dir.file("app.kvb");
  const std::string prefix = Pattern(5000, 5);
  WriteFileBytes(path, prefix + ReadFileBytes(single));

  TPagyHugeFile f(path, false, true, false, -1);
  ASSERT_TRUE(f.Open(false, false));
  EXPECT_EQ(f.BaseOffset(), 5000);
  EXPECT_EQ(f.PartSize(), 6000);
  EXPECT_EQ(ReadAll(f), stream);
  // The first part holds 5720 - 5000 stream bytes; the rest goes to part 1.
  const std::string more = Pattern(400, 6);
  WriteAt(f, 508, more);
  EXPECT_EQ(f.PartCount(), 2);
  f.Close();
  std::string first = ReadFileBytes(path);
  ASSERT_EQ(first.size(), 6000u);
  EXPECT_EQ(first.substr(0, 5000), prefix);
  EXPECT_EQ(first.substr(5000, 280), ExpectedPartHeader(6000, "app.kvb1"));
  EXPECT_EQ(ReadFileBytes(path + "1"), ExpectedPartHeader(6000, "") + more.substr(720 - 508));
  ASSERT_TRUE(f.Open(false, false));
  EXPECT_EQ(ReadAll(f), stream + more);
}

TEST(HugeFileStream, BrokenChainOpensOnlyWhenTolerated) {
  TempDir dir;
  const std::string path = dir.file("b.kvb");
  {
    TPagyHugeFile f(path, false, true, false, 380);
    ASSERT_TRUE(f.Open(true, false));
    f.SetSize(250);
  }
  ASSERT_EQ(::truncate((path + "1").c_str(), 300), 0);
  TPagyHugeFile f(path, false, true, false, 380);
  EXPECT_FALSE(f.Open(false, false));
  EXPECT_EQ(f.PartCount(), 0);
  ASSERT_TRUE(f.Open(false, true));
  EXPECT_EQ(f.PartCount(), 2);
  EXPECT_EQ(f.GetSize(), 100 + 20);
  f.Close();
  ASSERT_EQ(::unlink((path + "1").c_str()), 0);
  EXPECT_FALSE(f.Open(false, false));
  ASSERT_TRUE(f.Open(false, true));
  EXPECT_EQ(f.GetSize(), 100);
}

TEST(HugeFileStream, InMemoryStartsFromDiskAndNeverWritesBack) {
  TempDir dir;
  const std::string path = dir.file("mem.kvb");
  const std::string data = Pattern(250, 9);
  {
    TPagyHugeFile f(path, false, true, false, 380);
    ASSERT_TRUE(f.Open(true, false));
    f.WriteBuffer(data.data(), 250);
  }
  const std::string before =
      ReadFileBytes(path) + ReadFileBytes(path + "1") + ReadFileBytes(path + "2");
  TPagyHugeFile f(path, false, true, true, 380);
  ASSERT_TRUE(f.Open(false, false));
  EXPECT_EQ(ReadAll(f), data);
  WriteAt(f, 0, Pattern(600, 10));
  f.Close();
  // The memory parts survive a close and are reopened as they were.
  ASSERT_TRUE(f.Open(false, false));
  EXPECT_EQ(ReadAll(f), Pattern(600, 10));
  f.Close();
  EXPECT_EQ(MessageOf([&] { f.Open(true, false); }),
            "TPagyHugeFile.InternalOpen - File was not closed.");
  EXPECT_EQ(ReadFileBytes(path) + ReadFileBytes(path + "1") + ReadFileBytes(path + "2"), before);
  EXPECT_FALSE(FileExists(path + "3"));
}

// Sets the file's immutable flag where the file system and the user allow
// it, and clears it again.
struct WriteProtect {
  explicit WriteProtect(const std::string& path) : fd(::open(path.c_str(), O_RDONLY)) {
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      immutable = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~WriteProtect() {
    int flags = 0;
    if (immutable && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) ::close(fd);
  }
  int fd;
  bool immutable = false;
};

TEST(HugeFileStream, WriteProtectedContainerOpensReadOnly) {
  TempDir dir;
  const std::string path = dir.file("r.kvb");
  {
    TPagyHugeFile f(path, false, true, false, 380);
    ASSERT_TRUE(f.Open(true, false));
    f.WriteBuffer("abc", 3);
  }
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  // Permission bits do not stop a privileged user; the immutable flag does.
  WriteProtect guard(path);
  if (::access(path.c_str(), W_OK) == 0 && !guard.immutable)
    GTEST_SKIP() << "the file cannot be write-protected for this user";
  TPagyHugeFile f(path, false, true, false, 380);
  ASSERT_TRUE(f.Open(false, false));
  EXPECT_TRUE(f.ReadOnly());
  EXPECT_EQ(ReadAll(f), "abc");
  EXPECT_EQ(MessageOf([&] { f.WriteBuffer("x", 1); }),
            "TPagyHugeFile.WriteBuffer - Stream write error");
}

// ---------------------------------------------------------------- errors

TEST(HugeFileErrors, MessagesOfMisuse) {
  TempDir dir;
  const std::string path = dir.file("e.kvb");
  EXPECT_EQ(MessageOf([&] { TPagyHugeFile f(path, false, false, false, 379); }),
            "File part size is too small. Minimal part size is 380");
  TPagyHugeFile f(path, false, false, false, 380);
  ASSERT_TRUE(f.Open(true, false));
  EXPECT_EQ(MessageOf([&] { f.Open(false, false); }),
            "TPagyHugeFile.InternalOpen - File is already open.");
  EXPECT_EQ(MessageOf([&] { f.Seek(TSeekOrigin::soFromBeginning, -1); }),
            "TPagyHugeFile.Seek - Offset < 0 from file beginning.");
  EXPECT_EQ(MessageOf([&] { f.Seek(TSeekOrigin::soFromEnd, -1); }),
            "TPagyHugeFile.Seek - Offset < 0 from file beginning.");
  EXPECT_EQ(MessageOf([&] { f.Seek(TSeekOrigin::soFromEnd, INT64_MAX); }),
            "TPagyHugeFile.Seek - Position out of range.");
  char buf[4];
  f.SetPosition(1);
  EXPECT_EQ(MessageOf([&] { f.Read(buf, 4); }), "TPagyHugeFile.Read - Stream read error.");
  f.SetPosition(0);
  EXPECT_EQ(f.Read(buf, 4), 0);
  EXPECT_EQ(MessageOf([&] { f.ReadBuffer(buf, 4); }),
            "TPagyHugeFile.ReadBuffer - Stream read error");
  EXPECT_EQ(MessageOf([&] { f.DeleteLastPartFile(); }),
            "TPagyHugeFile.DeleteLastPartFile - No parts to delete.");
  // A part count far beyond what the stream may have is refused before any file is made.
  EXPECT_EQ(MessageOf([&] { f.SetSize(std::int64_t{100} * kMaxPartCount); }),
            "TPagyHugeFile.SetSize - Too many part files.");
  EXPECT_EQ(f.PartCount(), 1);
  f.Close();

  TPagyHugeFile ro(path, true, false, false, 380);
  ASSERT_TRUE(ro.Open(false, false));
  EXPECT_EQ(MessageOf([&] { ro.WriteBuffer("abc", 3); }),
            "TPagyHugeFile.WriteBuffer - Stream write error");

  TPagyMemoryFile mem(path, false, false);
  EXPECT_EQ(MessageOf([&] { mem.Open(false); }),
            "TPagyMemoryFile.Open - File cannot be open, only creation is available.");
}

TEST(HugeFileErrors, PartFileOperations) {
  TempDir dir;
  TPagyDiskFile d(dir.file("p"), false, false);
  EXPECT_FALSE(d.Open(false));
  ASSERT_TRUE(d.Open(true));
  d.WriteBuffer("0123456789", 10);
  d.SetPosition(4);
  EXPECT_EQ(d.Write("", 0), 0);  // truncates at the position
  EXPECT_EQ(d.GetSize(), 4);
  TPagyMemoryFile m(dir.file("m"), false, false);
  ASSERT_TRUE(m.Open(true));
  EXPECT_EQ(m.CopyFrom(d, 0), 4);
  m.SetPosition(0);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(MessageOf([&] { m.ReadBuffer(buf, 1); }),
            "TPagyAbstractFile.ReadBuffer - Stream read error");
  d.Close();
  EXPECT_EQ(MessageOf([&] { d.WriteBuffer("x", 1); }),
            "TPagyAbstractFile.WriteBuffer - Stream write error");
}

// ---------------------------------------------------------------- hostile chains

class HostileChain : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(folder().c_str(), 0777), 0);
    WriteFileBytes(victim(), ExpectedPartHeader(380, "") + "victim");
  }
  std::string folder() const { return dir_.file("db"); }
  std::string victim() const { return dir_.file("victim"); }
  std::string container() const { return folder() + "/c.kvb"; }
  void PlantContainer(const std::string& next) {
    WriteFileBytes(container(), ExpectedPartHeader(380, next) + std::string(100, 'd'));
  }
  TempDir dir_;
};

TEST_F(HostileChain, NamesOutsideTheFolderAreNeitherDeletedNorOpened) {
  const std::string victimCopy = ReadFileBytes(victim());
  for (const std::string& next : {std::string("../victim"), victim(), std::string(".."),
                                  std::string("."), std::string("sub/../../victim")}) {
    SCOPED_TRACE(next);
    PlantContainer(next);
    TPagyHugeFile open(container(), false, false, false, 380);
    EXPECT_FALSE(open.Open(false, false));
    ASSERT_TRUE(open.Open(false, true));
    EXPECT_EQ(open.PartCount(), 1);
    open.Close();

    TPagyHugeFile f(container(), false, false, false, 380);
    ASSERT_TRUE(f.Open(true, false));
    f.Close();
    EXPECT_EQ(ReadFileBytes(victim()), victimCopy);
    EXPECT_EQ(ReadFileBytes(container()), ExpectedPartHeader(380, ""));
  }
}

TEST_F(HostileChain, UnsignedFilesAndLinksInTheFolderSurvive) {
  const std::string plain = folder() + "/notes.txt";
  WriteFileBytes(plain, "not a part");
  PlantContainer("notes.txt");
  {
    TPagyHugeFile f(container(), false, false, false, 380);
    ASSERT_TRUE(f.Open(true, false));
  }
  EXPECT_EQ(ReadFileBytes(plain), "not a part");

  // A link in the folder that leads to a signed file outside it.
  ASSERT_EQ(::symlink(victim().c_str(), (folder() + "/link").c_str()), 0);
  PlantContainer("link");
  {
    TPagyHugeFile open(container(), false, false, false, 380);
    EXPECT_FALSE(open.Open(false, false));
    TPagyHugeFile mem(container(), false, false, true, 380);
    EXPECT_FALSE(mem.Open(false, false));
    TPagyHugeFile f(container(), false, false, false, 380);
    ASSERT_TRUE(f.Open(true, false));
  }
  EXPECT_EQ(ReadFileBytes(victim()), ExpectedPartHeader(380, "") + "victim");
  struct stat st;
  EXPECT_EQ(::lstat((folder() + "/link").c_str(), &st), 0);

  // A pipe or a folder named as a part is neither waited on nor removed.
  ASSERT_EQ(::mkfifo((folder() + "/pipe").c_str(), 0666), 0);
  ASSERT_EQ(::mkdir((folder() + "/sub").c_str(), 0777), 0);
  for (const char* next : {"pipe", "sub"}) {
    PlantContainer(next);
    TPagyHugeFile open(container(), false, false, false, 380);
    EXPECT_FALSE(open.Open(false, false));
    TPagyHugeFile f(container(), false, false, false, 380);
    ASSERT_TRUE(f.Open(true, false));
  }
  EXPECT_EQ(::lstat((folder() + "/pipe").c_str(), &st), 0);
  EXPECT_TRUE(DirectoryExists(folder() + "/sub"));
}

TEST_F(HostileChain, CyclesEnd) {
  // c.kvb -> p1 -> p2 -> p1: opening stops, creating deletes each signed part once.
  WriteFileBytes(container(), ExpectedPartHeader(480, "p1") + std::string(200, 'a'));
  WriteFileBytes(folder() + "/p1", ExpectedPartHeader(480, "p2") + std::string(200, 'b'));
  WriteFileBytes(folder() + "/p2", ExpectedPartHeader(480, "p1") + std::string(200, 'c'));
  TPagyHugeFile open(container(), false, false, false, 380);
  EXPECT_FALSE(open.Open(false, false));
  ASSERT_TRUE(open.Open(false, true));
  EXPECT_EQ(open.PartCount(), 3);
  EXPECT_EQ(open.GetSize(), 600);
  open.Close();
  // A self-reference ends at once.
  WriteFileBytes(folder() + "/self", ExpectedPartHeader(480, "self") + std::string(200, 's'));
  TPagyHugeFile self(folder() + "/self", false, false, false, 380);
  EXPECT_FALSE(self.Open(false, false));

  TPagyHugeFile f(container(), false, false, false, 380);
  ASSERT_TRUE(f.Open(true, false));
  EXPECT_FALSE(FileExists(folder() + "/p1"));
  EXPECT_FALSE(FileExists(folder() + "/p2"));
  EXPECT_TRUE(FileExists(folder() + "/self"));
}

// ---------------------------------------------------------------- damage

// Thousands of seeded damages to the part headers and lengths of a
// three-part container: every open answers true or false without raising,
// and an opened stream reads exactly its size, matching the original data
// wherever the geometry survived.
TEST(HugeFileDamage, RandomHeaderDamageNeverBreaksOpen) {
  TempDir dir;
  const std::string path = dir.file("d.kvb");
  const std::string data = "KRPGYSGN" + Pattern(292, 11);
  {
    TPagyHugeFile f(path, false, true, false, 400);
    ASSERT_TRUE(f.Open(true, false));
    f.WriteBuffer(data.data(), static_cast<std::int32_t>(data.size()));
    ASSERT_EQ(f.PartCount(), 3);
  }
  const std::string names[3] = {path, path + "1", path + "2"};
  std::string pristine[3];
  for (int i = 0; i < 3; ++i) pristine[i] = ReadFileBytes(names[i]);

  std::mt19937 rng(12345);
  int opened = 0;
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    std::string files[3] = {pristine[0], pristine[1], pristine[2]};
    int hits = 1 + static_cast<int>(rng() % 4);
    for (int h = 0; h < hits; ++h) {
      std::string& target = files[rng() % 3];
      const unsigned kind = rng() % 5;
      if (kind != 3 && target.size() < 280) continue;  // already cut into its header
      switch (kind) {
        case 0:  // one byte of the header
          target[rng() % 280] = static_cast<char>(rng());
          break;
        case 1: {  // the part size
          static const std::int64_t sizes[] = {0,       -1,        379,       380,       281,
                                               1 << 20, INT64_MAX, INT64_MIN, 0x7FFFFFFF};
          std::int64_t v = sizes[rng() % 9];
          for (int i = 0; i < 8; ++i) target[8 + i] = static_cast<char>(v >> (8 * i));
          break;
        }
        case 2: {  // the successor name, with or without a terminator
          std::string n = Pattern(rng() % 262, rng());
          target.replace(16, n.size(), n);
          break;
        }
        case 3:  // the file length
          target.resize(rng() % (target.size() + 40), '\0');
          break;
        default:  // a name of a real part, possibly making a cycle
        {
          std::string name = ExtractFileName(names[rng() % 3]);
          name.resize(261, '\0');
          target.replace(16, 261, name);
          break;
        }
      }
    }
    for (int i = 0; i < 3; ++i) WriteFileBytes(names[i], files[i]);

    TPagyHugeFile f(path, false, true, false, 400);
    bool tolerant = rng() % 2 == 0;
    bool ok = false;
    ASSERT_NO_THROW(ok = f.Open(false, tolerant));
    if (!ok) {
      ++refused;
      EXPECT_EQ(f.PartCount(), 0);
      continue;
    }
    ++opened;
    ASSERT_GE(f.PartDataSize(), 100);
    ASSERT_GE(f.GetSize(), 0);
    ASSERT_LE(f.GetSize(),
              static_cast<std::int64_t>(files[0].size() + files[1].size() + files[2].size()));
    std::string got = ReadAll(f);
    ASSERT_EQ(static_cast<std::int64_t>(got.size()), f.GetSize());
    // Each part's slice of the stream is that part file's data area.
    for (int i = 0; i < f.PartCount(); ++i) {
      const std::string& file = files[std::find(names, names + 3, f.PartFileName(i)) - names];
      std::int64_t fileStart = 280 + (i == 0 ? f.BaseOffset() : 0);
      std::int64_t streamStart = i == 0 ? 0 : i * f.PartDataSize() - f.BaseOffset();
      std::int64_t len = std::min<std::int64_t>(file.size(), f.PartSize()) - fileStart;
      ASSERT_EQ(got.substr(streamStart, len), file.substr(fileStart, len)) << "part " << i;
    }
  }
  // The pattern of damage must have exercised both outcomes.
  EXPECT_GT(opened, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace kivo
