// Crash safety, measured: a writer process (kill_writer) appends rows and
// flushes them, reporting each flush on a pipe; the test kills it with
// SIGKILL at a seeded random moment, many times over the same table, and
// after every kill checks what a user would rely on:
//   - kvbtool check, the real binary, finds the table as the writer left it
//     sound (header within the .dat, records readable, identifiers unique);
//   - the table opens again without error;
//   - every row the writer had reported flushed is there with its values;
//   - no two records share an identifier and no record is zeros;
//   - kvbtool check passes again after the engine has opened the table.
// The kills survived and the rows lost are printed for each kind of database.
//
// KARTOVA_KILL_ROUNDS sets the kills per database kind (default 40, 12 under
// the sanitizers); KARTOVA_KILL_SEED the seed (printed, for a re-run);
// KARTOVA_KILL_STRICT=1 fails on torn container pages too (see
// TornContainerPage).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "components/database.h"
#include "engine/data_manager.h"
#include "storage/container/pagy_file_system.h"
#include "tests/kill_rows.h"
#include "tests/process_runner.h"
#include "tests/writer_process.h"
#include "testing/test_support.h"

#ifndef KILL_WRITER_BIN
#error "KILL_WRITER_BIN must name the kill_writer program"
#endif
#ifndef KVBTOOL_BIN
#error "KVBTOOL_BIN must name the kvbtool program"
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
#define KILL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define KILL_TEST_SANITIZED 1
#endif
#endif

namespace kivo {
namespace {

using testing::ProcessResult;
using testing::RunProcess;
using testing::TempDir;
using testing::TWriterProcess;

int Rounds() {
  if (const char* text = std::getenv("KARTOVA_KILL_ROUNDS")) {
    const int n = std::atoi(text);
    if (n > 0) return n;
  }
#ifdef KILL_TEST_SANITIZED
  return 12;
#else
  return 40;
#endif
}

unsigned Seed() {
  if (const char* text = std::getenv("KARTOVA_KILL_SEED"))
    return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return 20261209u;
}

// The number in a "flushed N" or "open N" line, or -1.
long CountIn(const std::string& line) {
  for (const char* prefix : {"flushed ", "open "}) {
    const std::string p = prefix;
    if (line.rfind(p, 0) == 0) return std::strtol(line.c_str() + p.size(), nullptr, 10);
  }
  return -1;
}


struct TKind {
  const char* name;
  bool container;
  const char* tablePassword;  // empty: not encrypted
};

class KillTest : public ::testing::TestWithParam<TKind> {
 protected:
  void SetUp() override { RegisterContainerStore(); }

  std::string DatabasePath() const {
    return GetParam().container ? dir_.file("kill.kvb") : dir_.file("db");
  }

  ProcessResult Kvbtool(const std::vector<std::string>& args) {
    testing::ProcessOptions options;
    options.env["KARTOVA_PASSWORD"] = std::nullopt;
    return RunProcess(KVBTOOL_BIN, args, options);
  }

  // Opens the table in this process (as a user would after the crash) and
  // checks every record. Returns the identifiers held.
  std::map<std::uint32_t, std::int32_t> OpenAndCheck(const std::string& when) {
    std::map<std::uint32_t, std::int32_t> ids;
    TKivoDatabase db;
    if (GetParam().container) {
      db.SetDatabaseName("KillCheck");
      db.SetDatabaseFileName(DatabasePath());
    } else {
      db.SetDatabaseName(DatabasePath());
    }
    db.Open();
    killtest::TRowsClient client;
    client.password = GetParam().tablePassword;
    TKivoDataManager* m = krGetDataManager(killtest::kTable, db.Handle());
    const std::int8_t opened = m->ConnectDataset(&client);
    if (opened != kOpenOk) {
      delete m;
      ADD_FAILURE() << when << ": the table does not open, code " << int(opened);
      return ids;
    }
    for (std::int32_t pos = 0; pos < m->RecordCount(); ++pos) {
      const std::uint8_t* image;
      try {
        image = m->GetRecordPtr(pos);
      } catch (const std::exception& e) {
        ADD_FAILURE() << when << ": record " << pos << " cannot be read: " << e.what();
        break;
      }
      bool zeros = true;
      for (std::int32_t i = 0; i < m->RecordSize() && zeros; ++i) zeros = image[i] == 0;
      EXPECT_FALSE(zeros) << when << ": record " << pos << " is zeros";
      const std::uint32_t id = GetRecordId(m->Layout(), image);
      const std::string problem = killtest::RowProblem(*m, image);
      EXPECT_EQ(problem, "") << when << ": record " << pos << " (identifier " << id << ")";
      auto [it, fresh] = ids.emplace(id, pos);
      EXPECT_TRUE(fresh) << when << ": records " << it->second << " and " << pos
                         << " share identifier " << id;
    }
    EXPECT_GE(m->LastAutoInc(), ids.empty() ? 0 : static_cast<std::int32_t>(ids.rbegin()->first))
        << when;
    EXPECT_TRUE(m->DisconnectDataset(&client));
    return ids;
  }

