#include "storage/container/directory.h"
#include "platform/little_endian.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/locale.h"
#include "storage/container/pagybox.h"
#include "storage/file_layer.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// The stream of a one-part container starts after the part header.
constexpr std::size_t kPartHeaderSize = 280;

void PutLE(std::string& bytes, std::size_t offset, std::uint64_t value, int size) {
  if (size == 8)
    StoreLE<std::uint64_t>(bytes.data() + offset, value);
  else
    StoreLE<std::uint32_t>(bytes.data() + offset, static_cast<std::uint32_t>(value));
}

std::unique_ptr<TPagybox> Create(const std::string& path, std::int32_t pageSize,
                                 const std::string& password = {},
                                 std::int32_t extentPageCount = 8) {
  return std::make_unique<TPagybox>(path, kContainerCreate, false, password, "", "", pageSize,
                                    extentPageCount, -1);
}

std::unique_ptr<TPagybox> Open(const std::string& path, const std::string& password = {},
                               std::uint16_t mode = kOpenReadWrite | kShareExclusive) {
  return std::make_unique<TPagybox>(path, mode, false, password, "", "", 4096, 8, -1);
}

// The names an enumeration lists, sorted.
std::set<std::string> List(TPagybox& box, const std::string& pattern, std::int32_t attributes) {
  std::set<std::string> names;
  TSearchRec rec;
  if (box.FindFirst(pattern, attributes, rec) != 0) return names;
  do {
    names.insert(rec.Name);
  } while (box.FindNext(rec) == 0);
  box.FindClose(rec);
  return names;
}

// Creates (and closes) an empty file; true on success.
bool Touch(TPagybox& box, const std::string& path) {
  const std::int32_t h = box.FileOpen(path, kContainerCreate);
  if (h < 0) return false;
  box.FileClose(h);
  return true;
}

// Keeps the locale fixed for name comparisons and restores the directory's
// growth setting after each test.
class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUserLocale("en_US");
    saved_extent_count_ = DefaultExtentPageCount;
  }
  void TearDown() override {
    DefaultExtentPageCount = saved_extent_count_;
    SetUserLocale("");
  }
  TempDir dir_;

 private:
  int saved_extent_count_ = 8;
};

// ---------------------------------------------------------------------------
// The item layout

TEST_F(DirectoryTest, ItemBytesFollowTheDocumentedLayout) {
  std::string bytes(512, '\0');
  PutLE(bytes, 0, static_cast<std::uint32_t>(-1), 4);                      // FirstMapPageNo
  PutLE(bytes, 4, 0x0000000123456789ULL, 8);                               // Size
  PutLE(bytes, 12, 0x01D0000000000001ULL, 8);                              // CreationTime
  PutLE(bytes, 20, 0x01D0000000000002ULL, 8);                              // LastWriteTime
  PutLE(bytes, 28, 0x01D0000000000003ULL, 8);                              // LastAccessTime
  PutLE(bytes, 36, 0x10, 4);                                               // Attributes
  PutLE(bytes, 40, 7, 4);                                                  // ParentItemNo
  for (int i = 0; i < 172; ++i) bytes[48 + i] = static_cast<char>(i + 1);  // PasswordRecord
  bytes[220] = 1;                                                          // IsDirectory
  bytes[221] = 0;                                                          // Deleted
  bytes[222] = 1;                                                          // HasPassword
  std::memcpy(&bytes[224], "Orders.dat", 10);                              // Name

  TDIRItem item;
  item.FirstMapPageNo = -1;
  item.Size = 0x123456789LL;
  item.CreationTime = 0x01D0000000000001LL;
  item.LastWriteTime = 0x01D0000000000002LL;
  item.LastAccessTime = 0x01D0000000000003LL;
  item.Attributes = faDirectory;
  item.ParentItemNo = 7;
  for (int i = 0; i < 172; ++i) item.Password[i] = static_cast<std::uint8_t>(i + 1);
  item.IsDirectory = 1;
  item.HasPassword = 1;
  item.Name = "Orders.dat";

  std::string encoded(512, '\x55');
  item.Encode(reinterpret_cast<std::uint8_t*>(encoded.data()));
  EXPECT_EQ(encoded, bytes);

  const TDIRItem back = TDIRItem::Decode(reinterpret_cast<const std::uint8_t*>(bytes.data()));
  EXPECT_EQ(back.FirstMapPageNo, -1);
  EXPECT_EQ(back.Size, 0x123456789LL);
  EXPECT_EQ(back.CreationTime, 0x01D0000000000001LL);
  EXPECT_EQ(back.LastWriteTime, 0x01D0000000000002LL);
  EXPECT_EQ(back.LastAccessTime, 0x01D0000000000003LL);
  EXPECT_EQ(back.Attributes, 0x10);
  EXPECT_EQ(back.ParentItemNo, 7);
  EXPECT_EQ(back.Password, item.Password);
  EXPECT_EQ(back.IsDirectory, 1);
  EXPECT_EQ(back.Deleted, 0);
  EXPECT_EQ(back.HasPassword, 1);
  EXPECT_EQ(back.Name, "Orders.dat");
}

