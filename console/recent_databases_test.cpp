// The recent-database list: its rules, its store and the Reopen menu.
#include <gtest/gtest.h>

#include "console/console_test_util.h"
#include "console/main_controller.h"
#include "console/recent_list.h"
#include "console/recording_view_test_util.h"

namespace kartova::testing {
namespace {

using List = std::vector<std::string>;

TEST(RecentListRules, NewPathGoesToTheFrontAndTheSixthDropsTheOldest) {
  List list;
  for (const char* p : {"/a", "/b", "/c", "/d", "/e"}) list = AddToRecentList(list, p);
  EXPECT_EQ(list, (List{"/e", "/d", "/c", "/b", "/a"}));
  list = AddToRecentList(list, "/f");
  EXPECT_EQ(list, (List{"/f", "/e", "/d", "/c", "/b"}));
}

TEST(RecentListRules, KnownPathMovesToTheFrontKeepingItsSpelling) {
  List list{"/e", "/d", "/C/x.kvb", "/b", "/a"};
  EXPECT_EQ(AddToRecentList(list, "/C/x.kvb"), (List{"/C/x.kvb", "/e", "/d", "/b", "/a"}));
  EXPECT_EQ(AddToRecentList(list, "/c/X.KVB"), (List{"/C/x.kvb", "/e", "/d", "/b", "/a"}));
  EXPECT_EQ(AddToRecentList({"/a"}, "/a"), (List{"/a"}));
}

TEST(RecentListRules, CaseIsIgnoredBeyondAscii) {
  EXPECT_TRUE(SamePathIgnoringCase("/\xC3\x81rv\xC3\xADz.kvb",
                                   "/\xC3\xA1RV\xC3\x8DZ.kvb"));  // Árvíz / áRVÍZ
  EXPECT_FALSE(SamePathIgnoringCase("/\xC3\xA1.kvb", "/a.kvb"));
  // Bytes that are no UTF-8 must match exactly; ASCII letters still fold.
  EXPECT_TRUE(SamePathIgnoringCase("/A\xE1.kvb", "/a\xE1.kvb"));
  EXPECT_FALSE(SamePathIgnoringCase("/\xE1.kvb", "/\xC1.kvb"));
  EXPECT_FALSE(SamePathIgnoringCase("/ab", "/abc"));
}

TEST(RecentListRules, AcceleratorMarksAreRemovedFromCaptions) {
  EXPECT_EQ(RemoveAccelerators("&0 /db/a.kvb"), "0 /db/a.kvb");
  EXPECT_EQ(RemoveAccelerators("0 /db/&x.kvb"), "0 /db/x.kvb");
  // A literal ampersand, written doubled in a menu caption, is kept.
  EXPECT_EQ(RemoveAccelerators("0 /db/R&&D.kvb"), "0 /db/R&D.kvb");
  EXPECT_EQ(RemoveAccelerators("0 /db/end&"), "0 /db/end");
  EXPECT_EQ(ReopenCaption(3, "/p"), "3 /p");
}

class RecentDatabases : public ConsoleTest {
 protected:
  void SetUp() override {
    ConsoleTest::SetUp();
    controller_ = std::make_unique<TfmMain>(view_, std::vector<std::string>{}, Environment());
  }
  TRecordingView view_;
  std::unique_ptr<TfmMain> controller_;
};

TEST_F(RecentDatabases, StoreStartsEmptyAndKeepsFiveNewestFirst) {
  TfmMain& c = *controller_;
  EXPECT_TRUE(c.LoadRecentDatabases().empty());
  EXPECT_EQ(c.GetLastDatabaseFile(), "");
  for (const char* p : {"/d/1.kvb", "/d/2.kvb", "/d/3.kvb", "/d/4.kvb", "/d/5.kvb", "/d/6.kvb"}) {
    c.SelectDatabaseFile(p);
  }
  EXPECT_EQ(c.LoadRecentDatabases(),
            (List{"/d/6.kvb", "/d/5.kvb", "/d/4.kvb", "/d/3.kvb", "/d/2.kvb"}));
  EXPECT_EQ(c.GetLastDatabaseFile(), "/d/6.kvb");
}

TEST_F(RecentDatabases, MenuListsTheEntriesAndChecksTheCurrentOne) {
  TfmMain& c = *controller_;
  c.SelectDatabaseFile("/d/a.kvb");
  c.SelectDatabaseFile("/d/b.kvb");
  ASSERT_EQ(view_.reopen_items.size(), 2u);
  EXPECT_EQ(view_.reopen_items[0].caption, "0 /d/b.kvb");
  EXPECT_TRUE(view_.reopen_items[0].checked);
  EXPECT_EQ(view_.reopen_items[1].caption, "1 /d/a.kvb");
  EXPECT_FALSE(view_.reopen_items[1].checked);
  EXPECT_TRUE(view_.reopen_enabled);

  // Selecting the current file again changes nothing.
  view_.log.clear();
  c.SelectDatabaseFile("/d/b.kvb");
  EXPECT_TRUE(view_.log.empty());
}

TEST_F(RecentDatabases, ReopeningTheThirdMovesItToTheFront) {
  TfmMain& c = *controller_;
  for (const char* p : {"/d/1.kvb", "/d/2.kvb", "/d/3.kvb", "/d/4.kvb", "/d/5.kvb"})
    c.SelectDatabaseFile(p);
  ASSERT_EQ(view_.reopen_items.size(), 5u);
  const std::string third = view_.reopen_items[2].caption;
  EXPECT_EQ(third, "2 /d/3.kvb");

  c.ReopenDatabaseItemClick("&" + third);
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), "/d/3.kvb");
  EXPECT_EQ(c.LoadRecentDatabases(),
            (List{"/d/3.kvb", "/d/5.kvb", "/d/4.kvb", "/d/2.kvb", "/d/1.kvb"}));
  EXPECT_EQ(view_.reopen_items.size(), 5u);
  // A failed connect of the reopened file shows nothing.
  EXPECT_TRUE(view_.errors.empty());
}

