#include "testing/fault_file.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
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

}  // namespace
}  // namespace kivo::testing
