#include "dataset/dataset.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dataset/data_link.h"
#include "dataset/test_memory_dataset.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TMemoryDataSet;

TFieldDefs PeopleDefs() {
  TFieldDefs defs;
  defs.Add("NAME", ftString, 20, true);
  defs.Add("AMOUNT", ftFloat);
  return defs;
}

// A link that writes what it is told into a shared log.
class RecordingLink : public TDataLink {
 public:
  explicit RecordingLink(std::vector<std::string>& log) : log_(log) {}
  std::string pending;  // written into NAME by UpdateData when not empty

 protected:
  void ActiveChanged() override { log_.push_back(Active() ? "link:active" : "link:inactive"); }
  void DataSetChanged() override { log_.push_back("link:changed"); }
  void DataSetScrolled(int distance) override {
    log_.push_back("link:scrolled " + std::to_string(distance));
  }
  void RecordChanged(TField* field) override {
    log_.push_back("link:record " + (field ? field->FieldName() : std::string("*")));
  }
  void EditingChanged() override { log_.push_back(Editing() ? "link:editing" : "link:browsing"); }
  void UpdateData() override {
    log_.push_back("link:update");
    if (!pending.empty()) DataSet()->FieldByName("NAME").SetAsString(pending);
    pending.clear();
  }
  void CheckBrowseMode() override { log_.push_back("link:check"); }

 private:
  std::vector<std::string>& log_;
};

class DataSetTest : public ::testing::Test {
 protected:
  DataSetTest() : ds(PeopleDefs()) {}

  void AddRows(const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      ds.Append();
      ds.FieldByName("NAME").SetAsString(names[i]);
      ds.FieldByName("AMOUNT").SetAsFloat(static_cast<double>(i + 1));
      ds.Post();
    }
  }

  std::string Name() { return ds.FieldByName("NAME").AsString(); }

  // Hooks every data set event into the log.
  void LogEvents() {
    auto hook = [this](TDataSet::TDataSetNotify& event, const std::string& name) {
      event = [this, name](TDataSet&) { log.push_back(name); };
    };
    hook(ds.BeforeOpen, "BeforeOpen");
    hook(ds.AfterOpen, "AfterOpen");
    hook(ds.BeforeClose, "BeforeClose");
    hook(ds.AfterClose, "AfterClose");
    hook(ds.BeforeInsert, "BeforeInsert");
    hook(ds.AfterInsert, "AfterInsert");
    hook(ds.BeforeEdit, "BeforeEdit");
    hook(ds.AfterEdit, "AfterEdit");
    hook(ds.BeforePost, "BeforePost");
    hook(ds.AfterPost, "AfterPost");
    hook(ds.BeforeCancel, "BeforeCancel");
    hook(ds.AfterCancel, "AfterCancel");
    hook(ds.BeforeDelete, "BeforeDelete");
    hook(ds.AfterDelete, "AfterDelete");
    hook(ds.BeforeScroll, "BeforeScroll");
    hook(ds.AfterScroll, "AfterScroll");
    hook(ds.BeforeRefresh, "BeforeRefresh");
    hook(ds.AfterRefresh, "AfterRefresh");
    hook(ds.OnNewRecord, "OnNewRecord");
  }

  std::vector<std::string> log;
  TMemoryDataSet ds;
};

// ---------------------------------------------------------------------------
// Opening and closing

TEST_F(DataSetTest, OpenAndCloseRunTheProtocolAndEvents) {
  LogEvents();
  ds.Open();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_TRUE(ds.DefaultFields());
  ASSERT_EQ(ds.Fields().Count(), 2);
  EXPECT_EQ(ds.Fields()[1].FieldNo(), 2);
  EXPECT_TRUE(ds.Fields()[0].Required());
  ds.Close();
  EXPECT_EQ(ds.State(), dsInactive);
  EXPECT_EQ(ds.Fields().Count(), 0) << "default fields go with the close";
  // An empty data set fires no AfterScroll on open.
  EXPECT_EQ(log,
            (std::vector<std::string>{"BeforeOpen", "AfterOpen", "BeforeClose", "AfterClose"}));
  EXPECT_EQ(ds.calls.front(), "InternalOpen");
  EXPECT_EQ(ds.calls.back(), "InternalClose");
}

TEST_F(DataSetTest, OpenGoesToTheFirstRecord) {
  ds.Open();
  AddRows({"a", "b"});
  ds.Close();
  ds.Open();
  EXPECT_EQ(Name(), "a");
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
}

