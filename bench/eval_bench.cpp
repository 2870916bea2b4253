// Evaluating WHERE conditions row by row, against SQLite evaluating the
// same conditions in a WHERE over the same table (t of bench_rows.h:
// a INTEGER, b INTEGER, s STRING(20), f FLOAT, 1 000 000 rows at the
// default size).
//
// Ours: the condition is parsed once, bound to the table's fields and
// evaluated for every record of a sequential scan of the table; the fields
// of the rows it accepts are read and added up. SQLite: SELECT a, b, s, f FROM t WHERE
// the same condition, its rows added up the same way. Both sums must agree.
//
//   BM_Arithmetic   a * 3 + b > 1000000000
//   BM_Like         s LIKE '%123%'
//   BM_InList       a IN (1 000 constants)
//   BM_InSubQuery   a IN (SELECT k FROM u), u holding 100 000 rows; our
//                   side runs the sub-query by reading u through its cursor
//   BM_Upper        UPPER(s) = 'ROW-0000000000012345'
//   BM_Substring    SUBSTRING(s, 15, 3) = '123'
//
// Each half builds its tables in a forked child and times only the work.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "bench/row_tables.h"
#include "components/kivo_table.h"
#include "engine/data_manager.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "engine/table_file_store.h"
#include "platform/locale.h"
#include "sql/eval_context.h"
#include "sql/parser.h"

namespace kivo {
namespace {

using bench::Check;
using bench::ChildResult;
using bench::InChild;

// The fields of a record image as an expression's row: the values borrow
// the image, which lives while the scan calls back.
class ImageRows : public TZorFieldSource {
 public:
  explicit ImageRows(TKivoDataManager& m) : m_(m), layout_(m.Layout()) {}
  std::vector<int> MatchingFields(std::string_view, std::string_view name) const override {
    for (int i = 0; i < m_.FieldCount(); ++i) {
      if (AnsiSameText(m_.FieldHeader(i).FieldName, name)) return {i};
    }
    return {};
  }
  std::uint8_t FieldType(int fieldNo) const override { return m_.FieldHeader(fieldNo).FieldType; }
  std::int32_t FieldSize(int fieldNo) const override { return m_.FieldHeader(fieldNo).FieldSize; }
  void ReadField(int fieldNo, TZorValue& out) const override {
    const std::uint8_t type = m_.FieldHeader(fieldNo).FieldType;
    const std::uint8_t* slot = image + m_.FieldOffset(fieldNo);
    if (IsFieldNull(layout_, image, fieldNo) || StoredValueIsNull(type, slot, false)) {
      out.SetNull(type);
    } else {
      out.SetBorrowed(type, slot, m_.FieldHeader(fieldNo).FieldSize);
    }
  }
  const std::uint8_t* image = nullptr;

 private:
  TKivoDataManager& m_;
  const TkrRecordLayout& layout_;
};

// Rows of a table's first field, for IN (SELECT k FROM u).
class TableColumn : public TZorSubQueryRows {
 public:
  explicit TableColumn(const std::string& dir) {
    table_.SetDatabaseName(dir);
    table_.SetTableName("u");
    table_.Open();
  }
  bool Next() override {
    started_ ? table_.Next() : table_.First();
    started_ = true;
    return !table_.Eof();
  }
  const TZorValue& FirstField() override {
    table_.GetFieldValue(value_, 0, true);
    return value_;
  }

 private:
  TKivoTable table_;
  TZorValue value_;
  bool started_ = false;
};

class Context : public TZorEvalContext {
 public:
  explicit Context(std::string dir) : dir_(std::move(dir)) {}
  std::unique_ptr<TZorSubQueryRows> OpenSubQuery(const std::string&) override {
    return std::make_unique<TableColumn>(dir_);
  }
  std::int32_t LastAutoInc(const TZorExprNodeSystem&) override { return 0; }

