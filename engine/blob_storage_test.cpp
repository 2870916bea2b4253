// BLOB values through TKivoDataManager on a disk directory, in memory and in
// a .kvb container, at every compression level, plain and encrypted.
#include <gtest/gtest.h>

#include <tuple>

#include "engine/blob_test_support.h"
#include "storage/compress/compress.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::BlobTable;
using testing::kBlobField;
using testing::kMemoField;
using testing::MessageOf;
using testing::RandomValue;
using testing::Store;
using testing::TempDir;
using testing::TextValue;

using Bytes = std::vector<std::uint8_t>;

class BlobRoundTrip : public ::testing::TestWithParam<std::tuple<Store, bool, int>> {
 protected:
  BlobRoundTrip()
      : t(std::get<0>(GetParam()), dir, std::get<1>(GetParam()) ? "secret" : "",
          static_cast<std::uint8_t>(std::get<2>(GetParam()))) {}
  TempDir dir;
  BlobTable t;
};

// Many small values around the block size, a few large ones, and one of
// 8 MiB, written before any flush, read back through the log flush, and
// read again after the table was closed and opened. The PPMd levels code a
// few MB a second, so at levels 2 and 3 the 8 MiB value is stored in one
// store each (one plain, one encrypted), and elsewhere a value just past
// both PPMd block sizes, read back once.
TEST_P(BlobRoundTrip, ValuesFromEmptyTo8MiBSurviveReopen) {
  const Store store = std::get<0>(GetParam());
  const bool encrypted = std::get<1>(GetParam());
  const bool ppmd = t.level_ >= clDefault;
  const bool fullSize = !ppmd || (t.level_ == clDefault && store == Store::kMemory && !encrypted) ||
                        (t.level_ == clMax && store == Store::kContainer && encrypted);
  const std::size_t largeSize = fullSize ? std::size_t{8} << 20 : 1638400 + 4097;
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  // Every PPMd call sets up a model of 20 or 50 MB, so those levels get fewer values.
  const std::vector<std::size_t> sizes =
      ppmd ? std::vector<std::size_t>{0, 1, 10, 512, 513, 4000, 200000}
           : std::vector<std::size_t>{0,   1,   2,    9,    10,   100,   511,
                                      512, 513, 1024, 1025, 4000, 65536, 200000};
  std::vector<std::pair<Bytes, Bytes>> expected;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::int32_t pos = t.Insert(static_cast<std::uint32_t>(i + 1));
    Bytes pic = i % 2 ? RandomValue(sizes[i], static_cast<std::uint32_t>(i))
                      : TextValue(sizes[i], static_cast<std::uint32_t>(i));
    Bytes memo = TextValue(sizes[sizes.size() - 1 - i] / 3, static_cast<std::uint32_t>(100 + i));
    t.Write(kBlobField, pos, pic);
    t.Write(kMemoField, pos, memo);
    expected.emplace_back(std::move(pic), std::move(memo));
  }
  const std::int32_t big = t.Insert(1000);
  Bytes large = TextValue(largeSize, 77);
  for (std::size_t i = 0; i < large.size(); i += 4099) large[i] = static_cast<std::uint8_t>(i >> 5);
  t.Write(kMemoField, big, large);
  expected.emplace_back(Bytes(), large);

  // `withLarge` false skips decoding the large value (PPMd levels).
  auto check = [&](bool withLarge) {
    ASSERT_EQ(t.m->RecordCount(), static_cast<std::int32_t>(expected.size()));
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const auto pos = static_cast<std::int32_t>(i);
      ASSERT_EQ(t.Read(kBlobField, pos), expected[i].first) << "record " << i;
      if (!withLarge && expected[i].second.size() == largeSize) {
        EXPECT_EQ(t.Header(kMemoField, pos).ValueSize, static_cast<std::int32_t>(largeSize));
        continue;
      }
      ASSERT_EQ(t.Read(kMemoField, pos), expected[i].second) << "record " << i;
    }
  };
  check(!ppmd);
  t.m->BLOBDirectory()->CheckInvariants();
  ASSERT_TRUE(t.m->BLOBDirectory()->Problems().empty());

  // Headers reflect the value and how it is stored.
  const TkrBLOBHeader& h = t.Header(kMemoField, big);
  EXPECT_EQ(h.ValueSize, static_cast<std::int32_t>(largeSize));
  if (t.level_ == clNone) {
    EXPECT_EQ(h.StoredSize, static_cast<std::int32_t>(largeSize));
  } else {
    EXPECT_LT(h.StoredSize, static_cast<std::int32_t>(largeSize / 2));  // text compresses well
  }
  EXPECT_EQ(h.BlockTotal(), (h.StoredSize + 511) / 512);
  EXPECT_EQ(t.Header(kBlobField, 0).PartCount(), 0);  // the empty value

  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  check(true);

  // Deleting record 0 moves the last record's values into its place.
  t.m->krDeleteRecord(0, 0);
  expected[0] = expected.back();
  expected.pop_back();
  check(!ppmd);
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  check(!ppmd);
}

