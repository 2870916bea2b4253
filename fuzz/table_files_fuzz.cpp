// Fuzz target: the files of one table of a directory database, as a
// damaged disk or a hostile copy may leave them. The input is a selector
// byte, then four sections (see fuzz_support.h): t.dat, t.idx, t.bif and
// t.bdf; an empty section leaves that file out.
//
// The files are checked as `kvbtool check` checks them, then opened as a
// table: every record is read with every field, and, when the selector
// asks, a record is changed, one appended and one deleted, and the table
// closed (flushing). Damage must give the engine's errors; nothing else may
// escape. A table that checked sound and was changed without an error
// must check sound again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "fuzz/fuzz_support.h"
#include "platform/errors.h"
#include "storage/file_layer.h"
#include "tools/table_reading.h"

namespace {

using kivo::fuzz::Fail;

std::vector<std::string> Check(const std::string& dir) {
  kivo::TDiskPlainFileSystem files(dir + "/");
  return kivo::tools::CheckTables({dir, files, false, ""});
}

void ReadEveryField(kivo::TKivoTable& t) {
  int seen = 0;
  for (t.First(); !t.Eof() && seen <= t.RecordCount(); t.Next(), ++seen) {
    for (int i = 0; i < t.Fields().Count(); ++i) t.Fields()[i].AsString();
  }
  if (seen > t.RecordCount()) Fail("the walk saw more records than the table counts");
}

// Changes the first record (each field set to the text of its own value),
// appends a copy of it and deletes the last record.
void Change(kivo::TKivoTable& t) {
  t.First();
  if (t.Eof()) {
    t.Append();
    t.Post();
    return;
  }
  std::vector<std::string> values;
  for (int i = 0; i < t.Fields().Count(); ++i) values.push_back(t.Fields()[i].AsString());
  auto write = [&] {
    for (int i = 0; i < t.Fields().Count(); ++i) {
      kivo::TField& f = t.Fields()[i];
      if (f.ReadOnly() || f.DataType() == kivo::ftAutoInc) continue;
      if (values[static_cast<std::size_t>(i)].empty()) {
        f.Clear();
      } else {
        f.SetAsString(values[static_cast<std::size_t>(i)]);
      }
    }
  };
  t.Edit();
  write();
  t.Post();
  t.Append();
  write();
  try {
    t.Post();
  } catch (const kivo::Exception&) {
    t.Cancel();  // a unique key may refuse the copy
  }
  t.Last();  // on the last record, with Eof set
  if (!t.IsEmpty()) t.Delete();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const kivo::fuzz::TScratchDir dir;
  dir.Clear();
  const std::uint8_t selector = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto sections = kivo::fuzz::SplitSections(bytes, 4);
  static const char* const kNames[] = {"t.dat", "t.idx", "t.bif", "t.bdf"};
  for (std::size_t i = 0; i < 4; ++i) {
    if (!sections[i].empty()) dir.Write(kNames[i], sections[i]);
  }

  bool sound = false;
  try {
    sound = Check(dir.Path()).empty();
  } catch (const kivo::Exception&) {
  }

  bool changed = false;
  try {
    kivo::TKivoTable t;
    t.SetDatabaseName(dir.Path());
    t.SetTableName("t");
    t.Open();
    ReadEveryField(t);
    if ((selector & 1) != 0) {
      Change(t);
      ReadEveryField(t);
    }
    t.Close();
    changed = (selector & 1) != 0;
  } catch (const kivo::Exception&) {
  }

  if (sound && changed) {
    std::vector<std::string> problems;
    try {
      problems = Check(dir.Path());
    } catch (const kivo::Exception& e) {
      problems.push_back(e.what());
    }
    if (!problems.empty()) Fail("a sound table was changed into a damaged one: " + problems[0]);
  }
  return 0;
}
