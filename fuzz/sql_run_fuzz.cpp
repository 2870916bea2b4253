// Fuzz target: whole SQL scripts run against a small in-memory database of
// three tables (t, varosok, rendelesek; every common field type, keys and
// indexes, a few rows each), made afresh for every input.
//
// A script may fail with the engine's errors; nothing else may escape. The
// work of one input is limited: the host stops a script once its
// operators have moved over a number of rows (a cross join of many tables
// or an INSERT ... SELECT doubling a table would otherwise run for hours),
// which also runs the statements' error paths at arbitrary rows. After the
// script, every table left in the database must read to its end.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/sql_host.h"
#include "fuzz/fuzz_support.h"
#include "platform/errors.h"
#include "sql/stmt/script.h"
#include "storage/file_layer.h"

namespace {

using kivo::fuzz::Fail;

constexpr char kDatabase[] = "MEMORY";
constexpr int kRowMoveLimit = 20000;

constexpr char kTables[] =
    "CREATE TABLE t (id AUTOINC, a INTEGER, b VARCHAR(20), c FLOAT, d DATE, "
    "name VARCHAR(40) NOT NULL, note MEMO, bl BLOB, ok BOOLEAN, PRIMARY KEY (id));\n"
    "CREATE INDEX t_b ON t (b NOCASE, a DESC);\n"
    "INSERT INTO t (a, b, c, d, name, note, ok) VALUES (1, 'alma', 1.5, NULL, 'egy', 'x', TRUE);\n"
    "INSERT INTO t (a, b, c, name, ok) VALUES (2, 'Korte', -2, 'ketto', FALSE);\n"
    "INSERT INTO t (a, b, name, note) VALUES (NULL, 'alma', 'harom', 'hosszu megjegyzes');\n"
    "INSERT INTO t (a, name) VALUES (4, 'negy');\n"
    "CREATE TABLE varosok (id INTEGER NOT NULL, nev VARCHAR(30), lakos INTEGER, "
    "megye VARCHAR(20), PRIMARY KEY (id));\n"
    "CREATE UNIQUE INDEX varosok_nev ON varosok (nev);\n"
    "INSERT INTO varosok VALUES (1, 'Szeged', 160000, 'Csongrad');\n"
    "INSERT INTO varosok VALUES (2, 'Gyor', 132000, 'Gyor-Moson-Sopron');\n"
    "INSERT INTO varosok VALUES (3, 'Pecs', 140000, 'Baranya');\n"
    "INSERT INTO varosok VALUES (4, 'Eger', 52000, NULL);\n"
    "CREATE TABLE rendelesek (id INTEGER, varos_id INTEGER, osszeg FLOAT, statusz VARCHAR(10), "
    "datum DATETIME, PRIMARY KEY (id));\n"
    "INSERT INTO rendelesek VALUES (1, 1, 100.5, 'kesz', NULL);\n"
    "INSERT INTO rendelesek VALUES (2, 1, 2500, 'uj', NULL);\n"
    "INSERT INTO rendelesek VALUES (3, 3, -1, 'torolt', NULL);\n"
    "INSERT INTO rendelesek VALUES (4, 9, 0, NULL, NULL);\n";

// The in-memory database's host, with the work limit.
class TLimitedHost final : public kivo::TKivoSqlHost {
 public:
  TLimitedHost() : TKivoSqlHost("", kDatabase, "", true) {}
  void CheckCancel() override {
    if (++moves_ > kRowMoveLimit) throw kivo::Exception("The fuzz input's work limit was reached.");
  }

 private:
  int moves_ = 0;
};

kivo::TAbstractPlainFileSystem* MemoryFiles() {
  return kivo::TPFSManager::Instance().FindPFS(kDatabase, kivo::fsmMemory);
}

// Deletes every table file of the in-memory database.
void ClearMemoryDatabase() {
  kivo::TAbstractPlainFileSystem* files = MemoryFiles();
  if (files == nullptr) return;
  std::vector<std::string> names;
  for (const char* extension : {".dat", ".idx", ".bif", ".bdf", ".jnl"}) {
    files->GetFileNames(extension, names);
    for (const std::string& name : names) files->DeleteFile(name);
  }
}

// Opens every table of the database and reads every field of every row: a
// table the script left must read to its end. A table that does not open
// (one given a password by the script) is passed over.
void ReadEveryTable() {
  kivo::TAbstractPlainFileSystem* files = MemoryFiles();
  if (files == nullptr) Fail("the in-memory database is gone");
  std::vector<std::string> names;
  files->GetFileNames(".dat", names);
  TLimitedHost host;
  for (std::string name : names) {
    name.resize(name.size() - 4);
    kivo::TZorTableAddress address;
    address.TableName = name;
    address.InMemory = true;
    std::unique_ptr<kivo::TZorTable> table;
    try {
      table = host.OpenTable(address, true);
    } catch (const kivo::Exception&) {
      continue;
    }
    try {
      std::int32_t rows = 0;
      kivo::TZorValue value;
      for (table->First(); !table->Eof(); table->Next(), ++rows) {
        for (int i = 0; i < table->FieldCount(); ++i) table->ReadField(i, value);
      }
      if (rows != table->RecordCount()) Fail("table " + name + " counts other rows than it shows");
    } catch (const kivo::Exception& e) {
      Fail("table " + name + " does not read to its end: " + e.what());
    }
  }
}

void Run(const std::string& script) {
  TLimitedHost host;
  kivo::TSQLScriptProcessor processor(script, nullptr);
  processor.Execute(host);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ClearMemoryDatabase();
  try {
    Run(kTables);
  } catch (const kivo::Exception& e) {
    Fail(std::string("the database of the fuzz target was not made: ") + e.what());
  }

  const std::string script(reinterpret_cast<const char*>(data), size);
  try {
    Run(script);
  } catch (const kivo::Exception&) {
  }

  ReadEveryTable();
  return 0;
}
