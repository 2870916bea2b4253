// The fixture of the query component's and the script processor's tests:
// a directory database with one table t of six rows (n 1..6, s = "s" + n % 3)
// and helpers that open queries on it and read their rows.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "components/kivo_query.h"
#include "components/sql_host.h"
#include "testing/test_support.h"

namespace kivo {

class QueryTest : public ::testing::Test {
 protected:
  QueryTest() {
    // t: n 1..6, s = "s" + n % 3
    auto t = host_.CreateNamedTable(Address("t"), {{"n", ftInteger, 0}, {"s", ftString, 10}});
    for (int n = 1; n <= 6; ++n) {
      TZorValue v;
      v.SetInteger(n);
      t->Append();
      t->WriteField(0, v);
      v.SetString("s" + std::to_string(n % 3));
      t->WriteField(1, v);
      t->Post();
    }
  }
  static TZorTableAddress Address(const std::string& name) {
    TZorTableAddress a;
    a.TableName = name;
    return a;
  }
  std::unique_ptr<TKivoQuery> Query(const std::string& text) {
    auto q = std::make_unique<TKivoQuery>();
    q->SetDatabaseName(dir_.path());
    q->SetSQLText(text);
    return q;
  }
  // Every visible row, fields joined by ",", NULL as "-".
  static std::vector<std::string> Rows(TKivoQuery& q) {
    std::vector<std::string> rows;
    for (q.First(); !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.Fields().Count(); ++i) {
        if (i > 0) row += ",";
        const TField& f = q.Fields()[i];
        row += f.IsNull() ? "-" : f.AsString();
      }
      rows.push_back(row);
    }
    return rows;
  }
  static std::vector<std::string> Names(TKivoQuery& q) {
    std::vector<std::string> names;
    for (int i = 0; i < q.Fields().Count(); ++i) names.push_back(q.Fields()[i].FieldName());
    return names;
  }
  // The files of temporary tables left in the process's in-memory database
  // cannot be seen on disk; the directory shows only named tables.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir dir_;
  TKivoSqlHost host_{"", dir_.path(), "", false};
};

}  // namespace kivo