TEST_F(DirectoryTest, NamesAreCutTo259CharactersEvenWithoutATerminator) {
  TDIRItem item;
  item.Name = std::string(300, 'n');
  std::string encoded(512, '\0');
  item.Encode(reinterpret_cast<std::uint8_t*>(encoded.data()));
  EXPECT_EQ(encoded.substr(224, 259), std::string(259, 'n'));
  EXPECT_EQ(encoded[224 + 259], '\0');

  // A damaged item whose name field has no zero byte at all.
  std::string damaged(512, 'x');
  const TDIRItem back = TDIRItem::Decode(reinterpret_cast<const std::uint8_t*>(damaged.data()));
  EXPECT_EQ(back.Name, std::string(259, 'x'));
}

TEST_F(DirectoryTest, WildcardMatching) {
  struct Case {
    const char* name;
    const char* pattern;
    bool match;
  };
  const Case cases[] = {
      {"orders.dat", "*", true},
      {"noext", "*.*", true},
      {"orders.dat", "*.dat", true},
      {"orders.DAT", "*.dat", true},
      {"orders.idx", "*.dat", false},
      {"a.dat", "?.dat", true},
      {"ab.dat", "?.dat", false},
      {"orders.dat", "ord*", true},
      {"ord", "ord*", true},
      {"ord", "ord**", true},
      {"orders", "ord", false},
      {"or", "ord", false},
      {"abcabd", "*abd", true},
      {"abcab", "*abd", false},
      {"ORDERS", "orders", true},
      {"\xC1rv\xE9z", "\xE1RV\xC9Z", true},  // cp1250 accents
      {"@", "`", false},
      {"a.dat", "a.dat?", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MatchesWildcard(c.name, c.pattern), c.match) << c.name << " ~ " << c.pattern;
}

// ---------------------------------------------------------------------------
// Directory pages on disk

class DirectoryGeometryTest : public DirectoryTest,
                              public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(DirectoryGeometryTest, ItemsFillPagesAndTheChainGrowsAPageAtATime) {
  const std::int32_t pageSize = GetParam();
  const std::int32_t perPage = (pageSize - 32) / 512;
  const std::string path = dir_.file("geo.kvb");
  std::vector<std::int32_t> pages;
  {
    auto box = Create(path, pageSize, {}, pageSize == 544 ? 2 : 8);
    EXPECT_EQ(box->Directory().ItemsPerPage(), perPage);
    for (std::int32_t i = 0; i <= perPage; ++i)
      ASSERT_TRUE(Touch(*box, "f" + std::to_string(i) + ".dat"));
    const TContainerHeader& h = box->PageManager().Header();
    EXPECT_EQ(h.DirPageCount(), 2);
    EXPECT_EQ(h.DirItemCount(), perPage + 1);
    pages = box->Directory().DirPageNumbers();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(h.FirstDirPageNo(), pages[0]);
    box->Directory().CheckInvariants();
  }
  // The bytes on disk, read without the directory code.
  const std::string raw = ReadFileBytes(path);
  auto pageAt = [&](std::int32_t pageNo) {
    return kPartHeaderSize + static_cast<std::size_t>(pageNo) * pageSize;
  };
  auto u32 = [&](std::size_t off) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(raw[off + i]);
    return v;
  };
  ASSERT_GE(raw.size(), pageAt(std::max(pages[0], pages[1]) + 1));
  EXPECT_EQ(u32(pageAt(pages[0])), static_cast<std::uint32_t>(pages[1]));  // NextPageNo
  for (std::int32_t pageNo : pages) {
    EXPECT_EQ(raw[pageAt(pageNo) + 8], 1) << "PageType";
    EXPECT_EQ(raw[pageAt(pageNo) + 9], 0) << "EncryptionType";
    EXPECT_EQ(raw[pageAt(pageNo) + 10], 0) << "ChecksumType";
  }
  // Item perPage - 1 is the last slot of the first page, item perPage the
  // first slot of the second.
  const std::size_t lastSlot = pageAt(pages[0]) + 32 + static_cast<std::size_t>(perPage - 1) * 512;
  const std::string lastName = "f" + std::to_string(perPage - 1) + ".dat";
  EXPECT_EQ(raw.substr(lastSlot + 224, lastName.size() + 1), lastName + '\0');
  EXPECT_EQ(u32(lastSlot), 0xFFFFFFFFu);       // FirstMapPageNo -1
  EXPECT_EQ(u32(lastSlot + 40), 0xFFFFFFFFu);  // in the root
  const std::size_t firstSlot2 = pageAt(pages[1]) + 32;
  const std::string nextName = "f" + std::to_string(perPage) + ".dat";
  EXPECT_EQ(raw.substr(firstSlot2 + 224, nextName.size() + 1), nextName + '\0');

  auto box = Open(path);
  EXPECT_EQ(box->Directory().ItemCount(), perPage + 1);
  EXPECT_EQ(List(*box, "*", faAnyFile).size(), static_cast<std::size_t>(perPage + 1));
}

INSTANTIATE_TEST_SUITE_P(PageSizes, DirectoryGeometryTest, ::testing::Values(544, 4096, 8192));

// ---------------------------------------------------------------------------
// File operations over page sizes, with and without encryption