INSTANTIATE_TEST_SUITE_P(AllStoresLevels, BlobRoundTrip,
                         ::testing::Combine(::testing::Values(Store::kDirectory, Store::kMemory,
                                                              Store::kContainer),
                                            ::testing::Bool(), ::testing::Values(0, 1, 2, 3)),
                         [](const auto& info) {
                           return std::string(testing::StoreName(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "Encrypted" : "Plain") + "Level" +
                                  std::to_string(std::get<2>(info.param));
                         });

// ---- Blocks, parts and the free list (directory store, level 0) ----

class BlobBlocks : public ::testing::Test {
 protected:
  BlobBlocks() : t(Store::kDirectory, dir) {}
  void SetUp() override {
    t.Create();
    ASSERT_EQ(t.Open(), kOpenOk);
    for (std::uint32_t id = 1; id <= 4; ++id) t.Insert(id);
  }
  std::vector<TkrBLOBPart> Parts(int field, std::int32_t pos) { return t.Header(field, pos).Parts; }
  const TkrBLOBDirectory& Dir() { return *t.m->BLOBDirectory(); }
  TempDir dir;
  BlobTable t;
};

bool SameParts(const std::vector<TkrBLOBPart>& a, const std::vector<std::pair<int, int>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].FirstBlock != b[i].first || a[i].BlockCount != b[i].second) return false;
  return true;
}

TEST_F(BlobBlocks, ValuesTakeWholeBlocks) {
  t.Write(kBlobField, 0, Bytes(1, 7));
  t.Write(kBlobField, 1, Bytes(512, 8));
  t.Write(kBlobField, 2, Bytes(513, 9));
  EXPECT_TRUE(SameParts(Parts(kBlobField, 0), {{0, 1}}));
  EXPECT_TRUE(SameParts(Parts(kBlobField, 1), {{1, 1}}));
  EXPECT_TRUE(SameParts(Parts(kBlobField, 2), {{2, 2}}));
  EXPECT_EQ(Dir().BlockCount, 4);
  t.m->FlushBuffers();
  EXPECT_EQ(t.m->BdfFile()->GetSize(), 4 * 512);
}

TEST_F(BlobBlocks, FreedBlocksAreReusedMostRecentlyFreedFirst) {
  t.Write(kBlobField, 0, Bytes(1000, 1));  // blocks 0-1
  t.Write(kBlobField, 1, Bytes(1500, 2));  // blocks 2-4
  t.Write(kBlobField, 2, Bytes(100, 3));   // block 5
  t.Write(kBlobField, 0, Bytes());         // frees 0-1
  t.m->DeleteBLOBValue(kBlobField, 1);     // frees 2-4
  EXPECT_EQ(t.Header(kBlobField, 0).PartCount(), 0);
  EXPECT_TRUE(t.Read(kBlobField, 0).empty());
  ASSERT_EQ(Dir().FreeParts.size(), 2u);
  // Two blocks come from the end of the free list: the front of 2-4.
  t.Write(kMemoField, 3, Bytes(700, 4));
  EXPECT_TRUE(SameParts(Parts(kMemoField, 3), {{2, 2}}));
  // Four blocks: block 4 (the rest of 2-4), then 0-1, then one new block.
  t.Write(kMemoField, 2, Bytes(2000, 5));
  EXPECT_TRUE(SameParts(Parts(kMemoField, 2), {{4, 1}, {0, 2}, {6, 1}}));
  EXPECT_TRUE(Dir().FreeParts.empty());
  EXPECT_EQ(Dir().BlockCount, 7);
  EXPECT_EQ(t.Read(kMemoField, 2), Bytes(2000, 5));
  EXPECT_EQ(t.Read(kMemoField, 3), Bytes(700, 4));
  EXPECT_EQ(t.Read(kBlobField, 2), Bytes(100, 3));
  EXPECT_TRUE(Dir().Problems().empty());
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(t.Read(kMemoField, 2), Bytes(2000, 5));
  EXPECT_TRUE(SameParts(Parts(kMemoField, 2), {{4, 1}, {0, 2}, {6, 1}}));
}