 private:
  std::string dir_;
};

// The table is read with the engine's sequential scan, as a table operator
// reads it for a filter.
std::uint64_t OurWhere(const std::string& dir, const std::string& condition) {
  TDirectoryTableFileStore store(dir);
  TDataManagerHold m(krGetDataManager("t", &store));
  Check(m->OpenTable() == kOpenOk, "open failed");
  ImageRows rows(*m);
  Context context(dir);
  TKivoLexer lexer(condition);
  lexer.NextCommand();
  TZorExpression where(lexer);
  where.ParseSearchCondition();
  where.Bind(rows);
  const std::int32_t a = m->FieldOffset(0), b = m->FieldOffset(1);
  const std::int32_t s = m->FieldOffset(2), f = m->FieldOffset(3);
  bench::StartTiming();
  std::uint64_t sum = 0;
  m->ScanRecords(0, m->RecordCount(), [&](std::int32_t, const std::uint8_t* image) {
    rows.image = image;
    const TZorValue& v = where.Evaluate(&context);
    if (v.IsNull() || !v.AsBoolean()) return;
    std::int32_t av, bv;
    double fv;
    std::memcpy(&av, image + a, 4);
    std::memcpy(&bv, image + b, 4);
    std::memcpy(&fv, image + f, 8);
    const char* text = reinterpret_cast<const char*>(image + s);
    const std::size_t length = strnlen(text, bench::kRowStringLength);
    sum += bench::RowSum(av, bv, length == 0 ? '\0' : text[length - 1], fv);
  });
  m->CloseTable();
  return sum;
}

std::uint64_t LiteWhere(bench::LiteDatabase& lite, const std::string& condition) {
  bench::StartTiming();
  const std::string sql = "SELECT a, b, s, f FROM t WHERE " + condition;
  sqlite3_stmt* stmt = lite.Prepare(sql.c_str());
  std::uint64_t sum = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
    sum += bench::RowSum(sqlite3_column_int(stmt, 0), sqlite3_column_int(stmt, 1),
                         text && *text ? text[std::strlen(text) - 1] : '\0',
                         sqlite3_column_double(stmt, 3));
  }
  sqlite3_finalize(stmt);
  return sum;
}

// The keys of u: every tenth row's a, 100 000 of them at the default size.
void BuildOurKeys(const std::string& dir, std::int32_t keys) {
  TDirectoryTableFileStore store(dir);
  TDataManagerHold m(krGetDataManager("u", &store));
  TFieldDefs fields;
  fields.Add("k", ftInteger);
  m->CreateTable(fields, TIndexDefs(), false, 1000);
  Check(m->OpenTable() == kOpenOk, "open failed");
  const TkrRecordLayout& l = m->Layout();
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize));
  for (std::int32_t i = 0; i < keys; ++i) {
    const std::int32_t k = i * 10;
    std::memset(buf.data(), 0, buf.size());
    std::memcpy(buf.data() + m->FieldOffset(0), &k, 4);
    SetRecordId(l, buf.data(), static_cast<std::uint32_t>(i) + 1);
    m->InsertRecord(buf.data(), 0);
  }
  m->CloseTable();
}

void BuildLiteKeys(bench::LiteDatabase& lite, std::int32_t keys) {
  lite.Exec("CREATE TABLE u(k INTEGER)");
  lite.Exec("BEGIN");
  sqlite3_stmt* stmt = lite.Prepare("INSERT INTO u(k) VALUES (?)");
  for (std::int32_t i = 0; i < keys; ++i) {
    sqlite3_bind_int(stmt, 1, i * 10);
    Check(sqlite3_step(stmt) == SQLITE_DONE, "insert failed");
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  lite.Exec("COMMIT");
}

void Run(benchmark::State& state, const std::string& condition) {
  bench::SideBySide run(state);
  const std::int32_t rows = bench::RowCount();
  const std::int32_t keys = rows / 10;
  for (auto _ : state) {
    bench::ScratchDir scratch("kartova_eval");
    const ChildResult ours = InChild([&] {
      bench::BuildOurRowTable(scratch.Dir(), rows);
      BuildOurKeys(scratch.Dir(), keys);
      return OurWhere(scratch.Dir(), condition);
    });
    const ChildResult ref = InChild([&] {
      bench::LiteDatabase lite(scratch.File("lite.db"));
      bench::BuildLiteRowTable(lite, rows, false);
      BuildLiteKeys(lite, keys);
      return LiteWhere(lite, condition);
    });
    run.AddOurs(ours.seconds);
    run.AddReference(ref.seconds);
    state.counters["ours_peak_mib"] = ours.peak_mib;
    state.counters["ref_peak_mib"] = ref.peak_mib;
    state.counters["rows"] = rows;
    if (ours.sum != ref.sum) state.SkipWithError("the two halves selected different rows");
  }
  run.Finish();
}

std::string InListOf1000() {
  std::string list;
  for (int i = 0; i < 1000; ++i) list += (i ? ", " : "") + std::to_string(i * 997 + 3);
  return "a IN (" + list + ")";
}

void BM_Arithmetic(benchmark::State& state) { Run(state, "a * 3 + b > 1000000000"); }
void BM_Like(benchmark::State& state) { Run(state, "s LIKE '%123%'"); }
void BM_InList(benchmark::State& state) { Run(state, InListOf1000()); }
void BM_InSubQuery(benchmark::State& state) { Run(state, "a IN (SELECT k FROM u)"); }
void BM_Upper(benchmark::State& state) { Run(state, "UPPER(s) = 'ROW-0000000000012345'"); }
void BM_Substring(benchmark::State& state) { Run(state, "SUBSTRING(s, 15, 3) = '123'"); }

BENCHMARK(BM_Arithmetic)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Like)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InList)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InSubQuery)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upper)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Substring)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
