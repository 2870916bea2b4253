// The benchmark table t (a INTEGER, b INTEGER, s STRING(20), f FLOAT) of
// bench_rows.h, made on both sides: ours through the table manager, with an
// index byB on b; SQLite's in one transaction, with the same index when
// asked.
#pragma once

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/lite_support.h"
#include "engine/data_manager.h"
#include "engine/record_image.h"
#include "engine/table_file_store.h"

namespace kivo::bench {

// Table t with an index byB on b in `store` (a directory or a container).
inline void BuildOurRowTable(TTableFileStore& store, std::int32_t rows) {
  TDataManagerHold m(krGetDataManager("t", &store));
  TFieldDefs fields;
  fields.Add("a", ftInteger);
  fields.Add("b", ftInteger);
  fields.Add("s", ftString, kRowStringLength);
  fields.Add("f", ftFloat);
  m->CreateTable(fields, TIndexDefs(), false, 1000);
  Check(m->OpenTable() == kOpenOk, "open failed");
  m->AddIndex("byB", "b", 0, "", "", false);
  const TkrRecordLayout& l = m->Layout();
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize));
  for (std::int32_t i = 0; i < rows; ++i) {
    const Row r = MakeRow(i);
    std::memset(buf.data(), 0, buf.size());
    std::memcpy(buf.data() + m->FieldOffset(0), &r.a, 4);
    std::memcpy(buf.data() + m->FieldOffset(1), &r.b, 4);
    std::memcpy(buf.data() + m->FieldOffset(2), r.s, kRowStringLength + 1);
    std::memcpy(buf.data() + m->FieldOffset(3), &r.f, 8);
    SetRecordId(l, buf.data(), static_cast<std::uint32_t>(i) + 1);
    m->InsertRecord(buf.data(), 0);
  }
  m->CloseTable();
}

inline void BuildOurRowTable(const std::string& dir, std::int32_t rows) {
  TDirectoryTableFileStore store(dir);
  BuildOurRowTable(store, rows);
}

inline void BuildLiteRowTable(LiteDatabase& lite, std::int32_t rows, bool indexB) {
  lite.Exec("CREATE TABLE t(a INTEGER, b INTEGER, s TEXT, f REAL)");
  if (indexB) lite.Exec("CREATE INDEX byB ON t(b)");
  lite.Exec("BEGIN");
  sqlite3_stmt* stmt = lite.Prepare("INSERT INTO t(a, b, s, f) VALUES (?, ?, ?, ?)");
  for (std::int32_t i = 0; i < rows; ++i) {
    const Row r = MakeRow(i);
    sqlite3_bind_int(stmt, 1, r.a);
    sqlite3_bind_int(stmt, 2, r.b);
    sqlite3_bind_text(stmt, 3, r.s, kRowStringLength, SQLITE_STATIC);
    sqlite3_bind_double(stmt, 4, r.f);
    Check(sqlite3_step(stmt) == SQLITE_DONE, "insert failed");
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  lite.Exec("COMMIT");
}

}  // namespace kivo::bench
