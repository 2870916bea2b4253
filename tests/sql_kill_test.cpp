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
//
// The same scripts also run through the console program as a user runs
// them unattended: `kartova DATABASE script.sql -B`, one process per
// script, again and again over the same database, each killed with SIGKILL
// at a seeded random moment of its run. The test keeps the log: a run that
// exited 0 ended its script (its plan is kept), a killed one left its
// script in flight. After every kill the same checks follow, and "kills:"
// lines give the kills survived and the rows lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "components/database.h"
#include "engine/data_manager.h"
#include "platform/locale.h"
#include "storage/container/pagy_file_system.h"
#include "testing/test_support.h"
#include "tests/kill_check.h"
#include "tests/kill_rows.h"
#include "tests/kill_scripts.h"
#include "tests/writer_process.h"

#ifndef KARTOVA_BIN
#error "KARTOVA_BIN must name the kartova program"
#endif

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

  // The verdict of a kill test, also kept in the test's report.
  void ExpectEveryKillSurvived(int survived, int rounds, long rowsLost) {
    RecordProperty("kills_survived", survived);
    RecordProperty("rows_lost", static_cast<int>(rowsLost));
    EXPECT_EQ(rowsLost, 0);
    EXPECT_EQ(survived, rounds);
  }

  // What follows every kill: kvbtool check before the table is opened
  // again, the table opened and its rows (into `rows`) judged against the
  // log of what ran, and kvbtool check once more after the open.
  killtest::TOpsVerdict CheckAfterKill(const std::string& when, const killtest::TRowVersions& truth,
                                       killtest::TRowVersions& rows) {
    kvbtool_.ExpectPasses(DatabasePath(), "", when + ", before the table is opened again", true);
    try {
      rows = OpenAndCheck(when);
    } catch (const std::exception& e) {
      ADD_FAILURE() << when << ": the database does not open: " << e.what();
    }
    const killtest::TOpsVerdict verdict = killtest::CheckOps(OpsPath(), truth, rows, when);
    kvbtool_.ExpectPasses(DatabasePath(), "", when + ", after the table was opened again", false);
    return verdict;
  }

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

    killtest::TRowVersions rows;
    const killtest::TOpsVerdict verdict = CheckAfterKill(when, truth, rows);
    rowsLost += verdict.wrong;
    if (verdict.inFlight > 0) {
      ++killsInScripts;
      rowsInFlight += static_cast<long>(verdict.inFlight);
      rowsChangedInFlight += static_cast<long>(verdict.changedInFlight);
    }
    truth = rows;
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
  ExpectEveryKillSurvived(survived, rounds, rowsLost);
}

