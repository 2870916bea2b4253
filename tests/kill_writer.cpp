// The writer of the crash-safety test: appends rows to the table "Rows" of a
// database until it is killed, flushing after every batch and reporting on
// standard output how many rows the table holds once each flush is done.
//
//   kill_writer [--mixed OPS-FILE] dir DIRECTORY SEED [TABLE-PASSWORD]
//   kill_writer [--mixed OPS-FILE] kvb FILE.kvb SEED [TABLE-PASSWORD]
//
// The database and the table are created when missing. Row n (its
// identifier) at version v has Item "sor <n> őű", Qty n * 7 + v * 1000000 and
// Big n * 1000003; the test recomputes them.
//
// With --mixed, batches also update rows (the next version) and delete them.
// Before a batch touches the table its plan is appended to OPS-FILE as one
// line "B I <id> U <id> <version> D <id> ... E", and once the batch has been
// flushed a line "F" follows, so the test knows what the table must hold:
// every flushed batch, and of the one in flight any mix of its steps.
//
// Output lines:
//   open <RecordCount>       after the table is open
//   flushed <RecordCount>    after each FlushBuffers has returned
// Exit status: 2 usage, 1 failure (message on standard error); it never
// ends by itself before 500000 rows.
//
//   kill_writer sql dir DIRECTORY SEED OPS-FILE
//   kill_writer sql kvb FILE.kvb SEED OPS-FILE
//
// The SQL scenario: the table "Scripted" (kill_rows.h) is created with
// CREATE TABLE when missing, then changed by seeded random scripts run
// through the query component's ExecSQL: single-row INSERT, UPDATE and
// DELETE by the key column K, and now and then an UPDATE or DELETE over a
// small range of keys. Each script's plan goes to OPS-FILE as for --mixed
// ("I <key> <version>" for an insert), one step per row it changes, and
// "F" follows once ExecSQL has returned (the script's tables then flushed
// and closed). Output lines as above, the counts those of the table.
//
//   kill_writer idx DIRECTORY SEED
//
// The index scenario: the table "Ranks" with two user indexes gets batches
// of random inserts and updates, and its indexes are saved after every
// batch. Output lines: "open <RecordCount>", then "saving <RecordCount>"
// before and "saved <RecordCount>" after each SaveIndexes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/database.h"
#include "components/kivo_query.h"
#include "engine/data_manager.h"
#include "platform/file_util.h"
#include "storage/container/pagy_file_system.h"
#include "tests/kill_rows.h"
#include "tests/kill_scripts.h"

namespace {

using namespace kivo;
using killtest::PlanScript;
using killtest::TScript;
using killtest::TScriptModel;

// Appends `text` to the ops file in one write; a kill tears at most this line.
void Append(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw std::runtime_error("cannot write the ops file");
    done += static_cast<std::size_t>(put);
  }
}

struct TStep {
  char kind;  // 'I', 'U', 'D'
  std::int32_t pos;
  std::uint32_t id;
  std::int32_t version;
};

