#include "platform/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "platform/file_util.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using kivo::testing::ReadFileBytes;
using kivo::testing::TempDir;
using kivo::testing::WriteFileBytes;

TEST(IniFileTest, ReadsSectionsAndKeys) {
  TempDir tmp;
  const std::string path = tmp.file("krtcon.ini");
  WriteFileBytes(path,
                 "\xEF\xBB\xBF; comment\r\n"
                 "[Navigator]\r\n"
                 "  Javit = 1 \r\n"
                 "# javit=2\r\n"
                 "empty=\r\n"
                 "eq=a=b\r\n"
                 "[ other ]\r\n"
                 "javit=3\r\n");
  const TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("navigator", "javit", "d"), " 1 ");
  EXPECT_EQ(ini.ReadString("NAVIGATOR", "JAVIT", "d"), " 1 ");
  EXPECT_EQ(ini.ReadString("navigator", "empty", "d"), "");
  EXPECT_EQ(ini.ReadString("navigator", "eq", "d"), "a=b");
  EXPECT_EQ(ini.ReadString("other", "javit", "d"), "3");
  EXPECT_EQ(ini.ReadString("navigator", "missing", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("nosuch", "javit", "dflt"), "dflt");
  EXPECT_TRUE(ini.SectionExists("Other"));
  EXPECT_FALSE(ini.SectionExists("nosuch"));
  EXPECT_TRUE(ini.ValueExists("navigator", "empty"));
  EXPECT_FALSE(ini.ValueExists("navigator", "# javit"));
}

TEST(IniFileTest, OddFilesGiveDefaults) {
  TempDir tmp;
  EXPECT_EQ(TIniFile(tmp.file("missing.ini")).ReadString("s", "k", "d"), "d");
  EXPECT_EQ(TIniFile("").ReadString("s", "k", "d"), "d");
  EXPECT_EQ(TIniFile(tmp.path()).ReadString("s", "k", "d"), "d");  // a directory
  WriteFileBytes(tmp.file("empty.ini"), "");
  EXPECT_EQ(TIniFile(tmp.file("empty.ini")).ReadString("s", "k", "d"), "d");
  // Keys before any section belong to none.
  WriteFileBytes(tmp.file("nosection.ini"), "k=v\n");
  EXPECT_EQ(TIniFile(tmp.file("nosection.ini")).ReadString("", "k", "d"), "d");
  // Binary junk, unterminated sections and a last line without a line end.
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) % 256);
  WriteFileBytes(tmp.file("junk.ini"), junk + "\n[s\n[s]\nk=v");
  const TIniFile ini(tmp.file("junk.ini"));
  EXPECT_EQ(ini.ReadString("s", "k", "d"), "v");
  EXPECT_EQ(ini.ReadString("x", "k", "d"), "d");
  // The first of duplicate keys wins, also across repeated sections.
  WriteFileBytes(tmp.file("dup.ini"), "[a]\nk=1\nk=2\n[b]\n[A]\nk=3\nj=4\n");
  const TIniFile dup(tmp.file("dup.ini"));
  EXPECT_EQ(dup.ReadString("a", "k", "d"), "1");
  EXPECT_EQ(dup.ReadString("a", "j", "d"), "4");
  // An unreadable file.
  WriteFileBytes(tmp.file("locked.ini"), "[s]\nk=v\n");
  ASSERT_EQ(::chmod(tmp.file("locked.ini").c_str(), 0), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(TIniFile(tmp.file("locked.ini")).ReadString("s", "k", "d"), "d");
  }
}

