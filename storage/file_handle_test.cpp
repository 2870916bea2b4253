#include "storage/file_handle.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

#include "storage/file_layer.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::TempDir;

// A disk store destroys a file when it is closed, so its open-file count
// says exactly which handles have closed.
class OpenFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
  TDiskPlainFileSystem fs_{dir_.path() + "/"};
};

TEST_F(OpenFileTest, ClosesThroughItsOwnerOnScopeExitAndOnException) {
  {
    const TOpenFile f = fs_.OpenScoped("a.dat", true, false, false);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->FileName(), "a.dat");
    EXPECT_EQ(fs_.OpenFileCount(), 1);
  }
  EXPECT_EQ(fs_.OpenFileCount(), 0);

  EXPECT_THROW(
      {
        const TOpenFile f = fs_.OpenScoped("a.dat", false, false, false);
        ASSERT_EQ(fs_.OpenFileCount(), 1);
        throw std::runtime_error("fails while the file is open");
      },
      std::runtime_error);
  EXPECT_EQ(fs_.OpenFileCount(), 0);
}

TEST_F(OpenFileTest, MoveHandsTheFileOnAndClosesItOnce) {
  TOpenFile a = fs_.OpenScoped("a.dat", true, false, false);
  TAbstractFile* raw = a.get();
  TOpenFile b(std::move(a));
  EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): a moved-from handle is empty
  EXPECT_EQ(b.get(), raw);
  EXPECT_EQ(fs_.OpenFileCount(), 1);

  // Assigning over an open handle closes what it held.
  TOpenFile c = fs_.OpenScoped("c.dat", true, false, false);
  EXPECT_EQ(fs_.OpenFileCount(), 2);
  c = std::move(b);
  EXPECT_EQ(fs_.OpenFileCount(), 1);
  EXPECT_EQ(fs_.FindFile("c.dat"), nullptr);
  EXPECT_EQ(c.get(), raw);

  c.Close();
  EXPECT_FALSE(c);
  EXPECT_EQ(fs_.OpenFileCount(), 0);
  c.Close();  // closing an empty handle does nothing
}

TEST_F(OpenFileTest, ReleaseHandsOwnershipBack) {
  TAbstractFile* raw = nullptr;
  {
    TOpenFile f = fs_.OpenScoped("a.dat", true, false, false);
    raw = f.Release();
    EXPECT_FALSE(f);
  }
  EXPECT_EQ(fs_.OpenFileCount(), 1);
  EXPECT_EQ(fs_.FindFile("a.dat"), raw);
  fs_.CloseFile(raw);
  EXPECT_EQ(fs_.OpenFileCount(), 0);
}

// A closer that routes files elsewhere (as a table store does) is the one
// that gets the file back, not the file's own file system.
class CountingCloser : public TFileCloser {
 public:
  explicit CountingCloser(TAbstractPlainFileSystem& fs) : fs_(fs) {}
  void CloseFile(TAbstractFile* file) override {
    ++closed;
    fs_.CloseFile(file);
  }
  int closed = 0;

 private:
  TAbstractPlainFileSystem& fs_;
};

TEST_F(OpenFileTest, ClosesThroughTheOwnerItWasGiven) {
  CountingCloser closer(fs_);
  {
    const TOpenFile f(closer, fs_.OpenFile("a.dat", true, false, false));
    const TOpenFile none(closer, nullptr);  // a failed open closes nothing
  }
  EXPECT_EQ(closer.closed, 1);
  EXPECT_EQ(fs_.OpenFileCount(), 0);
}

}  // namespace
}  // namespace kivo
