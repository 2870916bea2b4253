// kvbtool run as a process on containers and directory databases that the
// engine itself made: what info, ls and cat report, what check finds in
// sound and in damaged containers, passwords, and command-line errors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <utility>

#include <sys/stat.h>

#include "platform/little_endian.h"
#include "storage/container/directory.h"
#include "storage/container/free_space.h"
#include "storage/container/page_manager.h"
#include "storage/container/pagybox.h"
#include "testing/test_support.h"
#include "tools/kvbtool_test_support.h"

namespace kivo::testing {
namespace {

constexpr std::int64_t kPartHeader = 280;  // the container stream starts after it

// Little-endian access to a file image.
std::uint32_t GetU32(const std::string& bytes, std::size_t at) {
  return TByteReader(bytes.data(), bytes.size(), at).Read<std::uint32_t>();
}
void PutU32(std::string& bytes, std::size_t at, std::uint32_t v) { StoreLE(bytes.data() + at, v); }

std::string Pattern(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// "label: value" lines of info output.
std::map<std::string, std::string> Fields(const std::string& out) {
  std::map<std::string, std::string> fields;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::size_t value = line.find_first_not_of(' ', colon + 1);
    fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

int LineCount(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

class Kvbtool : public ::testing::Test {
 protected:
  ProcessResult Run(const std::vector<std::string>& args,
                    std::optional<std::string> envPassword = std::nullopt) {
    return RunKvbtool(args, std::move(envPassword), dir_.path());
  }

  // A container with the given files, made through the engine; page size
  // 4096, 8 pages per extent.
  std::string MakeContainer(const std::string& name,
                            const std::vector<std::pair<std::string, std::string>>& files,
                            const std::string& password = "", std::int64_t partSize = -1) {
    const std::string path = dir_.file(name);
    TPagybox box(path, kContainerCreate, false, password, "", "", 4096, 8, partSize);
    for (const auto& [fileName, content] : files) WriteFile(box, fileName, content);
    return path;
  }

  static void WriteFile(TPagybox& box, const std::string& fileName, const std::string& content) {
    const std::size_t slash = fileName.find_last_of('\\');
    if (slash != std::string::npos) {
      ASSERT_TRUE(box.ForceDirectories(fileName.substr(0, slash)));
    }
    const std::int32_t h = box.FileOpen(fileName, kContainerCreate);
    ASSERT_GE(h, 0) << fileName;
    ASSERT_EQ(box.FileWrite(h, content.data(), static_cast<std::int32_t>(content.size())),
              static_cast<std::int32_t>(content.size()));
    box.FileClose(h);
  }

  // The container's stream offset of byte `offset` of page `pageNo`'s data.
  static std::int64_t DataOffset(std::int32_t pageNo, std::int64_t offset = 0) {
    return kPartHeader + std::int64_t{pageNo} * 4096 + 32 + offset;
  }

  TempDir dir_;
};

// ---------------------------------------------------------------- command line

TEST_F(Kvbtool, HelpAndUsageErrors) {
  for (const char* flag : {"--help", "-h", "help"}) {
    ProcessResult r = Run({flag});
    EXPECT_EQ(r.exit_code, 0) << flag;
    for (const char* word : {"info", "ls", "check", "cat", "--password", "KARTOVA_PASSWORD"})
      EXPECT_NE(r.out.find(word), std::string::npos) << flag << " lacks " << word;
  }
  EXPECT_NE(Run({"cat", "--help"}).out.find("kvbtool cat DB NAME"), std::string::npos);

  const std::string db = MakeContainer("u.kvb", {{"a.dat", "x"}});
  const std::string before = ReadFileBytes(db);
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"frobnicate", db},
                                                                {"info"},
                                                                {"info", db, "extra"},
                                                                {"cat", db},
                                                                {"ls", db, "--verbose"},
                                                                {"check", db, "--password"},
                                                                {"-x"}}) {
    ProcessResult r = Run(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.exit_code, 2) << shown;
    EXPECT_TRUE(r.out.empty()) << shown << r.out;
    EXPECT_NE(r.err.find("kvbtool: "), std::string::npos) << shown << r.err;
  }
  EXPECT_EQ(ReadFileBytes(db), before);
}

TEST_F(Kvbtool, FilesThatAreNoContainerFailWithTheEnginesMessage) {
  ProcessResult missing = Run({"info", "nothing.kvb"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("File 'nothing.kvb' not found"), std::string::npos) << missing.err;

  WriteFileBytes(dir_.file("empty.kvb"), "");
  WriteFileBytes(dir_.file("text.kvb"), std::string(5000, 'x'));
  // A part header followed by garbage instead of the container header.
  WriteFileBytes(dir_.file("fake.kvb"),
                 "KRMVHFSS" + std::string(272, '\0') + "KRPGYSGN" + Pattern(600, 9));
  ASSERT_EQ(::mkfifo(dir_.file("pipe.kvb").c_str(), 0600), 0);
  for (const char* name : {"empty.kvb", "text.kvb", "fake.kvb", "pipe.kvb"}) {
    for (const char* command : {"info", "ls", "check"}) {
      ProcessResult r = Run({command, name});
      EXPECT_EQ(r.exit_code, 1) << command << " " << name;
      EXPECT_TRUE(r.out.empty()) << command << " " << name << ": " << r.out;
      EXPECT_EQ(LineCount(r.err), 1) << command << " " << name << ": " << r.err;
    }
  }
}

// ---------------------------------------------------------------- info, ls, cat

TEST_F(Kvbtool, InfoShowsTheHeaderAsStoredOnDisk) {
  const std::string db = MakeContainer("i.kvb", {{"a.dat", Pattern(10000, 1)}, {"b.idx", "x"}});
  const std::string bytes = ReadFileBytes(db);
  ProcessResult r = Run({"info", db});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto f = Fields(r.out);
  auto header = [&](std::size_t off) {
    return std::to_string(static_cast<std::int32_t>(GetU32(bytes, kPartHeader + off)));
  };
  EXPECT_EQ(f["kind"], "single-file container");
  EXPECT_EQ(f["signature"], "KRPGYSGN");
  EXPECT_EQ(f["version"], "2.6");
  EXPECT_EQ(f["page size"], "4096");
  EXPECT_EQ(f["page data size"], "4064");
  EXPECT_EQ(f["extent page count"], "8");
  EXPECT_EQ(f["page count"], header(48));
  EXPECT_EQ(f["GAM page count"], header(28));
  EXPECT_EQ(f["PFS page count"], header(32));
  EXPECT_EQ(f["dir page count"], header(36));
  EXPECT_EQ(f["first dir page"], header(40));
  EXPECT_EQ(f["dir item count"], "2");
  EXPECT_EQ(f["encrypted"], "no");
  EXPECT_EQ(f["part files"], "1");
  EXPECT_EQ(f["stream size"], std::to_string(bytes.size() - kPartHeader));
  // Part size as the part header holds it (offset 8, 64-bit).
  std::uint64_t partSize = GetU32(bytes, 8) | (std::uint64_t{GetU32(bytes, 12)} << 32);
  EXPECT_EQ(f["part size"], std::to_string(partSize));

  // An encrypted container is described without its password.
  const std::string enc = MakeContainer("e.kvb", {{"a.dat", "secret"}}, "pw");
  ProcessResult e = Run({"info", enc});
  ASSERT_EQ(e.exit_code, 0) << e.err;
  EXPECT_EQ(Fields(e.out)["encrypted"], "yes");
  EXPECT_EQ(Fields(e.out)["dir item count"], "1");
}

TEST_F(Kvbtool, MultiPartContainerIsDescribedAndRead) {
  const std::int64_t partSize = 280 + 3 * 4096;  // three pages per part
  const std::string db = MakeContainer("m.kvb", {{"big.bin", Pattern(30000, 2)}}, "", partSize);
  ProcessResult r = Run({"info", db});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto f = Fields(r.out);
  EXPECT_EQ(f["part size"], std::to_string(partSize));
  const int parts = std::stoi(f["part files"]);
  EXPECT_GT(parts, 3);
  EXPECT_EQ(f["part 0"], db);
  for (int i = 1; i < parts; ++i) {
    EXPECT_EQ(f["part " + std::to_string(i)], db + std::to_string(i));
    EXPECT_TRUE(std::filesystem::exists(db + std::to_string(i))) << i;
  }
  EXPECT_FALSE(std::filesystem::exists(db + std::to_string(parts)));
  ProcessResult cat = Run({"cat", db, "big.bin"});
  EXPECT_EQ(cat.exit_code, 0) << cat.err;
  EXPECT_EQ(cat.out, Pattern(30000, 2));
  EXPECT_EQ(Run({"check", db}).out, "ok\n");
}

TEST_F(Kvbtool, LsListsTheDirectoryWithSizesAndUtf8Names) {
  const std::string db = dir_.file("l.kvb");
  {
    TPagybox box(db, kContainerCreate, false, "", "", "", 4096, 8, -1);
    WriteFile(box, "orders.dat", Pattern(5000, 3));
    WriteFile(box, "gone.dat", "to be deleted");
    WriteFile(box, "empty.bif", "");
    WriteFile(box, "sub\\inner.idx", Pattern(9000, 4));
    // "árvíztűrő.dat" as the engine spells names, in Windows-1250.
    WriteFile(box, "\xE1rv\xEDzt\xFBr\xF5.dat", "t\xFCk\xF6r");
    ASSERT_TRUE(box.FileDelete("gone.dat"));
  }
  ProcessResult r = Run({"ls", db});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "             0  empty.bif\n"
            "          5000  orders.dat\n"
            "         <DIR>  sub\n"
            "          9000  sub\\inner.idx\n"
            "             5  árvíztűrő.dat\n");
  // A name typed in UTF-8 finds the file; its bytes come out as stored.
  ProcessResult cat = Run({"cat", db, "árvíztűrő.dat"});
  EXPECT_EQ(cat.exit_code, 0) << cat.err;
  EXPECT_EQ(cat.out, "t\xFCk\xF6r");
}

TEST_F(Kvbtool, CatWritesTheFileBytesExactly) {
  const std::string big = Pattern(3 * 4064 + 17, 6);  // crosses page boundaries
  const std::string db =
      MakeContainer("c.kvb", {{"T.dat", big}, {"empty.dat", ""}, {"sub\\x.bdf", "inner"}});
  ProcessResult r = Run({"cat", db, "T.dat"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, big);
  // Names compare without regard to case; both separators work.
  EXPECT_EQ(Run({"cat", db, "t.DAT"}).out, big);
  EXPECT_EQ(Run({"cat", db, "sub/x.bdf"}).out, "inner");
  EXPECT_EQ(Run({"cat", db, "sub\\x.bdf"}).out, "inner");
  ProcessResult empty = Run({"cat", db, "empty.dat"});
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_TRUE(empty.out.empty());
  for (const char* missing : {"nope.dat", "sub", "sub\\nope", ""}) {
    ProcessResult m = Run({"cat", db, missing});
    EXPECT_EQ(m.exit_code, 1) << missing;
    EXPECT_TRUE(m.out.empty()) << missing;
    EXPECT_EQ(LineCount(m.err), 1) << missing << m.err;
  }
}

TEST_F(Kvbtool, DirectoryDatabase) {
  std::filesystem::create_directory(dir_.file("db"));
  const std::string content = Pattern(70000, 5);
  WriteFileBytes(dir_.file("db/b.bin"), content);
  WriteFileBytes(dir_.file("db/a.idx"), "xy");
  std::filesystem::create_directory(dir_.file("db/sub"));  // not a file of the database
  WriteFileBytes(dir_.file("outside.dat"), "not part of the database");

  auto f = Fields(Run({"info", "db"}).out);
  EXPECT_EQ(f["kind"], "directory database");
  EXPECT_EQ(f["files"], "2");
  EXPECT_EQ(f["bytes in files"], "70002");
  ProcessResult ls = Run({"ls", dir_.file("db")});
  EXPECT_EQ(ls.exit_code, 0) << ls.err;
  EXPECT_EQ(ls.out,
            "             2  a.idx\n"
            "         70000  b.bin\n");
  ProcessResult cat = Run({"cat", "db", "b.bin"});
  EXPECT_EQ(cat.exit_code, 0) << cat.err;
  EXPECT_EQ(cat.out, content);
  EXPECT_EQ(Run({"check", "db"}).out, "ok\n");
  // Only the folder's own files can be read.
  for (const char* name : {"../outside.dat", "missing.dat", "sub", "."}) {
    ProcessResult bad = Run({"cat", "db", name});
    EXPECT_EQ(bad.exit_code, 1) << name;
    EXPECT_TRUE(bad.out.empty()) << name;
  }
}

// ---------------------------------------------------------------- passwords

TEST_F(Kvbtool, PasswordFromTheOptionOrTheEnvironmentOpensAnEncryptedContainer) {
  const std::string content = Pattern(6000, 8);
  const std::string db = MakeContainer("p.kvb", {{"T.bin", content}}, "s3cret");
  // The plain text is not on disk.
  EXPECT_EQ(ReadFileBytes(db).find(content.substr(0, 64)), std::string::npos);
  for (const auto& [args, env] :
       std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>>{
           {{"cat", db, "T.bin", "--password", "s3cret"}, std::nullopt},
           {{"cat", "--password=s3cret", db, "T.bin"}, std::nullopt},
           {{"cat", db, "T.bin"}, "s3cret"},
           {{"cat", db, "T.bin", "--password", "s3cret"}, "wrong"}}) {  // the option wins
    ProcessResult r = Run(args, env);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, content);
  }
  EXPECT_EQ(Run({"check", db}, "s3cret").out, "ok\n");
}

TEST_F(Kvbtool, WrongOrMissingPasswordFailsWithTheEnginesMessage) {
  const std::string db = MakeContainer("w.kvb", {{"T.dat", "data"}}, "right");
  const std::string message =
      "TPagybox.Create - invalid password specified, file name = \"" + db + "\"";
  const std::string before = ReadFileBytes(db);
  for (const auto& [args, env] :
       std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>>{
           {{"check", db, "--password", "wrong"}, std::nullopt},
           {{"ls", db, "--password", "wrong"}, std::nullopt},
           {{"cat", db, "T.dat", "--password", "Right"}, std::nullopt},
           {{"check", db}, std::nullopt},
           {{"check", db}, "wrong"}}) {
    ProcessResult r = Run(args, env);
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_EQ(r.err, "kvbtool: " + message + "\n");
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_EQ(ReadFileBytes(db), before);
}

TEST_F(Kvbtool, AFileWithItsOwnPasswordNeedsIt) {
  const std::string db = dir_.file("own.kvb");
  const std::string content = Pattern(5000, 10);
  {
    TPagybox box(db, kContainerCreate, false, "", "", "", 4096, 8, -1);
    const std::int32_t h = box.FileOpen("locked.dat", kContainerCreate, "filepw");
    ASSERT_GE(h, 0);
    ASSERT_EQ(box.FileWrite(h, content.data(), 5000), 5000);
    box.FileClose(h);
  }
  // The container itself is open to anyone; the file is not.
  EXPECT_EQ(Run({"ls", db}).exit_code, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"cat", db, "locked.dat"},
        std::vector<std::string>{"cat", db, "locked.dat", "--password", "nope"}}) {
    ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("locked.dat"), std::string::npos) << r.err;
  }
  ProcessResult right = Run({"cat", db, "locked.dat"}, "filepw");
  EXPECT_EQ(right.exit_code, 0) << right.err;
  EXPECT_EQ(right.out, content);
}