TEST_F(RecentDatabases, PathInOtherLetterCaseKeepsItsOldSpelling) {
  TfmMain& c = *controller_;
  c.SelectDatabaseFile("/D/Mixed.kvb");
  c.SelectDatabaseFile("/d/other.kvb");
  c.SelectDatabaseFile("/d/MIXED.KVB");
  EXPECT_EQ(c.LoadRecentDatabases(), (List{"/D/Mixed.kvb", "/d/other.kvb"}));
  // The component itself uses the spelling that was chosen.
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), "/d/MIXED.KVB");
  EXPECT_FALSE(view_.reopen_items[0].checked);
}

TEST_F(RecentDatabases, AmpersandsInAPathSurviveTheReopenMenu) {
  TfmMain& c = *controller_;
  c.SelectDatabaseFile("/d/R&D.kvb");
  c.SelectDatabaseFile("/d/other.kvb");
  ASSERT_EQ(view_.reopen_items[1].caption, "1 /d/R&D.kvb");
  // A window shows the caption literally, that is with the "&" doubled.
  c.ReopenDatabaseItemClick("1 /d/R&&D.kvb");
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), "/d/R&D.kvb");
  EXPECT_EQ(c.LoadRecentDatabases().front(), "/d/R&D.kvb");
}

TEST_F(RecentDatabases, UnwritableStoreIsIgnored) {
  // The settings folder is a file, so nothing can be stored there.
  kivo::testing::WriteFileBytes(dir_.file("config"), "not a folder");
  TfmMain& c = *controller_;
  c.SelectDatabaseFile("/d/a.kvb");
  EXPECT_TRUE(c.LoadRecentDatabases().empty());
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), "/d/a.kvb");
  // The menu is built from the list in hand, not from the store.
  ASSERT_EQ(view_.reopen_items.size(), 1u);
}

}  // namespace
}  // namespace kartova::testing