struct BoxParam {
  std::int32_t pageSize;
  bool encrypted;
};

class FileOperationsTest : public DirectoryTest, public ::testing::WithParamInterface<BoxParam> {
 protected:
  std::string Password() const { return GetParam().encrypted ? "titok" : ""; }
  std::unique_ptr<TPagybox> MakeBox() {
    return Create(path_, GetParam().pageSize, Password(), GetParam().pageSize == 544 ? 2 : 8);
  }
  std::unique_ptr<TPagybox> Reopen() { return Open(path_, Password()); }
  std::string path_ = dir_.file("ops.kvb");
};

TEST_P(FileOperationsTest, CreateOpenCloseDeleteRenameAndReopen) {
  {
    auto box = MakeBox();
    const std::int32_t h0 = box->FileOpen("orders.dat", kContainerCreate);
    const std::int32_t h1 = box->FileOpen("\\orders.idx", kContainerCreate);
    EXPECT_EQ(h0, 0);
    EXPECT_EQ(h1, 1);
    ASSERT_NE(box->FindHandle(h0), nullptr);
    EXPECT_EQ(box->FindHandle(h0)->DirItemNo, 0);
    EXPECT_EQ(box->FindHandle(h1)->DirItemNo, 1);
    EXPECT_EQ(box->FindHandle(h0)->Position, 0);
    EXPECT_EQ(box->FindHandle(h0)->OpenMode, kContainerCreate);
    EXPECT_TRUE(box->FindHandle(h0)->Key.empty());
    EXPECT_EQ(box->Directory().OpenCount(0), 1);

    // Open files can be neither deleted nor renamed.
    EXPECT_FALSE(box->FileDelete("orders.dat"));
    EXPECT_FALSE(box->FileRename("orders.dat", "x.dat"));
    box->FileClose(h0);
    box->FileClose(h0);    // a second close is ignored
    box->FileClose(4711);  // so is a handle never given out
    EXPECT_EQ(box->FindHandle(h0), nullptr);
    EXPECT_EQ(box->Directory().OpenCount(0), 0);
    EXPECT_EQ(box->OpenHandleCount(), 1u);

    // Handles are not reused.
    const std::int32_t h2 = box->FileOpen("ORDERS.DAT", kOpenReadWrite);
    EXPECT_EQ(h2, 2);
    EXPECT_EQ(box->FindHandle(h2)->DirItemNo, 0);
    box->FileClose(h2);
    box->FileClose(h1);

    EXPECT_TRUE(box->FileExists("Orders.Dat"));
    EXPECT_TRUE(box->FileExists("/orders.idx"));
    EXPECT_FALSE(box->FileExists("orders.bdf"));
    EXPECT_TRUE(box->FileRename("orders.idx", "customers.idx"));
    EXPECT_FALSE(box->FileExists("orders.idx"));
    EXPECT_TRUE(box->FileDelete("orders.dat"));
    EXPECT_FALSE(box->FileExists("orders.dat"));
    EXPECT_FALSE(box->FileDelete("orders.dat"));
    EXPECT_EQ(box->FileOpen("orders.dat", kOpenReadWrite), -1);
    ASSERT_TRUE(Touch(*box, "invoices.dat"));
    box->Directory().CheckInvariants();
  }
  auto box = Reopen();
  EXPECT_EQ(List(*box, "\\*", faAnyFile), (std::set<std::string>{"customers.idx", "invoices.dat"}));
  EXPECT_EQ(box->Directory().ItemCount(), 2);  // invoices.dat took the deleted slot
  const std::int32_t h = box->FileOpen("CUSTOMERS.IDX", kOpenReadOnly);
  EXPECT_EQ(h, 0);  // handle numbers start again with a new container object
  EXPECT_EQ(box->FindHandle(h)->DirItemNo, 1);
  box->Directory().CheckInvariants();
}

TEST_P(FileOperationsTest, NamesAreCaseInsensitiveAndLongNamesAreCut) {
  const std::string longName(300, 'q');
  {
    auto box = MakeBox();
    ASSERT_TRUE(Touch(*box, "orders.dat"));
    ASSERT_TRUE(Touch(*box, longName));
  }
  auto box = Reopen();
  EXPECT_GE(box->FileOpen("ORDERS.DAT", kOpenReadOnly), 0);
  EXPECT_TRUE(box->FileExists(longName.substr(0, 259)));
  EXPECT_TRUE(box->FileExists(longName + "tail beyond the cut"));
  EXPECT_EQ(box->Directory().ReadItem(1).Name, longName.substr(0, 259));
  EXPECT_FALSE(box->FileExists(longName.substr(0, 258)));
}

INSTANTIATE_TEST_SUITE_P(PageSizesAndEncryption, FileOperationsTest,
                         ::testing::Values(BoxParam{544, false}, BoxParam{4096, false},
                                           BoxParam{8192, false}, BoxParam{544, true},
                                           BoxParam{4096, true}, BoxParam{8192, true}),
                         [](const ::testing::TestParamInfo<BoxParam>& info) {
                           return std::to_string(info.param.pageSize) +
                                  (info.param.encrypted ? "Encrypted" : "Plain");
                         });