// ---------------------------------------------------------------- check

TEST_F(Kvbtool, CheckPassesFreshAndWorkedContainers) {
  ProcessResult fresh = Run({"check", MakeContainer("fresh.kvb", {})});
  EXPECT_EQ(fresh.exit_code, 0) << fresh.out << fresh.err;
  EXPECT_EQ(fresh.out, "ok\n");

  // A workload: files grow over two map pages and shrink again, are deleted
  // and their pages reused, directories nest, the directory takes several pages.
  const std::string db = dir_.file("work.kvb");
  {
    TPagybox box(db, kContainerCreate, false, "", "", "", 4096, 8, -1);
    for (int i = 0; i < 20; ++i)
      WriteFile(box, "f" + std::to_string(i) + ".bin", Pattern(1000 * i + 1, i));
    WriteFile(box, "huge.bin", Pattern(1100 * 4064, 99));
    for (int i = 0; i < 20; i += 3) ASSERT_TRUE(box.FileDelete("f" + std::to_string(i) + ".bin"));
    WriteFile(box, "d1\\d2\\deep.idx", Pattern(20000, 100));
    const std::int32_t h = box.FileOpen("huge.bin", kOpenReadWrite);
    ASSERT_GE(h, 0);
    ASSERT_EQ(box.FileSetSize(h, 5000), 5000);
    box.FileClose(h);
    WriteFile(box, "after.bin", Pattern(50000, 101));
  }
  ProcessResult w = Run({"check", db});
  EXPECT_EQ(w.exit_code, 0) << w.out << w.err;
  EXPECT_EQ(w.out, "ok\n");
  EXPECT_EQ(Run({"cat", db, "after.bin"}).out, Pattern(50000, 101));
}

