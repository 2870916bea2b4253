// BLOB fields through the table cursor's streams: values from empty to
// 8 MiB at every compression level, in a directory, in memory and in a
// container, enciphered and not, kept across a close and reopen; the rules
// of the streams (what a write, a read and an insert see, null values,
// read-only data sets, cancelled edits); and an insert whose BLOB write
// fails, which leaves the table as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "engine/blob_directory.h"
#include "engine/table_file_store.h"
#include "platform/locale.h"
#include "storage/compress/compress.h"
#include "testing/fault_file.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TempDir;

enum class Store { kDirectory, kMemory, kContainer };
constexpr const char* kStoreNames[] = {"directory", "memory", "container"};

// Text for a memo: words, compressible like real text. Binary values: half
// a repeating pattern, half random bytes.
std::string MemoValue(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"alpha ", "bravo ",   "charlie\r\n", "delta ",
                                       "echo ",  "foxtrot ", "golf ",       "hotel "};
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(size + 16);
  while (s.size() < size) s += kWords[rng() % 8];
  s.resize(size);
  return s;
}

std::string BinaryValue(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    s[i] = static_cast<char>(i % 2 == 0 ? static_cast<std::uint8_t>(i / 7) : rng());
  return s;
}

// Writes `value` through a write stream in pieces of up to 100 000 bytes.
void WriteInPieces(TKivoTable& t, const std::string& field, const std::string& value) {
  std::unique_ptr<TStream> s = t.CreateBlobStream(&t.FieldByName(field), kBlobWrite);
  for (std::size_t at = 0; at < value.size(); at += 100000) {
    const std::size_t n = std::min<std::size_t>(100000, value.size() - at);
    ASSERT_EQ(s->Write(value.data() + at, static_cast<std::int32_t>(n)),
              static_cast<std::int32_t>(n));
  }
}

std::string ReadStream(TKivoTable& t, const std::string& field) {
  std::unique_ptr<TStream> s = t.CreateBlobStream(&t.FieldByName(field), kBlobRead);
  std::string bytes(static_cast<std::size_t>(s->Size()), '\0');
  const std::int32_t got =
      bytes.empty() ? 0 : s->Read(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(got));
  return bytes;
}

struct Config {
  Store store;
  bool encrypted;
  std::uint8_t level;
};

class BlobTables {
 public:
  std::unique_ptr<TKivoTable> Table(const Config& c, const std::string& name) const {
    auto t = std::make_unique<TKivoTable>();
    if (c.store == Store::kContainer) {
      t->SetDatabaseFileName(dir_.file("db.kvb"));
    } else {
      t->SetDatabaseName(dir_.path());
      if (c.store == Store::kMemory) t->SetInMemory(true);
    }
    t->SetTableName(name);
    if (c.encrypted) t->SetPassword("s3cret");
    return t;
  }
  // t(name STRING(10), memo MEMO, data BLOB), created and opened.
  std::unique_ptr<TKivoTable> Create(const Config& c, const std::string& name) const {
    auto t = Table(c, name);
    t->FieldDefs().Add("name", ftString, 10);
    t->FieldDefs().Add("memo", ftMemo);
    t->FieldDefs().Add("data", ftBlob);
    t->SetEncrypted(c.encrypted);
    t->SetBLOBCompression(c.level);
    t->CreateTable();
    t->Open();
    return t;
  }
  const TempDir& Dir() const { return dir_; }

 private:
  TempDir dir_;
};

// Record `i` holds a memo of sizes[i] bytes and a binary value of the size
// of the record before it (so that empty and large values meet both kinds).
void Fill(TKivoTable& t, const std::vector<std::size_t>& sizes) {
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    t.Append();
    t.FieldByName("name").SetAsString("r" + std::to_string(i));
    t.FieldByName("memo").SetAsString(MemoValue(sizes[i], static_cast<std::uint32_t>(i)));
    WriteInPieces(t, "data", BinaryValue(sizes[(i + sizes.size() - 1) % sizes.size()], 99u + i));
    t.Post();
  }
}

