// Fuzz target: filter texts, as a user types them into a table's Filter.
// The first byte picks the filter options (case, partial comparison, the
// LIKE-style reading); the rest is the text. It is set on a small table of
// every common field type, the table is walked filtered, and the same text
// searched with FindFirst / FindNext without the filter.
//
// A bad filter raises the engine's error; nothing else may escape, and the
// filtered walk never shows more records than the table holds nor a record
// twice.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "components/kivo_query.h"
#include "components/kivo_table.h"
#include "dataset/filter_options.h"
#include "fuzz/fuzz_support.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace {

using kivo::fuzz::Fail;

constexpr char kTableScript[] =
    "CREATE TABLE t (id AUTOINC, name VARCHAR(20), n INTEGER, f FLOAT, d DATE, "
    "b BOOLEAN, w WIDESTRING(10), m MEMO, PRIMARY KEY (id));\n"
    "CREATE INDEX ix_name ON t (name NOCASE);\n"
    "INSERT INTO t (name, n, f, d, b, w, m) VALUES ('alma', 1, 1.5, '1/31/2024', TRUE, "
    "'\xC5\x91rs', 'hosszabb sz\xC3\xB6veg');\n"
    "INSERT INTO t (name, n, f, d, b, w, m) VALUES ('Alm\xC3\xA1s', -7, -0.25, '12/31/1999', "
    "FALSE, 'x', NULL);\n"
    "INSERT INTO t (name, n, f, d, b, w, m) VALUES ('k\xC3\xB6rte', 30000, 1e10, NULL, NULL, "
    "NULL, 'm');\n"
    "INSERT INTO t (name, n) VALUES (NULL, NULL);\n"
    "INSERT INTO t (name, n, f) VALUES ('O''Brien', 0, 0);\n"
    "INSERT INTO t (name, n, f, b) VALUES ('*csillag*', 2, 2, TRUE);\n";

// The scratch directory and its table, made once for the whole run.
struct TFilterTable {
  kivo::fuzz::TScratchDir dir;
  std::unique_ptr<kivo::TKivoTable> table;
  std::int32_t rows = 0;

  TFilterTable() {
    kivo::SetDefaultFormatSettings(kivo::FormatSettings());
    kivo::TKivoQuery make;
    make.SetDatabaseName(dir.Path());
    make.SetSQLText(kTableScript);
    make.ExecSQL();
    table = std::make_unique<kivo::TKivoTable>();
    table->SetDatabaseName(dir.Path());
    table->SetTableName("t");
    table->Open();
    rows = table->RecordCount();
    if (rows != 6) Fail("the filter table was not made");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static TFilterTable fixture;
  kivo::TKivoTable& t = *fixture.table;
  const std::uint8_t selector = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  try {
    t.SetFiltered(false);
    t.SetFilterOptions(static_cast<kivo::TFilterOptions>(selector & 0x03));
    t.SetBDELikeFilter((selector & 0x04) != 0);
    t.SetFilter(text);
    // Searching with the filter text while the table shows every record.
    int found = 0;
    for (bool more = t.FindFirst(); more && found <= fixture.rows; more = t.FindNext()) ++found;
    if (found > fixture.rows) Fail("FindNext found more records than the table holds");

    t.SetFiltered(true);
    std::set<std::int32_t> seen;
    for (t.First(); !t.Eof(); t.Next()) {
      const std::int32_t id = t.FieldByName("id").AsInteger();
      if (!seen.insert(id).second) Fail("the filtered walk shows a record twice");
      if (static_cast<std::int32_t>(seen.size()) > fixture.rows)
        Fail("the filtered walk shows more records than the table holds");
    }
  } catch (const kivo::Exception&) {
  }
  try {
    t.SetFiltered(false);
    t.SetFilter("");
  } catch (const kivo::Exception&) {
    Fail("clearing the filter raised");
  }
  return 0;
}