TEST_F(DataSetTest, FailedOpenLeavesTheDataSetClosed) {
  ds.fail_open = true;
  LogEvents();
  EXPECT_EQ(MessageOf([&] { ds.Open(); }), "cannot open");
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(log, std::vector<std::string>{"BeforeOpen"});
  ds.fail_open = false;
  ds.Open();
  EXPECT_TRUE(ds.Active());
}

TEST_F(DataSetTest, ClosedDataSetRefusesOperations) {
  const std::string closed = "Cannot perform this operation on a closed dataset";
  EXPECT_EQ(MessageOf([&] { ds.First(); }), closed);
  EXPECT_EQ(MessageOf([&] { ds.Edit(); }), closed);
  EXPECT_EQ(MessageOf([&] { ds.Insert(); }), closed);
  EXPECT_EQ(MessageOf([&] { ds.Delete(); }), closed);
  EXPECT_EQ(MessageOf([&] { ds.RecordCount(); }), closed);
}

TEST_F(DataSetTest, PersistentFieldsAreBoundByNameAndStay) {
  TField& amount = ds.Fields().Add(std::make_unique<TField>("amount", ftFloat));
  auto calc = std::make_unique<TField>("DOUBLE", ftFloat, 0, fkCalculated);
  ds.Fields().Add(std::move(calc));
  ds.Open();
  EXPECT_FALSE(ds.DefaultFields());
  EXPECT_EQ(amount.FieldNo(), 2);
  EXPECT_EQ(ds.FindField("double")->FieldNo(), 0);
  EXPECT_EQ(ds.CalcFieldsSize(), 9);
  EXPECT_EQ(ds.FindField("NAME"), nullptr) << "no default fields beside persistent ones";
  ds.Close();
  EXPECT_EQ(ds.Fields().Count(), 2);
  EXPECT_EQ(amount.FieldNo(), 0);
}

TEST_F(DataSetTest, UnknownOrMistypedPersistentFieldFailsTheOpen) {
  TField& wrong = ds.Fields().Add(std::make_unique<TField>("NOPE", ftInteger));
  EXPECT_EQ(MessageOf([&] { ds.Open(); }), "Field 'NOPE' not found");
  EXPECT_FALSE(ds.Active());
  ds.Fields().Remove(&wrong);
  ds.Fields().Add(std::make_unique<TField>("AMOUNT", ftInteger));
  EXPECT_EQ(MessageOf([&] { ds.Open(); }), "Type mismatch for field 'AMOUNT'");
  EXPECT_FALSE(ds.Active());
}

TEST_F(DataSetTest, FieldByNameIgnoresCaseAndNamesTheMissingField) {
  ds.Open();
  EXPECT_EQ(&ds.FieldByName("name"), ds.FindField("NAME"));
  EXPECT_EQ(MessageOf([&] { ds.FieldByName("Missing"); }), "Field 'Missing' not found");
}

// ---------------------------------------------------------------------------
// Navigation

TEST_F(DataSetTest, NavigationStopsAtBothEndsOnTheLastValidRecord) {
  ds.Open();
  AddRows({"a", "b", "c"});
  ds.First();
  EXPECT_TRUE(ds.Bof());
  ds.Prior();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(Name(), "a");
  ds.Next();
  ds.Next();
  EXPECT_EQ(Name(), "c");
  EXPECT_FALSE(ds.Eof());
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Name(), "c");
  ds.Prior();
  EXPECT_FALSE(ds.Eof());
  EXPECT_FALSE(ds.Bof());
  EXPECT_EQ(Name(), "b");
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Name(), "c");
  ds.First();
  EXPECT_EQ(Name(), "a");
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(ds.RecordCount(), 3);
}

TEST_F(DataSetTest, EmptyDataSetIsAtBothEnds) {
  ds.Open();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.MoveBy(1), 0);
  ds.Last();
  EXPECT_TRUE(ds.Bof() && ds.Eof());
  EXPECT_TRUE(ds.FieldByName("NAME").IsNull());
  EXPECT_EQ(MessageOf([&] { ds.Delete(); }), "Cannot perform this operation on an empty dataset");
  ds.Edit();
  EXPECT_EQ(ds.State(), dsInsert) << "Edit on an empty data set inserts";
  EXPECT_FALSE(ds.IsEmpty());
}