// Inserts, updates and deletes in seeded batches until killed.
void RunMixed(TKivoDataManager* m, std::mt19937& random, const std::string& opsFile) {
  const int ops = ::open(opsFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (ops < 0) throw std::runtime_error("cannot open the ops file");
  // The table as the steps will leave it: identifiers by position, versions.
  std::vector<std::uint32_t> ids;
  std::map<std::uint32_t, std::int32_t> versions;
  for (std::int32_t pos = 0; pos < m->RecordCount(); ++pos) {
    const std::uint8_t* image = m->GetRecordPtr(pos);
    const std::uint32_t id = GetRecordId(m->Layout(), image);
    ids.push_back(id);
    versions[id] = killtest::VersionOf(*m, image);
  }
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(m->RecordSize()) + 8);
  while (m->RecordCount() < 500000) {
    // Plan the batch on the model first, then log it, then carry it out.
    std::vector<TStep> steps;
    std::string line = "B";
    auto nextId = static_cast<std::uint32_t>(m->LastAutoInc()) + 1;
    const int batch = 1 + static_cast<int>(random() % 40);
    // A quarter of the batches only insert, and are stored as one block, as
    // a bulk copy of rows stores them.
    const bool block = random() % 4 == 0;
    for (int i = 0; i < batch; ++i) {
      const unsigned r = random() % 10;
      TStep step{};
      if (block || ids.empty() || r < 5) {
        step = {'I', static_cast<std::int32_t>(ids.size()), nextId++, 0};
        ids.push_back(step.id);
        versions[step.id] = 0;
        line += " I " + std::to_string(step.id);
      } else if (r < 8) {
        const auto pos = static_cast<std::int32_t>(random() % ids.size());
        const std::uint32_t id = ids[static_cast<std::size_t>(pos)];
        const std::int32_t version = (versions[id] + 1) % killtest::kVersions;
        step = {'U', pos, id, version};
        versions[id] = version;
        line += " U " + std::to_string(id) + " " + std::to_string(version);
      } else {
        const auto pos = static_cast<std::int32_t>(random() % ids.size());
        step = {'D', pos, ids[static_cast<std::size_t>(pos)], 0};
        versions.erase(step.id);
        ids[static_cast<std::size_t>(pos)] = ids.back();
        ids.pop_back();
        line += " D " + std::to_string(step.id);
      }
      steps.push_back(step);
    }
    Append(ops, line + " E\n");
    if (block) {
      const auto size = static_cast<std::size_t>(m->RecordSize());
      std::vector<std::uint8_t> block;
      for (const TStep& step : steps) {
        killtest::FillRow(*m, step.id, buffer.data(), step.version);
        block.insert(block.end(), buffer.begin(),
                     buffer.begin() + static_cast<std::ptrdiff_t>(size));
      }
      if (!m->AppendRecords(block.data(), static_cast<std::int32_t>(steps.size())))
        throw std::runtime_error("the table refused a block of records");
      steps.clear();
    }
    for (const TStep& step : steps) {
      // As a data set posts: one flush check per record.
      m->DisableAutoFlush();
      if (step.kind == 'D') {
        m->krDeleteRecord(0, step.pos);
      } else {
        killtest::FillRow(*m, step.id, buffer.data(), step.version);
        if (step.kind == 'I')
          m->InsertRecord(buffer.data(), 0);
        else
          m->UpdateRecord(buffer.data(), 0, step.pos);
      }
      m->EnableAutoFlush(true);
    }
    if (m->RecordCount() != static_cast<std::int32_t>(ids.size())) {
      throw std::runtime_error("the table and the writer's model disagree");
    }
    m->FlushBuffers();
    Append(ops, "F\n");
    std::printf("flushed %d\n", m->RecordCount());
    std::fflush(stdout);
  }
  ::close(ops);
}

// Opens the directory (`kind` "dir") or container ("kvb") database at
// `path`, creating a missing container.
void OpenDatabase(TKivoDatabase& db, const std::string& kind, const std::string& path) {
  RegisterContainerStore();
  if (kind == "dir") {
    db.SetDatabaseName(path);
  } else {
    db.SetDatabaseName("KillTest");
    db.SetDatabaseFileName(path);
    if (!kivo::FileExists(path)) db.CreateDatabase();
  }
  db.Open();
}

