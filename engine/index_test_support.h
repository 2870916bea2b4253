// Test helpers for indexes: a table of (STRING(12) s, INTEGER n,
// WIDESTRING(16) w, DATE d) in a disk directory, rows mirrored in memory,
// and a check of every index against a reference sort of the mirror.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "dataset/field_defs.h"
#include "engine/data_manager.h"
#include "engine/table_test_support.h"
#include "platform/locale.h"
#include "storage/file_layer.h"
#include "testing/test_support.h"

namespace kivo::testing {

using DirStore = TDirectoryTableFileStore;

struct IdxRow {
  std::uint32_t id = 0;
  std::optional<std::string> s;  // Windows-1250
  std::optional<std::int32_t> n;
  std::optional<std::u16string> w;
  std::optional<std::int32_t> d;  // day number
};

// One key field of the reference order: field 0..3 (s, n, w, d) or -1.
struct RefPart {
  int field;
  bool descending = false;
  bool caseInsensitive = false;
};

inline int RefCompare(const IdxRow& a, const IdxRow& b, const std::vector<RefPart>& parts) {
  for (const RefPart& p : parts) {
    int r = 0;
    if (p.field == -1) {
      r = a.id < b.id ? -1 : (a.id > b.id ? 1 : 0);
      if (r != 0) return r;
      continue;
    }
    bool na = false, nb = false;
    switch (p.field) {
      case 0:
        na = !a.s;
        nb = !b.s;
        break;
      case 1:
        na = !a.n;
        nb = !b.n;
        break;
      case 2:
        na = !a.w;
        nb = !b.w;
        break;
      default:
        na = !a.d;
        nb = !b.d;
        break;
    }
    if (na || nb) {
      r = na == nb ? 0 : (na ? -1 : 1);
    } else {
      switch (p.field) {
        case 0:
          r = p.caseInsensitive ? AnsiCompareText(*a.s, *b.s) : AnsiCompareStr(*a.s, *b.s);
          break;
        case 1:
          r = *a.n < *b.n ? -1 : (*a.n > *b.n ? 1 : 0);
          break;
        case 2:
          r = p.caseInsensitive ? WideCompareText(*a.w, *b.w) : WideCompareStr(*a.w, *b.w);
          break;
        default: {
          const int x = std::max(*a.d, 1), y = std::max(*b.d, 1);
          r = x < y ? -1 : (x > y ? 1 : 0);
        }
      }
      r = r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    if (r != 0) return p.descending ? -r : r;
  }
  return 0;
}

class IdxTable {
 public:
  explicit IdxTable(const TempDir& dir) : store_(dir.path()) {}
  ~IdxTable() {
    try {
      Drop();
    } catch (const std::exception&) {
    }
  }

  void Create(const TIndexDefs& indexes = TIndexDefs(), bool autoIndexes = false) {
    TDataManagerHold m0(krGetDataManager("t", &store_));
    TFieldDefs fields;
    fields.Add("s", ftString, 12);
    fields.Add("n", ftInteger);
    fields.Add("w", ftWideString, 16);
    fields.Add("d", ftDate);
    m0->CreateTable(fields, indexes, autoIndexes, 1000);
  }
  std::int8_t Open(bool readOnly = false) {
    Drop();
    m = krGetDataManager("t", &store_);
    m->SetReadOnly(readOnly);
    const std::int8_t r = m->OpenTable();
    if (r == kOpenOk) m->SetTickSource([this] { return now; });
    return r;
  }
  void Drop() {
    TDataManagerHold old(m);
    m = nullptr;
    if (old) old->CloseTable();
  }

  std::vector<std::uint8_t> Buffer(const IdxRow& row) const {
    const TkrRecordLayout& l = m->Layout();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize), 0);
    if (row.s)
      std::memcpy(buf.data() + m->FieldOffset(0), row.s->data(),
                  std::min<std::size_t>(row.s->size(), 12));
    if (row.n) std::memcpy(buf.data() + m->FieldOffset(1), &*row.n, 4);
    if (row.w)
      std::memcpy(buf.data() + m->FieldOffset(2), row.w->data(),
                  std::min<std::size_t>(row.w->size(), 8) * 2);
    if (row.d) std::memcpy(buf.data() + m->FieldOffset(3), &*row.d, 4);
    SetFieldNull(l, buf.data(), 0, !row.s);
    SetFieldNull(l, buf.data(), 1, !row.n);
    SetFieldNull(l, buf.data(), 2, !row.w);
    SetFieldNull(l, buf.data(), 3, !row.d);
    SetRecordId(l, buf.data(), row.id);
    return buf;
  }
  std::int32_t Insert(const IdxRow& row, std::int32_t current = 0) {
    rows.push_back(row);
    return m->InsertRecord(Buffer(row).data(), current);
  }
  std::int32_t Update(std::int32_t pos, const IdxRow& row, std::int32_t current = 0) {
    rows[static_cast<std::size_t>(pos)] = row;
    return m->UpdateRecord(Buffer(row).data(), current, pos);
  }
  std::int32_t Delete(std::int32_t pos, std::int32_t current = 0) {
    const std::int32_t r = m->krDeleteRecord(current, pos);
    rows[static_cast<std::size_t>(pos)] = rows.back();
    rows.pop_back();
    return r;
  }

  // Index `indexNo` lists every position once, and its rows are in the
  // order of a reference sort of the mirror under `parts`.
  void ExpectOrder(std::int32_t indexNo, const std::vector<RefPart>& parts) {
    m->BuildIndex(indexNo);
    const TkrIndexPositions& positions = m->Indexes()->Positions(indexNo);
    ASSERT_EQ(positions.Count(), static_cast<std::int32_t>(rows.size())) << indexNo;
    std::vector<std::int32_t> actual = positions.ToVector();
    std::vector<std::int32_t> sortedPositions = actual;
    std::sort(sortedPositions.begin(), sortedPositions.end());
    for (std::size_t i = 0; i < sortedPositions.size(); ++i)
      ASSERT_EQ(sortedPositions[i], static_cast<std::int32_t>(i)) << "index " << indexNo;
    std::vector<std::int32_t> reference(rows.size());
    std::iota(reference.begin(), reference.end(), 0);
    std::stable_sort(reference.begin(), reference.end(), [&](std::int32_t a, std::int32_t b) {
      return RefCompare(rows[static_cast<std::size_t>(a)], rows[static_cast<std::size_t>(b)],
                        parts) < 0;
    });
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(RefCompare(rows[static_cast<std::size_t>(actual[i])],
                           rows[static_cast<std::size_t>(reference[i])], parts),
                0)
          << "index " << indexNo << " ordinal " << i;
    }
  }

  DirStore store_;
  TKivoDataManager* m = nullptr;
  std::vector<IdxRow> rows;
  std::uint32_t now = 100000;
};

// Hungarian words in Windows-1250 with accents, case variants, a digit
// string and the empty string: a-acute \xE1, A-acute
// \xC1, o-double-acute \xF5, u-umlaut \xFC.
inline const std::vector<std::string> kAccentedWords = {"a",
                                                        "ab",
                                                        "\xE1",
                                                        "\xE1"
                                                        "a",
                                                        "\xE1"
                                                        "b",
                                                        "\xC1"
                                                        "B",
                                                        "AB",
                                                        "Ab",
                                                        "b",
                                                        "cs",
                                                        "cz",
                                                        "d",
                                                        "\xF5r",
                                                        "\xFC"
                                                        "z",
                                                        "abcde",
                                                        "12345",
                                                        ""};

}  // namespace kivo::testing