TEST_F(DataSetTest, MoveByReturnsTheDistanceMoved) {
  ds.Open();
  AddRows({"a", "b", "c", "d"});
  ds.First();
  EXPECT_EQ(ds.MoveBy(2), 2);
  EXPECT_EQ(Name(), "c");
  EXPECT_EQ(ds.MoveBy(10), 1);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.MoveBy(1), 0);
  EXPECT_EQ(ds.MoveBy(-10), -3);
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(Name(), "a");
  EXPECT_EQ(ds.MoveBy(0), 0);
}

TEST_F(DataSetTest, SetRecNoMovesToTheNumberedRecord) {
  ds.Open();
  AddRows({"a", "b", "c"});
  ds.SetRecNo(2);
  EXPECT_EQ(Name(), "b");
  EXPECT_EQ(ds.RecNo(), 2);
  ds.SetRecNo(7);
  EXPECT_EQ(Name(), "b");
}

TEST_F(DataSetTest, FilterEventHidesRecords) {
  ds.Open();
  AddRows({"a", "b", "c"});
  ds.OnFilterRecord = [](TDataSet& d, bool& accept) {
    accept = d.FieldByName("NAME").AsString() != "b";
  };
  ds.SetFiltered(true);
  ds.First();
  ds.Next();
  EXPECT_EQ(Name(), "c");
  ds.Prior();
  EXPECT_EQ(Name(), "a");
}

// ---------------------------------------------------------------------------
// Bookmarks

TEST_F(DataSetTest, BookmarksRoundTrip) {
  ds.Open();
  EXPECT_TRUE(ds.GetBookmark().empty());
  AddRows({"a", "b", "c"});
  ds.First();
  ds.Next();
  const TBookmark b = ds.GetBookmark();
  ASSERT_EQ(b.size(), 4u);
  ds.Last();
  const TBookmark c = ds.GetBookmark();
  ds.GotoBookmark(b);
  EXPECT_EQ(Name(), "b");
  EXPECT_FALSE(ds.Eof());
  EXPECT_TRUE(ds.BookmarkValid(b.data()));
  EXPECT_LT(ds.CompareBookmarks(b.data(), c.data()), 0);
  EXPECT_GT(ds.CompareBookmarks(c.data(), b.data()), 0);
  EXPECT_LT(ds.CompareBookmarks(nullptr, b.data()), 0);
  EXPECT_EQ(ds.CompareBookmarks(nullptr, nullptr), 0);
  ds.GotoBookmark({});
  EXPECT_EQ(Name(), "b");
}

TEST_F(DataSetTest, BookmarkOfADeletedRecordIsNotFound) {
  ds.Open();
  AddRows({"a", "b", "c"});
  ds.Last();
  const TBookmark c = ds.GetBookmark();
  ds.Delete();
  ds.First();
  EXPECT_FALSE(ds.BookmarkValid(c.data()));
  EXPECT_EQ(MessageOf([&] { ds.GotoBookmark(c); }), "Record not found");
  EXPECT_EQ(Name(), "a");
  ds.Next();
  EXPECT_EQ(Name(), "b") << "the storage position went back to the shown record";
  EXPECT_EQ(MessageOf([&] { ds.GotoBookmark(TBookmark{1}); }), "Record not found");
}

// ---------------------------------------------------------------------------
// Editing

TEST_F(DataSetTest, InsertAndPostFireEventsInOrderAndShowTheNewRecord) {
  ds.Open();
  AddRows({"a"});
  LogEvents();
  ds.Insert();
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_TRUE(ds.FieldByName("NAME").IsNull());
  ds.FieldByName("NAME").SetAsString("new");
  EXPECT_TRUE(ds.Modified());
  ds.Post();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_FALSE(ds.Modified());
  EXPECT_EQ(Name(), "new");
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(log,
            (std::vector<std::string>{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert",
                                      "AfterScroll", "BeforePost", "AfterPost"}));
}

TEST_F(DataSetTest, OnNewRecordValuesDoNotCountAsModifications) {
  ds.Open();
  ds.OnNewRecord = [](TDataSet& d) { d.FieldByName("AMOUNT").SetAsFloat(7); };
  ds.Insert();
  EXPECT_FALSE(ds.Modified());
  EXPECT_EQ(ds.FieldByName("AMOUNT").AsFloat(), 7);
}

