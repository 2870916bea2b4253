#include "platform/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "platform/errors.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using kivo::testing::TempDir;
using kivo::testing::WriteFileBytes;

// Runs the body with the working directory set to `dir`, restoring it after.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir) {
    char buf[PATH_MAX];
    if (::getcwd(buf, sizeof buf) != nullptr) old_ = buf;
    EXPECT_EQ(::chdir(dir.c_str()), 0);
  }
  ~ScopedChdir() {
    if (!old_.empty()) {
      EXPECT_EQ(::chdir(old_.c_str()), 0);
    }
  }

 private:
  std::string old_;
};

TEST(PathTest, ExpandFileName) {
  EXPECT_EQ(ExpandFileName(""), "");
  EXPECT_EQ(ExpandFileName("/"), "/");
  EXPECT_EQ(ExpandFileName("/a/b/../c/./d.kvb"), "/a/c/d.kvb");
  EXPECT_EQ(ExpandFileName("/a//b///c"), "/a/b/c");
  EXPECT_EQ(ExpandFileName("/../../x"), "/x");
  EXPECT_EQ(ExpandFileName("/a/b/.."), "/a");
  EXPECT_EQ(ExpandFileName("/a/b/"), "/a/b/");
  EXPECT_EQ(ExpandFileName("/a/.."), "/");
  TempDir tmp;
  ScopedChdir cd(tmp.path());
  // The working directory may itself be reached through a symbolic link:
  // compare with the directory the system reports.
  char buf[PATH_MAX];
  ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
  const std::string cwd = buf;
  EXPECT_EQ(ExpandFileName("db.kvb"), cwd + "/db.kvb");
  EXPECT_EQ(ExpandFileName("./sub/../db.kvb"), cwd + "/db.kvb");
  EXPECT_EQ(ExpandFileName("."), cwd);
  EXPECT_EQ(ExpandFileName("missing/dir/x"), cwd + "/missing/dir/x");
  EXPECT_EQ(ExpandFileName(".."), ExtractFilePath(cwd).substr(0, ExtractFilePath(cwd).size() - 1));
}

TEST(PathTest, ExtractParts) {
  EXPECT_EQ(ExtractFileName("/home/u/db.kvb"), "db.kvb");
  EXPECT_EQ(ExtractFilePath("/home/u/db.kvb"), "/home/u/");
  EXPECT_EQ(ExtractFileName("db.kvb"), "db.kvb");
  EXPECT_EQ(ExtractFilePath("db.kvb"), "");
  EXPECT_EQ(ExtractFileName("/home/u/"), "");
  EXPECT_EQ(ExtractFilePath("/home/u/"), "/home/u/");
  EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
  EXPECT_EQ(ExtractFileExt("/a/T.dat"), ".dat");
  EXPECT_EQ(ExtractFileExt("/a/x.tar.gz"), ".gz");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "");
}

TEST(PathTest, ProgramDirectoryHoldsTheTestProgram) {
  const std::string dir = ProgramDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_TRUE(FileExists(ProgramPath()));
  EXPECT_EQ(ExtractFilePath(ProgramPath()), dir);
}

TEST(FileOpsTest, ExistenceDeleteRename) {
  TempDir tmp;
  const std::string a = tmp.file("a.dat");
  EXPECT_FALSE(FileExists(a));
  WriteFileBytes(a, "x");
  EXPECT_TRUE(FileExists(a));
  EXPECT_FALSE(DirectoryExists(a));
  EXPECT_TRUE(DirectoryExists(tmp.path()));
  EXPECT_FALSE(FileExists(tmp.path()));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(DirectoryExists(""));

  EXPECT_TRUE(RenameFile(a, tmp.file("b.dat")));
  EXPECT_FALSE(FileExists(a));
  EXPECT_TRUE(FileExists(tmp.file("b.dat")));
  EXPECT_FALSE(RenameFile(a, tmp.file("c.dat")));
  EXPECT_TRUE(DeleteFile(tmp.file("b.dat")));
  EXPECT_FALSE(DeleteFile(tmp.file("b.dat")));
  EXPECT_FALSE(DeleteFile(""));

  try {
    DeleteFileOrRaise(tmp.file("none"));
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOENT);
    EXPECT_NE(e.Message().find(tmp.file("none")), std::string::npos);
  }
  EXPECT_THROW(RenameFileOrRaise(tmp.file("none"), tmp.file("x")), EInOutError);
  WriteFileBytes(a, "y");
  EXPECT_NO_THROW(RenameFileOrRaise(a, tmp.file("z")));
  EXPECT_NO_THROW(DeleteFileOrRaise(tmp.file("z")));
}

TEST(FileOpsTest, ReadOnlyProbe) {
  TempDir tmp;
  const std::string f = tmp.file("db.kvb");
  EXPECT_FALSE(FileIsWritable(f));  // missing
  EXPECT_FALSE(WriteAttributesBack(f));
  WriteFileBytes(f, "data");
  EXPECT_FALSE(FileIsReadOnlyAttr(f));
  EXPECT_TRUE(WriteAttributesBack(f));
  EXPECT_TRUE(FileIsWritable(f));
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
  EXPECT_TRUE(FileIsReadOnlyAttr(f));
  EXPECT_FALSE(FileIsWritable(f));
  // Writing the attributes back must not change them.
  EXPECT_TRUE(WriteAttributesBack(f));
  struct stat st;
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST(FileOpsTest, ListFilesByExtension) {
  TempDir tmp;
  for (const char* name : {"T.dat", "T.idx", "Other.dat", "x.DAT", "dat", "notes.dat.bak"}) {
    WriteFileBytes(tmp.file(name), "");
  }
  ASSERT_EQ(::mkdir(tmp.file("dir.dat").c_str(), 0700), 0);
  EXPECT_EQ(ListFiles(tmp.path(), ".dat"), (std::vector<std::string>{"Other.dat", "T.dat"}));
  EXPECT_EQ(ListFiles(tmp.path() + "/", ".idx"), (std::vector<std::string>{"T.idx"}));
  EXPECT_EQ(ListFiles(tmp.path(), "").size(), 6u);
  EXPECT_EQ(ListFiles(tmp.path(), ".*").size(), 6u);
  EXPECT_TRUE(ListFiles(tmp.path(), ".none").empty());
  EXPECT_THROW(ListFiles(tmp.file("missing"), ".dat"), EInOutError);
}

TEST(VolumeTest, SpaceNameAndLimits) {
  TempDir tmp;
  EXPECT_GE(DiskFreeBytes(tmp.path()), 0);
  EXPECT_EQ(DiskFreeBytes(tmp.file("missing/deeper")), -1);
  const std::string fs = VolumeFileSystemName(tmp.path());
  EXPECT_FALSE(fs.empty());
  EXPECT_EQ(VolumeFileSystemName(tmp.file("missing/deeper")), "");
  EXPECT_EQ(VolumeFileSystemName("/proc"), "proc");
  // Every file system this program runs on allows files beyond 2 GiB; a
  // file that does not exist yet is judged by its directory.
  EXPECT_GT(MaxFileSizeOfVolume(tmp.path()), std::int64_t{2147483647});
  EXPECT_EQ(MaxFileSizeOfVolume(tmp.file("new.kvb")), MaxFileSizeOfVolume(tmp.path()));
  EXPECT_EQ(MaxFileSizeOfVolume(""), 0);
  const std::string os = OperatingSystemVersion();
  EXPECT_EQ(os.rfind("Linux ", 0), 0u) << os;
}

}  // namespace
}  // namespace kivo