class KvbtoolDamage : public Kvbtool {
 protected:
  struct Layout {
    std::int32_t pageCount = 0;
    std::vector<std::int32_t> dataPages;  // of "T.bin"
    std::int32_t firstMapPage = -1;       // of "T.bin"
    std::int32_t freePage = -1;           // a free page inside the extents
    std::int32_t pfsPage = -1;
  };

  // A container with a few files and a hole of free pages, and where the
  // engine put things.
  void SetUp() override {
    db_ = dir_.file("d.kvb");
    {
      TPagybox box(db_, kContainerCreate, false, "", "", "", 4096, 8, -1);
      WriteFile(box, "gap.bin", Pattern(4 * 4064, 1));
      WriteFile(box, "T.bin", Pattern(5 * 4064, 2));
      WriteFile(box, "U.idx", Pattern(2 * 4064, 3));
      ASSERT_TRUE(box.FileDelete("gap.bin"));
    }
    TPagybox box(db_, kOpenReadOnly, false, "", "", "", 4096, 8, -1);
    layout_.pageCount = box.PageManager().PageCount();
    const std::int32_t item = box.Directory().FindPath("T.bin");
    ASSERT_GE(item, 0);
    layout_.firstMapPage = box.Directory().ReadItem(item).FirstMapPageNo;
    ASSERT_GT(layout_.firstMapPage, 0);
    // The map page lists the data pages.
    TPageRecBuffer map(box.PageManager().PageDataSize());
    ASSERT_TRUE(box.PageManager().ReadPage(map.rec, layout_.firstMapPage));
    for (int j = 0; j < 5; ++j) {
      std::int32_t p;
      std::memcpy(&p, map.data() + 4 * j, 4);
      layout_.dataPages.push_back(p);
    }
    for (std::int32_t p = 1; p < layout_.pageCount && layout_.freePage < 0; ++p)
      if (box.FreeSpaceManager().PageIsFree(p)) layout_.freePage = p;
    ASSERT_GT(layout_.freePage, 0) << "the deleted file left no hole";
    layout_.pfsPage = box.FreeSpaceManager().PFSPageNumbers().at(0);
    bytes_ = ReadFileBytes(db_);
  }