TEST_F(DataSetTest, CancelOfAnInsertRestoresThePreviousRecord) {
  ds.Open();
  AddRows({"a", "b", "c"});
  ds.First();
  ds.Next();
  LogEvents();
  ds.Insert();
  ds.FieldByName("NAME").SetAsString("zzz");
  ds.Cancel();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Name(), "b");
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(log.back(), "AfterCancel");
  ds.Next();
  EXPECT_EQ(Name(), "c");
  ds.Append();
  ds.Cancel();
  EXPECT_EQ(Name(), "c");
  EXPECT_FALSE(ds.Eof());
  ds.Prior();
  EXPECT_EQ(Name(), "b");
}

TEST_F(DataSetTest, CancelOfAnInsertIntoAnEmptySetLeavesItEmpty) {
  ds.Open();
  ds.Insert();
  ds.Cancel();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Bof() && ds.Eof());
}

TEST_F(DataSetTest, EditPostAndCancel) {
  ds.Open();
  AddRows({"a", "b"});
  ds.First();
  LogEvents();
  ds.Edit();
  EXPECT_EQ(ds.State(), dsEdit);
  ds.FieldByName("NAME").SetAsString("x");
  ds.Cancel();
  EXPECT_EQ(Name(), "a");
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("y");
  ds.Post();
  EXPECT_EQ(Name(), "y");
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.Next();
  ds.Prior();
  EXPECT_EQ(Name(), "y");
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel",
                                           "BeforeEdit", "AfterEdit", "BeforePost", "AfterPost",
                                           "BeforeScroll", "AfterScroll", "BeforeScroll",
                                           "AfterScroll"}));
}

TEST_F(DataSetTest, FailedPostKeepsTheEditState) {
  ds.Open();
  AddRows({"a"});
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("b");
  ds.fail_post = true;
  EXPECT_EQ(MessageOf([&] { ds.Post(); }), "post failed");
  EXPECT_EQ(ds.State(), dsEdit);
  EXPECT_EQ(Name(), "b");
  ds.BeforePost = [](TDataSet&) { throw EDatabaseError("refused"); };
  ds.fail_post = false;
  EXPECT_EQ(MessageOf([&] { ds.Post(); }), "refused");
  EXPECT_EQ(ds.State(), dsEdit);
  ds.BeforePost = nullptr;
  ds.Post();
  EXPECT_EQ(Name(), "b");
}

TEST_F(DataSetTest, RefusedEditOrInsertLeavesTheBrowseState) {
  ds.Open();
  AddRows({"a"});
  ds.BeforeEdit = [](TDataSet&) { throw EDatabaseError("no edit"); };
  EXPECT_EQ(MessageOf([&] { ds.Edit(); }), "no edit");
  EXPECT_EQ(ds.State(), dsBrowse);
  ds.OnNewRecord = [](TDataSet&) { throw EDatabaseError("no insert"); };
  EXPECT_EQ(MessageOf([&] { ds.Insert(); }), "no insert");
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Name(), "a");
}

TEST_F(DataSetTest, RefreshKeepsTheCurrentRecord) {
  ds.Open();
  AddRows({"a", "b"});
  ds.Last();
  LogEvents();
  ds.Refresh();
  EXPECT_EQ(Name(), "b");
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeRefresh", "AfterRefresh"}));
}

TEST_F(DataSetTest, CloseDropsAPendingEdit) {
  ds.Open();
  AddRows({"a"});
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("changed");
  ds.calls.clear();
  ds.Close();
  EXPECT_EQ(ds.calls, (std::vector<std::string>{"InternalCancel", "InternalClose"}));
  ds.Open();
  EXPECT_EQ(Name(), "a");
}

TEST_F(DataSetTest, RequiredFieldIsCheckedByItsDisplayName) {
  ds.Open();
  ds.FieldByName("NAME").SetDisplayLabel("Full name");
  ds.Insert();
  ds.FieldByName("AMOUNT").SetAsFloat(1);
  EXPECT_EQ(MessageOf([&] { ds.Post(); }), "Field 'Full name' must have a value");
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_EQ(ds.RecordCount(), 0);
}