TEST_F(DirectoryTest, TimesAreStampedAtTwoSecondResolution) {
  auto box = Create(dir_.file("t.kvb"), 4096);
  const std::int64_t before = DirItemNow();
  ASSERT_TRUE(Touch(*box, "t.dat"));
  const TDIRItem item = box->Directory().ReadItem(0);
  EXPECT_EQ(item.CreationTime % 20000000, 0);  // whole even seconds of local time
  EXPECT_GE(item.CreationTime, before);
  EXPECT_EQ(item.LastWriteTime, item.CreationTime);
  EXPECT_GE(item.LastAccessTime, item.CreationTime);
  TSearchRec rec;
  ASSERT_EQ(box->FindFirst("t.dat", 0, rec), 0);
  EXPECT_EQ(rec.FindData.LastWriteTime, item.LastWriteTime);
  EXPECT_GE((static_cast<std::uint32_t>(rec.Time) >> 25) + 1980, 2024u);  // a DOS date of now
  box->FindClose(rec);
}

TEST_F(DirectoryTest, EncryptedDirectoryPagesHideTheNames) {
  const std::string path = dir_.file("enc.kvb");
  {
    auto box = Create(path, 4096, "jelszo");
    ASSERT_TRUE(Touch(*box, "confidential_orders.dat"));
  }
  const std::string raw = ReadFileBytes(path);
  EXPECT_EQ(raw.find("confidential_orders"), std::string::npos);
  auto box = Open(path, "jelszo");
  EXPECT_TRUE(box->FileExists("confidential_orders.dat"));
}

// ---------------------------------------------------------------------------
// Paths, renames, directories

TEST_F(DirectoryTest, FindPathResults) {
  auto box = Create(dir_.file("p.kvb"), 4096);
  ASSERT_TRUE(box->ForceDirectories("sub\\deeper"));
  ASSERT_TRUE(Touch(*box, "sub\\deeper\\a.dat"));
  ASSERT_TRUE(Touch(*box, "b.dat"));
  const TDIRManager& d = box->Directory();
  const std::int32_t sub = d.FindPath("sub");
  const std::int32_t deeper = d.FindPath("/sub/deeper");
  const std::int32_t a = d.FindPath("sub\\deeper\\a.dat");
  ASSERT_GE(sub, 0);
  ASSERT_GE(deeper, 0);
  ASSERT_GE(a, 0);
  EXPECT_EQ(d.FindPath("\\"), -1);
  EXPECT_EQ(d.FindPath("/"), -1);
  EXPECT_EQ(d.FindPath(""), -2);
  EXPECT_EQ(d.FindPath("sub\\deeper\\"), deeper);  // trailing separator
  EXPECT_EQ(d.FindPath("sub\\\\deeper"), -2);      // empty component
  EXPECT_EQ(d.FindPath("\\\\sub"), -2);
  EXPECT_EQ(d.FindPath("nothing.dat"), -2);  // no such name anywhere
  EXPECT_EQ(d.FindPath("a.dat"), -3);        // exists, not in the root
  EXPECT_EQ(d.FindPath("sub\\b.dat"), -3);
  EXPECT_EQ(d.FindPath("sub\\deeper\\..\\deeper\\a.dat"), a);
  EXPECT_EQ(d.FindPath(".."), -1);  // the root's parent is the root
  EXPECT_EQ(d.FindPath("..\\b.dat"), d.FindPath("b.dat"));
  EXPECT_EQ(d.FindPath("a.dat", deeper), a);  // relative to a start item
  EXPECT_EQ(d.FindPath("a.dat", -2), -2);
  EXPECT_EQ(d.FindPath("a.dat", d.ItemCount()), -2);
  EXPECT_EQ(d.FindPath("\\b.dat", deeper), d.FindPath("b.dat"));
}

TEST_F(DirectoryTest, RenameRules) {
  auto box = Create(dir_.file("r.kvb"), 4096);
  ASSERT_TRUE(Touch(*box, "a.dat"));
  ASSERT_TRUE(Touch(*box, "b.dat"));
  const std::int32_t a = box->Directory().FindPath("a.dat");

  EXPECT_TRUE(box->FileRename("a.dat", "A.DAT"));  // letter case only
  EXPECT_EQ(box->Directory().ReadItem(a).Name, "A.DAT");
  EXPECT_FALSE(box->FileRename("a.dat", "b.dat"));  // onto another file
  EXPECT_FALSE(box->FileRename("missing.dat", "c.dat"));

  EXPECT_TRUE(box->FileRename("a.dat", "sub\\moved.dat"));  // sub is made first
  EXPECT_TRUE(box->DirectoryExists("sub"));
  EXPECT_EQ(box->Directory().FindPath("sub\\moved.dat"), a);  // same item, new place
  EXPECT_FALSE(box->FileExists("a.dat"));
  EXPECT_EQ(List(*box, "sub\\*", faAnyFile), std::set<std::string>{"moved.dat"});

  // A directory cannot move below itself.
  ASSERT_TRUE(box->ForceDirectories("sub\\inner"));
  EXPECT_FALSE(box->FileRename("sub", "sub\\inner\\sub2"));
  EXPECT_FALSE(box->FileRename("sub", "sub\\sub2"));
  EXPECT_TRUE(box->DirectoryExists("sub\\inner"));
  // Nor can a file become a directory for another file.
  EXPECT_FALSE(box->FileRename("b.dat", "sub\\moved.dat\\b.dat"));
  box->Directory().CheckInvariants();
}