// An overwritten value gives its old blocks back, so rewriting a value over
// and over does not grow T.bdf.
TEST_F(BlobBlocks, OverwritingReturnsTheOldPartsToTheFreeList) {
  t.Write(kBlobField, 0, Bytes(1000, 1));  // 0-1
  t.Write(kBlobField, 0, Bytes(1000, 2));  // 2-3; 0-1 freed afterwards
  EXPECT_TRUE(SameParts(Parts(kBlobField, 0), {{2, 2}}));
  EXPECT_TRUE(SameParts(Dir().FreeParts, {{0, 2}}));
  for (int i = 3; i < 20; ++i) t.Write(kBlobField, 0, Bytes(1000, static_cast<std::uint8_t>(i)));
  EXPECT_EQ(Dir().BlockCount, 4);
  EXPECT_EQ(t.Read(kBlobField, 0), Bytes(1000, 19));
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(t.Read(kBlobField, 0), Bytes(1000, 19));
  EXPECT_EQ(t.m->BdfFile()->GetSize(), 4 * 512);
}

// Blocks the directory on disk gives to a value are not taken by another
// value before the new directory is written: a flush that fails on the way
// must not leave a listed value written over.
TEST_F(BlobBlocks, BlocksListedOnDiskAreTakenOnlyOnceTheDirectoryIsWritten) {
  t.Write(kBlobField, 0, Bytes(1000, 1));  // 0-1
  t.m->FlushBuffers();
  t.Write(kBlobField, 0, Bytes(1000, 2));  // 2-3; 0-1 held
  EXPECT_TRUE(SameParts(Dir().HeldParts, {{0, 2}}));
  t.Write(kBlobField, 1, Bytes(1000, 3));
  EXPECT_TRUE(SameParts(Parts(kBlobField, 1), {{4, 2}}));
  // Blocks taken since the last write are no listed value's: freed at once.
  t.Write(kBlobField, 1, Bytes(500, 4));
  EXPECT_TRUE(SameParts(Parts(kBlobField, 1), {{6, 1}}));
  EXPECT_TRUE(SameParts(Dir().FreeParts, {{4, 2}}));
  t.m->FlushBuffers();
  EXPECT_TRUE(Dir().HeldParts.empty());
  t.Write(kMemoField, 2, Bytes(1500, 5));  // 0-1 joined the free list last
  EXPECT_TRUE(SameParts(Parts(kMemoField, 2), {{0, 2}, {4, 1}}));
  EXPECT_TRUE(Dir().Problems().empty());
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(t.Read(kBlobField, 0), Bytes(1000, 2));
  EXPECT_EQ(t.Read(kBlobField, 1), Bytes(500, 4));
  EXPECT_EQ(t.Read(kMemoField, 2), Bytes(1500, 5));
}

// Once no BLOB record is left, T.bdf is cut to nothing and new values start
// at block 0 again instead of after a gap.
TEST_F(BlobBlocks, EmptyingAllRecordsResetsTheBlockCount) {
  for (std::int32_t pos = 0; pos < 4; ++pos) t.Write(kMemoField, pos, Bytes(1500, 1));
  while (t.m->RecordCount() > 0) t.m->krDeleteRecord(0, 0);
  t.m->FlushBuffers();
  EXPECT_EQ(Dir().BlockCount, 0);
  EXPECT_TRUE(Dir().FreeParts.empty());
  EXPECT_EQ(t.m->BdfFile()->GetSize(), 0);
  t.Insert(9);
  t.Write(kBlobField, 0, Bytes(600, 6));
  EXPECT_TRUE(SameParts(Parts(kBlobField, 0), {{0, 2}}));
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(t.Read(kBlobField, 0), Bytes(600, 6));
  EXPECT_EQ(t.m->BdfFile()->GetSize(), 2 * 512);
}