void Check(TKivoTable& t, const std::vector<std::size_t>& sizes) {
  ASSERT_EQ(t.RecordCount(), static_cast<int>(sizes.size()));
  std::size_t i = 0;
  for (t.First(); !t.Eof(); t.Next(), ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const std::size_t binarySize = sizes[(i + sizes.size() - 1) % sizes.size()];
    EXPECT_EQ(t.FieldByName("name").AsString(), "r" + std::to_string(i));
    EXPECT_EQ(t.FieldByName("memo").IsNull(), sizes[i] == 0);
    EXPECT_EQ(t.FieldByName("data").IsNull(), binarySize == 0);
    // Compared as a whole: a failure does not print megabytes.
    EXPECT_TRUE(ReadStream(t, "memo") == MemoValue(sizes[i], static_cast<std::uint32_t>(i)));
    EXPECT_TRUE(ReadStream(t, "data") == BinaryValue(binarySize, 99u + static_cast<unsigned>(i)));
  }
}

constexpr std::size_t kMiB = 1 << 20;

// Every store, enciphered or not: the mid sizes at every compression level,
// 1 MiB stored plainly and with zlib, 8 MiB stored plainly (the other
// levels are slow on megabytes under the sanitizers); the persistent stores
// after a reopen too.
std::vector<std::size_t> SizesAt(std::uint8_t level) {
  std::vector<std::size_t> sizes = {0, 1, 511, 512, 513, 64 * 1024 + 3, 3, 0};
  if (level <= clFastest) sizes.push_back(kMiB);
  if (level == clNone) sizes.push_back(8 * kMiB);
  return sizes;
}

TEST(BlobValues, RoundTripInEveryStoreAtEveryLevel) {
  SetDefaultFormatSettings(FormatSettings());
  for (Store store : {Store::kDirectory, Store::kMemory, Store::kContainer}) {
    for (bool encrypted : {false, true}) {
      BlobTables tables;
      for (std::uint8_t level = clNone; level <= clMax; ++level) {
        const Config c{store, encrypted, level};
        const std::vector<std::size_t> sizes = SizesAt(level);
        SCOPED_TRACE(std::string(kStoreNames[static_cast<int>(store)]) +
                     (encrypted ? ", enciphered" : "") + ", level " + std::to_string(level));
        const std::string name = "t" + std::to_string(level);
        auto t = tables.Create(c, name);
        ASSERT_EQ(t->BLOBCompression(), level);
        Fill(*t, sizes);
        Check(*t, sizes);
        if (store == Store::kMemory) continue;
        t->Close();
        auto again = tables.Table(c, name);
        again->Open();
        Check(*again, sizes);
        // Values overwritten in place, shorter and longer, reach the files.
        again->First();
        again->Edit();
        again->FieldByName("memo").SetAsString(MemoValue(70000, 7));
        again->Post();
        again->Next();
        again->Edit();
        WriteInPieces(*again, "data", "");
        again->Post();
        again->Close();
        auto third = tables.Table(c, name);
        third->Open();
        third->First();
        EXPECT_TRUE(third->FieldByName("memo").AsString() == MemoValue(70000, 7));
        third->Next();
        EXPECT_TRUE(third->FieldByName("data").IsNull());
        EXPECT_EQ(ReadStream(*third, "data"), "");
      }
    }
  }
}

// The largest values at the compressing levels too, in one store: the
// levels share the store-independent coder, which the test above runs in
// every store on the smaller sizes.
TEST(BlobValues, EightMebibytesAtEveryCompressingLevel) {
  SetDefaultFormatSettings(FormatSettings());
  BlobTables tables;
  for (std::uint8_t level = clFastest; level <= clMax; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Config c{Store::kDirectory, false, level};
    const std::vector<std::size_t> sizes = {8 * kMiB, 0};
    const std::string name = "big" + std::to_string(level);
    auto t = tables.Create(c, name);
    Fill(*t, sizes);
    t->Close();
    auto again = tables.Table(c, name);
    again->Open();
    Check(*again, sizes);
  }
}

// ---------------------------------------------------------------------------
// The rules of the streams.

class BlobRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDefaultFormatSettings(FormatSettings());
    t_ = tables_.Create(kConfig, "t");
    t_->Append();
    t_->FieldByName("name").SetAsString("a");
    t_->FieldByName("memo").SetAsString("stored value");
    t_->Post();
  }
  std::unique_ptr<TKivoTable> Another() {
    auto t = tables_.Table(kConfig, "t");
    t->Open();
    return t;
  }
  static constexpr Config kConfig{Store::kDirectory, false, clNone};
  BlobTables tables_;
  std::unique_ptr<TKivoTable> t_;
};