TEST_F(DirectoryTest, DirectoriesAndDeletingThem) {
  auto box = Create(dir_.file("d.kvb"), 4096);
  EXPECT_TRUE(box->DirectoryExists("\\"));
  EXPECT_TRUE(box->DirectoryExists("/"));
  EXPECT_TRUE(box->DirectoryExists("."));
  EXPECT_FALSE(box->DirectoryExists("sub"));
  EXPECT_TRUE(box->CreateDirectory("sub"));
  EXPECT_FALSE(box->CreateDirectory("sub"));  // exists already
  EXPECT_FALSE(box->CreateDirectory("\\"));
  EXPECT_FALSE(box->CreateDirectory("no\\such\\parent"));
  EXPECT_TRUE(box->DirectoryExists("SUB"));
  EXPECT_TRUE(box->DirectoryExists("sub\\"));
  EXPECT_TRUE(box->FileExists("sub"));  // directories count as existing
  EXPECT_EQ(box->FileOpen("sub", kOpenReadOnly), -1);
  EXPECT_EQ(box->FileOpen("sub", kContainerCreate), -1);  // never replaced by a file
  EXPECT_TRUE(box->DirectoryExists("sub"));

  const TDIRItem item = box->Directory().ReadItem(box->Directory().FindPath("sub"));
  EXPECT_EQ(item.Attributes, faDirectory);
  EXPECT_EQ(item.IsDirectory, 1);
  EXPECT_EQ(item.FirstMapPageNo, -1);

  ASSERT_TRUE(Touch(*box, "sub\\x.dat"));
  EXPECT_FALSE(box->FileDelete("sub"));  // still holds x.dat
  EXPECT_TRUE(box->FileDelete("sub\\x.dat"));
  EXPECT_TRUE(box->FileDelete("sub"));
  EXPECT_FALSE(box->DirectoryExists("sub"));

  ASSERT_TRUE(Touch(*box, "file.dat"));
  EXPECT_EQ(MessageOf([&] { box->ForceDirectories("file.dat\\below"); }),
            "TDIRManager.ForceDirectories - ForceDirectories error!");
  box->Directory().CheckInvariants();
}

TEST_F(DirectoryTest, DeletedSlotsAreReused) {
  auto box = Create(dir_.file("reuse.kvb"), 4096);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Touch(*box, "f" + std::to_string(i)));
  ASSERT_TRUE(box->FileDelete("f1"));
  ASSERT_TRUE(box->FileDelete("f3"));
  EXPECT_TRUE(box->Directory().ReadItem(1).IsDeleted());
  ASSERT_TRUE(Touch(*box, "new"));
  EXPECT_EQ(box->Directory().FindPath("new"), 1);  // the first deleted slot
  EXPECT_EQ(box->PageManager().Header().DirItemCount(), 5);
  ASSERT_TRUE(Touch(*box, "newer"));
  EXPECT_EQ(box->Directory().FindPath("newer"), 3);
  ASSERT_TRUE(Touch(*box, "newest"));
  EXPECT_EQ(box->Directory().FindPath("newest"), 5);
  EXPECT_EQ(box->PageManager().Header().DirItemCount(), 6);
}

TEST_F(DirectoryTest, DeletingAFileReleasesItsPages) {
  const std::string path = dir_.file("release.kvb");
  std::vector<std::int32_t> filePages;
  {
    auto box = Create(path, 4096);
    const std::int32_t h = box->FileOpen("data.dat", kContainerCreate);
    ASSERT_GE(h, 0);
    const std::string payload(10000, 'p');
    ASSERT_EQ(box->FileWrite(h, payload.data(), static_cast<std::int32_t>(payload.size())), 10000);
    box->FileClose(h);
    TDIRItem item = box->Directory().ReadItem(0);
    ASSERT_NE(item.FirstMapPageNo, -1);
    const TFilePageMaps& maps = box->PageMaps().GetMaps(item);
    filePages = maps.DataPages;
    filePages.insert(filePages.end(), maps.MapPages.begin(), maps.MapPages.end());
    ASSERT_EQ(filePages.size(), 4u);  // three data pages and one map page
  }
  auto box = Open(path);
  EXPECT_EQ(box->Directory().ReadItem(0).Size, 10000);
  ASSERT_TRUE(box->FileDelete("data.dat"));
  const TDIRItem item = box->Directory().ReadItem(0);
  EXPECT_TRUE(item.IsDeleted());
  EXPECT_EQ(item.FirstMapPageNo, -1);
  EXPECT_EQ(item.Size, 0);
  for (std::int32_t p : filePages) EXPECT_TRUE(box->FreeSpaceManager().PageIsFree(p)) << p;
  // The slot's next owner starts empty.
  const std::int32_t h = box->FileOpen("next.dat", kContainerCreate);
  char byte = 0;
  EXPECT_EQ(box->FileRead(h, &byte, 1), 0);
  EXPECT_EQ(box->Directory().ReadItem(0).FirstMapPageNo, -1);
}