TEST_F(BlobBlocks, AGraphicHeaderBeforeABitmapIsNotStored) {
  Bytes bitmap = {1, 0, 0, 1, 0x44, 0x33, 0x22, 0x11, 'B', 'M', 5, 6, 7};
  t.Write(kBlobField, 0, bitmap);
  EXPECT_EQ(t.Header(kBlobField, 0).ValueSize, 5);
  EXPECT_EQ(t.Read(kBlobField, 0), Bytes(bitmap.begin() + 8, bitmap.end()));
  // Not a bitmap behind the header, or too short: stored whole.
  Bytes other = bitmap;
  other[9] = 'X';
  t.Write(kBlobField, 1, other);
  EXPECT_EQ(t.Read(kBlobField, 1), other);
  Bytes shortOne(bitmap.begin(), bitmap.begin() + 9);
  t.Write(kBlobField, 2, shortOne);
  EXPECT_EQ(t.Read(kBlobField, 2), shortOne);
}

TEST_F(BlobBlocks, RecordOperationsKeepOneBLOBRecordPerRecord) {
  t.Write(kBlobField, 3, Bytes(10, 3));
  EXPECT_EQ(Dir().RecordCount(), 4);
  t.m->krDeleteRecord(0, 1);  // record 3 moves to position 1
  EXPECT_EQ(Dir().RecordCount(), 3);
  EXPECT_EQ(t.Read(kBlobField, 1), Bytes(10, 3));
  EXPECT_EQ(t.Insert(20), 3);
  EXPECT_EQ(Dir().RecordCount(), 4);
  EXPECT_TRUE(t.Read(kBlobField, 3).empty());
  EXPECT_EQ(MessageOf([&] { t.Read(kBlobField, 4); }),
            "Error in TKivoDataManager.krReadBLOBValue - invalid record number, recPos = 4");
  EXPECT_EQ(MessageOf([&] { t.Read(0, 0); }),
            "Error in TKivoDataManager.krReadBLOBValue - field 0 is not a BLOB field.");
  EXPECT_EQ(MessageOf([&] { t.m->ReadBLOBValue(nullptr, kBlobField, 0); }),
            "Error in TKivoDataManager.krReadBLOBValue - stream is not opened.");
  EXPECT_EQ(MessageOf([&] { t.m->WriteBLOBValue(nullptr, kBlobField, 0); }),
            "Error in TKivoDataManager.krWriteBLOBValue - stream is not opened.");
  EXPECT_EQ(MessageOf([&] { t.m->DeleteBLOBValue(7, 0); }),
            "Error in TKivoDataManager.DeleteBLOBValue - 0 pointer to pFieldHeader, fieldNum = .7");
}

// A table opened with a BLOB directory of fewer or more records than the
// table (a crash between the two files) is brought in step.
TEST_F(BlobBlocks, OpenBringsTheDirectoryToTheRecordCount) {
  t.Write(kBlobField, 3, Bytes(600, 3));
  t.m->FlushBuffers();
  // Save a directory of 4 records, then add a record without saving it.
  std::string saved = testing::ReadFileBytes(dir.file("t.bif"));
  t.Insert(5);
  t.Drop();
  testing::WriteFileBytes(dir.file("t.bif"), saved);
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(Dir().RecordCount(), 5);
  EXPECT_TRUE(t.Read(kBlobField, 4).empty());
  EXPECT_EQ(t.Read(kBlobField, 3), Bytes(600, 3));
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(Dir().RecordCount(), 5);
}

TEST(BlobErrors, WrongPasswordAndReadOnlyTables) {
  TempDir dir;
  BlobTable t(Store::kDirectory, dir, "right", clFastest);
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.Insert(1);
  t.Write(kBlobField, 0, TextValue(3000, 1));
  t.Drop();
  t.password_ = "wrong";
  ASSERT_EQ(t.Open(), kOpenInvalidPassword);
  TKivoDataManager* m = t.m;
  m->SetPassword("right");
  m->SetReadOnly(true);
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(t.Read(kBlobField, 0), TextValue(3000, 1));
  EXPECT_EQ(MessageOf([&] { t.Write(kBlobField, 0, Bytes(5, 1)); }),
            "Error in TKivoDataManager.krWriteBLOBValue - table is in ReadOnly mode!");
}

