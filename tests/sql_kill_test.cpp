// Crash safety of SQL scripts: a writer (kill_writer sql) runs seeded random
// scripts of INSERT, UPDATE and DELETE through the query component, logging
// each script's plan before it runs and its end once ExecSQL has returned;
// the test kills it with SIGKILL at seeded random moments, many times over
// the same table, and after every kill checks that
//   - kvbtool check, the real binary, finds the database sound, before the
//     table is opened again and after;
//   - the table opens, and every record is one row of the writer whole at
//     one of its versions (a record half old and half new fails), with no
//     key held twice;
//   - every script whose end was logged is wholly there, and each row the
//     script in flight touched is in a state its statements passed through:
//     there is no rollback, so a statement over several rows may be cut
//     short with some of them changed.
// The kills survived and the rows lost are printed for each kind of
// database. KARTOVA_KILL_ROUNDS sets the kills per kind (default 30, 8
// under the sanitizers); KARTOVA_KILL_SEED the seed.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "components/database.h"
#include "engine/data_manager.h"
#include "storage/container/pagy_file_system.h"
#include "testing/test_support.h"
#include "tests/kill_check.h"
#include "tests/kill_rows.h"
#include "tests/writer_process.h"

namespace kivo {
namespace {

using testing::TempDir;

int Rounds() { return testing::KillRounds(30, 8); }

unsigned Seed() { return testing::KillSeed(20261211u); }

// A script takes tens of milliseconds (each ExecSQL opens, flushes and
// closes its table), several times that under the sanitizers; kills
// spread over that land in the parse, the statements and the closing
// flush alike.
constexpr unsigned kMaxPauseUs = testing::kSanitizedBuild ? 400000 : 100000;

class SqlKillTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { RegisterContainerStore(); }

  bool Container() const { return GetParam(); }
  std::string DatabasePath() const {
    return Container() ? dir_.file("scripts.kvb") : dir_.file("db");
  }
  std::string OpsPath() const { return dir_.file("ops.txt"); }

  // Opens the table in this process, as a user would after the crash, and
  // checks every record. Returns the keys held and their versions.
  killtest::TRowVersions OpenAndCheck(const std::string& when) {
    killtest::TRowVersions rows;
    TKivoDatabase db;
    if (Container()) {
      db.SetDatabaseName("SqlKillCheck");
      db.SetDatabaseFileName(DatabasePath());
    } else {
      db.SetDatabaseName(DatabasePath());
    }
    db.Open();
    killtest::TRowsClient client;
    TKivoDataManager* m = krGetDataManager(killtest::kScriptTable, db.Handle());
    const std::int8_t opened = m->ConnectDataset(&client);
    if (opened != kOpenOk) {
      krReleaseDataManager(m);
      ADD_FAILURE() << when << ": the table does not open, code " << int(opened);
      return rows;
    }
    for (std::int32_t pos = 0; pos < m->RecordCount(); ++pos) {
      killtest::TScriptRow row;
      try {
        row = killtest::ReadScriptRow(*m, m->GetRecordPtr(pos));
      } catch (const std::exception& e) {
        ADD_FAILURE() << when << ": record " << pos << " cannot be read: " << e.what();
        break;
      }
      EXPECT_EQ(row.problem, "") << when << ": record " << pos << " (key " << row.key << ")";
      if (!row.problem.empty()) continue;
      const bool fresh = rows.emplace(row.key, row.version).second;
      EXPECT_TRUE(fresh) << when << ": record " << pos << " holds key " << row.key << " again";
    }
    EXPECT_TRUE(m->DisconnectDataset(&client));
    return rows;
  }

  killtest::TKvbtoolCheck kvbtool_;
  TempDir dir_;
};

TEST_P(SqlKillTest, EndedScriptsSurviveSigkillWhole) {
  const int rounds = Rounds();
  const unsigned seed = Seed() + static_cast<unsigned>(Container()) * 7919u;
  const std::string name = Container() ? "Container" : "Directory";
  std::mt19937 random(seed);
  killtest::TRowVersions truth;  // the table after the last kill
  long rowsLost = 0;
  long scriptsEnded = 0;
  int killsInScripts = 0;        // kills that found a script planned and not ended
  long rowsInFlight = 0;         // rows those scripts touched
  long rowsChangedInFlight = 0;  // of those, rows found changed
  int survived = 0;
  if (!Container()) std::filesystem::create_directory(DatabasePath());

  for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
    const int findingsBefore = killtest::Findings();
    const std::string when =
        name + " kill " + std::to_string(round + 1) + " (seed " + std::to_string(seed) + ")";
    std::filesystem::remove(OpsPath());
    const std::vector<std::string> args = {"sql", Container() ? "kvb" : "dir", DatabasePath(),
                                           std::to_string(random()), OpsPath()};
    const killtest::TKillOutcome outcome = killtest::RunAndKill(args, random, kMaxPauseUs);
    ASSERT_EQ(outcome.unexpected, "") << when << ": unexpected writer output";
    ASSERT_TRUE(outcome.open) << when << ": the writer did not open the table";
    ASSERT_EQ(outcome.signal, SIGKILL) << when << ": the writer ended before it was killed";

    kvbtool_.ExpectPasses(DatabasePath(), "", when + ", before the table is opened again", true);
    killtest::TRowVersions rows;
    try {
      rows = OpenAndCheck(when);
    } catch (const std::exception& e) {
      ADD_FAILURE() << when << ": the database does not open: " << e.what();
    }
    const killtest::TOpsVerdict verdict = killtest::CheckOps(OpsPath(), truth, rows, when);
    rowsLost += verdict.wrong;
    if (verdict.inFlight > 0) {
      ++killsInScripts;
      rowsInFlight += static_cast<long>(verdict.inFlight);
      rowsChangedInFlight += static_cast<long>(verdict.changedInFlight);
    }
    truth = rows;
    kvbtool_.ExpectPasses(DatabasePath(), "", when + ", after the table was opened again", false);
    scriptsEnded += static_cast<long>(outcome.flushes);
    if (killtest::Findings() == findingsBefore) ++survived;
  }
  std::cout << "[ kill ] SQL scripts in " << name << ": " << survived << " of " << rounds
            << " kills survived, " << rowsLost << " rows lost; " << scriptsEnded
            << " scripts ended before a kill, " << killsInScripts
            << " kills inside a script (touching " << rowsInFlight << " rows, "
            << rowsChangedInFlight << " of them found changed), " << truth.size()
            << " rows in the table at the end, " << kvbtool_.Leaks()
            << " container pages left by a kill and freed at the next open (seed " << seed << ")"
            << std::endl;
  RecordProperty("kills_survived", survived);
  RecordProperty("rows_lost", static_cast<int>(rowsLost));
  EXPECT_EQ(rowsLost, 0);
  EXPECT_EQ(survived, rounds);
}

INSTANTIATE_TEST_SUITE_P(Databases, SqlKillTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return std::string(info.param ? "Container" : "Directory");
                         });

}  // namespace
}  // namespace kivo
