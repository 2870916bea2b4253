// Failing files under whole workloads: a table changed through the table
// component, a table with a primary key and secondary indexes (and an
// index built on it), a table with memo and BLOB fields, and SQL scripts
// run through the query component, each in a directory database and in a
// container. Every table file is a TFaultFile on one plan (TFaultDatabase).
// Each workload first runs without a fault, counting the calls it makes;
// then again for every failure point n from 1 to that count (all of the
// first ones and a seeded sample of the rest for a workload with many
// calls): the n-th read, write, sync or size change of the database's table
// files fails, or the disk is full at the n-th write that needs new space.
//
// Every run must end or raise the engine's Exception with a message. Then
//   - either the program goes on: the fault is over, and closing what the
//     workload left open must succeed;
//   - or the device is gone: nothing more reaches the files, and whatever
//     the workload left open is closed (errors allowed), as a process that
//     dies there leaves it.
// After that the database must pass the checks of kvbtool check (the same
// code, run here), open, hold every row whose change was kept (a flush, a
// statement or a close returned after it) with its values, hold each row of
// the changes in flight in a state they passed through, hold no record half
// written, keep every index whose making returned, list every record once
// in every index, and pass the checks again once it was opened. A failure
// names the workload, database, fault, failure point and mode.
//
// One line per workload, database, fault and mode starting with "faults:"
// gives the failure points tried, how many of them the workload reached,
// the runs that raised and the rows lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "components/database.h"
#include "components/kivo_query.h"
#include "components/kivo_table.h"
#include "engine/data_manager.h"
#include "engine/index_file.h"
#include "engine/table_file_store.h"
#include "platform/errors.h"
#include "storage/container/pagy_file_system.h"
#include "testing/fault_database.h"
#include "testing/fault_store.h"
#include "testing/test_support.h"
#include "tests/kill_check.h"
#include "tests/kill_rows.h"
#include "tests/kill_scripts.h"
#include "tests/writer_process.h"
#include "tools/opened_database.h"
#include "tools/table_reading.h"

namespace kivo {
namespace {

using killtest::TRowVersions;
using testing::MessageOf;
using testing::TempDir;
using testing::TFaultDatabase;
using testing::TFaultFile;
using testing::TFaultPlan;

// ---------------------------------------------------------------------------
// Faults.

enum class Fault { kRead, kWrite, kSync, kSizeChange, kDiskFull };

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kRead:
      return "read";
    case Fault::kWrite:
      return "write";
    case Fault::kSync:
      return "sync";
    case Fault::kSizeChange:
      return "size change";
    case Fault::kDiskFull:
      return "disk full";
  }
  return "?";
}

// What comes after the first failure.
enum class After {
  kGoOn,        // the fault is over: the program closes what it has open
  kDeviceGone,  // nothing more reaches the files; the program closes and ends
};

// What a failure point counts.
const char* CallsName(Fault fault) {
  switch (fault) {
    case Fault::kRead:
      return "reads";
    case Fault::kWrite:
      return "writes";
    case Fault::kSync:
      return "syncs";
    case Fault::kSizeChange:
      return "size changes";
    case Fault::kDiskFull:
      return "writes that take space";
  }
  return "?";
}

const char* AfterName(After after) {
  return after == After::kGoOn ? "program goes on" : "device gone";
}

// The blocks in which the disk gives table files space in the runs.
constexpr std::int32_t kSpaceBlock = 512;

// The calls a workload made without a fault.
struct TCallCounts {
  int reads = 0;
  int writes = 0;
  int syncs = 0;
  int sizeChanges = 0;
  std::vector<std::int32_t> blocksTaken;  // per write

  // The writes that took space: the places where the disk can fill up.
  int SpaceTakingWrites() const {
    return static_cast<int>(std::count_if(blocksTaken.begin(), blocksTaken.end(),
                                          [](std::int32_t b) { return b > 0; }));
  }
  int Of(Fault fault) const {
    switch (fault) {
      case Fault::kRead:
        return reads;
      case Fault::kWrite:
        return writes;
      case Fault::kSync:
        return syncs;
      case Fault::kSizeChange:
        return sizeChanges;
      case Fault::kDiskFull:
        return SpaceTakingWrites();
    }
    return 0;
  }
};

// Arms `plan` to fail at point `n` (from 1) of `fault`. The disk fills up
// at the n-th write that takes space, after a seeded number of the blocks
// it needs (none for some points, so that the write puts nothing).
void Arm(TFaultPlan& plan, Fault fault, int n, const TCallCounts& counts) {
  switch (fault) {
    case Fault::kRead:
      plan.FailRead = n;
      break;
    case Fault::kWrite:
      plan.FailWrite = n;
      break;
    case Fault::kSync:
      plan.FailSync = n;
      break;
    case Fault::kSizeChange:
      plan.FailSizeChange = n;
      break;
    case Fault::kDiskFull: {
      std::int64_t before = 0;
      int seen = 0;
      for (std::int32_t blocks : counts.blocksTaken) {
        if (blocks > 0 && ++seen == n) {
          std::mt19937 random(static_cast<unsigned>(n) * 2654435761u);
          if (n % 3 != 0) before += static_cast<std::int64_t>(random() % blocks);
          break;
        }
        before += blocks;
      }
      plan.FreeSpace = before * kSpaceBlock;
      break;
    }
  }
}