// ---------------------------------------------------------------------------
// Enumeration

TEST_F(DirectoryTest, EnumerationWithPatternsAndAttributes) {
  auto box = Create(dir_.file("e.kvb"), 4096);
  for (const char* name : {"a.dat", "b.DAT", "c.idx"}) ASSERT_TRUE(Touch(*box, name));
  ASSERT_TRUE(box->CreateDirectory("sub"));
  ASSERT_TRUE(Touch(*box, "sub\\inner.dat"));
  ASSERT_TRUE(box->CreateDirectory("dir.dat"));

  // All attributes: directories whose names match are listed too.
  EXPECT_EQ(List(*box, "\\*.dat", faAnyFile), (std::set<std::string>{"a.dat", "b.DAT", "dir.dat"}));
  // Without the directory attribute only files.
  EXPECT_EQ(List(*box, "\\*.dat", 0), (std::set<std::string>{"a.dat", "b.DAT"}));
  EXPECT_EQ(List(*box, "*", faAnyFile),
            (std::set<std::string>{"a.dat", "b.DAT", "c.idx", "sub", "dir.dat"}));
  EXPECT_EQ(List(*box, "sub\\*.dat", 0), std::set<std::string>{"inner.dat"});
  EXPECT_EQ(List(*box, "/sub/?nner.*", 0), std::set<std::string>{"inner.dat"});

  TSearchRec rec;
  ASSERT_EQ(box->FindFirst("\\dir.dat", faAnyFile, rec), 0);
  EXPECT_EQ(rec.Attr, faDirectory);
  EXPECT_EQ(rec.ExcludeAttr, 0);
  EXPECT_EQ(box->FindNext(rec), -5);  // one match only
  box->FindClose(rec);
  EXPECT_EQ(box->FindNext(rec), -4);  // closed slot

  EXPECT_EQ(box->FindFirst("missing\\*.dat", faAnyFile, rec), -2);
  EXPECT_EQ(box->FindFirst("\\*.bdf", faAnyFile, rec), -5);
  ASSERT_EQ(box->FindFirst("c.idx", 0, rec), 0);
  EXPECT_EQ(rec.ExcludeAttr, 0x1E);
  EXPECT_EQ(rec.Size, 0);
  EXPECT_EQ(rec.FindData.FileName, "c.idx");
  TSearchRec other;
  other.FindHandle = 99;
  EXPECT_EQ(box->FindNext(other), -5);  // slot number out of range

  // Two enumerations at once keep their own slots; a freed slot is reused.
  TSearchRec second;
  ASSERT_EQ(box->FindFirst("*.dat", 0, second), 0);
  EXPECT_NE(second.FindHandle, rec.FindHandle);
  box->FindClose(rec);
  TSearchRec third;
  ASSERT_EQ(box->FindFirst("*", faAnyFile, third), 0);
  EXPECT_EQ(third.FindHandle, rec.FindHandle);
  box->FindClose(second);
  box->FindClose(third);
}

// ---------------------------------------------------------------------------
// Growth over many pages and extents

TEST_F(DirectoryTest, ManyItemsGrowTheDirectoryOverSeveralExtents) {
  DefaultExtentPageCount = 2;  // uniform extents after the second directory page
  const std::string path = dir_.file("many.kvb");
  constexpr int kCount = 150;
  {
    auto box = Create(path, 544, {}, 2);
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(Touch(*box, "t" + std::to_string(i) + ".dat"));
    EXPECT_EQ(box->PageManager().Header().DirPageCount(), kCount);  // one item per page
    EXPECT_GT(box->FreeSpaceManager().ExtentCount(), kCount / 2);
    box->Directory().CheckInvariants();
    box->FreeSpaceManager().CheckInvariants();
    for (int i = 0; i < kCount; i += 3)
      ASSERT_TRUE(box->FileDelete("t" + std::to_string(i) + ".dat"));
  }
  auto box = Open(path);
  const auto names = List(*box, "*.dat", 0);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kCount - (kCount + 2) / 3));
  for (int i = 0; i < kCount; ++i)
    EXPECT_EQ(box->FileExists("T" + std::to_string(i) + ".DAT"), i % 3 != 0) << i;
  // Every directory page is allocated, and none twice.
  std::set<std::int32_t> pages(box->Directory().DirPageNumbers().begin(),
                               box->Directory().DirPageNumbers().end());
  EXPECT_EQ(pages.size(), static_cast<std::size_t>(kCount));
  for (std::int32_t p : pages) EXPECT_FALSE(box->FreeSpaceManager().PageIsFree(p)) << p;
  box->Directory().CheckInvariants();
}

// ---------------------------------------------------------------------------
// Modes, passwords, read-only containers