TEST_F(DataSetTest, ReadOnlyDataSetRefusesChanges) {
  ds.Open();
  AddRows({"a"});
  ds.read_only = true;
  const std::string text = "Cannot modify a read-only dataset";
  EXPECT_EQ(MessageOf([&] { ds.Edit(); }), text);
  EXPECT_EQ(MessageOf([&] { ds.Insert(); }), text);
  EXPECT_EQ(MessageOf([&] { ds.Delete(); }), text);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_FALSE(ds.CanModify());
}

TEST_F(DataSetTest, FieldsAreWritableOnlyWhileEditing) {
  ds.Open();
  AddRows({"a"});
  EXPECT_EQ(MessageOf([&] { ds.FieldByName("NAME").SetAsString("b"); }),
            "Dataset not in edit or insert mode");
  EXPECT_EQ(Name(), "a");
}

TEST_F(DataSetTest, DeleteRereadsTheFollowingOrPriorRecord) {
  ds.Open();
  AddRows({"a", "b", "c"});
  ds.First();
  ds.Next();
  LogEvents();
  ds.Delete();
  EXPECT_EQ(Name(), "c");
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeDelete", "BeforeScroll", "AfterDelete",
                                           "AfterScroll"}));
  ds.Delete();
  EXPECT_EQ(Name(), "a") << "after the last record goes, the prior one is shown";
  ds.Delete();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_EQ(ds.RecordCount(), 0);
}

TEST_F(DataSetTest, DeleteWhileInsertingCancelsTheInsert) {
  ds.Open();
  AddRows({"a"});
  ds.Insert();
  ds.Delete();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_EQ(Name(), "a");
}

TEST_F(DataSetTest, MovingPostsAModifiedEditAndCancelsAnUnmodifiedOne) {
  ds.Open();
  AddRows({"a", "b"});
  ds.First();
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("A");
  ds.Next();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Name(), "b");
  ds.Prior();
  EXPECT_EQ(Name(), "A");
  ds.calls.clear();
  ds.Edit();
  ds.Next();
  EXPECT_EQ(ds.calls[1], "InternalCancel");
}

TEST_F(DataSetTest, CalculatedFieldsFollowTheRecord) {
  ds.Fields().Add(std::make_unique<TField>("NAME", ftString, 20));
  ds.Fields().Add(std::make_unique<TField>("AMOUNT", ftFloat));
  ds.Fields().Add(std::make_unique<TField>("DOUBLE", ftFloat, 0, fkCalculated));
  ds.OnCalcFields = [](TDataSet& d) {
    EXPECT_EQ(d.State(), dsCalcFields);
    d.FieldByName("DOUBLE").SetAsFloat(d.FieldByName("AMOUNT").AsFloat() * 2);
  };
  ds.Open();
  AddRows({"a", "b"});
  ds.First();
  EXPECT_EQ(ds.FieldByName("DOUBLE").AsFloat(), 2);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("DOUBLE").AsFloat(), 4);
  ds.Edit();
  ds.FieldByName("AMOUNT").SetAsFloat(10);
  EXPECT_EQ(ds.FieldByName("DOUBLE").AsFloat(), 20);
  EXPECT_EQ(ds.State(), dsEdit);
}

// ---------------------------------------------------------------------------
// Data sources and links

TEST_F(DataSetTest, LinksHearScrollEditAndPostInOrder) {
  TDataSource source(&ds);
  RecordingLink link(log);
  link.SetDataSource(&source);
  ds.Open();
  AddRows({"a", "b"});
  ds.First();
  log.clear();
  ds.Next();
  EXPECT_EQ(log, (std::vector<std::string>{"link:check", "link:scrolled 1"}));
  log.clear();
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("B");
  EXPECT_EQ(log, (std::vector<std::string>{"link:check", "link:editing", "link:record *",
                                           "link:record NAME"}));
  log.clear();
  link.pending = "typed";
  ds.Post();
  EXPECT_EQ(log, (std::vector<std::string>{"link:update", "link:check", "link:browsing",
                                           "link:changed"}));
  EXPECT_EQ(Name(), "typed") << "the link's pending edit was written before the post";
}

TEST_F(DataSetTest, LinksFollowOpenCloseAndTheSourceSwitch) {
  TDataSource source;
  int state_changes = 0;
  source.OnStateChange = [&](TDataSource&) { ++state_changes; };
  RecordingLink link(log);
  link.SetDataSource(&source);
  ds.Open();
  EXPECT_FALSE(link.Active());
  source.SetDataSet(&ds);
  EXPECT_TRUE(link.Active());
  EXPECT_EQ(link.DataSet(), &ds);
  source.SetEnabled(false);
  EXPECT_FALSE(link.Active());
  source.SetEnabled(true);
  ds.Close();
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(log, (std::vector<std::string>{"link:active", "link:inactive", "link:active",
                                           "link:inactive"}));
  EXPECT_EQ(state_changes, 4);
}