// The failure points of a workload with `count` calls: all of them up to
// `all`, then `sampled` more drawn with a fixed seed from the rest.
std::vector<int> FailurePoints(int count, int all, int sampled, unsigned seed) {
  std::vector<int> points;
  for (int n = 1; n <= count && n <= all; ++n) points.push_back(n);
  if (count > all) {
    std::vector<int> rest;
    for (int n = all + 1; n <= count; ++n) rest.push_back(n);
    std::mt19937 random(seed);
    std::shuffle(rest.begin(), rest.end(), random);
    rest.resize(std::min<std::size_t>(rest.size(), static_cast<std::size_t>(sampled)));
    std::sort(rest.begin(), rest.end());
    points.insert(points.end(), rest.begin(), rest.end());
  }
  return points;
}

// ---------------------------------------------------------------------------
// What a workload reports done, in the plan form of the crash-safety checks
// (kill_check.h): "B <steps> E" lines, each followed by "F" once the rows it
// plans are reported kept. A post or a delete that returned is not kept yet:
// the table's write-behind log holds it until a flush, a statement's end or
// the table's close returns; a close that fails drops it with its error.

class TOpsLog {
 public:
  // Steps, logged before the change that makes them starts.
  void Insert(std::uint32_t key, std::int32_t version) {
    current_ += " I " + std::to_string(key) + " " + std::to_string(version);
  }
  void Update(std::uint32_t key, std::int32_t version) {
    current_ += " U " + std::to_string(key) + " " + std::to_string(version);
  }
  void Delete(std::uint32_t key) { current_ += " D " + std::to_string(key); }
  // The steps of a planned script ("B <steps> E\n").
  void Plan(const std::string& plan) {
    if (plan.size() > 4) current_ += plan.substr(1, plan.size() - 4);
  }

  // The change whose steps were logged last returned.
  void ChangeDone() {
    returned_ += current_;
    current_.clear();
  }
  // A flush, a statement or a close returned: every change that returned
  // before it is kept.
  void Kept() {
    ChangeDone();
    KeepReturned();
  }
  // After a failure, a close returned: the changes that returned are kept,
  // the one that failed is still in flight.
  void KeepReturned() {
    if (returned_.empty()) return;
    text_ += "B" + returned_ + " E\nF\n";
    returned_.clear();
  }

  // The kept changes, then the rest as the one batch in flight: each of its
  // rows may be in any state its steps pass through.
  std::string Text() const {
    const std::string rest = returned_ + current_;
    return text_ + (rest.empty() ? "" : "B" + rest + " E\n");
  }

 private:
  std::string text_;
  std::string returned_;
  std::string current_;
};

// ---------------------------------------------------------------------------
// The rows: K, Item, Qty and Big as in the SQL crash-safety scenario
// (kill_rows.h), and in the BLOB workload a memo and a BLOB whose sizes and
// bytes follow from the key and the version too.

bool NoteNullAt(std::int32_t version) { return version % 6 == 5; }
bool DataNullAt(std::int32_t version) { return version % 7 == 4; }

std::string NoteOf(std::uint32_t key, std::int32_t version) {
  const std::size_t size = (key * 37u + static_cast<std::uint32_t>(version) * 401u) % 2600u + 1;
  std::string text;
  while (text.size() < size)
    text += "note " + std::to_string(key) + "/" + std::to_string(version) + "\r\n";
  text.resize(size);
  return text;
}

