// The SQLite side of the benchmarks: a database opened the way every
// comparison runs it (no journal, no syncs), with the few calls they share.
#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>

#include "bench/bench_support.h"

namespace kivo::bench {

class LiteDatabase {
 public:
  // `name` is a file path or ":memory:".
  explicit LiteDatabase(const std::string& name) {
    Check(sqlite3_open(name.c_str(), &db_) == SQLITE_OK, "sqlite3_open failed");
    Exec("PRAGMA journal_mode=OFF");
    Exec("PRAGMA synchronous=OFF");
  }
  ~LiteDatabase() { sqlite3_close(db_); }
  LiteDatabase(const LiteDatabase&) = delete;
  LiteDatabase& operator=(const LiteDatabase&) = delete;

  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(message);
    }
  }
  // The caller finalizes the statement.
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    Check(sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK, sqlite3_errmsg(db_));
    return stmt;
  }
  sqlite3* Handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace kivo::bench