// One run of the console program, its output (both streams) in a file.
class TProgramRun {
 public:
  // Runs KARTOVA_BIN with `args` in `workingDir`, without a display and
  // with its settings under `home`.
  TProgramRun(const std::vector<std::string>& args, const std::string& workingDir,
              const std::string& home, const std::string& outputFile) {
    std::vector<std::string> argv = {KARTOVA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string config = home + "/config";
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (out < 0 || ::chdir(workingDir.c_str()) != 0) ::_exit(126);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::unsetenv("KARTOVA_PASSWORD");
      ::setenv("QT_QPA_PLATFORM", "xcb", 1);
      ::setenv("HOME", home.c_str(), 1);
      ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
      std::vector<char*> raw;
      for (std::string& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      ::execv(raw[0], raw.data());
      ::_exit(127);
    }
  }
  ~TProgramRun() {
    if (pid_ > 0) Kill();
  }
  TProgramRun(const TProgramRun&) = delete;
  TProgramRun& operator=(const TProgramRun&) = delete;

  // The exit status once the program has ended by itself, else -1.
  int Poll() {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // Waits for the end: the exit status.
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // SIGKILL; the exit status when the program ended by itself before it,
  // else -1.
  int Kill() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

TEST_P(SqlKillTest, BatchRunsOfTheConsoleProgramSurviveSigkill) {
  const int rounds = Rounds();
  const unsigned seed = Seed() + 104729u + static_cast<unsigned>(Container()) * 7919u;
  const std::string name = Container() ? "Container" : "Directory";
  std::mt19937 random(seed);
  if (!Container()) std::filesystem::create_directory(DatabasePath());
  // The console opens a container named on its command line, or the table
  // files of its working folder when the name is empty.
  const std::string workingDir = Container() ? dir_.path() : DatabasePath();
  const std::string database = Container() ? DatabasePath() : "";
  const std::string script = dir_.file("script.sql");
  const std::string output = dir_.file("run.txt");
  // The script as a user saves it: UTF-8, the console's own text.
  auto run = [&](const std::string& sql) {
    testing::WriteFileBytes(script, Cp1250ToUtf8(sql));
    return std::make_unique<TProgramRun>(std::vector<std::string>{database, script, "-B"},
                                         workingDir, dir_.path(), output);
  };

  auto microsecondsSince = [](std::chrono::steady_clock::time_point start) {
    return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
  };
  // The table, and a first script, by runs that are not killed; the time a
  // script takes sets the span in which the kills fall.
  ASSERT_EQ(run(killtest::kCreateScriptTable)->Wait(), 0) << testing::ReadFileBytes(output);
  killtest::TScriptModel model;
  const killtest::TScript first = killtest::PlanScript(model, random);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run(first.sql)->Wait(), 0) << testing::ReadFileBytes(output);
  unsigned spanUs = microsecondsSince(started);
  killtest::TRowVersions truth(model.rows.begin(), model.rows.end());
  long rowsLost = 0;
  int scriptsEnded = 0;
  int killsInScripts = 0;
  long rowsChangedInFlight = 0;
  int survived = 0;
  for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
    const int findingsBefore = killtest::Findings();
    const std::string when =
        name + " batch kill " + std::to_string(round + 1) + " (seed " + std::to_string(seed) + ")";
    // A few scripts run to their end, then one more is killed at a random
    // moment of its run (when it ends before that, it counts as ended and
    // another one follows); the log says which ended.
    std::string ops;
    auto ended = [&](const killtest::TScript& planned, int status) {
      ASSERT_EQ(status, 0) << when << ": the run failed:\n"
                           << testing::ReadFileBytes(output) << "\n"
                           << planned.sql;
      EXPECT_EQ(testing::ReadFileBytes(output), "") << when << ": a batch run writes nothing";
      ops += "F\n";
      ++scriptsEnded;
    };
    for (int whole = static_cast<int>(random() % 3); whole > 0 && !HasFatalFailure(); --whole) {
      const killtest::TScript planned = killtest::PlanScript(model, random);
      ops += planned.plan;
      const auto begun = std::chrono::steady_clock::now();
      ended(planned, run(planned.sql)->Wait());
      // The kills follow the pace of whole runs (slower with the sanitizers).
      spanUs = (spanUs * 3 + microsecondsSince(begun)) / 4;
    }
    for (bool killed = false; !killed && !HasFatalFailure();) {
      const killtest::TScript planned = killtest::PlanScript(model, random);
      ops += planned.plan;
      const auto pauseUs = static_cast<unsigned>(random() % (spanUs + spanUs / 4 + 1));
      std::unique_ptr<TProgramRun> program = run(planned.sql);
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      int status = program->Poll();
      if (status < 0) status = program->Kill();
      killed = status < 0;
      if (!killed) ended(planned, status);
    }
    testing::WriteFileBytes(OpsPath(), ops);

    killtest::TRowVersions rows;
    const killtest::TOpsVerdict verdict = CheckAfterKill(when, truth, rows);
    rowsLost += verdict.wrong;
    if (verdict.changedInFlight > 0) {
      ++killsInScripts;
      rowsChangedInFlight += static_cast<long>(verdict.changedInFlight);
    }
    // The next scripts start from what the table holds.
    truth = rows;
    const std::uint32_t nextKey = model.nextKey;
    model = killtest::TScriptModel();
    for (const auto& [key, version] : truth) model.Set(key, version);
    model.nextKey = std::max(model.nextKey, nextKey);
    if (killtest::Findings() == findingsBefore) ++survived;
  }
  std::cout << "kills: console batch runs in " << name << ": " << survived << " of " << rounds
            << " kills survived, " << rowsLost << " rows lost; " << scriptsEnded
            << " scripts ended before a kill, " << killsInScripts
            << " kills inside a script's changes (" << rowsChangedInFlight
            << " rows found changed by the script killed), " << truth.size()
            << " rows in the table at the end, " << kvbtool_.Leaks()
            << " container pages left by a kill and freed at the next open (seed " << seed << ")"
            << std::endl;
  ExpectEveryKillSurvived(survived, rounds, rowsLost);
}

INSTANTIATE_TEST_SUITE_P(Databases, SqlKillTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return std::string(info.param ? "Container" : "Directory");
                         });

}  // namespace
}  // namespace kivo