  // Runs check on the damaged image; it must find something and say what.
  ProcessResult CheckDamaged(const std::string& image) {
    WriteFileBytes(db_, image);
    ProcessResult r = Run({"check", db_});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.out.find("ok\n"), std::string::npos) << r.out;
    EXPECT_FALSE(r.out.empty() && r.err.empty());
    return r;
  }

  // Flips bit `bit` of data byte `offset` of page `pageNo` and keeps the
  // page's XOR checksum right, so that only the meaning of the bit changed.
  void FlipDataBitKeepingChecksum(std::string& image, std::int32_t pageNo, std::int64_t offset,
                                  int bit) {
    image[DataOffset(pageNo, offset)] ^= static_cast<char>(1 << bit);
    const std::size_t checksumByte = kPartHeader + std::int64_t{pageNo} * 4096 + 4 + offset % 4;
    image[checksumByte] ^= static_cast<char>(1 << bit);
  }

  std::string db_;
  Layout layout_;
  std::string bytes_;
};

TEST_F(KvbtoolDamage, UntouchedImageChecksOk) {
  ProcessResult r = Run({"check", db_});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "ok\n");
}

TEST_F(KvbtoolDamage, FlippedBytesInADataPageAreFound) {
  std::string image = bytes_;
  const std::int32_t page = layout_.dataPages[2];
  image[DataOffset(page, 100)] ^= 0x5A;
  ProcessResult r = CheckDamaged(image);
  EXPECT_NE(r.out.find(std::to_string(page)), std::string::npos) << r.out;
  EXPECT_EQ(LineCount(r.out), 1) << r.out;
  // cat of the damaged file fails without writing a partial file as if whole.
  ProcessResult cat = Run({"cat", db_, "T.bin"});
  EXPECT_EQ(cat.exit_code, 1);
  EXPECT_LT(cat.out.size(), 5u * 4064);
  // The undamaged file still reads.
  EXPECT_EQ(Run({"cat", db_, "U.idx"}).out, Pattern(2 * 4064, 3));
}

