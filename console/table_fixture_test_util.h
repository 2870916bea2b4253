// Tables for console tests, made through the engine in a directory database.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "engine/data_manager.h"
#include "engine/record_image.h"
#include "engine/table_file_store.h"

namespace kartova::testing {

// Table `name` in `folder` with fields n INTEGER and name STRING(20); row i
// (0-based) holds n = i + 1 and name "row <i + 1>". Rows go straight
// through the table manager, so large tables are quick to make.
inline void MakeNumberedTable(const std::string& folder, const std::string& name,
                              std::int32_t rows) {
  kivo::TDirectoryTableFileStore store(folder);
  kivo::TDataManagerHold m(kivo::krGetDataManager(name, &store));
  kivo::TFieldDefs fields;
  fields.Add("n", kivo::ftInteger);
  fields.Add("name", kivo::ftString, 20);
  m->CreateTable(fields, kivo::TIndexDefs(), false, 1000);
  ASSERT_EQ(m->OpenTable(), kivo::kOpenOk);
  const kivo::TkrRecordLayout& l = m->Layout();
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize));
  for (std::int32_t i = 0; i < rows; ++i) {
    std::memset(buf.data(), 0, buf.size());
    const std::int32_t n = i + 1;
    std::memcpy(buf.data() + m->FieldOffset(0), &n, 4);
    const std::string text = "row " + std::to_string(n);
    std::memcpy(buf.data() + m->FieldOffset(1), text.c_str(), text.size() + 1);
    kivo::SetRecordId(l, buf.data(), static_cast<std::uint32_t>(n));
    m->InsertRecord(buf.data(), 0);
  }
  m->CloseTable();
}

// Table `name` in `folder` with fields n INTEGER, note MEMO and pic BLOB,
// and one row per entry of `notes`: an empty entry leaves the memo null;
// every row's picture holds three bytes.
inline void MakeMemoTable(const std::string& folder, const std::string& name,
                          const std::vector<std::string>& notes) {
  {
    kivo::TDirectoryTableFileStore store(folder);
    kivo::TDataManagerHold m(kivo::krGetDataManager(name, &store));
    kivo::TFieldDefs fields;
    fields.Add("n", kivo::ftInteger);
    fields.Add("note", kivo::ftMemo);
    fields.Add("pic", kivo::ftBlob);
    m->CreateTable(fields, kivo::TIndexDefs(), false, 1000);
  }
  kivo::TKivoTable t;
  t.SetDatabaseName(folder);
  t.SetTableName(name);
  t.Open();
  for (std::size_t i = 0; i < notes.size(); ++i) {
    t.Append();
    t.FieldByName("n").SetAsInteger(static_cast<std::int32_t>(i) + 1);
    if (!notes[i].empty()) t.FieldByName("note").SetAsString(notes[i]);
    t.FieldByName("pic").SetAsString("abc");
    t.Post();
  }
  t.Close();
}

}  // namespace kartova::testing