TEST_F(DirectoryTest, CreatingOverAnOpenFileOpensItUnchanged) {
  auto box = Create(dir_.file("c.kvb"), 4096);
  const std::int32_t h0 = box->FileOpen("a.dat", kContainerCreate);
  ASSERT_GE(h0, 0);
  const std::int32_t h1 = box->FileOpen("a.dat", kContainerCreate);
  ASSERT_GE(h1, 0);
  EXPECT_EQ(box->LastError(), -16);
  EXPECT_EQ(box->FindHandle(h1)->DirItemNo, box->FindHandle(h0)->DirItemNo);
  EXPECT_EQ(box->Directory().OpenCount(box->FindHandle(h0)->DirItemNo), 2);
  box->FileClose(h0);
  box->FileClose(h1);
  // Closed, the file is replaced by a new item in its slot.
  const std::int32_t h2 = box->FileOpen("a.dat", kContainerCreate);
  EXPECT_EQ(box->LastError(), 0);
  EXPECT_EQ(box->FindHandle(h2)->DirItemNo, 0);
  EXPECT_EQ(box->Directory().ItemCount(), 1);
}

TEST_F(DirectoryTest, FilesWithTheirOwnPassword) {
  const std::string path = dir_.file("pw.kvb");
  std::string createKey;
  {
    auto box = Create(path, 4096);
    const std::int32_t h = box->FileOpen("secret.dat", kContainerCreate, "own", "q?", "a");
    ASSERT_GE(h, 0);
    createKey = box->FindHandle(h)->Key;
    EXPECT_EQ(createKey.size(), 33u);
    EXPECT_EQ(box->Directory().ReadItem(0).HasPassword, 1);
  }
  auto box = Open(path);
  // No prompt: a wrong password fails.
  EXPECT_EQ(box->FileOpen("secret.dat", kOpenReadWrite, "wrong"), -1);
  EXPECT_EQ(box->Directory().OpenCount(0), 0);

  std::vector<std::string> asked;
  int calls = 0;
  box->OnPasswordPrompt = [&](const std::string& caption, const std::string& prompt,
                              std::string& value) {
    asked.push_back(caption + "|" + prompt);
    value = ++calls < 3 ? "still wrong" : "own";
    return true;
  };
  const std::int32_t h = box->FileOpen("secret.dat", kOpenReadWrite, "wrong");
  ASSERT_GE(h, 0);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(asked.front(), "Password for \"secret.dat\"|Enter password: ");
  EXPECT_EQ(box->FindHandle(h)->Key, createKey);

  box->OnPasswordPrompt = [](const std::string&, const std::string&, std::string&) {
    return false;  // cancelled
  };
  EXPECT_EQ(box->FileOpen("secret.dat", kOpenReadOnly), -1);
  EXPECT_GE(box->FileOpen("secret.dat", kOpenReadOnly, "own"), 0);
}

TEST_F(DirectoryTest, ReadOnlyContainersChangeNothing) {
  const std::string path = dir_.file("ro.kvb");
  {
    auto box = Create(path, 4096);
    ASSERT_TRUE(Touch(*box, "a.dat"));
  }
  const std::string before = ReadFileBytes(path);
  {
    auto box = Open(path, {}, kOpenReadOnly | kShareDenyNone);
    const std::int32_t h = box->FileOpen("a.dat", kOpenReadOnly);
    EXPECT_GE(h, 0);
    box->FileClose(h);
    EXPECT_EQ(box->FileOpen("b.dat", kContainerCreate), -1);
    EXPECT_EQ(box->FileOpen("a.dat", kContainerCreate), -1);
    EXPECT_FALSE(box->FileDelete("a.dat"));
    EXPECT_FALSE(box->FileRename("a.dat", "c.dat"));
    EXPECT_FALSE(box->CreateDirectory("sub"));
    EXPECT_TRUE(box->FileExists("a.dat"));
    EXPECT_FALSE(box->FileExists("b.dat"));
    box->Directory().CheckInvariants();
  }
  EXPECT_EQ(ReadFileBytes(path), before);
}

// ---------------------------------------------------------------------------
// Damaged directories

class DamagedDirectoryTest : public DirectoryTest {
 protected:
  // A container with 20 files (three directory pages of 7 items).
  void Build() {
    auto box = Create(path_, 4096);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Touch(*box, "f" + std::to_string(i) + ".dat"));
    pages_ = box->Directory().DirPageNumbers();
    ASSERT_EQ(pages_.size(), 3u);
    box.reset();
    good_ = ReadFileBytes(path_);
  }
  std::size_t PageOffset(std::int32_t pageNo) const {
    return kPartHeaderSize + static_cast<std::size_t>(pageNo) * 4096;
  }
  // Rewrites header fields and the header checksum.
  void SetHeader(std::string& bytes, const std::function<void(TContainerHeader&)>& change) {
    TContainerHeader h;
    std::memcpy(h.Bytes(), bytes.data() + kPartHeaderSize, container_header::kSize);
    change(h);
    h.UpdateChecksum();
    std::memcpy(bytes.data() + kPartHeaderSize, h.Bytes(), container_header::kSize);
  }
  std::string OpenError(const std::string& bytes) {
    WriteFileBytes(path_, bytes);
    return MessageOf([&] { Open(path_); });
  }
  std::string path_ = dir_.file("dmg.kvb");
  std::vector<std::int32_t> pages_;
  std::string good_;
};