TEST_F(BlobRulesTest, AWriteStartsFromEmptyAndAReadFromTheStart) {
  t_->Edit();
  t_->FieldByName("memo").SetAsString("hello world");
  // A second write replaces the first, not appends to it; a read sees the
  // whole value however far the last write went.
  t_->FieldByName("memo").SetAsString("xy");
  EXPECT_EQ(ReadStream(*t_, "memo"), "xy");
  EXPECT_EQ(ReadStream(*t_, "memo"), "xy");
  t_->Post();
  EXPECT_EQ(t_->FieldByName("memo").AsString(), "xy");
  EXPECT_EQ(Another()->FieldByName("memo").AsString(), "xy");
}

TEST_F(BlobRulesTest, ARecordBeingInsertedReadsEmptyAndAnEmptyValueIsNull) {
  t_->Append();
  EXPECT_EQ(ReadStream(*t_, "memo"), "");
  EXPECT_TRUE(t_->FieldByName("memo").IsNull());
  t_->FieldByName("name").SetAsString("b");
  t_->FieldByName("memo").SetAsString("x");
  WriteInPieces(*t_, "memo", "");  // written empty again
  t_->Post();
  EXPECT_TRUE(t_->FieldByName("memo").IsNull());
  // A stored value written empty becomes null.
  t_->First();
  t_->Edit();
  WriteInPieces(*t_, "memo", "");
  t_->Post();
  auto other = Another();
  for (other->First(); !other->Eof(); other->Next()) {
    EXPECT_TRUE(other->FieldByName("memo").IsNull());
    EXPECT_EQ(ReadStream(*other, "memo"), "");
  }
}

TEST_F(BlobRulesTest, TheNullBitFollowsAStreamStillOpenAtCloseBlobAndAtThePost) {
  t_->Append();
  t_->FieldByName("name").SetAsString("b");
  TField& memo = t_->FieldByName("memo");
  std::unique_ptr<TStream> s = t_->CreateBlobStream(&memo, kBlobWrite);
  s->Write("abc", 3);
  EXPECT_TRUE(memo.IsNull());
  t_->CloseBlob(&memo);
  EXPECT_FALSE(memo.IsNull());
  s->Write("def", 3);
  t_->Post();  // the stream is still open: the post takes its value
  s.reset();
  EXPECT_FALSE(memo.IsNull());
  EXPECT_EQ(memo.AsString(), "abcdef");
  auto other = Another();
  other->Last();
  EXPECT_EQ(other->FieldByName("memo").AsString(), "abcdef");
}

TEST_F(BlobRulesTest, ABrowsingReadSeesAValueAnotherDataSetPosted) {
  EXPECT_EQ(t_->FieldByName("memo").AsString(), "stored value");
  auto other = Another();
  other->Edit();
  other->FieldByName("memo").SetAsString("changed");
  other->Post();
  EXPECT_EQ(t_->FieldByName("memo").AsString(), "changed");
}

TEST_F(BlobRulesTest, ACancelledEditKeepsTheOldValue) {
  t_->Edit();
  t_->FieldByName("memo").SetAsString("never posted");
  EXPECT_EQ(t_->FieldByName("memo").AsString(), "never posted");
  t_->Cancel();
  EXPECT_EQ(t_->FieldByName("memo").AsString(), "stored value");
  t_->Close();
  EXPECT_EQ(Another()->FieldByName("memo").AsString(), "stored value");
}

TEST_F(BlobRulesTest, WritingOnAReadOnlyDataSetIsRefused) {
  t_->Close();
  t_->SetReadOnly(true);
  t_->Open();
  TField& memo = t_->FieldByName("memo");
  EXPECT_EQ(ReadStream(*t_, "memo"), "stored value");
  for (int mode : {kBlobWrite, kBlobReadWrite})
    EXPECT_EQ(MessageOf([&] { t_->CreateBlobStream(&memo, mode); }),
              "Error in TKivoDataset.CreateBlobStream - Dataset is read only!");
  t_->Close();
  EXPECT_EQ(MessageOf([&] { t_->CreateBlobStream(&memo, kBlobRead); }),
            "Error in TKivoDataSet.InternalCreateBLOBStream - table is not opened.");
}

// ---------------------------------------------------------------------------
// An insert whose BLOB write fails.

