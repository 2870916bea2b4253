// kvbtool check and dump on BLOB tables, run as a process. Check: a sound
// table checks ok; parts outside T.bdf, blocks owned twice, free parts over
// used ones, an undecompressable T.bif and a directory of the wrong record
// count are each reported, and nothing is written. Dump: memos as UTF-8
// text, other BLOBs by size or in hex, nulls apart from empty values, and
// damaged values marked and reported.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>

#include "engine/blob_test_support.h"
#include "tools/kvbtool_test_support.h"

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
  ProcessResult Check() { return RunKvbtool({"check", dir_.path()}); }
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

// ---------------------------------------------------------------- dump

// Field numbers of the dump table: a INTEGER, memo MEMO, pic BLOB,
// note FMTMEMO, img GRAPHIC.
constexpr int kDumpMemo = 1;
constexpr int kDumpPic = 2;
constexpr int kDumpNote = 3;
constexpr int kDumpImg = 4;

// One record's BLOB values; nullopt is a null field.
struct DumpRow {
  std::optional<std::string> memo;  // Windows-1250 text
  std::optional<std::vector<std::uint8_t>> pic;
  std::optional<std::string> note;
  std::optional<std::vector<std::uint8_t>> img;
};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text = "0x";
  for (std::uint8_t b : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

class KvbtoolBlobDump : public ::testing::Test {
 protected:
  // Table "t" in a directory database with `rows`, record i with identifier
  // and `a` i + 1.
  void Make(const std::vector<DumpRow>& rows, const std::string& password = "",
            std::uint8_t level = 0) {
    for (const char* ext : {".dat", ".bif", ".bdf", ".idx"})
      std::filesystem::remove(dir_.file(std::string("t") + ext));
    BlobTable t(Store::kDirectory, dir_, password, level);
    {
      TDataManagerHold c(krGetDataManager("t", t.store_.get()));
      c->SetPassword(password);
      c->SetEncrypted(!password.empty());
      c->SetBLOBCompression(level);
      c->SetBLOBBlockSize(512);
      TFieldDefs fields;
      fields.Add("a", ftInteger);
      fields.Add("memo", ftMemo);
      fields.Add("pic", ftBlob);
      fields.Add("note", ftFmtMemo);
      fields.Add("img", ftGraphic);
      c->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    ASSERT_EQ(t.Open(), kOpenOk);
    TKivoDataManager& m = *t.m;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const DumpRow& row = rows[i];
      const auto id = static_cast<std::uint32_t>(i + 1);
      std::vector<std::uint8_t> buf(static_cast<std::size_t>(m.RecordSize()) + 8, 0);
      std::memcpy(buf.data() + m.FieldOffset(0), &id, 4);
      SetRecordId(m.Layout(), buf.data(), id);
      SetFieldNull(m.Layout(), buf.data(), kDumpMemo, !row.memo);
      SetFieldNull(m.Layout(), buf.data(), kDumpPic, !row.pic);
      SetFieldNull(m.Layout(), buf.data(), kDumpNote, !row.note);
      SetFieldNull(m.Layout(), buf.data(), kDumpImg, !row.img);
      m.InsertRecord(buf.data(), 0);
      const std::int32_t pos = m.RecordCount() - 1;
      if (row.memo) t.Write(kDumpMemo, pos, ToBytes(*row.memo));
      if (row.pic) t.Write(kDumpPic, pos, *row.pic);
      if (row.note) t.Write(kDumpNote, pos, ToBytes(*row.note));
      if (row.img) t.Write(kDumpImg, pos, *row.img);
    }
    t.Drop();
  }

  ProcessResult Dump(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"dump", dir_.path(), "t"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunKvbtool(args);
  }

  // The rows of a dump, without its header line.
  static std::string Rows(const ProcessResult& r) {
    const std::size_t end = r.out.find('\n');
    return end == std::string::npos ? std::string() : r.out.substr(end + 1);
  }

  std::string Files() {
    std::string all;
    for (const char* ext : {".dat", ".bif", ".bdf", ".idx"})
      all += ReadFileBytes(dir_.file(std::string("t") + ext)) + "|";
    return all;
  }

  TempDir dir_;
};

TEST_F(KvbtoolBlobDump, MemosAsTextOtherBLOBsBySizeOrInHex) {
  const std::vector<std::uint8_t> big = RandomValue(1000, 7);
  Make({
      {"t\xFCk\xF6r \xF5\xFB", std::vector<std::uint8_t>{0x00, 0xFF, 0x10, 0xAB}, "a,b",
       std::vector<std::uint8_t>{0x7F}},
      {"say \"hi\"\r\nbye", big, std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, "", std::vector<std::uint8_t>{}},
      {"", std::vector<std::uint8_t>{}, "x", std::nullopt},
  });
  const std::string before = Files();

  const ProcessResult sizes = Dump();
  ASSERT_EQ(sizes.exit_code, 0) << sizes.err;
  EXPECT_EQ(sizes.err, "");
  EXPECT_NE(sizes.out.find(",a,memo,pic,note,img\n"), std::string::npos) << sizes.out;
  EXPECT_EQ(Rows(sizes),
            "1,1,tükör őű,<4 bytes>,\"a,b\",<1 byte>\n"
            "2,2,\"say \"\"hi\"\"\r\nbye\",<1000 bytes>,,\n"
            "3,3,,,\"\",<0 bytes>\n"
            "4,4,\"\",<0 bytes>,x,\n");

  const ProcessResult hex = Dump({"--hex"});
  ASSERT_EQ(hex.exit_code, 0) << hex.err;
  EXPECT_EQ(Rows(hex),
            "1,1,tükör őű,0x00FF10AB,\"a,b\",0x7F\n"
            "2,2,\"say \"\"hi\"\"\r\nbye\"," +
                Hex(big) +
                ",,\n"
                "3,3,,,\"\",0x\n"
                "4,4,\"\",0x,x,\n");
  EXPECT_EQ(Files(), before) << "dump changed the table";
}

TEST_F(KvbtoolBlobDump, EncryptedCompressedValuesAreDecoded) {
  const std::vector<std::uint8_t> text = TextValue(5000, 3);
  Make({{"\xE1rv\xEDzt\xFBr\xF5", text, std::nullopt, std::vector<std::uint8_t>{1, 2, 3}}},
       "jelsz\xF3", 1);
  const ProcessResult r = Dump({"--hex", "--password", "jelszó"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Rows(r), "1,1,árvíztűrő," + Hex(text) + ",,0x010203\n");

  const ProcessResult wrong = Dump({"--password", "jelszo"});
  EXPECT_EQ(wrong.exit_code, 1);
  EXPECT_EQ(wrong.err, "kvbtool: TKivoDataset.OpenTable - invalid password.\n");
}

TEST_F(KvbtoolBlobDump, DamagedValuesAreMarkedAndReported) {
  {
    SCOPED_TRACE("one value whose block was changed");
    Make({{std::string(300, 'm'), std::nullopt, "fine", std::nullopt},
          {"ok", std::vector<std::uint8_t>(20, 1), std::nullopt, std::nullopt}});
    std::string bdf = ReadFileBytes(dir_.file("t.bdf"));
    bdf[10] ^= 0x20;  // the first memo, in block 0
    WriteFileBytes(dir_.file("t.bdf"), bdf);
    const ProcessResult r = Dump();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Rows(r),
              "1,1,<damaged>,,fine,\n"
              "2,2,ok,<20 bytes>,,\n");
    EXPECT_EQ(r.err,
              "kvbtool: record 0 (identifier 1) field \"memo\": Error in "
              "TKivoDataManager.krReadBLOBValue - crc error\n");
  }
  {
    SCOPED_TRACE("every value damaged: the first ten are listed, the rest counted");
    Make(std::vector<DumpRow>(12, DumpRow{"value", std::nullopt, std::nullopt, std::nullopt}));
    const std::string bdf = ReadFileBytes(dir_.file("t.bdf"));
    WriteFileBytes(dir_.file("t.bdf"), std::string(bdf.size(), '\0'));
    const ProcessResult r = Dump();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\n12,12,<damaged>,,,\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("record 9 (identifier 10) field \"memo\""), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("record 10 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("kvbtool: 2 more BLOB values could not be read\n"), std::string::npos)
        << r.err;
  }
  {
    SCOPED_TRACE("a BLOB directory that does not decompress");
    std::string bif = ReadFileBytes(dir_.file("t.bif"));
    bif[bif.size() / 2] ^= 0x55;
    WriteFileBytes(dir_.file("t.bif"), bif);
    const ProcessResult r = Dump();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "kvbtool: TKivoDataset.OpenTable - table \"t\" has a corrupted blob headers.\n"
              "kvbtool: cause: Table is corrupted - blob headers cannot be decompressed. "
              "TableName = t\n");
  }
}

TEST_F(KvbtoolBlobDump, HexIsADumpOption) {
  Make({{"m", std::nullopt, std::nullopt, std::nullopt}});
  const ProcessResult ls = RunKvbtool({"ls", dir_.path(), "--hex"});
  EXPECT_EQ(ls.exit_code, 2);
  EXPECT_EQ(ls.out, "");
  EXPECT_NE(ls.err.find("'ls' takes no --hex"), std::string::npos) << ls.err;
  EXPECT_NE(RunKvbtool({"--help"}).out.find("--hex"), std::string::npos);
  EXPECT_NE(RunKvbtool({"dump", "--help"}).out.find("kvbtool dump DB TABLE [--hex]"),
            std::string::npos);
}

}  // namespace
}  // namespace kivo::testing
