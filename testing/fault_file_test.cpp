#include "testing/fault_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <string>

#include "engine/table_file_store.h"
#include "platform/errors.h"
#include "testing/fault_store.h"
#include "testing/test_support.h"

namespace kivo::testing {
namespace {

class FaultFileTest : public ::testing::Test {
 protected:
  void SetUp() override { real_ = fs_.OpenFile("f.dat", true, false, false); }
  void TearDown() override { fs_.CloseFile(real_); }

  // The real file's bytes.
  std::string Content() {
    std::string bytes(static_cast<std::size_t>(real_->GetSize()), '\0');
    real_->Seek(0, TAbstractFile::kFromBeginning);
    real_->ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    return bytes;
  }

  TMemoryPlainFileSystem fs_{"fault#mem"};
  TAbstractFile* real_ = nullptr;
};

TEST_F(FaultFileTest, TheNamedCallFailsAndTheOthersPassThrough) {
  TFaultPlan plan{.FailRead = 2, .FailWrite = 2, .FailSizeChange = 1};
  TFaultFile f(real_, &plan);
  EXPECT_EQ(f.Write("abc", 3), 3);
  EXPECT_EQ(f.Write("def", 3), 0);  // the second write
  EXPECT_EQ(f.Write("gh", 2), 2);
  EXPECT_EQ(Content(), "abcgh");
  char buffer[4] = {};
  f.Seek(0, TAbstractFile::kFromBeginning);
  EXPECT_EQ(f.Read(buffer, 2), 2);
  EXPECT_EQ(f.Read(buffer, 2), 0);  // the second read
  EXPECT_EQ(f.Read(buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "cg");
  EXPECT_EQ(MessageOf([&] { f.SetSize(1); }), plan.SizeChangeError);
  f.SetSize(1);
  EXPECT_EQ(Content(), "a");
  EXPECT_EQ(plan.Reads, 3);
  EXPECT_EQ(plan.Writes, 3);
  EXPECT_EQ(plan.SizeChanges, 2);
}

TEST_F(FaultFileTest, AWriteBudgetCutsTheWriteThatCrossesIt) {
  TFaultPlan plan{.WriteBudget = 5};
  TFaultFile f(real_, &plan);
  f.SetSize(0);
  EXPECT_EQ(f.Write("abc", 3), 3);
  EXPECT_EQ(f.Write("defg", 4), 2);  // cut short at the budget
  EXPECT_EQ(f.Write("h", 1), 0);
  EXPECT_EQ(Content(), "abcde");
  EXPECT_EQ(MessageOf([&] { f.SetSize(2); }), plan.SizeChangeError);
  // The plan is shared: a new budget lets the same file write again.
  plan.WriteBudget = 10;
  EXPECT_EQ(f.Write("x", 1), 1);
  EXPECT_EQ(Content(), "abcdex");
}

TEST_F(FaultFileTest, TheNamedSyncFailsAsAFailingDiskReportsIt) {
  TFaultPlan plan{.FailSync = 2};
  TFaultFile f(real_, &plan);
  f.Write("abc", 3);
  f.Flush();
  try {
    f.Flush();
    ADD_FAILURE() << "the second sync did not fail";
  } catch (const EInOutError& e) {
    EXPECT_EQ(std::string(e.what()), plan.SyncError);
    EXPECT_EQ(e.ErrorCode(), EIO);
  }
  f.Flush();
  EXPECT_EQ(plan.Syncs, 3);
  EXPECT_EQ(plan.Faults, 1);
  EXPECT_EQ(plan.Calls, "WFFF");
}

TEST_F(FaultFileTest, AfterAFaultAFrozenPlanLetsNothingMoreReachTheFile) {
  TFaultPlan plan{.FailRead = 1, .FreezeAfterFault = true};
  TFaultFile f(real_, &plan);
  EXPECT_EQ(f.Write("abc", 3), 3);  // nothing has failed yet
  char buffer[3];
  f.Seek(0, TAbstractFile::kFromBeginning);
  EXPECT_EQ(f.Read(buffer, 3), 0);
  EXPECT_TRUE(plan.Frozen());
  EXPECT_EQ(f.Write("def", 3), 0);
  EXPECT_EQ(MessageOf([&] { f.Flush(); }), plan.SyncError);
  EXPECT_EQ(MessageOf([&] { f.SetSize(0); }), plan.SizeChangeError);
  EXPECT_EQ(f.Read(buffer, 3), 3);  // reads still work
  EXPECT_EQ(Content(), "abc");
  plan.Disarm();
  EXPECT_FALSE(plan.Frozen());
  EXPECT_EQ(f.Write("def", 3), 3);
  EXPECT_EQ(Content(), "abcdef");
}

TEST_F(FaultFileTest, AFullDiskRefusesOnlyWhatNeedsNewBlocks) {
  TFaultPlan plan{.FreeSpace = 8, .SpaceBlockSize = 4, .RecordBlocksTaken = true};
  {
    TFaultFile f(real_, &plan);
    EXPECT_EQ(f.Write("abcdef", 6), 6);  // two blocks
    EXPECT_EQ(plan.FreeSpace, 0);
    EXPECT_EQ(f.Write("gh", 2), 2);  // the rest of the second block
    EXPECT_EQ(f.Write("ij", 2), 0);  // a third block
    f.Seek(1, TAbstractFile::kFromBeginning);
    EXPECT_EQ(f.Write("XYZ", 3), 3);  // over bytes the file has
    f.SetSize(20);                    // a hole takes no space
    f.Seek(6, TAbstractFile::kFromBeginning);
    EXPECT_EQ(f.Write("123456", 6), 2);  // cut where the second block ends
    EXPECT_EQ(plan.BlocksTaken, (std::vector<std::int32_t>{2, 0, 1, 0, 1}));
    EXPECT_EQ(plan.Faults, 2);
  }
  EXPECT_EQ(Content().substr(0, 8), "aXYZef12");
  // A file opened again has the space of its bytes.
  plan.FreeSpace = 0;
  TFaultFile again(real_, &plan);
  again.Seek(16, TAbstractFile::kFromBeginning);
  EXPECT_EQ(again.Write("wxyz", 4), 4);
}

TEST_F(FaultFileTest, TheFlagsAreTheRealFilesFlags) {
  real_->SetReadOnly(true);
  TFaultPlan plan;
  TFaultFile f(real_, &plan);
  EXPECT_TRUE(f.ReadOnly());
  f.SetReadOnly(false);
  EXPECT_FALSE(real_->ReadOnly());
  f.SetTemporary(true);
  EXPECT_TRUE(real_->Temporary());
  EXPECT_TRUE(f.Temporary());
}

// Every file of a store shares the store's one plan; closing gives the real
// file back to its owner.
TEST(FaultTableFileStore, CountsTheCallsOfAllItsFilesTogether) {
  TMemoryPlainFileSystem fs("store#mem");
  TPlainTableFileStore plain(fs, "store");
  TFaultTableFileStore store(plain);
  EXPECT_EQ(store.Path(), "store");
  TAbstractFile* dat = store.OpenFile("t.dat", 0, true, false, false);
  TAbstractFile* idx = store.OpenFile("t.idx", 0, true, false, false);
  ASSERT_NE(dynamic_cast<TFaultFile*>(dat), nullptr);
  EXPECT_EQ(store.Files().OpenCount(), 2);
  store.Plan().FailWrite = 2;
  EXPECT_EQ(dat->Write("a", 1), 1);
  EXPECT_EQ(idx->Write("b", 1), 0);  // the second write of the store
  EXPECT_EQ(dat->Write("c", 1), 1);
  EXPECT_EQ(store.Plan().Writes, 3);
  store.CloseFile(dat);
  store.CloseFile(idx);
  EXPECT_EQ(store.Files().OpenCount(), 0);
  EXPECT_EQ(store.Files().Opened(), (std::vector<std::string>{"t.dat", "t.idx"}));
  EXPECT_TRUE(store.FileExists("t.dat", 0));
  EXPECT_TRUE(store.RenameFile("t.idx", "u.idx", 0));
  EXPECT_TRUE(store.DeleteFile("u.idx", 0));
  EXPECT_FALSE(plain.FileExists("u.idx", 0));
}

}  // namespace
}  // namespace kivo::testing
