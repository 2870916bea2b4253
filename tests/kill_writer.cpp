// The writer of the crash-safety test: appends rows to the table "Rows" of a
// database until it is killed, flushing after every batch and reporting on
// standard output how many rows the table holds once each flush is done.
//
//   kill_writer dir DIRECTORY SEED [TABLE-PASSWORD]
//   kill_writer kvb FILE.kvb SEED [TABLE-PASSWORD]
//
// The database and the table are created when missing. Row n (its
// identifier) has Item "sor <n> őű", Qty n * 7 and Big n * 1000003; the test
// recomputes them. Output lines:
//   open <RecordCount>       after the table is open
//   flushed <RecordCount>    after each FlushBuffers has returned
// Exit status: 2 usage, 1 failure (message on standard error); it never
// ends by itself before 500000 rows.
//
//   kill_writer idx DIRECTORY SEED
//
// The index scenario: the table "Ranks" with two user indexes gets batches
// of random inserts and updates, and its indexes are saved after every
// batch. Output lines: "open <RecordCount>", then "saving <RecordCount>"
// before and "saved <RecordCount>" after each SaveIndexes. (No deletes: a
// delete cut short by a kill can leave records sharing an identifier, a
// fault of the record layer that this scenario would report instead.)
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "components/database.h"
#include "engine/data_manager.h"
#include "platform/file_util.h"
#include "storage/container/pagy_file_system.h"
#include "tests/kill_rows.h"

namespace {

using namespace kivo;


int Run(const std::string& kind, const std::string& path, unsigned seed,
        const std::string& password) {
  RegisterContainerStore();
  TKivoDatabase db;
  if (kind == "dir") {
    db.SetDatabaseName(path);
  } else {
    db.SetDatabaseName("KillTest");
    db.SetDatabaseFileName(path);
    if (!kivo::FileExists(path)) db.CreateDatabase();
  }
  db.Open();
  TKivoDatabaseManager* store = db.Handle();
  if (!store->FileExists(std::string(killtest::kTable) + ".dat", 0)) {
    std::unique_ptr<TKivoDataManager> creator(krGetDataManager(killtest::kTable, store));
    creator->SetEncrypted(!password.empty());
    creator->SetPassword(password);
    creator->CreateTable(killtest::Fields(), TIndexDefs(), false, 1000);
  }
  killtest::TRowsClient client;
  client.password = password;
  TKivoDataManager* m = krGetDataManager(killtest::kTable, store);
  const std::int8_t opened = m->ConnectDataset(&client);
  if (opened != kOpenOk) {
    delete m;
    std::fprintf(stderr, "kill_writer: the table does not open, code %d\n", opened);
    return 1;
  }
  std::printf("open %d\n", m->RecordCount());
  std::fflush(stdout);

  std::mt19937 random(seed);
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

// Random Windows-1250 words with Hungarian letters in both cases.
std::string RandomItem(std::mt19937& random) {
  static const std::string letters = "aA\xE1\xC1" "bBcs\xE9\xC9" "\xF6\xD6\xF5\xD5\xFC\xFB\xDB" "zy ";
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
    std::unique_ptr<TKivoDataManager> creator(krGetDataManager(killtest::kIndexedTable, store));
    creator->CreateTable(killtest::Fields(), killtest::IndexedTableIndexes(), false, 1000);
  }
  killtest::TRowsClient client;
  TKivoDataManager* m = krGetDataManager(killtest::kIndexedTable, store);
  const std::int8_t opened = m->ConnectDataset(&client);
  if (opened != kOpenOk) {
    delete m;
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
  if (argc < 4 || argc > 5 ||
      (std::strcmp(argv[1], "dir") != 0 && std::strcmp(argv[1], "kvb") != 0 &&
       std::strcmp(argv[1], "idx") != 0)) {
    std::fprintf(stderr, "usage: kill_writer dir|kvb|idx PATH SEED [TABLE-PASSWORD]\n");
    return 2;
  }
  try {
    if (std::strcmp(argv[1], "idx") == 0)
      return RunIndexed(argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
    return Run(argv[1], argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)),
               argc == 5 ? argv[4] : "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kill_writer: %s\n", e.what());
    return 1;
  }
}