int Run(const std::string& kind, const std::string& path, unsigned seed,
        const std::string& password, const std::string& opsFile) {
  TKivoDatabase db;
  OpenDatabase(db, kind, path);
  TKivoDatabaseManager* store = db.Handle();
  if (!store->FileExists(std::string(killtest::kTable) + ".dat", 0)) {
    TDataManagerHold creator(krGetDataManager(killtest::kTable, store));
    creator->SetEncrypted(!password.empty());
    creator->SetPassword(password);
    creator->CreateTable(killtest::Fields(), TIndexDefs(), false, 1000);
  }
  killtest::TRowsClient client;
  client.password = password;
  TKivoDataManager* m = krGetDataManager(killtest::kTable, store);
  const std::int8_t opened = m->ConnectDataset(&client);
  if (opened != kOpenOk) {
    krReleaseDataManager(m);
    std::fprintf(stderr, "kill_writer: the table does not open, code %d\n", opened);
    return 1;
  }
  std::printf("open %d\n", m->RecordCount());
  std::fflush(stdout);

  std::mt19937 random(seed);
  if (!opsFile.empty()) {
    RunMixed(m, random, opsFile);
    m->DisconnectDataset(&client);
    return 0;
  }
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(m->RecordSize()) + 8);
  while (m->RecordCount() < 500000) {
    const int batch = 1 + static_cast<int>(random() % 60);
    for (int i = 0; i < batch; ++i) {
      const auto id = static_cast<std::uint32_t>(m->LastAutoInc()) + 1;
      killtest::FillRow(*m, id, buffer.data());
      // As a data set posts: one flush check per record.
      m->DisableAutoFlush();
      m->InsertRecord(buffer.data(), 0);
      m->EnableAutoFlush(true);
    }
    m->FlushBuffers();
    std::printf("flushed %d\n", m->RecordCount());
    std::fflush(stdout);
  }
  m->DisconnectDataset(&client);
  return 0;
}

// ---- The SQL scenario.

// Creates the table through SQL when missing and reads what it holds.
TScriptModel PrepareScriptTable(const std::string& kind, const std::string& path,
                                TKivoQuery& query) {
  TScriptModel model;
  TKivoDatabase db;
  OpenDatabase(db, kind, path);
  const bool exists = db.Handle()->FileExists(std::string(killtest::kScriptTable) + ".dat", 0);
  if (!exists) {
    db.Close();
    query.SetSQLText(killtest::kCreateScriptTable);
    query.ExecSQL();
    db.Open();
  }
  killtest::TRowsClient client;
  TKivoDataManager* m = krGetDataManager(killtest::kScriptTable, db.Handle());
  if (m->ConnectDataset(&client) != kOpenOk) {
    krReleaseDataManager(m);
    throw std::runtime_error("the table does not open");
  }
  for (std::int32_t pos = 0; pos < m->RecordCount(); ++pos) {
    const killtest::TScriptRow row = killtest::ReadScriptRow(*m, m->GetRecordPtr(pos));
    if (!row.problem.empty() || model.rows.count(row.key) != 0)
      throw std::runtime_error("record " + std::to_string(pos) + " is not a row of the writer");
    model.Set(row.key, row.version);
  }
  m->DisconnectDataset(&client);
  return model;
}

