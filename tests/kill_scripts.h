// Seeded random SQL scripts over the table of the SQL scenario (kill_rows.h),
// planned on a model of the table: single-row INSERT, UPDATE and DELETE by
// the key column K, and now and then an UPDATE or DELETE over a small range
// of keys. Each script comes with its plan in the ops-file form the checks
// read (kill_check.h), one step per row it changes.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/kill_rows.h"

namespace kivo::killtest {

// The writer's picture of the table: what the planned scripts leave.
struct TScriptModel {
  std::vector<std::uint32_t> keys;             // in no order, for a random pick
  std::map<std::uint32_t, std::int32_t> rows;  // key -> version
  std::uint32_t nextKey = 1;

  void Set(std::uint32_t key, std::int32_t version) {
    if (rows.emplace(key, version).second)
      keys.push_back(key);
    else
      rows[key] = version;
    if (key >= nextKey) nextKey = key + 1;
  }
  void Erase(std::uint32_t key) {
    rows.erase(key);
    for (std::uint32_t& k : keys) {
      if (k != key) continue;
      k = keys.back();
      keys.pop_back();
      break;
    }
  }
};

// Row `key` at `version` as SQL: Item as a literal, and Big from `key`, a
// literal or the column K. An integer literal is read as 32 bits, so Big
// (past that from key 2148 on) is a product of 64-bit values.
inline std::string ItemSql(std::uint32_t key, std::int32_t version) {
  return ItemNullAt(version) ? "NULL" : "'" + ItemOf(key) + "'";
}
inline std::string BigSql(const std::string& key, std::int32_t version) {
  return BigNullAt(version) ? "NULL" : "CAST(" + key + " AS LARGEINT) * 1000003";
}

// One script: its SQL text, its plan for the ops file, and the rows its
// last UPDATE or DELETE changes (-1 when it has none).
struct TScript {
  std::string sql;
  std::string plan = "B";
  std::int32_t lastCount = -1;
};

// Appends to `script` an UPDATE that sets every row of keys first .. last
// to `version` with expressions over K, or a DELETE of them.
inline void PlanRange(TScript& script, TScriptModel& model, std::uint32_t first, std::uint32_t last,
                      bool update, std::int32_t version) {
  const std::string where =
      " WHERE K BETWEEN " + std::to_string(first) + " AND " + std::to_string(last);
  if (update) {
    const std::string item =
        ItemNullAt(version) ? "NULL" : "'sor ' || CAST(K AS VARCHAR) || ' \xF5\xFB'";
    script.sql += "UPDATE Scripted SET Item = " + item + ", Qty = K * 7 + " +
                  std::to_string(version) + " * 1000000, Big = " + BigSql("K", version) + where;
  } else {
    script.sql += "DELETE FROM Scripted" + where;
  }
  std::vector<std::uint32_t> hit;
  for (auto it = model.rows.lower_bound(first); it != model.rows.end() && it->first <= last; ++it)
    hit.push_back(it->first);
  for (std::uint32_t key : hit) {
    if (update) {
      model.Set(key, version);
      script.plan += " U " + std::to_string(key) + " " + std::to_string(version);
    } else {
      model.Erase(key);
      script.plan += " D " + std::to_string(key);
    }
  }
  script.lastCount = static_cast<std::int32_t>(hit.size());
}

// Plans a random script of 1 .. maxStatements statements on `model`,
// which it leaves as the script will.
inline TScript PlanScript(TScriptModel& model, std::mt19937& random, int maxStatements = 30) {
  TScript script;
  const int statements = 1 + static_cast<int>(random() % static_cast<unsigned>(maxStatements));
  for (int i = 0; i < statements; ++i) {
    if (i > 0) script.sql += ";\n";
    const unsigned r = random() % 20;
    const auto version = static_cast<std::int32_t>(random() % kVersions);
    if (model.keys.empty() || r < 8) {
      const std::uint32_t key = model.nextKey;
      script.sql += "INSERT INTO Scripted VALUES (" + std::to_string(key) + ", " +
                    ItemSql(key, version) + ", " + std::to_string(QtyOf(key, version)) + ", " +
                    BigSql(std::to_string(key), version) + ")";
      model.Set(key, version);
      script.plan += " I " + std::to_string(key) + " " + std::to_string(version);
      continue;
    }
    const std::uint32_t key = model.keys[random() % model.keys.size()];
    if (r < 14) {
      script.sql += "UPDATE Scripted SET Item = " + ItemSql(key, version) +
                    ", Qty = " + std::to_string(QtyOf(key, version)) +
                    ", Big = " + BigSql(std::to_string(key), version) +
                    " WHERE K = " + std::to_string(key);
      model.Set(key, version);
      script.plan += " U " + std::to_string(key) + " " + std::to_string(version);
      script.lastCount = 1;
    } else if (r < 17) {
      script.sql += "DELETE FROM Scripted WHERE K = " + std::to_string(key);
      model.Erase(key);
      script.plan += " D " + std::to_string(key);
      script.lastCount = 1;
    } else {
      PlanRange(script, model, key, key + random() % 8, r < 19, version);
    }
  }
  script.plan += " E\n";
  return script;
}

}  // namespace kivo::killtest
