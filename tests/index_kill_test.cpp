// Crash safety of saved indexes: a writer (kill_writer idx) changes a table
// with two user indexes at random and saves its indexes after every batch;
// the test kills it with SIGKILL at seeded random moments, mostly while an
// index file is being written, and after every kill checks that
//   - kvbtool check, the real binary, finds every array that T.idx presents
//     as current (its counter equal to the table's) to hold each record once
//     in key order: a save cut short must never pass as current;
//   - the table opens again, and every index it then holds equals a fresh
//     sort of the records.
// KARTOVA_KILL_ROUNDS sets the number of kills (default 30, 8 under the
// sanitizers); KARTOVA_KILL_SEED the seed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "components/database.h"
#include "engine/data_manager.h"
#include "engine/index_file.h"
#include "testing/test_support.h"
#include "tests/kill_rows.h"
#include "tests/process_runner.h"
#include "tests/writer_process.h"

#ifndef KVBTOOL_BIN
#error "KVBTOOL_BIN must name the kvbtool program"
#endif

namespace kivo {
namespace {

using testing::TempDir;
using testing::TWriterProcess;

int Rounds() { return testing::KillRounds(30, 8); }

unsigned Seed() { return testing::KillSeed(20261210u); }

// Opens the table after a kill; every index must equal a fresh sort.
// Returns whether T.idx was taken as current.
bool OpenAndCompareWithFreshSort(const std::string& path, const std::string& when) {
  TKivoDatabase db;
  db.SetDatabaseName(path);
  db.Open();
  killtest::TRowsClient client;
  TKivoDataManager* m = krGetDataManager(killtest::kIndexedTable, db.Handle());
  const std::int8_t opened = m->ConnectDataset(&client);
  if (opened != kOpenOk) {
    krReleaseDataManager(m);
    ADD_FAILURE() << when << ": the table does not open, code " << int(opened);
    return false;
  }
  const bool current = !m->IndexesStale();
  EXPECT_EQ(m->IndexCount(), 3) << when;
  std::vector<std::vector<std::int32_t>> loaded;
  for (std::int32_t i = 0; i < m->IndexCount(); ++i) {
    m->BuildIndex(i);
    loaded.push_back(m->Indexes()->Positions(i).ToVector());
  }
  m->RebuildAllIndexes();
  for (std::int32_t i = 0; i < m->IndexCount(); ++i) {
    const std::vector<std::int32_t> fresh = m->Indexes()->Positions(i).ToVector();
    if (loaded[static_cast<std::size_t>(i)].size() != fresh.size()) {
      ADD_FAILURE() << when << ": index " << i << " has "
                    << loaded[static_cast<std::size_t>(i)].size() << " entries for " << fresh.size()
                    << " records";
      continue;
    }
    const TkrIndexKey& key = m->Indexes()->Key(i);
    for (std::size_t k = 0; k < fresh.size(); ++k) {
      const std::uint8_t* a = m->GetRecordPtr(loaded[static_cast<std::size_t>(i)][k]);
      const std::vector<std::uint8_t> held(a, a + m->RecordSize());
      if (key.CompareKeys(held.data(), m->GetRecordPtr(fresh[k])) != 0) {
        ADD_FAILURE() << when << ": index " << m->IndexHeader(i).IndexName << " ordinal " << k
                      << " differs from a fresh sort";
        break;
      }
    }
  }
  EXPECT_TRUE(m->DisconnectDataset(&client));
  return current;
}

TEST(IndexKill, SavedIndexesNeverPassAsCurrentWhenTheyAreNot) {
  TempDir dir;
  const std::string path = dir.file("db");
  std::filesystem::create_directory(path);
  const unsigned seed = Seed();
  std::mt19937 random(seed);
  const int rounds = Rounds();
  int currentAtOpen = 0;
  for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
    const std::string when =
        "index kill " + std::to_string(round + 1) + " (seed " + std::to_string(seed) + ")";
    int signal;
    {
      TWriterProcess writer({"idx", path, std::to_string(random())});
      // Half of the kills come just after a save has begun, within the time
      // it takes to write the file; the others anywhere.
      const int savesFirst = static_cast<int>(random() % 4);
      const bool duringSave = random() % 2 == 0;
      const auto pauseUs = static_cast<int>(duringSave ? random() % 400 : random() % 30000);
      std::string line;
      int saves = 0;
      bool open = false;
      while (writer.ReadLine(line)) {
        if (line.rfind("open ", 0) == 0)
          open = true;
        else if (line.rfind("saving ", 0) == 0)
          ++saves;
        else if (line.rfind("saved ", 0) != 0)
          ADD_FAILURE() << when << ": unexpected writer output \"" << line << "\"";
        if (open && saves >= savesFirst && (!duringSave || line.rfind("saving ", 0) == 0)) break;
      }
      ASSERT_TRUE(open) << when << ": the writer did not open the table";
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      signal = writer.Kill();
    }
    ASSERT_EQ(signal, SIGKILL) << when << ": the writer ended before it was killed";
    testing::ProcessOptions options;
    options.env["KARTOVA_PASSWORD"] = std::nullopt;
    // As the writer left it: a flush cut short may leave copies of moved
    // records for the next open to drop, but no index finding.
    testing::ProcessResult check = testing::RunProcess(KVBTOOL_BIN, {"check", path}, options);
    const std::string before = check.out;
    EXPECT_EQ(check.out.find("index \""), std::string::npos) << when << "\n" << check.out;
    EXPECT_EQ(check.out.find(".idx"), std::string::npos) << when << "\n" << check.out;
    if (OpenAndCompareWithFreshSort(path, when)) ++currentAtOpen;
    check = testing::RunProcess(KVBTOOL_BIN, {"check", path}, options);
    EXPECT_EQ(check.out, "ok\n") << when << ", after the table was opened again\n"
                                 << check.err << "before it was opened:\n"
                                 << before;
  }
  std::cout << "[ kill ] indexes: " << rounds << " kills, T.idx current at " << currentAtOpen
            << " reopens (seed " << seed << ")" << std::endl;
}

}  // namespace
}  // namespace kivo