// Points XDG_CONFIG_HOME (and HOME) at a temporary directory for one test.
class RecentStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
      const char* v = std::getenv(name);
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
    }
    setenv("XDG_CONFIG_HOME", tmp_.file("config").c_str(), 1);
    setenv("HOME", tmp_.file("home").c_str(), 1);
  }
  void TearDown() override {
    const char* names[] = {"XDG_CONFIG_HOME", "HOME"};
    for (std::size_t i = 0; i < 2; ++i) {
      if (saved_[i]) {
        setenv(names[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(names[i]);
      }
    }
  }
  TempDir tmp_;
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(RecentStoreTest, PathsFollowXdgAndHome) {
  EXPECT_EQ(KrtconConfigDirectory(), tmp_.file("config") + "/krtcon");
  EXPECT_EQ(RecentIniPath(), tmp_.file("config") + "/krtcon/recent.ini");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(KrtconConfigDirectory(), tmp_.file("home") + "/.config/krtcon");
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);
  EXPECT_EQ(KrtconConfigDirectory(), tmp_.file("home") + "/.config/krtcon");
  unsetenv("HOME");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(RecentIniPath(), "");
  EXPECT_TRUE(LoadRecent().empty());
  EXPECT_FALSE(SaveRecent({"/x.kvb"}));
}

TEST_F(RecentStoreTest, KrtconIniBesideProgramOrInConfig) {
  const std::string beside = ProgramDirectory() + "krtcon.ini";
  ASSERT_FALSE(FileExists(beside));
  EXPECT_EQ(KrtconIniPath(), tmp_.file("config") + "/krtcon/krtcon.ini");
}

TEST_F(RecentStoreTest, RoundTripCreatesTheFolder) {
  EXPECT_TRUE(LoadRecent().empty());
  const std::vector<std::string> list = {"/d/a.kvb", "/d/b b.kvb", " /d/spaced.kvb ",
                                         "/d/\xE1rv\xEDz.kvb"};
  ASSERT_TRUE(SaveRecent(list));
  EXPECT_TRUE(DirectoryExists(tmp_.file("config") + "/krtcon"));
  EXPECT_EQ(LoadRecent(), list);
  EXPECT_EQ(ReadFileBytes(RecentIniPath()),
            "[KRTCON]\nFile0=/d/a.kvb\nFile1=/d/b b.kvb\nFile2= /d/spaced.kvb \n"
            "File3=/d/\xE1rv\xEDz.kvb\n");
}

TEST_F(RecentStoreTest, ValuesBeyondTheListAreKept) {
  ASSERT_TRUE(SaveRecent({"1", "2", "3", "4", "5", "6-ignored"}));
  EXPECT_EQ(LoadRecent(), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  ASSERT_TRUE(SaveRecent({"x", "y"}));
  // File2..File4 are left as they were.
  EXPECT_EQ(LoadRecent(), (std::vector<std::string>{"x", "y", "3", "4", "5"}));
  ASSERT_TRUE(SaveRecent({}));
  EXPECT_EQ(LoadRecent(), (std::vector<std::string>{"x", "y", "3", "4", "5"}));
}

TEST_F(RecentStoreTest, LoadStopsAtTheFirstGapAndKeepsOtherLines) {
  ASSERT_EQ(::mkdir(tmp_.file("config").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((tmp_.file("config") + "/krtcon").c_str(), 0700), 0);
  WriteFileBytes(RecentIniPath(),
                 "; kept\r\n[other]\r\nFile0=elsewhere\r\n[krtcon]\r\nfile0=/a\r\nFile2=/c\r\n"
                 "\r\n[tail]\r\nx=1\r\n");
  EXPECT_EQ(LoadRecent(), (std::vector<std::string>{"/a"}));
  ASSERT_TRUE(SaveRecent({"/n0", "/n1"}));
  EXPECT_EQ(LoadRecent(), (std::vector<std::string>{"/n0", "/n1", "/c"}));
  const TIniFile ini(RecentIniPath());
  EXPECT_EQ(ini.ReadString("other", "File0", ""), "elsewhere");
  EXPECT_EQ(ini.ReadString("tail", "x", ""), "1");
  EXPECT_NE(ReadFileBytes(RecentIniPath()).find("; kept"), std::string::npos);
  // An empty value ends the list like a missing one.
  ASSERT_TRUE(SaveRecent({"/n0", ""}));
  EXPECT_EQ(LoadRecent(), (std::vector<std::string>{"/n0"}));
}

TEST_F(RecentStoreTest, UnusableFolderGivesEmptyListAndNoWrite) {
  // The configuration folder's place is taken by a file.
  WriteFileBytes(tmp_.file("config"), "not a directory");
  EXPECT_TRUE(LoadRecent().empty());
  EXPECT_FALSE(SaveRecent({"/a"}));
  EXPECT_EQ(ReadFileBytes(tmp_.file("config")), "not a directory");
  // A line break cannot be stored in an ini value: nothing is written.
  setenv("XDG_CONFIG_HOME", tmp_.file("cfg2").c_str(), 1);
  EXPECT_FALSE(SaveRecent({"/a", "/b\nFile0=/evil"}));
  EXPECT_FALSE(FileExists(RecentIniPath()));
  // A folder without write permission (not enforced for root).
  ASSERT_TRUE(SaveRecent({"/a"}));
  ASSERT_EQ(::chmod((tmp_.file("cfg2") + "/krtcon").c_str(), 0500), 0);
  if (::geteuid() != 0) {
    EXPECT_FALSE(SaveRecent({"/b"}));
    EXPECT_EQ(LoadRecent(), (std::vector<std::string>{"/a"}));
  }
}

}  // namespace
}  // namespace kivo