TEST_F(KvbtoolDamage, BitmapBitsThatDisagreeWithUseAreFound) {
  // PFS bit of page p is bit p - 1 of the PFS bitmap; 1 = free. Clearing it
  // for a free page claims a page nobody uses; setting it for a data page
  // offers a page that is in use.
  for (const auto& [page, wasFree] :
       {std::pair{layout_.freePage, true}, std::pair{layout_.dataPages[0], false}}) {
    std::string image = bytes_;
    const std::int64_t index = page - 1;
    ASSERT_EQ((image[DataOffset(layout_.pfsPage, index / 8)] & (1 << (index % 8))) != 0, wasFree);
    FlipDataBitKeepingChecksum(image, layout_.pfsPage, index / 8, static_cast<int>(index % 8));
    ProcessResult r = CheckDamaged(image);
    EXPECT_NE(r.out.find(std::to_string(page)), std::string::npos) << r.out;
  }
}

TEST_F(KvbtoolDamage, MapEntryPointingAtAFreePageIsFound) {
  std::string image = bytes_;
  // Entry 1 of T.bin's first map page, rewritten with its checksum fixed.
  const std::size_t entry = DataOffset(layout_.firstMapPage, 4);
  const std::uint32_t old = GetU32(image, entry);
  const auto wanted = static_cast<std::uint32_t>(layout_.freePage);
  PutU32(image, entry, wanted);
  const std::size_t checksum = kPartHeader + std::int64_t{layout_.firstMapPage} * 4096 + 4;
  PutU32(image, checksum, GetU32(image, checksum) ^ old ^ wanted);
  ProcessResult r = CheckDamaged(image);
  EXPECT_NE(r.out.find(std::to_string(layout_.freePage)), std::string::npos) << r.out;
}

