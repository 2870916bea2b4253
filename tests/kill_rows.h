// The rows of the crash-safety test, shared by its writer program and the
// test that checks them: every column is computed from the identifier and a
// version (raised by each update), so a row read back can be told right or
// wrong on its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "dataset/field_defs.h"
#include "engine/data_manager.h"
#include "engine/record_image.h"

namespace kivo::killtest {

inline constexpr char kTable[] = "Rows";

// A writable data set as the table manager sees it, with an optional table password.
struct TRowsClient : TDataManagerClient {
  std::string password;
  bool ClientInMemory() const override { return false; }
  bool ClientReadOnly() const override { return false; }
  void SetClientReadOnly(bool) override {}
  bool ClientEncrypted() const override { return !password.empty(); }
  std::string ClientPassword() const override { return password; }
  std::int32_t ClientRecordsPerPageHint() const override { return 1000; }
  bool ClientCacheEnabled() const override { return true; }
  std::uint8_t ClientBLOBCompression() const override { return 0; }
  std::int32_t ClientBLOBBlockSize() const override { return 512; }
};

inline TFieldDefs Fields() {
  TFieldDefs fields;
  fields.Add("Item", ftString, 24, true);
  fields.Add("Qty", ftInteger);
  fields.Add("Big", ftLargeint);
  return fields;
}

// "sor <id> " followed by "őű" in Windows-1250.
inline std::string ItemOf(std::uint32_t id) { return "sor " + std::to_string(id) + " \xF5\xFB"; }
// Versions run 0 .. kVersions - 1 and wrap.
inline constexpr std::int32_t kVersions = 1000;
inline std::int32_t QtyOf(std::uint32_t id, std::int32_t version = 0) {
  return static_cast<std::int32_t>(id * 7u + static_cast<std::uint32_t>(version) * 1000000u);
}
inline std::int64_t BigOf(std::uint32_t id) { return std::int64_t{id} * 1000003; }

// Fills a data set's record buffer (RecordSize + 8 bytes) with row `id` at `version`.
inline void FillRow(const TKivoDataManager& m, std::uint32_t id, std::uint8_t* buffer,
                    std::int32_t version = 0) {
  std::memset(buffer, 0, static_cast<std::size_t>(m.RecordSize()) + 8);
  const std::string item = ItemOf(id);
  const std::int32_t qty = QtyOf(id, version);
  const std::int64_t big = BigOf(id);
  std::memcpy(buffer + m.FieldOffset(0), item.data(), item.size());
  std::memcpy(buffer + m.FieldOffset(1), &qty, sizeof qty);
  std::memcpy(buffer + m.FieldOffset(2), &big, sizeof big);
  SetRecordId(m.Layout(), buffer, id);
}

// The version at which row `id` has Qty `qty`, -1 when there is none.
inline std::int32_t VersionOfQty(std::uint32_t id, std::int32_t qty) {
  const std::uint32_t rest = static_cast<std::uint32_t>(qty) - id * 7u;
  if (rest % 1000000u != 0 || rest / 1000000u >= static_cast<std::uint32_t>(kVersions)) return -1;
  return static_cast<std::int32_t>(rest / 1000000u);
}

// The version of the row in `image`, -1 when Qty fits none.
inline std::int32_t VersionOf(const TKivoDataManager& m, const std::uint8_t* image) {
  std::int32_t qty;
  std::memcpy(&qty, image + m.FieldOffset(1), sizeof qty);
  return VersionOfQty(GetRecordId(m.Layout(), image), qty);
}

// Empty when `image` holds row GetRecordId(image) exactly at some version,
// else what differs.
inline std::string RowProblem(const TKivoDataManager& m, const std::uint8_t* image) {
  const std::uint32_t id = GetRecordId(m.Layout(), image);
  for (int field = 0; field < 3; ++field)
    if (IsFieldNull(m.Layout(), image, field)) return "field " + std::to_string(field) + " is null";
  const std::string item(reinterpret_cast<const char*>(image + m.FieldOffset(0)));
  if (item != ItemOf(id)) return "Item is \"" + item + "\"";
  std::int32_t qty;
  std::int64_t big;
  std::memcpy(&qty, image + m.FieldOffset(1), sizeof qty);
  std::memcpy(&big, image + m.FieldOffset(2), sizeof big);
  if (VersionOf(m, image) < 0) return "Qty is " + std::to_string(qty);
  if (big != BigOf(id)) return "Big is " + std::to_string(big);
  return {};
}

// The table of the SQL scenario, created and changed only through SQL
// statements. Rows are told apart by the key column K, which the writer
// assigns, never by record identifiers. Row k at version v has Qty
// QtyOf(k, v), and Item ItemOf(k) and Big BigOf(k) except at the versions
// where each is null, so that inserts and updates also store nulls and a
// row half old and half new shows.
inline constexpr char kScriptTable[] = "Scripted";
inline constexpr char kCreateScriptTable[] =
    "CREATE TABLE Scripted (K INTEGER, Item STRING(24), Qty INTEGER, Big LARGEINT)";
inline bool ItemNullAt(std::int32_t version) { return version % 5 == 3; }
inline bool BigNullAt(std::int32_t version) { return version % 4 == 1; }

// A record of the SQL scenario's table as read back.
struct TScriptRow {
  std::uint32_t key = 0;
  std::int32_t version = -1;
  std::string problem;  // empty when the record is row `key` exactly at `version`
};

inline TScriptRow ReadScriptRow(const TKivoDataManager& m, const std::uint8_t* image) {
  enum { kKey, kItem, kQty, kBig };
  TScriptRow row;
  for (int field : {kKey, kQty}) {
    if (IsFieldNull(m.Layout(), image, field)) {
      row.problem = "field " + std::to_string(field) + " is null";
      return row;
    }
  }
  std::int32_t key;
  std::int32_t qty;
  std::memcpy(&key, image + m.FieldOffset(kKey), sizeof key);
  std::memcpy(&qty, image + m.FieldOffset(kQty), sizeof qty);
  row.key = static_cast<std::uint32_t>(key);
  row.version = VersionOfQty(row.key, qty);
  if (key <= 0 || row.version < 0) {
    row.problem = "K is " + std::to_string(key) + ", Qty " + std::to_string(qty);
    return row;
  }
  const bool itemNull = IsFieldNull(m.Layout(), image, kItem);
  const std::string item(reinterpret_cast<const char*>(image + m.FieldOffset(kItem)));
  if (itemNull != ItemNullAt(row.version) || (!itemNull && item != ItemOf(row.key)))
    row.problem = "Item is " + (itemNull ? std::string("null") : "\"" + item + "\"");
  std::int64_t big;
  std::memcpy(&big, image + m.FieldOffset(kBig), sizeof big);
  const bool bigNull = IsFieldNull(m.Layout(), image, kBig);
  if (bigNull != BigNullAt(row.version) || (!bigNull && big != BigOf(row.key)))
    row.problem += " Big is " + (bigNull ? std::string("null") : std::to_string(big));
  if (!row.problem.empty())
    row.problem = "at version " + std::to_string(row.version) + ": " + row.problem;
  return row;
}

// The table of the index scenario: the same fields, rows changed at random,
// and two user indexes kept in step and saved after every batch.
inline constexpr char kIndexedTable[] = "Ranks";

inline TIndexDefs IndexedTableIndexes() {
  TIndexDefs defs;
  TIndexDef& byQty = defs.Add("ByQty", "Qty;Item");
  byQty.SetDescFields("Qty");
  byQty.SetCaseInsFields("Item");
  defs.Add("ByItem", "Item", ixCaseInsensitive);
  return defs;
}

}  // namespace kivo::killtest