  // kvbtool check must find nothing but pages of the container that are
  // allocated and not yet referred to: a kill between the allocation and
  // the page map that takes the page leaves that, and it loses no data.
  // Such leaked pages are counted, every other finding fails.
  // Returns kvbtool's findings.
  std::string ExpectCheckPasses(const std::string& when) {
    std::vector<std::string> args = {"check", DatabasePath()};
    if (*GetParam().tablePassword) {
      args.push_back("--password");
      args.push_back(GetParam().tablePassword);
    }
    const ProcessResult r = Kvbtool(args);
    if (r.exit_code == 0) {
      EXPECT_EQ(r.out, "ok\n") << when;
      return r.out;
    }
    std::string others;
    std::size_t start = 0;
    while (start < r.out.size()) {
      std::size_t end = r.out.find('\n', start);
      if (end == std::string::npos) end = r.out.size();
      const std::string line = r.out.substr(start, end - start);
      if (line.find("is marked used but nothing refers to it") != std::string::npos &&
          line.rfind("page ", 0) == 0) {
        leaks_.insert(line);
      } else {
        others += line + "\n";
      }
      start = end + 1;
    }
    EXPECT_EQ(r.exit_code, 1) << when << ": kvbtool check\n" << r.out << r.err;
    EXPECT_EQ(others, "") << when << ": kvbtool check found damage";
    return r.out;
  }

  // A container page whose checksum fails after the kill: the kill tore an
  // in-place page write of the container (its pages straddle the system's
  // page boundaries, and a killed write stops between those). That is a
  // fault of the container, not of the table's flush order; it is counted
  // and reported, and fails the test only with KARTOVA_KILL_STRICT=1.
  static bool TornContainerPage(const std::string& findings) {
    return findings.find("cannot be read (error -11)") != std::string::npos;
  }
  // The failures recorded so far in this test.
  static int Findings() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }
  static bool Strict() {
    const char* text = std::getenv("KARTOVA_KILL_STRICT");
    return text && std::string(text) == "1";
  }