std::string DataOf(std::uint32_t key, std::int32_t version) {
  const std::size_t size = (key * 13u + static_cast<std::uint32_t>(version) * 577u) % 3100u + 1;
  std::mt19937 random(key * 1000u + static_cast<std::uint32_t>(version));
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

struct TTableShape {
  std::string table;
  bool blobs = false;
};

void SetScriptedFields(TKivoTable& t, bool blobs) {
  t.FieldDefs().Add("K", ftInteger);
  t.FieldDefs().Add("Item", ftString, 24);
  t.FieldDefs().Add("Qty", ftInteger);
  t.FieldDefs().Add("Big", ftLargeint);
  if (blobs) {
    t.FieldDefs().Add("Note", ftMemo);
    t.FieldDefs().Add("Data", ftBlob);
  }
}

void WriteBlob(TKivoTable& t, const std::string& field, const std::string& bytes) {
  std::unique_ptr<TStream> s = t.CreateBlobStream(&t.FieldByName(field), kBlobWrite);
  if (s->Write(bytes.data(), static_cast<std::int32_t>(bytes.size())) !=
      static_cast<std::int32_t>(bytes.size()))
    throw std::logic_error("a BLOB stream took fewer bytes than it was given");
}

std::string ReadBlob(TKivoTable& t, const std::string& field) {
  std::unique_ptr<TStream> s = t.CreateBlobStream(&t.FieldByName(field), kBlobRead);
  std::string bytes(static_cast<std::size_t>(s->Size()), '\0');
  const std::int32_t got =
      bytes.empty() ? 0 : s->Read(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(std::max(got, 0)));
  return bytes;
}

// Gives the record being edited the values of row `key` at `version`.
void SetRow(TKivoTable& t, std::uint32_t key, std::int32_t version, bool blobs) {
  t.FieldByName("K").SetAsInteger(static_cast<std::int32_t>(key));
  if (killtest::ItemNullAt(version))
    t.FieldByName("Item").Clear();
  else
    t.FieldByName("Item").SetAsString(killtest::ItemOf(key));
  t.FieldByName("Qty").SetAsInteger(killtest::QtyOf(key, version));
  if (killtest::BigNullAt(version))
    t.FieldByName("Big").Clear();
  else
    t.FieldByName("Big").SetAsLargeInt(killtest::BigOf(key));
  if (!blobs) return;
  if (NoteNullAt(version))
    t.FieldByName("Note").Clear();
  else
    t.FieldByName("Note").SetAsString(NoteOf(key, version));
  if (DataNullAt(version))
    t.FieldByName("Data").Clear();
  else
    WriteBlob(t, "Data", DataOf(key, version));
}

// The current record as a row: its key and version, and what in it fits
// no version of that row (empty when nothing).
struct TReadRow {
  std::uint32_t key = 0;
  std::int32_t version = -1;
  std::string problem;
};

TReadRow ReadRow(TKivoTable& t, bool blobs) {
  TReadRow row;
  const TField& k = t.FieldByName("K");
  const TField& qty = t.FieldByName("Qty");
  if (k.IsNull() || qty.IsNull()) {
    row.problem = "K or Qty is null";
    return row;
  }
  row.key = static_cast<std::uint32_t>(k.AsInteger());
  row.version = killtest::VersionOfQty(row.key, qty.AsInteger());
  if (k.AsInteger() <= 0 || row.version < 0) {
    row.problem = "K is " + k.AsString() + ", Qty " + qty.AsString();
    return row;
  }
  const TField& item = t.FieldByName("Item");
  if (item.IsNull() != killtest::ItemNullAt(row.version) ||
      (!item.IsNull() && item.AsString() != killtest::ItemOf(row.key)))
    row.problem += " Item is " + (item.IsNull() ? std::string("null") : item.AsString());
  const TField& big = t.FieldByName("Big");
  if (big.IsNull() != killtest::BigNullAt(row.version) ||
      (!big.IsNull() && big.AsLargeInt() != killtest::BigOf(row.key)))
    row.problem += " Big is " + (big.IsNull() ? std::string("null") : big.AsString());
  if (blobs) {
    const TField& note = t.FieldByName("Note");
    if (note.IsNull() != NoteNullAt(row.version) ||
        (!note.IsNull() && note.AsString() != NoteOf(row.key, row.version)))
      row.problem += " Note differs";
    const TField& data = t.FieldByName("Data");
    if (data.IsNull() != DataNullAt(row.version) ||
        (!data.IsNull() && ReadBlob(t, "Data") != DataOf(row.key, row.version)))
      row.problem += " Data differs";
  }
  if (!row.problem.empty())
    row.problem = "key " + std::to_string(row.key) + " at version " + std::to_string(row.version) +
                  ":" + row.problem;
  return row;
}

// ---------------------------------------------------------------------------
// The workloads. Each keeps what it opens in members, so that after a
// failure the harness decides when it is closed.

class TWorkload {
 public:
  virtual ~TWorkload() = default;
  virtual TTableShape Shape() const = 0;
  // Runs on the database named `db`, logging to `log`, and closes what it
  // opened at its end. Raises at the first failure.
  virtual void Run(const std::string& db, TOpsLog& log) = 0;
  // After Run raised: closes whatever it left open, raising what that
  // raises; false when nothing was open.
  virtual bool CloseAll() = 0;
  // The user indexes whose making was reported done.
  const std::set<std::string>& IndexesKept() const { return indexes_kept_; }

 protected:
  std::set<std::string> indexes_kept_;
};

// The model of a table the workload changes: the rows it has planned.
struct TModel {
  std::map<std::uint32_t, std::int32_t> rows;
  std::uint32_t nextKey = 1;

  std::uint32_t Pick(std::mt19937& random) const {
    auto it = rows.begin();
    std::advance(it, static_cast<long>(random() % rows.size()));
    return it->first;
  }
};

// Changes of rows through the table component: inserts, updates and deletes
// found by Locate, with the table's write-behind log flushed now and then.
class TTableChanges {
 public:
  TTableChanges(TKivoTable& t, bool blobs, unsigned seed) : t_(t), blobs_(blobs), random_(seed) {}

  // The log's age never comes due: only the flushes asked for and the size
  // of the log itself flush it, the same in every run.
  void FixClock() {
    t_.DataManager()->SetTickSource([this] { return ticks_ += 1; });
  }

  void Change(TOpsLog& log) {
    const unsigned r = random_() % 10;
    const auto version = static_cast<std::int32_t>(random_() % killtest::kVersions);
    if (model_.rows.size() < 4 || r < 5) {
      const std::uint32_t key = model_.nextKey++;
      log.Insert(key, version);
      model_.rows[key] = version;
      t_.Append();
      SetRow(t_, key, version, blobs_);
      t_.Post();
    } else if (r < 8) {
      const std::uint32_t key = model_.Pick(random_);
      log.Update(key, version);
      model_.rows[key] = version;
      Find(key);
      t_.Edit();
      SetRow(t_, key, version, blobs_);
      t_.Post();
    } else {
      const std::uint32_t key = model_.Pick(random_);
      log.Delete(key);
      model_.rows.erase(key);
      Find(key);
      t_.Delete();
    }
    log.ChangeDone();
  }

  void Flush(TOpsLog& log) {
    t_.DataManager()->FlushBuffers();
    log.Kept();
  }

 private:
  void Find(std::uint32_t key) {
    if (!t_.Locate("K", {static_cast<std::int32_t>(key)}, 0))
      throw std::logic_error("row " + std::to_string(key) + " is not found");
  }

  TKivoTable& t_;
  bool blobs_;
  std::mt19937 random_;
  TModel model_;
  std::uint32_t ticks_ = 1000;
};

// Closes and drops a table component, raising what the close raises;
// false when there was none.
bool CloseTable(std::unique_ptr<TKivoTable>& t) {
  if (!t) return false;
  std::unique_ptr<TKivoTable> closing = std::move(t);
  closing->Close();
  return true;
}

// (a) A table created, then changed row by row, flushed every few changes.
class TTableWorkload : public TWorkload {
 public:
  TTableShape Shape() const override { return {"Items", false}; }
  void Run(const std::string& db, TOpsLog& log) override {
    table_ = std::make_unique<TKivoTable>();
    table_->SetDatabaseName(db);
    table_->SetTableName("Items");
    SetScriptedFields(*table_, false);
    table_->CreateTable();
    table_->Open();
    TTableChanges changes(*table_, false, 4242);
    changes.FixClock();
    for (int i = 1; i <= 40; ++i) {
      changes.Change(log);
      if (i % 7 == 0) changes.Flush(log);
    }
    CloseTable(table_);
    log.Kept();
  }
  bool CloseAll() override { return CloseTable(table_); }

 private:
  std::unique_ptr<TKivoTable> table_;
};

// (b) A table with a primary key on K and two secondary indexes, changed
// row by row; then an index is built on it, and the changes go on.
class TIndexWorkload : public TWorkload {
 public:
  TTableShape Shape() const override { return {"Ranked", false}; }
  void Run(const std::string& db, TOpsLog& log) override {
    table_ = std::make_unique<TKivoTable>();
    table_->SetDatabaseName(db);
    table_->SetTableName("Ranked");
    SetScriptedFields(*table_, false);
    table_->IndexDefs().Add("ByK", "K", ixPrimary);
    table_->IndexDefs().Add("ByItem", "Item", ixCaseInsensitive);
    table_->IndexDefs().Add("ByQty", "Qty", ixDescending);
    table_->CreateTable();
    indexes_kept_ = {"ByK", "ByItem", "ByQty"};
    table_->Open();
    TTableChanges changes(*table_, false, 777);
    changes.FixClock();
    for (int i = 1; i <= 24; ++i) {
      changes.Change(log);
      if (i % 8 == 0) changes.Flush(log);
    }
    table_->AddIndex("ByBig", "Big;K", 0, "K");
    indexes_kept_.insert("ByBig");
    table_->SetIndexName("ByQty");
    for (int i = 1; i <= 12; ++i) {
      changes.Change(log);
      if (i % 6 == 0) changes.Flush(log);
    }
    CloseTable(table_);
    log.Kept();
  }
  bool CloseAll() override { return CloseTable(table_); }

 private:
  std::unique_ptr<TKivoTable> table_;
};

// (c) Memo and BLOB values written, changed (longer, shorter, null) and
// deleted with their rows, flushed every few changes and at the close.
class TBlobWorkload : public TWorkload {
 public:
  TTableShape Shape() const override { return {"Notes", true}; }
  void Run(const std::string& db, TOpsLog& log) override {
    table_ = std::make_unique<TKivoTable>();
    table_->SetDatabaseName(db);
    table_->SetTableName("Notes");
    SetScriptedFields(*table_, true);
    table_->CreateTable();
    table_->Open();
    TTableChanges changes(*table_, true, 31337);
    changes.FixClock();
    for (int i = 1; i <= 24; ++i) {
      changes.Change(log);
      if (i % 5 == 0) changes.Flush(log);
    }
    CloseTable(table_);
    log.Kept();
  }
  bool CloseAll() override { return CloseTable(table_); }

 private:
  std::unique_ptr<TKivoTable> table_;
};

// (d) SQL scripts through the query component: CREATE TABLE, seeded
// scripts of INSERT, UPDATE and DELETE, and CREATE INDEX between them.
class TSqlWorkload : public TWorkload {
 public:
  TTableShape Shape() const override { return {killtest::kScriptTable, false}; }
  void Run(const std::string& db, TOpsLog& log) override {
    query_ = std::make_unique<TKivoQuery>();
    query_->SetDatabaseName(db);
    std::mt19937 random(9001);
    killtest::TScriptModel model;
    auto exec = [&](const std::string& sql) {
      query_->SetSQLText(sql);
      query_->ExecSQL();
    };
    auto scripts = [&](int count) {
      for (int i = 0; i < count; ++i) {
        const killtest::TScript script = killtest::PlanScript(model, random, 6);
        log.Plan(script.plan);
        exec(script.sql);
        if (script.lastCount >= 0 && query_->RowsAffected() != script.lastCount)
          throw std::logic_error("a statement changed " + std::to_string(query_->RowsAffected()) +
                                 " rows, not " + std::to_string(script.lastCount));
        log.Kept();
      }
    };
    exec(killtest::kCreateScriptTable);
    scripts(3);
    exec("CREATE UNIQUE INDEX ByK ON Scripted (K)");
    indexes_kept_.insert("ByK");
    scripts(3);
    exec("CREATE INDEX ByQty ON Scripted (Qty DESC, Item NOCASE)");
    indexes_kept_.insert("ByQty");
    scripts(2);
    query_.reset();
  }
  bool CloseAll() override {
    // A statement's tables are closed when it ends, failed or not.
    std::unique_ptr<TKivoQuery> closing = std::move(query_);
    if (closing) closing->Close();
    return false;
  }

 private:
  std::unique_ptr<TKivoQuery> query_;
};

enum class Work { kTable, kIndex, kBlob, kSql };

const char* WorkName(Work work) {
  switch (work) {
    case Work::kTable:
      return "table";
    case Work::kIndex:
      return "index";
    case Work::kBlob:
      return "blob";
    case Work::kSql:
      return "sql";
  }
  return "?";
}

std::unique_ptr<TWorkload> MakeWorkload(Work work) {
  switch (work) {
    case Work::kTable:
      return std::make_unique<TTableWorkload>();
    case Work::kIndex:
      return std::make_unique<TIndexWorkload>();
    case Work::kBlob:
      return std::make_unique<TBlobWorkload>();
    case Work::kSql:
      return std::make_unique<TSqlWorkload>();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The checks after a run.

// What kvbtool check finds in the database at `path`, one line each.
std::vector<std::string> ToolFindings(const std::string& path) {
  try {
    auto db = tools::OpenInspectedDatabase(path, "");
    std::vector<std::string> problems = db->Check();
    for (std::string& problem :
         tools::CheckTables(tools::TTableSource{path, db->PlainFiles(), db->AnsiNames(), ""}))
      problems.push_back(std::move(problem));
    return problems;
  } catch (const std::exception& e) {
    return {std::string("the database does not open: ") + e.what()};
  }
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// What reading the table back found.
struct TReadBack {
  TRowVersions rows;
  long malformed = 0;  // records that are no row at any version, or repeat a key
  std::set<std::string> indexes;
};

class TFaultRuns {
 public:
  TFaultRuns(Work work, bool container) : work_(work), container_(container) {
    RegisterContainerStore();
  }

  // The counts of a run without a fault, whose result is checked as well.
  TCallCounts CountCalls() {
    TCallCounts counts;
    const std::string when = Describe("no fault", 0, After::kGoOn);
    TempDir dir;
    const std::string path = Prepare(dir);
    TOpsLog log;
    std::set<std::string> indexesKept;
    {
      std::unique_ptr<TFaultDatabase> db = OpenFaultDatabase(path);
      db->Plan().RecordBlocksTaken = true;
      db->Plan().SpaceBlockSize = kSpaceBlock;
      std::unique_ptr<TWorkload> w = MakeWorkload(work_);
      try {
        w->Run(db->Name(), log);
      } catch (const std::exception& e) {
        ADD_FAILURE() << when << ": " << e.what();
      }
      indexesKept = w->IndexesKept();
      counts.reads = db->Plan().Reads;
      counts.writes = db->Plan().Writes;
      counts.syncs = db->Plan().Syncs;
      counts.sizeChanges = db->Plan().SizeChanges;
      counts.blocksTaken = db->Plan().BlocksTaken;
      EXPECT_EQ(db->Files().OpenCount(), 0) << when << ": table files left open";
    }
    long lost = 0;
    Check(dir, path, log, indexesKept, when, lost);
    EXPECT_EQ(lost, 0) << when;
    return counts;
  }

  struct TTally {
    int tried = 0;
    int raised = 0;
    int reached = 0;  // runs in which the fault happened
    long lost = 0;
  };

  // One run with `fault` at point `n`.
  void RunWithFault(Fault fault, int n, After after, const TCallCounts& counts, TTally& tally) {
    const std::string when = Describe(FaultName(fault), n, after);
    TempDir dir;
    const std::string path = Prepare(dir);
    TOpsLog log;
    std::set<std::string> indexesKept;
    ++tally.tried;
    {
      std::unique_ptr<TFaultDatabase> db = OpenFaultDatabase(path);
      TFaultPlan& plan = db->Plan();
      plan.SpaceBlockSize = kSpaceBlock;
      Arm(plan, fault, n, counts);
      plan.FreezeAfterFault = after == After::kDeviceGone;
      std::unique_ptr<TWorkload> w = MakeWorkload(work_);
      bool raised = false;
      try {
        w->Run(db->Name(), log);
      } catch (const Exception& e) {
        raised = true;
        EXPECT_NE(std::string(e.what()), "") << when << ": an error without a message";
      } catch (const std::exception& e) {
        raised = true;
        ADD_FAILURE() << when << ": not the engine's Exception (" << typeid(e).name()
                      << "): " << e.what();
      }
      if (raised) ++tally.raised;
      if (plan.Faults > 0) ++tally.reached;
      if (after == After::kGoOn) plan.Disarm();
      try {
        // With the fault over, a close that returns keeps what returned.
        if (w->CloseAll() && after == After::kGoOn) log.KeepReturned();
      } catch (const Exception& e) {
        EXPECT_EQ(after, After::kDeviceGone)
            << when << ": closing with the fault over failed: " << e.what();
      } catch (const std::exception& e) {
        ADD_FAILURE() << when
                      << ": closing raised what is not the engine's Exception: " << e.what();
      }
      indexesKept = w->IndexesKept();
      w.reset();
      EXPECT_EQ(db->Files().OpenCount(), 0) << when << ": table files left open";
      plan.Disarm();
    }
    EXPECT_EQ(TKivoDataManager::RegisteredCount(), 0) << when << ": a table manager is left";
    EXPECT_EQ(TKivoDatabaseManager::RegisteredCount(), 0) << when << ": a database manager is left";
    Check(dir, path, log, indexesKept, when, tally.lost);
  }

 private:
  std::string Describe(const std::string& fault, int n, After after) const {
    return std::string(WorkName(work_)) + " workload in a " +
           (container_ ? "container" : "directory") + ", " + fault +
           (n > 0 ? " at failure point " + std::to_string(n) : "") + ", " + AfterName(after);
  }

  // The database's path in `dir`; a directory database's folder is made.
  std::string Prepare(const TempDir& dir) const {
    if (container_) return dir.file("faults.kvb");
    std::filesystem::create_directory(dir.file("db"));
    return dir.file("db");
  }

  std::unique_ptr<TFaultDatabase> OpenFaultDatabase(const std::string& path) const {
    return container_ ? TFaultDatabase::Container("FaultDB", path)
                      : TFaultDatabase::Directory("FaultDB", path);
  }

  // The checks after a run: kvbtool's checks, the rows against the log,
  // kvbtool's checks again after the table was opened.
  void Check(const TempDir& dir, const std::string& path, const TOpsLog& log,
             const std::set<std::string>& indexesKept, const std::string& when, long& lost) {
    EXPECT_EQ(Lines(ToolFindings(path)), "") << when << ": kvbtool check, before a reopen";
    TReadBack back;
    try {
      back = ReadBack(path, when);
    } catch (const std::exception& e) {
      ADD_FAILURE() << when << ": the table cannot be read back: " << e.what();
      ++lost;
      return;
    }
    const std::string ops = dir.file("ops.txt");
    testing::WriteFileBytes(ops, log.Text());
    const killtest::TOpsVerdict verdict = killtest::CheckOps(ops, {}, back.rows, when);
    lost += verdict.wrong + back.malformed;
    for (const std::string& index : indexesKept)
      EXPECT_EQ(back.indexes.count(index), 1u) << when << ": index " << index << " is gone";
    EXPECT_EQ(Lines(ToolFindings(path)), "") << when << ": kvbtool check, after a reopen";
  }

  // Opens the table through the table component, as a user does after the
  // failure, reads every row and, in its every index, every record.
  TReadBack ReadBack(const std::string& path, const std::string& when) {
    const TTableShape shape = MakeWorkload(work_)->Shape();
    TReadBack back;
    TKivoDatabase db;
    if (container_) {
      db.SetDatabaseName("FaultCheck");
      db.SetDatabaseFileName(path);
    } else {
      db.SetDatabaseName(path);
    }
    db.Open();
    TKivoTable t;
    t.SetDatabaseName(db.DatabaseName());
    t.SetTableName(shape.table);
    if (!t.Exists()) return back;
    t.Open();
    for (t.First(); !t.Eof(); t.Next()) {
      const TReadRow row = ReadRow(t, shape.blobs);
      EXPECT_EQ(row.problem, "") << when << ": a record half written";
      if (!row.problem.empty()) {
        ++back.malformed;
        continue;
      }
      if (!back.rows.emplace(row.key, row.version).second) {
        ADD_FAILURE() << when << ": key " << row.key << " is held twice";
        ++back.malformed;
      }
    }
    EXPECT_EQ(t.RecordCount(), static_cast<int>(back.rows.size()) + back.malformed) << when;
    // Every index lists every record once.
    TIndexDefs defs;
    t.DataManager()->GetIndexDefs(defs, nullptr);
    std::vector<std::string> indexes;
    for (const TIndexDef& def : defs) {
      if (def.Name().empty()) continue;
      indexes.push_back(def.Name());
      back.indexes.insert(def.Name());
    }
    for (const std::string& index : indexes) {
      t.SetIndexName(index);
      std::set<std::uint32_t> listed;
      int entries = 0;
      for (t.First(); !t.Eof(); t.Next()) {
        ++entries;
        listed.insert(static_cast<std::uint32_t>(t.FieldByName("K").AsInteger()));
      }
      EXPECT_EQ(entries, t.RecordCount()) << when << ": index " << index;
      EXPECT_EQ(listed.size(), back.rows.size() + static_cast<std::size_t>(back.malformed))
          << when << ": index " << index;
      // The primary key finds every row.
      if (index == "ByK") {
        for (const auto& [key, version] : back.rows)
          EXPECT_TRUE(t.FindKey({static_cast<std::int32_t>(key)})) << when << ": key " << key;
      }
    }
    t.Close();
    return back;
  }

  Work work_;
  bool container_;
};

// ---------------------------------------------------------------------------
// Failures the workloads met, one by one.

// A directory table store whose files fail as its plan says.
class FaultyDirectoryTable : public ::testing::Test {
 protected:
  TKivoDataManager& Manager() {
    if (!manager_) manager_.reset(krGetDataManager("t", &faulty_));
    return *manager_;
  }
  void Drop() {
    if (manager_) manager_->CloseTable();
    manager_.reset();
  }
  void TearDown() override { Drop(); }
  void Create(const TIndexDefs& indexes) {
    TFieldDefs fields;
    fields.Add("n", ftInteger);
    fields.Add("s", ftString, 20);
    Manager().CreateTable(fields, indexes, false, 1000);
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::set<std::string> IndexNames() {
    TIndexDefs defs;
    Manager().GetIndexDefs(defs, nullptr);
    std::set<std::string> names;
    for (const TIndexDef& def : defs) names.insert(def.Name());
    return names;
  }

  TempDir dir_;
  TDirectoryTableFileStore real_{dir_.path()};
  testing::TFaultTableFileStore faulty_{real_};
  TDataManagerHold manager_;
};

// A create that fails leaves no table behind: before, the files it had
// made stayed, with a header cut short, and the table could not be opened.
TEST_F(FaultyDirectoryTable, ACreateThatFailsLeavesNoFiles) {
  TIndexDefs indexes;
  indexes.Add("byS", "s");
  Create(indexes);
  Drop();
  const int writes = faulty_.Plan().Writes;
  const int syncs = faulty_.Plan().Syncs;
  ASSERT_GT(writes, 0);
  std::filesystem::remove(dir_.file("t.dat"));
  std::filesystem::remove(dir_.file("t.idx"));
  for (int n = 1; n <= writes + syncs; ++n) {
    faulty_.Plan() = {};
    if (n <= writes)
      faulty_.Plan().FailWrite = n;
    else
      faulty_.Plan().FailSync = n - writes;
    EXPECT_NE(MessageOf([&] { Create(indexes); }), testing::kNoException) << n;
    Drop();
    EXPECT_EQ(Files(), std::vector<std::string>{}) << n;
    faulty_.Plan().Disarm();
    EXPECT_EQ(Manager().OpenTable(), kOpenMissing) << n;
  }
  faulty_.Plan() = {};
  Create(indexes);
  EXPECT_EQ(Manager().OpenTable(), kOpenOk);
  EXPECT_EQ(IndexNames().count("byS"), 1u);
}

// A read of T.idx that fails when the table opens is an error of the open:
// before, the headers were taken for damaged, and the open saved T.idx again
// with the automatic indexes alone, every index definition lost.
TEST_F(FaultyDirectoryTable, AFailedReadOfTheIndexFileNeverLosesTheIndexes) {
  TIndexDefs indexes;
  indexes.Add("byS", "s", ixCaseInsensitive);
  indexes.Add("byN", "n", ixDescending);
  Create(indexes);
  ASSERT_EQ(Manager().OpenTable(), kOpenOk);
  Drop();
  const int before = faulty_.Plan().Reads;
  ASSERT_EQ(Manager().OpenTable(), kOpenOk);
  Drop();
  const int reads = faulty_.Plan().Reads - before;
  ASSERT_GT(reads, 3);
  int failed = 0;
  for (int n = 1; n <= reads; ++n) {
    faulty_.Plan() = {};
    faulty_.Plan().FailRead = n;
    std::string message;
    try {
      if (Manager().OpenTable() != kOpenOk) message = Manager().LastOpenError();
    } catch (const Exception& e) {
      message = e.what();
    }
    if (!message.empty()) ++failed;
    Drop();
    faulty_.Plan().Disarm();
    ASSERT_EQ(Manager().OpenTable(), kOpenOk) << n;
    EXPECT_EQ(IndexNames(), (std::set<std::string>{"@" + Manager().IdFieldName(), "byS", "byN"}))
        << "read " << n << " failed: " << message;
    Drop();
  }
  EXPECT_GT(failed, 0);
}

// A save of T.idx whose headers grow finds the disk full: the last save
// stays whole and current. Before, the headers were written over in place
// and cut where the space ended.
TEST(IndexSaves, ADiskFullOfTheGrowingPartLeavesTheLastSaveWhole) {
  TkrIndexHeader a;
  a.IndexName = "@id";
  a.KeyFields = {-1};
  a.ResetBits(1);
  a.Options = ixUnique;
  TkrIndexHeader b;
  b.IndexName = "byTwo";
  b.KeyFields = {0, 1};
  b.ResetBits(2);
  const std::vector<std::vector<std::int32_t>> oldArrays = {{0, 1, 2, 3, 4}};
  const std::vector<std::vector<std::int32_t>> newArrays = {{0, 1, 2, 3, 4, 5}, {5, 3, 1, 0, 2, 4}};
  for (std::int32_t block : {16, 64, 100, 512}) {
    for (std::int64_t blocks = 0;; ++blocks) {
      TMemoryPlainFileSystem fs("idx#mem");
      TAbstractFile* real = fs.OpenFile("t.idx", true, false, false);
      WriteIndexFile(*real, 41, 4.5, {&a}, oldArrays);
      TFaultPlan plan{.FreeSpace = blocks * block, .SpaceBlockSize = block};
      bool done = true;
      {
        TFaultFile file(real, &plan);
        done = MessageOf([&] {
                 WriteIndexFile(file, 42, 4.5, {&a, &b}, newArrays);
               }) == testing::kNoException;
      }
      const TkrIndexFileContent c = ReadIndexFileHeaders(*real, 4.5, 2);
      ASSERT_TRUE(c.Valid) << block << " " << blocks;
      if (done) {
        EXPECT_EQ(c.IndexChangeCount, 42);
        EXPECT_EQ(c.IndexCount, 2);
      } else {
        EXPECT_EQ(c.IndexChangeCount, 41) << block << " " << blocks;
        ASSERT_EQ(c.IndexCount, 1) << block << " " << blocks;
        EXPECT_EQ(c.Headers[0], a);
        EXPECT_EQ(ReadIndexArray(*real, c, 0, 5), oldArrays[0]);
      }
      fs.CloseFile(real);
      if (done) break;
    }
  }
}

// A sync the system refuses is reported: before, the result of fsync was
// not looked at, and a flush whose data had not become durable passed for
// done. /dev/null takes writes, but the system cannot sync it.
TEST(DiskFileSync, ASyncTheSystemRefusesIsRaised) {
  TDiskPlainFileSystem dev("/dev");
  TAbstractFile* file = nullptr;
  try {
    file = dev.OpenFile("null", false, false, false);
  } catch (const Exception&) {
  }
  if (file == nullptr || file->ReadOnly()) GTEST_SKIP() << "/dev/null cannot be written here";
  ASSERT_EQ(file->Write("x", 1), 1);
  try {
    file->Flush();
    ADD_FAILURE() << "the sync did not fail";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), EINVAL);
    EXPECT_NE(std::string(e.what()), "");
  }
  // The close syncs what is still unsynced: it reports the failure and
  // closes the file all the same.
  auto* disk = dynamic_cast<TDiskFile*>(file);
  ASSERT_NE(disk, nullptr);
  EXPECT_NE(MessageOf([&] { file->Close(); }), testing::kNoException);
  EXPECT_FALSE(disk->IsOpen());
  dev.CloseFile(file);
}

// A statement's rows are written out when it ends, and a failure to write
// them is its own: before, an UPDATE or DELETE (and an INSERT followed by a
// query) left its table to be closed when the statement went, where a
// failed write was dropped, and the script was reported done without its
// rows.
TEST(StatementEnds, AScriptReportedDoneHasItsRows) {
  RegisterContainerStore();
  TempDir dir;
  std::filesystem::create_directory(dir.file("db"));
  for (const std::string script :
       {"UPDATE t SET n = n + 10 WHERE n > 2", "DELETE FROM t WHERE n = 4",
        "INSERT INTO t VALUES (99, 'x');\nSELECT * FROM t",
        "UPDATE t SET s = 'y'; SELECT n FROM t"}) {
    std::unique_ptr<TFaultDatabase> db = TFaultDatabase::Directory("StatementDB", dir.file("db"));
    TKivoQuery q;
    q.SetDatabaseName(db->Name());
    auto exec = [&](const std::string& sql) {
      q.SetSQLText(sql);
      q.ExecSQL();
    };
    // The same four rows before every run, written with nothing failing.
    auto prepare = [&] {
      db->Plan().Disarm();
      std::filesystem::remove(dir.file("db/t.dat"));
      exec("CREATE TABLE t (n INTEGER, s STRING(10))");
      exec(
          "INSERT INTO t VALUES (1, 'a'); INSERT INTO t VALUES (2, 'b');"
          "INSERT INTO t VALUES (3, 'c'); INSERT INTO t VALUES (4, 'd')");
    };
    // The rows as a new query reads them from the files.
    auto rows = [&] {
      db->Plan().Disarm();
      TKivoQuery read;
      read.SetDatabaseName(db->Name());
      read.SetSQLText("SELECT n, s FROM t ORDER BY n");
      read.Open();
      std::string text;
      for (read.First(); !read.Eof(); read.Next())
        text += read.Fields()[0].AsString() + read.Fields()[1].AsString() + " ";
      return text;
    };
    prepare();
    const int first = db->Plan().Writes;
    exec(script);
    const int writes = db->Plan().Writes - first;
    const std::string done = rows();
    ASSERT_GT(writes, 0) << script;
    // Every write of the script fails in turn, once or with every write
    // after it: the script fails, or it has its rows.
    for (const bool frozen : {false, true}) {
      int raised = 0;
      for (int n = 1; n <= writes; ++n) {
        prepare();
        db->Plan().FailWrite = db->Plan().Writes + n;
        db->Plan().FreezeAfterFault = frozen;
        db->Plan().Faults = 0;
        if (MessageOf([&] { exec(script); }) != testing::kNoException)
          ++raised;
        else
          EXPECT_EQ(rows(), done) << script << ": write " << n << " of " << writes
                                  << (frozen ? " and every write after it" : "");
      }
      EXPECT_GT(raised, 0) << script;
    }
  }
}

// ---------------------------------------------------------------------------

// The runs make thousands of databases and sync their files again and
// again; in a memory file system (a real one, whose syncs cost nothing) the
// whole label runs in seconds. A TMPDIR set by the caller is kept.
class TMemoryTempDirs : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* set = std::getenv("TMPDIR");
    std::error_code ec;
    if ((set == nullptr || *set == '\0') && std::filesystem::is_directory("/dev/shm", ec) &&
        ::access("/dev/shm", W_OK | X_OK) == 0)
      ::setenv("TMPDIR", "/dev/shm", 1);
  }
};
[[maybe_unused]] ::testing::Environment* const kMemoryTempDirs =
    ::testing::AddGlobalTestEnvironment(new TMemoryTempDirs);

struct TCase {
  Work work;
  bool container;
  Fault fault;
};

void PrintTo(const TCase& c, std::ostream* os) {
  *os << WorkName(c.work) << " workload, " << (c.container ? "container" : "directory") << ", "
      << FaultName(c.fault);
}

// Failure points tried in full, and sampled beyond them, per fault and mode.
constexpr int kAllPoints = testing::kSanitizedBuild ? 60 : 1000;
constexpr int kSampledPoints = testing::kSanitizedBuild ? 40 : 200;

class FaultInjection : public ::testing::TestWithParam<TCase> {};

TEST_P(FaultInjection, EveryFailurePointEndsCleanAndLosesNoReportedRow) {
  const TCase c = GetParam();
  TFaultRuns runs(c.work, c.container);
  const TCallCounts counts = runs.CountCalls();
  ASSERT_FALSE(HasFailure()) << "the workload fails without a fault";
  const int count = counts.Of(c.fault);
  ASSERT_GT(count, 0) << "the workload makes no such call";
  const std::vector<int> points =
      FailurePoints(count, kAllPoints, kSampledPoints, 1234u + static_cast<unsigned>(c.fault));
  for (After after : {After::kGoOn, After::kDeviceGone}) {
    TFaultRuns::TTally tally;
    for (int n : points) {
      runs.RunWithFault(c.fault, n, after, counts, tally);
      if (HasFatalFailure()) return;
    }
    std::cout << "faults: " << WorkName(c.work) << " workload, "
              << (c.container ? "container" : "directory") << ", " << FaultName(c.fault) << ", "
              << AfterName(after) << ": " << tally.tried << " failure points tried of " << count
              << " " << CallsName(c.fault)
              << (static_cast<int>(points.size()) < count ? " (sampled)" : "") << ", "
              << tally.reached << " reached, " << tally.raised << " raised, " << tally.lost
              << " rows lost" << std::endl;
    EXPECT_EQ(tally.lost, 0);
  }
}

std::vector<TCase> AllCases() {
  std::vector<TCase> cases;
  for (Work work : {Work::kTable, Work::kIndex, Work::kBlob, Work::kSql})
    for (bool container : {false, true})
      for (Fault fault :
           {Fault::kRead, Fault::kWrite, Fault::kSync, Fault::kSizeChange, Fault::kDiskFull})
        cases.push_back({work, container, fault});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<TCase>& info) {
  std::string name = std::string(WorkName(info.param.work)) +
                     (info.param.container ? "_Container_" : "_Directory_") +
                     FaultName(info.param.fault);
  for (char& ch : name)
    if (ch == ' ') ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Workloads, FaultInjection, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
}  // namespace kivo