TEST_F(DamagedDirectoryTest, ChainDamageIsReportedNotFollowed) {
  Build();
  std::string loop = good_;
  PutLE(loop, PageOffset(pages_[1]), static_cast<std::uint32_t>(pages_[0]), 4);
  EXPECT_EQ(OpenError(loop),
            "TDIRManager.Load - directory page chain loops, pageNo = " + std::to_string(pages_[0]));

  std::string outside = good_;
  PutLE(outside, PageOffset(pages_[0]), 1000000, 4);
  EXPECT_EQ(OpenError(outside), "TDIRManager.Load - can not load page, pageNo = 1000000");

  std::string negative = good_;
  PutLE(negative, PageOffset(pages_[1]), static_cast<std::uint32_t>(-1), 4);
  EXPECT_EQ(OpenError(negative), "TDIRManager.Load - can not load page, pageNo = -1");

  std::string bitmap = good_;
  SetHeader(bitmap, [](TContainerHeader& h) { h.SetFirstDirPageNo(1); });  // the first PFS page
  EXPECT_EQ(OpenError(bitmap), "TDIRManager.Load - can not load page, pageNo = 1");

  std::string checksum = good_;
  checksum[PageOffset(pages_[2]) + 32 + 224] ^= 0x01;  // a name byte of item 14
  EXPECT_EQ(OpenError(checksum),
            "TDIRManager.Load - can not load page, pageNo = " + std::to_string(pages_[2]));

  std::string tooMany = good_;
  SetHeader(tooMany, [](TContainerHeader& h) { h.SetDirItemCount(22); });
  EXPECT_EQ(OpenError(tooMany),
            "TDIRManager.Load - invalid directory size, DirPageCount = 3, DirItemCount = 22");
  std::string allPages = good_;
  std::int32_t pageCount = 0;
  SetHeader(allPages, [&](TContainerHeader& h) {
    pageCount = h.PageCount();
    h.SetDirPageCount(pageCount);  // the header page cannot be a directory page
  });
  EXPECT_EQ(OpenError(allPages), "TDIRManager.Load - invalid directory size, DirPageCount = " +
                                     std::to_string(pageCount) + ", DirItemCount = 20");

  // Fewer items than stored: the rest is simply not part of the directory.
  std::string fewer = good_;
  SetHeader(fewer, [](TContainerHeader& h) { h.SetDirItemCount(15); });
  WriteFileBytes(path_, fewer);
  auto box = Open(path_);
  EXPECT_EQ(List(*box, "*", faAnyFile).size(), 15u);
  ASSERT_TRUE(Touch(*box, "again.dat"));
  EXPECT_EQ(box->Directory().FindPath("again.dat"), 15);
  box->Directory().CheckInvariants();
}

TEST_F(DamagedDirectoryTest, SeededItemDamageNeverCrashes) {
  Build();
  std::mt19937 rng(20240611);
  int opened = 0;
  for (int round = 0; round < 150; ++round) {
    std::string bytes = good_;
    // Flip bytes inside the items of one directory page. Most rounds then
    // patch the page's XOR checksum so that the damaged items get loaded;
    // the others must fail the load cleanly.
    const std::int32_t pageNo = pages_[rng() % pages_.size()];
    const std::size_t dataAt = PageOffset(pageNo) + 32;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f) {
      const std::size_t off = dataAt + rng() % (7 * 512);
      const auto oldWordAt = off - (off - dataAt) % 4;
      std::uint32_t oldWord = 0, newWord = 0;
      for (int i = 3; i >= 0; --i)
        oldWord = (oldWord << 8) | static_cast<unsigned char>(bytes[oldWordAt + i]);
      bytes[off] = static_cast<char>(rng() % 4 == 0 ? 0 : rng());
      for (int i = 3; i >= 0; --i)
        newWord = (newWord << 8) | static_cast<unsigned char>(bytes[oldWordAt + i]);
      if (rng() % 5 != 0) {  // mostly keep the checksum right so the load succeeds
        std::uint32_t sum = 0;
        for (int i = 3; i >= 0; --i)
          sum = (sum << 8) | static_cast<unsigned char>(bytes[PageOffset(pageNo) + 4 + i]);
        PutLE(bytes, PageOffset(pageNo) + 4, sum ^ oldWord ^ newWord, 4);
      }
    }
    WriteFileBytes(path_, bytes);
    try {
      auto box = Open(path_);
      ++opened;
      box->Directory().CheckInvariants();
      List(*box, "\\*", faAnyFile);
      List(*box, "sub\\*.dat", faAnyFile);
      for (int i = 0; i < 20; ++i) {
        const std::string name = "f" + std::to_string(i) + ".dat";
        const std::int32_t h = box->FileOpen(name, kOpenReadWrite);
        if (h >= 0) box->FileClose(h);
        box->FileRename(name, "dir\\r" + std::to_string(i));
      }
      box->ForceDirectories("x\\y");
      Touch(*box, "x\\y\\z.dat");
      box->FileDelete("f3.dat");
      box->Directory().CheckInvariants();
    } catch (const Exception&) {
      // A clear error is a fine answer to a damaged file.
    }
  }
  EXPECT_GT(opened, 50);  // most rounds got past the load and exercised the operations
}

}  // namespace
}  // namespace kivo