TEST_F(KvbtoolDamage, DamagedHeaderIsReportedWithTheEnginesMessage) {
  std::string image = bytes_;
  image[kPartHeader + 48] ^= 0x01;  // PageCount, checksum left stale
  WriteFileBytes(db_, image);
  for (const char* command : {"info", "ls", "check"}) {
    ProcessResult r = Run({command, db_});
    EXPECT_EQ(r.exit_code, 1) << command;
    EXPECT_NE(r.err.find("TPagybox.LoadHeader - Invalid Pagy file, header is corrupted."),
              std::string::npos)
        << command << ": " << r.err;
  }
}

// Seeded random damage: whatever is hit, every command ends with 0 or 1 and
// says why when it fails, and check notices most of the damage (a hit in
// bytes that nothing uses may pass).
TEST_F(KvbtoolDamage, RandomDamageNeverCrashesOrHangs) {
  std::mt19937 rng(20240611);
  const std::int64_t pages = static_cast<std::int64_t>(bytes_.size() - kPartHeader) / 4096;
  int found = 0;
  constexpr int kRounds = 240;
  for (int round = 0; round < kRounds; ++round) {
    std::string image = bytes_;
    const int kind = round % 4;
    if (kind == 0) {
      // A burst of bytes anywhere after the part header.
      const std::size_t at = kPartHeader + rng() % (image.size() - kPartHeader);
      const std::size_t end = std::min<std::size_t>(image.size(), at + 1 + rng() % 16);
      for (std::size_t i = at; i < end; ++i) image[i] = static_cast<char>(rng());
    } else if (kind == 1) {
      // One 32-bit word of a page header or of the first data words.
      const std::int64_t page = 1 + static_cast<std::int64_t>(rng() % (pages - 1));
      const std::size_t at = kPartHeader + page * 4096 + 4 * (rng() % 16);
      PutU32(image, at, static_cast<std::uint32_t>(rng()));
    } else if (kind == 2) {
      // A header field, checksum made right again, so the engine has to live with it.
      const std::size_t field = 16 + 4 * (rng() % 9);
      PutU32(
          image, kPartHeader + field,
          rng() % 2 ? static_cast<std::uint32_t>(rng()) : static_cast<std::uint32_t>(rng() % 64));
      std::uint32_t x = 0;
      for (int w = 12; w < 256; w += 4) x ^= GetU32(image, kPartHeader + w);
      PutU32(image, kPartHeader + 8, x);
    } else {
      // The file cut short.
      image.resize(kPartHeader + rng() % (image.size() - kPartHeader));
    }
    WriteFileBytes(db_, image);
    ProcessResult check = Run({"check", db_});
    ASSERT_EQ(check.signal, 0) << "round " << round;
    ASSERT_TRUE(check.exit_code == 0 || check.exit_code == 1)
        << "round " << round << " exit " << check.exit_code << "\n"
        << check.err;
    if (check.exit_code == 1) {
      ++found;
      EXPECT_FALSE(check.out.empty() && check.err.empty()) << round;
    } else {
      EXPECT_EQ(check.out, "ok\n") << round;
    }
    // Every third image also goes through one of the other commands, in turn.
    if (round % 3 != 0) continue;
    const std::vector<std::vector<std::string>> others = {
        {"ls", db_}, {"info", db_}, {"cat", db_, "T.bin"}};
    const auto& args = others[(round / 3) % 3];
    ProcessResult other = Run(args);
    ASSERT_EQ(other.signal, 0) << "round " << round << " " << args[0];
    ASSERT_TRUE(other.exit_code == 0 || other.exit_code == 1)
        << "round " << round << " " << args[0] << " exit " << other.exit_code << "\n"
        << other.err;
  }
  // Most damage lands in used pages or the header and must be noticed.
  EXPECT_GT(found, kRounds / 2);
}

}  // namespace
}  // namespace kivo::testing
