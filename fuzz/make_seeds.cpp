// Writes the generated part of the fuzz programs' seed corpora: files made
// by the engine's own writers (containers, table files, compressed values,
// value texts), so that mutations start from what the engine really
// stores. Run by scripts/fuzz.sh before the programs:
//   fuzz_make_seeds DIR
// writes DIR/<corpus>/<seed> for the corpora container, table_files,
// decoders, value_text and filter.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "components/database.h"
#include "components/kivo_query.h"
#include "fuzz/fuzz_support.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/value_text.h"
#include "storage/compress/compress.h"
#include "storage/container/pagy_file_system.h"

namespace fs = std::filesystem;

namespace {

using kivo::fuzz::AppendSection;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteSeed(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw kivo::Exception("cannot write the seed " + (dir / name).string());
}

void RunSql(const std::string& database, const std::string& script) {
  kivo::TKivoQuery q;
  q.SetDatabaseName(database);
  q.SetSQLText(script);
  q.ExecSQL();
}

// A table t of every common field type with a key, an index and rows; its
// BLOB fields compressed at `level` (a CREATE TABLE word).
std::string TableScript(const std::string& level, int rows) {
  std::string s =
      "CREATE TABLE t (id AUTOINC, name VARCHAR(20) NOT NULL, n INTEGER, l LARGEINT, "
      "f FLOAT, cu CURRENCY, d DATE, tm TIME, ts DATETIME, ok BOOLEAN, w WIDESTRING(8), "
      "note MEMO, bl BLOB, PRIMARY KEY (id), BLOBCOMPRESSIONLEVEL " +
      level + ", BLOBBLOCKSIZE 64);\nCREATE INDEX t_name ON t (name NOCASE, n DESC);\n";
  for (int i = 1; i <= rows; ++i) {
    const std::string n = std::to_string(i);
    s += "INSERT INTO t (name, n, l, f, cu, ok, w, note) VALUES ('sor " + n + "', " + n + ", " + n +
         "000000, " + n + ".25, " + n + ".5, " + (i % 2 ? "TRUE" : "FALSE") + ", 'w" + n + "', '" +
         std::string(static_cast<std::size_t>(i * 23), 'a' + i % 26) + " megjegyzes " + n + "');\n";
  }
  s += "UPDATE t SET n = n * 2 WHERE id = 2;\nDELETE FROM t WHERE id = 3;\n";
  return s;
}

// The four files of table t of a new directory database, as sections.
std::string TableFiles(const fs::path& work, const std::string& script) {
  fs::remove_all(work);
  fs::create_directories(work);
  RunSql(work.string(), script);
  std::string seed(1, '\x01');
  for (const char* ext : {".dat", ".idx", ".bif", ".bdf"}) {
    const fs::path file = work / (std::string("t") + ext);
    AppendSection(seed, fs::exists(file) ? ReadFile(file) : std::string());
  }
  return seed;
}

std::string Container(const fs::path& work, const std::string& script) {
  fs::remove_all(work);
  fs::create_directories(work);
  const std::string path = (work / "seed.kvb").string();
  {
    kivo::TKivoDatabase db;
    db.SetDatabaseName("FuzzSeed");
    db.SetDatabaseFileName(path);
    db.SetDatabaseFileMode(kivo::dfmCompact);
    db.CreateDatabase();
    db.SetConnected(true);
    if (!script.empty()) RunSql("FuzzSeed", script);
    db.SetConnected(false);
  }
  return std::string(1, '\x03') + ReadFile(path);
}

void Compressed(const fs::path& dir, const std::string& name, const std::string& value,
                kivo::TCompressionLevel level) {
  std::vector<std::uint8_t> packed;
  std::uint32_t packedSize = 0;
  if (!kivo::krCompressBuffer(value.data(), static_cast<std::uint32_t>(value.size()), packed, level,
                              packedSize))
    throw kivo::Exception("cannot compress the seed " + name);
  std::string seed(1, static_cast<char>((level - 1) | 0x04));
  const auto size = static_cast<std::uint32_t>(value.size());
  for (int b = 0; b < 4; ++b) seed.push_back(static_cast<char>(size >> (8 * b)));
  seed.append(packed.begin(), packed.end());
  WriteSeed(dir, name, seed);
}

void ValueTexts(const fs::path& dir) {
  kivo::FormatSettings hu;
  hu.DecimalSeparator = ',';
  hu.DateSeparator = '.';
  hu.ShortDateFormat = "yyyy.mm.dd";
  const kivo::FormatSettings en;
  int n = 0;
  auto seed = [&](char selector, const std::string& text) {
    WriteSeed(dir, "v" + std::to_string(++n), std::string(1, selector) + text);
  };
  for (double v : {0.0, -1.5, 3.14159, 1e300, 2.5e-310, 123456789.125})
    seed(0, kivo::FloatToText(v, '.')), seed(1, kivo::FloatToText(v, ','));
  for (double day : {1.0, 36526.0, 45292.5, 2958465.0, -693593.0}) {
    seed(0, kivo::DateTimeToText(day, en));
    seed(1, kivo::DateTimeToText(day, hu));
    seed(0, kivo::TimeToText(day + 0.75, en));
  }
  for (const char* text : {"32767", "-32768", "$FFFF", "0x7FFFFFFF", "  -12", "4294967295",
                           "9223372036854775807", "TRUE", "false"})
    seed(0, text), seed(0x0A, text), seed(0x04, text);
}

void FilterTexts(const fs::path& dir) {
  const char* const texts[] = {
      "name = 'alma'",
      "n > 1 and n < 100",
      "(name = 'alma*' or name <> 'korte') and not b = true",
      "[name] like '%lm%'",
      "name not like 'A_m%'",
      "d >= '2000.01.01' or d is null",
      "f <= -0.25 and w is not null",
      "m is null",
      "id = 3",
      "n = 1 or n = 2 or (n = 30000 and (b = false or b is null))",
      "name = 'O''Brien'",
  };
  int n = 0;
  for (const char* text : texts) {
    WriteSeed(dir, "f" + std::to_string(++n), std::string(1, '\x00') + text);
    WriteSeed(dir, "f" + std::to_string(++n), std::string(1, '\x07') + text);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds DIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  const fs::path work = out / ".work";
  try {
    kivo::RegisterContainerStore();
    kivo::SetDefaultFormatSettings(kivo::FormatSettings());
    WriteSeed(out / "table_files", "plain", TableFiles(work, TableScript("NONE", 5)));
    WriteSeed(out / "table_files", "zlib", TableFiles(work, TableScript("FASTEST", 6)));
    WriteSeed(out / "table_files", "ppmd", TableFiles(work, TableScript("DEFAULT", 3)));
    WriteSeed(out / "table_files", "empty",
              TableFiles(work, "CREATE TABLE t (a INTEGER, s VARCHAR(5));\n"));

    WriteSeed(out / "container", "empty", Container(work, ""));
    WriteSeed(out / "container", "table", Container(work, TableScript("FASTEST", 4)));

    const std::string text =
        "Árvíztűrő tükörfúrógép, árvíztűrő tükörfúrógép; árvíztűrő tükörfúrógép.\n";
    std::string repeated;
    for (int i = 0; i < 40; ++i) repeated += text;
    std::string binary;
    for (int i = 0; i < 700; ++i) binary.push_back(static_cast<char>((i * i) & 0xFF));
    for (auto [level, name] :
         {std::pair{kivo::clFastest, "zlib"}, std::pair{kivo::clDefault, "ppmd5"},
          std::pair{kivo::clMax, "ppmd16"}}) {
      Compressed(out / "decoders", std::string(name) + "-text", repeated, level);
      Compressed(out / "decoders", std::string(name) + "-binary", binary, level);
      Compressed(out / "decoders", std::string(name) + "-short", "a", level);
    }
    ValueTexts(out / "value_text");
    FilterTexts(out / "filter");
    fs::remove_all(work);
  } catch (const kivo::Exception& e) {
    std::fprintf(stderr, "fuzz_make_seeds: %s: %s\n", e.ClassName(), e.what());
    return 1;
  }
  return 0;
}