TEST_F(DataSetTest, LinkEditPutsTheDataSetIntoEditUnlessReadOnly) {
  TDataSource source(&ds);
  RecordingLink link(log);
  link.SetDataSource(&source);
  ds.Open();
  AddRows({"a"});
  link.SetReadOnly(true);
  EXPECT_FALSE(link.Edit());
  EXPECT_EQ(ds.State(), dsBrowse);
  link.SetReadOnly(false);
  EXPECT_TRUE(link.Edit());
  EXPECT_EQ(ds.State(), dsEdit);
}

TEST_F(DataSetTest, DataChangeEventNamesTheChangedField) {
  TDataSource source(&ds);
  std::vector<std::string> seen;
  source.OnDataChange = [&](TDataSource&, TField* f) { seen.push_back(f ? f->FieldName() : "*"); };
  ds.Open();
  ds.Insert();
  seen.clear();
  ds.FieldByName("AMOUNT").SetAsFloat(3);
  EXPECT_EQ(seen, std::vector<std::string>{"AMOUNT"});
}

TEST_F(DataSetTest, DisableControlsBatchesNotifications) {
  TDataSource source(&ds);
  RecordingLink link(log);
  link.SetDataSource(&source);
  ds.Open();
  AddRows({"a", "b", "c"});
  log.clear();
  ds.DisableControls();
  ds.DisableControls();
  ds.First();
  ds.Next();
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("x");
  ds.Post();
  ds.EnableControls();
  EXPECT_TRUE(ds.ControlsDisabled());
  // Only the post's request for pending edits gets through.
  EXPECT_EQ(log, std::vector<std::string>{"link:update"});
  ds.EnableControls();
  EXPECT_FALSE(ds.ControlsDisabled());
  EXPECT_EQ(log, (std::vector<std::string>{"link:update", "link:changed"}));
  log.clear();
  ds.DisableControls();
  ds.EnableControls();
  EXPECT_TRUE(log.empty()) << "nothing happened, nothing is sent";
  ds.DisableControls();
  ds.Edit();
  ds.EnableControls();
  EXPECT_EQ(log, (std::vector<std::string>{"link:editing", "link:changed"}));
}

TEST_F(DataSetTest, DataSetDestroyedBeforeItsSource) {
  TDataSource source;
  RecordingLink link(log);
  link.SetDataSource(&source);
  {
    TMemoryDataSet local(PeopleDefs());
    source.SetDataSet(&local);
    local.Open();
    EXPECT_TRUE(link.Active());
  }
  EXPECT_EQ(source.DataSet(), nullptr);
  EXPECT_EQ(link.DataSet(), nullptr);
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(log.back(), "link:inactive");
}

TEST_F(DataSetTest, SourceDestroyedBeforeItsLinksAndLinksBeforeTheirSource) {
  RecordingLink link(log);
  ds.Open();
  {
    TDataSource source(&ds);
    link.SetDataSource(&source);
    EXPECT_TRUE(link.Active());
  }
  EXPECT_EQ(link.DataSource(), nullptr);
  EXPECT_FALSE(link.Active());
  ds.Insert();  // notifies no source: none is left registered
  ds.Cancel();

  TDataSource source(&ds);
  {
    RecordingLink local(log);
    local.SetDataSource(&source);
    EXPECT_EQ(source.LinkCount(), 1);
  }
  EXPECT_EQ(source.LinkCount(), 0);
  ds.Insert();
  ds.Cancel();
}

// A link that leaves its source when told of a change.
class LeavingLink : public TDataLink {
 protected:
  void DataSetChanged() override { SetDataSource(nullptr); }
};

TEST_F(DataSetTest, LinkMayLeaveWhileBeingNotified) {
  TDataSource source(&ds);
  LeavingLink first;
  RecordingLink second(log);
  first.SetDataSource(&source);
  second.SetDataSource(&source);
  ds.Open();
  log.clear();
  ds.First();
  EXPECT_EQ(first.DataSource(), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"link:check", "link:changed"}));
}

}  // namespace
}  // namespace kivo