// Runs random scripts through the query component until killed.
int RunScripts(const std::string& kind, const std::string& path, unsigned seed,
               const std::string& opsFile) {
  TKivoQuery query;
  if (kind == "dir")
    query.SetDatabaseName(path);
  else
    query.SetDatabaseFileName(path);
  TScriptModel model = PrepareScriptTable(kind, path, query);
  std::printf("open %zu\n", model.rows.size());
  std::fflush(stdout);
  const int ops = ::open(opsFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (ops < 0) throw std::runtime_error("cannot open the ops file");
  std::mt19937 random(seed);
  for (;;) {
    const TScript script = PlanScript(model, random);
    Append(ops, script.plan);
    query.SetSQLText(script.sql);
    query.ExecSQL();
    if (script.lastCount >= 0 && query.RowsAffected() != script.lastCount)
      throw std::runtime_error("the table and the writer's model disagree");
    Append(ops, "F\n");
    std::printf("flushed %zu\n", model.rows.size());
    std::fflush(stdout);
  }
}

// Random Windows-1250 words with Hungarian letters in both cases.
std::string RandomItem(std::mt19937& random) {
  static const std::string letters =
      "aA\xE1\xC1"
      "bBcs\xE9\xC9"
      "\xF6\xD6\xF5\xD5\xFC\xFB\xDB"
      "zy ";
  std::string item;
  const std::size_t length = 1 + random() % 10;
  for (std::size_t i = 0; i < length; ++i) item += letters[random() % letters.size()];
  return item;
}

int RunIndexed(const std::string& path, unsigned seed) {
  TKivoDatabase db;
  db.SetDatabaseName(path);
  db.Open();
  TKivoDatabaseManager* store = db.Handle();
  if (!store->FileExists(std::string(killtest::kIndexedTable) + ".dat", 0)) {
    TDataManagerHold creator(krGetDataManager(killtest::kIndexedTable, store));
    creator->CreateTable(killtest::Fields(), killtest::IndexedTableIndexes(), false, 1000);
  }
  killtest::TRowsClient client;
  TKivoDataManager* m = krGetDataManager(killtest::kIndexedTable, store);
  const std::int8_t opened = m->ConnectDataset(&client);
  if (opened != kOpenOk) {
    krReleaseDataManager(m);
    std::fprintf(stderr, "kill_writer: the table does not open, code %d\n", opened);
    return 1;
  }
  std::printf("open %d\n", m->RecordCount());
  std::fflush(stdout);
  std::mt19937 random(seed);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(m->RecordSize()) + 8);
  auto fill = [&](std::uint32_t id) {
    std::fill(buffer.begin(), buffer.end(), 0);
    const std::string item = RandomItem(random);
    const auto qty = static_cast<std::int32_t>(random() % 500);
    std::memcpy(buffer.data() + m->FieldOffset(0), item.data(), item.size());
    std::memcpy(buffer.data() + m->FieldOffset(1), &qty, sizeof qty);
    SetFieldNull(m->Layout(), buffer.data(), 1, random() % 10 == 0);
    SetRecordId(m->Layout(), buffer.data(), id);
  };
  for (;;) {
    const int batch = 1 + static_cast<int>(random() % 400);
    for (int i = 0; i < batch; ++i) {
      const std::int32_t count = m->RecordCount();
      const unsigned dice = random() % 20;
      const auto current = static_cast<std::int32_t>(random() % 3);
      if (count < 100 || dice < 12) {
        fill(static_cast<std::uint32_t>(m->LastAutoInc()) + 1);
        m->InsertRecord(buffer.data(), current);
      } else {
        const auto pos = static_cast<std::int32_t>(random() % static_cast<unsigned>(count));
        fill(GetRecordId(m->Layout(), m->GetRecordPtr(pos)));
        m->UpdateRecord(buffer.data(), current, pos);
      }
    }
    std::printf("saving %d\n", m->RecordCount());
    std::fflush(stdout);
    m->SaveIndexes();
    std::printf("saved %d\n", m->RecordCount());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string opsFile;
  if (args.size() >= 2 && args[0] == "--mixed") {
    opsFile = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  const bool sql = !args.empty() && args[0] == "sql" && opsFile.empty();
  if (sql) args.erase(args.begin());
  const bool usable = sql ? args.size() == 4 && (args[0] == "dir" || args[0] == "kvb")
                          : args.size() >= 3 && args.size() <= 4 &&
                                (args[0] == "dir" || args[0] == "kvb" || args[0] == "idx");
  if (!usable) {
    std::fprintf(stderr,
                 "usage: kill_writer [--mixed OPS-FILE] dir|kvb|idx PATH SEED [TABLE-PASSWORD]\n"
                 "       kill_writer sql dir|kvb PATH SEED OPS-FILE\n");
    return 2;
  }
  try {
    const auto seed = static_cast<unsigned>(std::strtoul(args[2].c_str(), nullptr, 10));
    if (sql) return RunScripts(args[0], args[1], seed, args[3]);
    if (args[0] == "idx") return RunIndexed(args[1], seed);
    return Run(args[0], args[1], seed, args.size() == 4 ? args[3] : "", opsFile);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kill_writer: %s\n", e.what());
    return 1;
  }
}