// Any stream can be the source of a value, read from its start whatever
// its position.
TEST_F(BlobBlocks, AValueIsTakenFromAnyStreamFromItsStart) {
  class Dataset : public TBlobStreamDataset {
   public:
    TMemoryStream field;
    bool BlobDatasetReadOnly() const override { return false; }
    TMemoryStream* BlobFieldStream(int, bool) override { return &field; }
    void BlobFieldChanged(int) override {}
    void BlobStreamClosed(int) override {}
  } ds;
  const Bytes value = TextValue(1500, 9);
  ds.field.Write(value.data(), static_cast<std::int32_t>(value.size()));
  TKivoBlobStream source(ds, kBlobField, TKivoBlobStream::kModeReadWrite);
  source.Seek(700, TStream::kFromBeginning);
  t.m->WriteBLOBValue(&source, kBlobField, 1);
  EXPECT_EQ(t.Read(kBlobField, 1), value);
}

// ---- TKivoBlobStream over a data set's field stream ----

class StreamDataset : public TBlobStreamDataset {
 public:
  bool read_only = false;
  bool has_record = true;
  TMemoryStream field_stream;
  std::vector<std::string> events;
  bool BlobDatasetReadOnly() const override { return read_only; }
  TMemoryStream* BlobFieldStream(int field, bool writing) override {
    events.push_back("stream " + std::to_string(field) + (writing ? " w" : " r"));
    return has_record ? &field_stream : nullptr;
  }
  void BlobFieldChanged(int field) override {
    events.push_back("changed " + std::to_string(field));
  }
  void BlobStreamClosed(int field) override { events.push_back("closed " + std::to_string(field)); }
};

TEST(KivoBlobStream, ModesForwardAndPublishChanges) {
  StreamDataset ds;
  ds.field_stream.Write("hello world", 11);
  ds.field_stream.Seek(5, TStream::kFromBeginning);
  {
    TKivoBlobStream s(ds, 2, TKivoBlobStream::kModeRead);
    char buf[6] = {};
    EXPECT_EQ(s.Read(buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), " world");
    EXPECT_EQ(MessageOf([&] { s.Write("x", 1); }),
              "Error in TKivoBlobStream.Write - blob stream is read only!");
  }
  EXPECT_EQ(ds.events, (std::vector<std::string>{"stream 2 r", "closed 2"}));
  ds.events.clear();
  ds.field_stream.Seek(5, TStream::kFromBeginning);
  {
    TKivoBlobStream s(ds, 1, TKivoBlobStream::kModeWrite);  // truncates at the position
    EXPECT_EQ(s.Size(), 5);
    EXPECT_EQ(s.Write("!", 1), 1);
  }
  EXPECT_EQ(std::string(ds.field_stream.Bytes().begin(), ds.field_stream.Bytes().end()), "hello!");
  EXPECT_EQ(ds.events, (std::vector<std::string>{"stream 1 w", "changed 1", "closed 1"}));
  ds.events.clear();
  {
    TKivoBlobStream s(ds, 1, TKivoBlobStream::kModeReadWrite);
    EXPECT_EQ(s.Seek(0, TStream::kFromBeginning), 0);
    EXPECT_FALSE(s.Modified());
  }
  EXPECT_EQ(ds.events, (std::vector<std::string>{"stream 1 r", "closed 1"}));

  ds.read_only = true;
  EXPECT_EQ(MessageOf([&] { TKivoBlobStream s(ds, 1, TKivoBlobStream::kModeReadWrite); }),
            "Error in TKivoBlobStream.Create - Dataset is read only!");
  ds.read_only = false;
  ds.has_record = false;
  ds.events.clear();
  {
    TKivoBlobStream s(ds, 1, TKivoBlobStream::kModeReadWrite);
    char c;
    EXPECT_FALSE(s.Attached());
    EXPECT_EQ(s.Read(&c, 1), 0);
    EXPECT_EQ(s.Write("a", 1), 0);
  }
  EXPECT_EQ(ds.events, (std::vector<std::string>{"stream 1 r"}));  // never attached: no close
}

}  // namespace
}  // namespace kivo