  std::set<std::string> leaks_;  // distinct leaked-page findings
  TempDir dir_;
};

TEST_P(KillTest, FlushedRowsSurviveSigkill) {
  const int rounds = Rounds();
  const unsigned seed = Seed() + static_cast<unsigned>(GetParam().container) * 7919u +
                        static_cast<unsigned>(*GetParam().tablePassword != 0) * 104729u;
  std::mt19937 random(seed);
  long reportedTotal = 0;  // the most rows any writer reported flushed
  long rowsLost = 0;
  int survived = 0;
  int torn = 0;            // kills that tore a container page
  long tornRowsLost = 0;   // rows reported flushed in tables lost that way
  std::int64_t rowsSeenAfterLastKill = 0;

  for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
    const int findingsBefore = Findings();
    const std::string when = std::string(GetParam().name) + " kill " + std::to_string(round + 1) +
                             " (seed " + std::to_string(seed) + ")";
    std::vector<std::string> args = {GetParam().container ? "kvb" : "dir", DatabasePath(),
                                     std::to_string(random())};
    if (*GetParam().tablePassword) args.push_back(GetParam().tablePassword);
    if (!GetParam().container && round == 0) std::filesystem::create_directory(DatabasePath());

    long reported = -1;
    int signal;
    {
      TWriterProcess writer(args);
      // The kill comes after a random number of flushes and a random pause,
      // so that it lands anywhere: inside inserts, inside a flush, between.
      const int flushesFirst = static_cast<int>(random() % 4);
      const auto pauseUs = static_cast<int>(random() % 20000);
      std::string line;
      int flushes = 0;
      bool open = false;
      while (writer.ReadLine(line)) {
        const long n = CountIn(line);
        ASSERT_GE(n, 0) << when << ": unexpected writer output \"" << line << "\"";
        reported = std::max(reported, n);
        if (line.rfind("open ", 0) == 0) open = true;
        else ++flushes;
        if (open && flushes >= flushesFirst) break;
      }
      ASSERT_TRUE(open) << when << ": the writer did not open the table";
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      signal = writer.Kill();
      // Lines written before the kill still count as reported.
      while (writer.ReadLine(line)) reported = std::max(reported, CountIn(line));
    }
    ASSERT_EQ(signal, SIGKILL) << when << ": the writer ended before it was killed";
    reportedTotal = std::max(reportedTotal, reported);

    if (GetParam().container) {
      // Probed first, so that a torn page is told apart from other damage.
      std::vector<std::string> probe = {"check", DatabasePath()};
      if (*GetParam().tablePassword) {
        probe.push_back("--password");
        probe.push_back(GetParam().tablePassword);
      }
      const ProcessResult r = Kvbtool(probe);
      if (TornContainerPage(r.out)) {
        ++torn;
        tornRowsLost += reportedTotal;
        std::cout << "[ kill ] " << when << ": a container page was torn; the table is lost ("
                  << reportedTotal << " rows reported flushed)\n"
                  << r.out.substr(0, r.out.find('\n') + 1) << std::flush;
        if (Strict()) ADD_FAILURE() << when << ": torn container page\n" << r.out;
        // Start again on a new database.
        std::filesystem::remove(DatabasePath());
        reportedTotal = 0;
        continue;
      }
    }
    ExpectCheckPasses(when + ", before the table is opened again");
    std::map<std::uint32_t, std::int32_t> ids;
    try {
      ids = OpenAndCheck(when);
    } catch (const std::exception& e) {
      ADD_FAILURE() << when << ": the database does not open: " << e.what();
    }
    long lost = 0;
    for (long id = 1; id <= reportedTotal; ++id)
      if (!ids.count(static_cast<std::uint32_t>(id))) ++lost;
    EXPECT_EQ(lost, 0) << when << ": rows reported flushed but missing (of " << reportedTotal
                       << ")";
    rowsLost += lost;
    // Rows run 1..n without gaps: the writer numbers them from LastAutoInc.
    EXPECT_EQ(ids.empty() ? 0u : ids.rbegin()->first, ids.size()) << when;
    ExpectCheckPasses(when + ", after the table was opened again");
    rowsSeenAfterLastKill = static_cast<std::int64_t>(ids.size());
    if (Findings() == findingsBefore) ++survived;
  }
  std::cout << "[ kill ] " << GetParam().name << ": " << survived << " of " << rounds
            << " kills survived, " << rowsLost << " rows lost; " << reportedTotal
            << " rows reported flushed, " << rowsSeenAfterLastKill
            << " rows in the table at the end, " << leaks_.size()
            << " container pages leaked, " << torn << " kills tore a container page (losing "
            << tornRowsLost << " rows reported flushed) (seed " << seed << ")" << std::endl;
  RecordProperty("kills_survived", survived);
  RecordProperty("rows_lost", static_cast<int>(rowsLost));
  RecordProperty("pages_leaked", static_cast<int>(leaks_.size()));
  RecordProperty("torn_container_pages", torn);
  EXPECT_EQ(survived + torn, rounds);
}

INSTANTIATE_TEST_SUITE_P(Databases, KillTest,
                         ::testing::Values(TKind{"Directory", false, ""},
                                           TKind{"Container", true, ""},
                                           TKind{"EncryptedTableInContainer", true, "titok"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kivo
