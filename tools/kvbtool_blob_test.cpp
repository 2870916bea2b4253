// kvbtool check on BLOB tables, run as a process: a sound table checks ok;
// parts outside T.bdf, blocks owned twice, free parts over used ones, an
// undecompressable T.bif and a directory of the wrong record count are
// each reported, and nothing is written.
#include <gtest/gtest.h>

#include "engine/blob_test_support.h"
#include "tests/process_runner.h"

namespace kivo::testing {
namespace {

class KvbtoolBlobCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    BlobTable t(Store::kDirectory, dir_);
    t.Create();
    ASSERT_EQ(t.Open(), kOpenOk);
    for (std::uint32_t id = 1; id <= 3; ++id) t.Insert(id);
    t.Write(kBlobField, 0, TextValue(1000, 1));  // blocks 0-1
    t.Write(kMemoField, 1, TextValue(300, 2));   // block 2
    t.Write(kBlobField, 2, TextValue(100, 3));   // block 3
    t.m->DeleteBLOBValue(kBlobField, 2);         // block 3 free
    t.Drop();
    bif_ = ReadFileBytes(dir_.file("t.bif"));
    bdf_ = ReadFileBytes(dir_.file("t.bdf"));
    image_ = ImageOf(bif_);
    // Offsets of the part lists: after the file header and 6 headers.
    ASSERT_EQ(GetI32(image_, 24 + 4), 216);           // record 0, pic
    ASSERT_EQ(GetI32(image_, 24 + 3 * 32 + 4), 224);  // record 1, memo
  }
  ProcessResult Check() {
    ProcessOptions options;
    options.env["KARTOVA_PASSWORD"] = std::nullopt;
    options.timeout_seconds = 30;
    ProcessResult r = RunProcess(KVBTOOL_BIN, {"check", dir_.path()}, options);
    EXPECT_EQ(r.signal, 0) << r.err;
    for (const char* report : {"Sanitizer", "runtime error:"})
      EXPECT_EQ(r.err.find(report), std::string::npos) << r.err;
    return r;
  }
  // Writes a damaged image, runs check, and expects one finding containing `text`.
  void ExpectFinding(const std::vector<std::uint8_t>& image, const std::string& text) {
    const std::string bif = BifOf(image);
    WriteFileBytes(dir_.file("t.bif"), bif);
    const ProcessResult r = Check();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("table \"t\": "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    EXPECT_EQ(ReadFileBytes(dir_.file("t.bif")), bif) << "check changed T.bif";
  }

  TempDir dir_;
  std::string bif_, bdf_;
  std::vector<std::uint8_t> image_;
};

TEST_F(KvbtoolBlobCheck, SoundTableChecksOk) {
  const ProcessResult r = Check();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "ok\n");
}

TEST_F(KvbtoolBlobCheck, DirectoryFaultsAreReported) {
  {
    SCOPED_TRACE("a part past the end of T.bdf");
    std::vector<std::uint8_t> d = image_;
    PutI32(d, 224, 9);
    ExpectFinding(d,
                  "record 1 BLOB field 1: part of 1 blocks from block 9 lies outside the 4 blocks "
                  "of the data file");
  }
  {
    SCOPED_TRACE("a block owned twice");
    std::vector<std::uint8_t> d = image_;
    PutI32(d, 224, 1);
    ExpectFinding(d,
                  "block owned twice: block 1 belongs to record 0 BLOB field 0 and record 1 BLOB "
                  "field 1");
  }
  {
    SCOPED_TRACE("a free part over a used one");
    std::vector<std::uint8_t> d = image_;
    PutI32(d, 232, 2);
    ExpectFinding(d,
                  "free and used blocks overlap: block 2 belongs to record 1 BLOB field 1 and "
                  "free part 0");
  }
  {
    SCOPED_TRACE("a directory of another record count");
    std::vector<std::uint8_t> d = image_;
    PutI32(d, 12, 2);
    ExpectFinding(d, "the BLOB directory has 2 records, the table 3");
  }
  {
    SCOPED_TRACE("T.bif that does not decompress");
    std::string bif = bif_;
    bif[bif.size() / 2] ^= 0x55;
    WriteFileBytes(dir_.file("t.bif"), bif);
    const ProcessResult r = Check();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out,
              "table \"t\": t.bif: Table is corrupted - blob headers cannot be decompressed. "
              "TableName = t\n");
  }
}

TEST_F(KvbtoolBlobCheck, ACutDataFileIsReported) {
  WriteFileBytes(dir_.file("t.bdf"), bdf_.substr(0, 2 * 512 + 100));
  const ProcessResult r = Check();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("t.bdf holds 1124 bytes, not whole blocks of 512"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("record 1 BLOB field 1: part of 1 blocks from block 2 lies outside the 2 "
                       "blocks of the data file"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace kivo::testing