// The directory's table files, with the BLOB files failing on demand.
class FaultyBlobStore : public TPlainTableFileStore {
 public:
  FaultyBlobStore(TAbstractPlainFileSystem& files, const std::string& path)
      : TPlainTableFileStore(files, path) {}
  TAbstractFile* OpenFile(const std::string& name, int mode, bool create, bool exclusive,
                          bool readOnly) override {
    TAbstractFile* real = TPlainTableFileStore::OpenFile(name, mode, create, exclusive, readOnly);
    if (real != nullptr && name.ends_with(".bdf")) return new testing::TFaultFile(real, &bdf);
    if (real != nullptr && name.ends_with(".bif")) return new testing::TFaultFile(real, &bif);
    return real;
  }
  void CloseFile(TAbstractFile* file) override {
    if (auto* f = dynamic_cast<testing::TFaultFile*>(file)) {
      TPlainTableFileStore::CloseFile(f->Real());
      delete f;
      return;
    }
    TPlainTableFileStore::CloseFile(file);
  }
  testing::TFaultPlan bdf;
  testing::TFaultPlan bif;
};

TEST(BlobInsertFailure, TheRecordIsTakenOutAndLaterPostsAndTheCloseStillFlush) {
  SetDefaultFormatSettings(FormatSettings());
  const Config c{Store::kDirectory, false, clFastest};
  BlobTables tables;
  std::string path;
  {
    auto t = tables.Create(c, "t");
    path = t->DataManager()->FileStore()->Path();
  }
  // The data set finds the table's manager made here, on the faulty files;
  // every post finds the write-behind log due.
  TDiskPlainFileSystem disk(tables.Dir().path());
  FaultyBlobStore store(disk, path);
  TDataManagerHold manager(krGetDataManager("t", &store));
  std::uint32_t ticks = 0;
  manager->SetTickSource([&] { return ticks += 5000; });
  auto t = tables.Table(c, "t");
  t->Open();
  ASSERT_EQ(t->DataManager(), manager.get());
  auto add = [&](const std::string& name, const std::string& memo) {
    t->Append();
    t->FieldByName("name").SetAsString(name);
    t->FieldByName("memo").SetAsString(memo);
    t->Post();
  };
  add("one", "first");

  // The BLOB data file refuses the next write: the post fails, and the
  // record and its identifier are gone again.
  store.bdf.FailWrite = store.bdf.Writes + 1;
  t->Append();
  t->FieldByName("name").SetAsString("two");
  t->FieldByName("memo").SetAsString("second");
  EXPECT_EQ(MessageOf([&] { t->Post(); }),
            "TkrBufferLogArray.FlushBuffers - error writing data to blob file, xx = 0, bc = 512");
  EXPECT_EQ(t->State(), dsInsert);
  EXPECT_EQ(manager->RecordCount(), 1);
  EXPECT_EQ(manager->BLOBDirectory()->RecordCount(), 1);
  EXPECT_EQ(manager->LastAutoInc(), 1);
  // The values are still there for another try, which succeeds.
  EXPECT_EQ(t->FieldByName("memo").AsString(), "second");
  t->Post();
  EXPECT_EQ(t->RecordCount(), 2);

  // The BLOB directory refuses the next write: the same.
  store.bif.FailWrite = store.bif.Writes + 1;
  t->Append();
  t->FieldByName("name").SetAsString("three");
  t->FieldByName("memo").SetAsString("third");
  EXPECT_NE(MessageOf([&] { t->Post(); }), testing::kNoException);
  t->Cancel();
  EXPECT_EQ(t->RecordCount(), 2);
  EXPECT_EQ(manager->BLOBDirectory()->RecordCount(), 2);
  add("four", "fourth");
  t->Close();
  manager->CloseTable();  // raises when it cannot flush
  manager.reset();

  auto again = tables.Table(c, "t");
  again->Open();
  std::vector<std::string> rows;
  for (again->First(); !again->Eof(); again->Next())
    rows.push_back(again->FieldByName("name").AsString() + "=" +
                   again->FieldByName("memo").AsString());
  EXPECT_EQ(rows, (std::vector<std::string>{"one=first", "two=second", "four=fourth"}));
  EXPECT_EQ(again->DataManager()->LastAutoInc(), 3);
}

}  // namespace
}  // namespace kivo
