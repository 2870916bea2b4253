#include "tools/table_reading.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "dataset/field_type.h"
#include "engine/blob_directory.h"
#include "engine/blob_value.h"
#include "engine/data_manager.h"
#include "engine/field_types.h"
#include "engine/index_file.h"
#include "engine/record_journal.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"
#include "platform/streams.h"

namespace kivo::tools {

namespace {

// The last stored day number of year 9999.
constexpr std::int64_t kLastStoredDay = 3652059;
// Record findings listed per table before the rest are only counted.
constexpr std::int32_t kMaxRecordProblems = 10;

// The files of a database as the table manager needs them, read-only: a
// create, delete or rename is refused, and every file opens for reading.
class TReadOnlyTableStore : public TTableFileStore {
 public:
  TReadOnlyTableStore(const std::string& path, TAbstractPlainFileSystem& files)
      : path_(path), files_(files) {}

  const std::string& Path() const override { return path_; }
  TAbstractFile* OpenFile(const std::string& name, int, bool create, bool, bool) override {
    if (create) return nullptr;
    return files_.OpenFile(name, false, false, true);
  }
  void CloseFile(TAbstractFile* file) override {
    if (file && file->Owner()) file->Owner()->CloseFile(file);
  }
  bool FileExists(const std::string& name, int) override { return files_.FileExists(name); }
  bool DeleteFile(const std::string&, int) override { return false; }
  bool RenameFile(const std::string&, const std::string&, int) override { return false; }
  bool SaveMemoryFile(const std::string&) override { return false; }

 private:
  std::string path_;
  TAbstractPlainFileSystem& files_;
};

// A read-only data set as the table manager sees it.
class TReadOnlyClient : public TDataManagerClient {
 public:
  TReadOnlyClient(bool encrypted, std::string password)
      : encrypted_(encrypted), password_(std::move(password)) {}
  bool ClientInMemory() const override { return false; }
  bool ClientReadOnly() const override { return true; }
  void SetClientReadOnly(bool) override {}
  bool ClientEncrypted() const override { return encrypted_; }
  std::string ClientPassword() const override { return password_; }
  std::int32_t ClientRecordsPerPageHint() const override { return 1000; }
  bool ClientCacheEnabled() const override { return true; }
  std::uint8_t ClientBLOBCompression() const override { return 0; }
  std::int32_t ClientBLOBBlockSize() const override { return kDefaultBLOBBlockSize; }

 private:
  bool encrypted_;
  std::string password_;
};

// T.dat of a table, opened read-only; raises when it cannot be opened.
TOpenFile OpenDat(TAbstractPlainFileSystem& files, const std::string& table) {
  TOpenFile file = files.OpenScoped(table + kDataFileExt, false, false, true);
  if (!file) throw Exception("Cannot open \"" + table + kDataFileExt + "\"");
  return file;
}

// A table opened through the engine's manager, read-only; closed (and the
// manager destroyed) on every path.
class TOpenedTable {
 public:
  TOpenedTable(const TTableSource& source, const std::string& table, bool encrypted)
      : store_(source.path, source.files), client_(encrypted, source.password) {
    manager_ = krGetDataManager(table, &store_);
    std::int8_t result;
    try {
      result = manager_->ConnectDataset(&client_);
    } catch (...) {
      krReleaseDataManager(manager_);
      throw;
    }
    if (result != kOpenOk) {
      const std::string cause = manager_->LastOpenError();
      krReleaseDataManager(manager_);
      ThrowWithCause(Exception(OpenFailureText(result, table)), cause);
    }
  }
  ~TOpenedTable() {
    try {
      manager_->DisconnectDataset(&client_);
    } catch (...) {
      // Read-only: closing has nothing to write that could fail.
    }
  }
  TOpenedTable(const TOpenedTable&) = delete;
  TOpenedTable& operator=(const TOpenedTable&) = delete;
  TKivoDataManager& operator*() const { return *manager_; }
  TKivoDataManager* operator->() const { return manager_; }

  // The data set's texts for OpenTable's result codes.
  static std::string OpenFailureText(std::int8_t result, const std::string& name) {
    switch (result) {
      case kOpenMissing:
        return "TKivoDataset.OpenTable - table \"" + name + "\" does not exist.";
      case kOpenInvalidPassword:
        return "TKivoDataset.OpenTable - invalid password.";
      case kOpenFailed:
        return "TKivoDataset.OpenTable - table \"" + name +
               "\" does not exist or some files of table are missed or locked.";
      case kOpenBadBLOBHeaders:
        return "TKivoDataset.OpenTable - table \"" + name + "\" has a corrupted blob headers.";
      default:
        return "TKivoDataset.OpenTable - error.";
    }
  }

 private:
  TReadOnlyTableStore store_;
  TReadOnlyClient client_;
  TKivoDataManager* manager_ = nullptr;
};

// Reads a whole table file, read-only; raises when it cannot be opened or read.
std::vector<std::uint8_t> ReadWholeFile(TAbstractPlainFileSystem& files, const std::string& name) {
  const TOpenFile file = files.OpenScoped(name, false, false, true);
  if (!file) throw Exception("Cannot open \"" + name + "\"");
  std::vector<std::uint8_t> bytes;
  const std::int32_t size = file->GetSize();
  if (size < 0) throw Exception("Cannot read the size of \"" + name + "\"");
  bytes.resize(static_cast<std::size_t>(size));
  file->Seek(0, TAbstractFile::kFromBeginning);
  file->ReadBuffer(bytes.data(), size);
  return bytes;
}

std::int32_t FileSizeOf(TAbstractPlainFileSystem& files, const std::string& name) {
  const TOpenFile file = files.OpenScoped(name, false, false, true);
  if (!file) throw Exception("Cannot open \"" + name + "\"");
  return file->GetSize();
}

std::string Shown(const TTableSource& source, const std::string& name) {
  return source.ansiNames ? Cp1250ToUtf8(name) : name;
}

std::string VersionShown(double version) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", version);
  return text;
}

std::string Digits2(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

std::string ShortestDouble(double value) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) return "?";
  return std::string(text, end);
}

// "YYYY-MM-DD" of a stored day number; the bare number when it is no date.
std::string DateText(std::int64_t day) {
  if (day < 1 || day > kLastStoredDay) return std::to_string(day);
  const DateTimeParts p = DecodeDateTime(static_cast<double>(day - kDateDelta));
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
  return text;
}

// "HH:MM:SS", with ".mmm" when there are milliseconds.
std::string TimeText(std::int64_t ms) {
  if (ms < 0 || ms >= kMsPerDay) return std::to_string(ms);
  std::string text = Digits2(static_cast<int>(ms / 3600000)) + ":" +
                     Digits2(static_cast<int>(ms / 60000 % 60)) + ":" +
                     Digits2(static_cast<int>(ms / 1000 % 60));
  if (ms % 1000 != 0) {
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms % 1000));
    text += frac;
  }
  return text;
}

std::string HexText(const std::uint8_t* p, std::int32_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * static_cast<std::size_t>(std::max(size, 0)));
  for (std::int32_t i = 0; i < size; ++i) {
    text += digits[p[i] >> 4];
    text += digits[p[i] & 15];
  }
  return text;
}

std::string Utf16ToUtf8(const std::uint8_t* p, std::int32_t slot) {
  std::string out;
  const std::int32_t units = std::max(slot - 2, 0) / 2;
  for (std::int32_t i = 0; i < units; ++i) {
    std::uint32_t c = LoadLE<std::uint16_t>(p + 2 * i);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      const std::uint32_t low = LoadLE<std::uint16_t>(p + 2 * i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// One field value as text (UTF-8); BLOB fields have no bytes in the record.
std::string FieldText(const TFieldHeader& field, const std::uint8_t* p) {
  switch (field.FieldType) {
    case ftString: {
      const void* zero = std::memchr(p, 0, static_cast<std::size_t>(field.FieldSize));
      const std::size_t length = zero ? static_cast<const std::uint8_t*>(zero) - p
                                      : static_cast<std::size_t>(field.FieldSize);
      return Cp1250ToUtf8(std::string_view(reinterpret_cast<const char*>(p), length));
    }
    case ftSmallint:
      return std::to_string(LoadLE<std::int16_t>(p));
    case ftInteger:
      return std::to_string(LoadLE<std::int32_t>(p));
    case ftWord:
      return std::to_string(LoadLE<std::uint16_t>(p));
    case ftBoolean:
      return LoadLE<std::uint16_t>(p) != 0 ? "true" : "false";
    case ftFloat:
    case ftCurrency:
      return ShortestDouble(LoadLE<double>(p));
    case ftBCD:
      return "0x" + HexText(p, 8);
    case ftDate:
      return DateText(LoadLE<std::int32_t>(p));
    case ftTime:
      return TimeText(LoadLE<std::int32_t>(p));
    case ftDateTime: {
      const double v = LoadLE<double>(p);
      if (!std::isfinite(v) || std::fabs(v) > 1e18) return ShortestDouble(v);
      const auto total = static_cast<std::int64_t>(std::llround(v));
      const std::int64_t day =
          total >= 0 ? total / kMsPerDay : -((-total + kMsPerDay - 1) / kMsPerDay);
      return DateText(day) + " " + TimeText(total - day * kMsPerDay);
    }
    case ftBytes:
      return HexText(p, field.FieldSize);
    case ftWideString:
      return Utf16ToUtf8(p, field.FieldSize);
    case ftLargeint:
      return std::to_string(LoadLE<std::int64_t>(p));
    default:
      return {};
  }
}

// A CSV cell: quoted when it holds a separator, a quote or a line break.
std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// A binary BLOB value's size as dump shows it.
std::string BLOBSizeText(std::size_t size) {
  return "<" + std::to_string(size) + (size == 1 ? " byte>" : " bytes>");
}

// The dump cell of BLOB field `field` of the record at `pos`, read through
// the engine into `value` (whose buffer is reused from value to value).
// Memos are text in the engine's code page; an empty one shows as "" so
// that it differs from a null. Raises the engine's error for a value that
// cannot be read.
std::string BLOBCell(TKivoDataManager& m, std::int32_t field, std::int32_t pos,
                     const TDumpOptions& options, TMemoryStream& value) {
  value.Clear();  // the engine leaves the stream alone when there is nothing to read
  m.ReadBLOBValue(&value, field, pos);
  const std::vector<std::uint8_t>& bytes = value.Bytes();
  const std::uint8_t type = m.FieldHeader(field).FieldType;
  if (type == ftMemo || type == ftFmtMemo) {
    if (bytes.empty()) return "\"\"";
    return CsvCell(
        Cp1250ToUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
  }
  if (options.hexBLOBs)
    return "0x" + HexText(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  return BLOBSizeText(bytes.size());
}

bool AllZero(const std::uint8_t* p, std::int32_t size) {
  for (std::int32_t i = 0; i < size; ++i)
    if (p[i] != 0) return false;
  return true;
}

void WriteHeaderView(const TTableHeaderView& v, std::ostream& out) {
  const TTableHeader& h = v.Header;
  auto field = [&](const char* label) -> std::ostream& {
    std::string text = std::string("  ") + label + ":";
    text.resize(std::max<std::size_t>(text.size() + 1, 22), ' ');
    return out << text;
  };
  field("version") << VersionShown(h.Version) << "\n";
  field("record count") << h.RecordCount << "\n";
  field("record size") << v.Layout.RecordSize << "\n";
  field("data offset") << v.DataOffset << "\n";
  field("identifier") << Cp1250ToUtf8(h.IdFieldName) << " ("
                      << (h.IdFieldVisibility == kIdFieldVisible ? "visible AUTOINC field"
                          : h.IdFieldVisibility == kIdFieldHidden
                              ? "hidden"
                              : "visibility 0x" + HexText(&h.IdFieldVisibility, 1))
                      << ")\n";
  field("last identifier") << h.LastAutoInc << " (next "
                           << static_cast<std::int64_t>(h.LastAutoInc) + 1 << ")\n";
  field("change count") << h.ChangeCount << "\n";
  field("encrypted") << (h.Encrypted != 0 ? "yes" : "no") << "\n";
  field("BLOB compression") << static_cast<int>(h.BLOBCompression) << "\n";
  field(".dat length") << v.FileSize << " (records end at " << v.RecordsEnd() << ")\n";
  if (v.FlushMarked) field("flush") << "cut short; the next writable open repairs the table\n";
  field("fields") << h.FieldCount << "\n";
  for (const TFieldHeader& f : v.Fields) {
    const TFieldTypeInfo* info = StoredFieldType(f.FieldType);
    std::string line = "    " + Cp1250ToUtf8(f.FieldName);
    line.resize(std::max<std::size_t>(line.size() + 2, 24), ' ');
    std::string type = info ? std::string(info->TypeName) : "type " + std::to_string(f.FieldType);
    type.resize(std::max<std::size_t>(type.size() + 2, 15), ' ');
    out << line << type << "size " << f.FieldSize;
    out << (f.Required ? "  required" : "") << "\n";
  }
}

// T.idx of a table, opened read-only; empty when the table has none.
TOpenFile OpenIdx(TAbstractPlainFileSystem& files, const std::string& table) {
  if (!files.FileExists(table + kIndexFileExt)) return {};
  return files.OpenScoped(table + kIndexFileExt, false, false, true);
}

// "n DESC;s NOCASE" for the key fields of an index.
std::string KeyText(const TkrIndexHeader& h, const TTableHeaderView& v) {
  std::string text;
  for (std::int32_t i = 0; i < h.FieldCount(); ++i) {
    const std::int32_t f = h.KeyFields[static_cast<std::size_t>(i)];
    if (i > 0) text += ";";
    text += Cp1250ToUtf8(f < 0 || f >= static_cast<std::int32_t>(v.Fields.size())
                             ? v.Header.IdFieldName
                             : v.Fields[static_cast<std::size_t>(f)].FieldName);
    if (h.Descending(i)) text += " DESC";
    if (h.CaseInsensitive(i)) text += " NOCASE";
  }
  return text;
}

// The index part of `tables`: the saved index headers of T.idx.
void WriteIndexes(TAbstractPlainFileSystem& files, const std::string& table,
                  const TTableHeaderView& v, std::ostream& out) {
  std::string label = "  indexes:";
  label.resize(22, ' ');
  const TOpenFile idx = OpenIdx(files, table);
  if (!idx) {
    out << label << "none (no " << table << kIndexFileExt << ")\n";
    return;
  }
  const TkrIndexFileContent c =
      ReadIndexFileHeaders(*idx.get(), v.Header.Version, v.Header.FieldCount);
  if (!c.Valid) {
    out << label << "damaged " << table << kIndexFileExt
        << "; the next open rebuilds the automatic indexes\n";
    return;
  }
  out << label << c.IndexCount << " (arrays "
      << (v.Header.RecordCount <= 0                    ? "empty"
          : c.IndexChangeCount == v.Header.ChangeCount ? "current"
                                                       : "stale, sorted again at the next open")
      << ")\n";
  for (const TkrIndexHeader& h : c.Headers) {
    std::string line = "    " + Cp1250ToUtf8(h.IndexName);
    line.resize(std::max<std::size_t>(line.size() + 2, 24), ' ');
    line += KeyText(h, v);
    if (h.Options & ixPrimary) line += "  primary";
    if (h.Options & ixUnique) line += "  unique";
    out << line << "\n";
  }
}

// The index part of `check`: every current array of T.idx must list each
// record position once, in key order.
void CheckIndexes(TAbstractPlainFileSystem& files, const std::string& table,
                  const TTableHeaderView& v, TKivoDataManager* m, const std::string& shown,
                  std::vector<std::string>& problems) {
  // The open table holds T.idx already; a file system may refuse a second open.
  TOpenFile own;
  TAbstractFile* opened = m ? m->IdxFile() : nullptr;
  if (!opened) {
    own = OpenIdx(files, table);
    opened = own.get();
  }
  if (!opened) return;
  struct {
    TAbstractFile* f;
    TAbstractFile* get() const { return f; }
  } idx{opened};
  const std::string file = table + kIndexFileExt;
  const TkrIndexFileContent c =
      ReadIndexFileHeaders(*idx.get(), v.Header.Version, v.Header.FieldCount);
  if (!c.Valid) {
    if (idx.get()->GetSize() > 0) problems.push_back(shown + file + " has damaged index headers");
    return;
  }
  if (!c.Headers.empty() && !c.Headers.front().OrdersIdentifiers())
    problems.push_back(shown + "index \"" + Cp1250ToUtf8(c.Headers.front().IndexName) +
                       "\": the first index does not order the record identifiers");
  const std::int32_t n = v.Header.RecordCount;
  // Arrays the engine does not use as saved: a different counter, or a
  // table whose last flush was cut short (records changed in place under
  // the old counter).
  if (n <= 0 || c.IndexChangeCount != v.Header.ChangeCount || v.FlushMarked) return;
  const std::int64_t need = c.ArraysOffset + std::int64_t{c.IndexCount} * n * 4;
  if (idx.get()->GetSize() < need) {
    problems.push_back(shown + file + " holds " + std::to_string(idx.get()->GetSize()) +
                       " bytes, its arrays need " + std::to_string(need));
    return;
  }
  for (std::int32_t i = 0; i < c.IndexCount; ++i) {
    const TkrIndexHeader& h = c.Headers[static_cast<std::size_t>(i)];
    const std::string index = "index \"" + Cp1250ToUtf8(h.IndexName) + "\": ";
    const std::optional<std::vector<std::int32_t>> positions = ReadIndexArray(*idx.get(), c, i, n);
    if (!positions) {
      problems.push_back(shown + index +
                         "the saved array is not a permutation of the record "
                         "positions 0 .. " +
                         std::to_string(n - 1));
      continue;
    }
    if (!m) continue;  // records unreadable (no password)
    try {
      const TkrIndexKey key(h, m->FieldHeaders(), m->FieldOffsets(), m->Layout(), UserCollation());
      std::vector<std::uint8_t> prev;
      for (std::int32_t k = 0; k < n; ++k) {
        const std::int32_t pos = (*positions)[static_cast<std::size_t>(k)];
        const std::uint8_t* image = m->GetRecordPtr(pos);
        if (!prev.empty() && key.CompareKeys(prev.data(), image) > 0) {
          problems.push_back(shown + index + "entries " + std::to_string(k - 1) + " and " +
                             std::to_string(k) + " are out of key order");
          break;
        }
        prev.assign(image, image + m->RecordSize());
      }
    } catch (const std::exception& e) {
      problems.push_back(shown + index + e.what());
    }
  }
}

}  // namespace

TTableHeaderView ReadTableHeaderView(TAbstractFile& dat, const std::string& datName) {
  return ReadCheckedTableHeaders(dat, datName, THeaderNames::kUtf8);
}

std::vector<std::string> TableNames(const TTableSource& source) {
  std::vector<std::string> names;
  source.files.GetFileNames(kDataFileExt, names);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

bool WriteTables(const TTableSource& source, std::ostream& out) {
  bool allRead = true;
  const std::vector<std::string> names = TableNames(source);
  if (names.empty()) out << "no tables\n";
  for (const std::string& name : names) {
    out << "table " << Shown(source, name) << "\n";
    try {
      TTableHeaderView v;
      v = ReadTableHeaderView(*OpenDat(source.files, name), Shown(source, name) + kDataFileExt);
      WriteHeaderView(v, out);
      WriteIndexes(source.files, name, v, out);
    } catch (const std::exception& e) {
      out << "  damaged: " << e.what() << "\n";
      allRead = false;
    }
  }
  return allRead;
}

std::vector<std::string> DumpTable(const TTableSource& source, const std::string& table,
                                   const TDumpOptions& options, std::ostream& out) {
  if (!source.files.FileExists(table + kDataFileExt))
    throw Exception(TOpenedTable::OpenFailureText(kOpenMissing, Shown(source, table)));
  bool encrypted;
  encrypted =
      ReadTableHeaderView(*OpenDat(source.files, table), Shown(source, table) + kDataFileExt)
          .Header.Encrypted != 0;
  TOpenedTable t(source, table, encrypted);
  const TKivoDataManager& m = *t;
  std::string line = CsvCell(Cp1250ToUtf8(m.IdFieldName()));
  for (const TFieldHeader& f : m.FieldHeaders()) line += "," + CsvCell(Cp1250ToUtf8(f.FieldName));
  out << line << "\n";
  TMemoryStream value;  // one BLOB value at a time
  std::vector<std::string> problems;
  std::int32_t damaged = 0;
  for (std::int32_t pos = 0; pos < m.RecordCount(); ++pos) {
    const std::uint8_t* image = t->GetRecordPtr(pos);
    const std::uint32_t id = GetRecordId(m.Layout(), image);
    // A BLOB cell goes straight to `out` rather than into the line, so a
    // large value is not copied once more.
    line = std::to_string(id);
    for (std::int32_t j = 0; j < m.FieldCount(); ++j) {
      line += ",";
      if (IsFieldNull(m.Layout(), image, j)) continue;
      const TFieldHeader& field = m.FieldHeader(j);
      if (!IsBLOBType(field.FieldType)) {
        line += CsvCell(FieldText(field, image + m.FieldOffset(j)));
        continue;
      }
      out << line;
      line.clear();
      try {
        out << BLOBCell(*t, j, pos, options, value);
      } catch (const std::exception& e) {
        out << kDamagedBLOBCell;
        if (++damaged <= kMaxRecordProblems)
          problems.push_back("record " + std::to_string(pos) + " (identifier " +
                             std::to_string(id) + ") field \"" + Cp1250ToUtf8(field.FieldName) +
                             "\": " + e.what());
      }
      image = t->GetRecordPtr(pos);  // the image is promised only until the manager is used again
    }
    out << line << "\n";
  }
  if (damaged > kMaxRecordProblems)
    problems.push_back(std::to_string(damaged - kMaxRecordProblems) +
                       " more BLOB values could not be read");
  return problems;
}

// After a flush cut short whose whole journal holds its header, the engine
// completes the flush at the next writable open and reads through it until
// then: `v` takes the header that flush was writing, and the journal (for
// its BLOB directory) is returned.
std::optional<TkrJournalImages> ReadThroughCutFlush(TAbstractPlainFileSystem& files,
                                                    const std::string& table, TTableHeaderView& v) {
  if (!v.FlushMarked || !files.FileExists(table + kJournalFileExt)) return std::nullopt;
  std::optional<TkrJournalImages> journal;
  try {
    journal = ParseJournal(ReadWholeFile(files, table + kJournalFileExt),
                           {v.Layout.RecordSize, static_cast<std::int32_t>(v.DataOffset),
                            v.Header.ChangeCount, v.Header.RecordCount});
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!journal) return std::nullopt;
  const std::optional<TTableHeader> next = JournalledTableHeader(*journal, v.Header);
  if (!next) return std::nullopt;
  v.Header = *next;
  return journal;
}

std::vector<std::string> CheckBLOBFiles(TAbstractPlainFileSystem& files, const std::string& table,
                                        const TTableHeaderView& view,
                                        const std::vector<std::uint8_t>* journalled) {
  std::int32_t blobFields = 0;
  for (const TFieldHeader& f : view.Fields)
    if (IsBLOBType(f.FieldType)) ++blobFields;
  if (blobFields == 0) return {};
  std::vector<std::string> problems;
  TkrBLOBDirectory dir(0, 0, 0);
  std::int32_t dataSize = 0;
  try {
    const std::vector<std::uint8_t> image = UnpackBLOBDirectoryImage(
        journalled ? *journalled : ReadWholeFile(files, table + kBLOBIndexFileExt),
        view.Header.Version, table);
    dataSize = FileSizeOf(files, table + kBLOBDataFileExt);
    dir = TkrBLOBDirectory::DecodeImageLoosely(image.data(), image.size());
  } catch (const std::exception& e) {
    return {table + kBLOBIndexFileExt + ": " + e.what()};
  }
  // The engine's own test of the directory's header, before its parts.
  const std::string headerProblem = dir.HeaderProblem(blobFields);
  if (!headerProblem.empty()) return {table + kBLOBIndexFileExt + ": " + headerProblem};
  dir.BlockCount = dataSize / dir.BlockSize();
  if (dir.RecordCount() != view.Header.RecordCount)
    problems.push_back("the BLOB directory has " + std::to_string(dir.RecordCount()) +
                       " records, the table " + std::to_string(view.Header.RecordCount));
  if (dataSize % dir.BlockSize() != 0)
    problems.push_back(table + kBLOBDataFileExt + " holds " + std::to_string(dataSize) +
                       " bytes, not whole blocks of " + std::to_string(dir.BlockSize()));
  for (std::string& p : dir.Problems()) problems.push_back(std::move(p));
  return problems;
}

std::vector<std::string> CheckTables(const TTableSource& source) {
  std::vector<std::string> problems;
  for (const std::string& name : TableNames(source)) {
    const std::string shown = "table \"" + Shown(source, name) + "\": ";
    TTableHeaderView v;
    try {
      v = ReadTableHeaderView(*OpenDat(source.files, name), Shown(source, name) + kDataFileExt);
    } catch (const std::exception& e) {
      problems.push_back(shown + e.what());
      continue;
    }
    const std::optional<TkrJournalImages> journal = ReadThroughCutFlush(source.files, name, v);
    // A file longer than its records is what a cut-short flush leaves; the
    // engine cuts it at the next open. A shorter one has lost records.
    if (!v.RecordsFit()) {
      problems.push_back(shown + "the header counts " + std::to_string(v.Header.RecordCount) +
                         " records of " + std::to_string(v.Layout.RecordSize) + " bytes after " +
                         std::to_string(v.DataOffset) + " header bytes, " +
                         std::to_string(v.RecordsEnd()) + " bytes in all, but " + name +
                         kDataFileExt + " holds only " + std::to_string(v.FileSize));
      continue;
    }
    const std::vector<std::string> blobProblems =
        CheckBLOBFiles(source.files, name, v,
                       journal && !journal->Directory.empty() ? &journal->Directory : nullptr);
    for (std::size_t i = 0; i < blobProblems.size() && i < kMaxRecordProblems; ++i)
      problems.push_back(shown + blobProblems[i]);
    if (blobProblems.size() > kMaxRecordProblems)
      problems.push_back(shown + std::to_string(blobProblems.size() - kMaxRecordProblems) +
                         " more BLOB problems");
    if (!blobProblems.empty()) continue;  // the engine refuses such a table
    if (v.Header.Encrypted != 0 && source.password.empty()) {
      CheckIndexes(source.files, name, v, nullptr, shown, problems);  // records unreadable
      continue;
    }
    try {
      TOpenedTable t(source, name, v.Header.Encrypted != 0);
      std::map<std::uint32_t, std::int32_t> holders;
      std::vector<std::pair<std::int32_t, std::int32_t>> duplicates;  // first holder, position
      // A damaged stretch would otherwise repeat one finding per record.
      std::int32_t recordProblems = 0;
      auto report = [&](const std::string& text) {
        if (++recordProblems <= kMaxRecordProblems) problems.push_back(shown + text);
      };
      for (std::int32_t pos = 0; pos < t->RecordCount(); ++pos) {
        const std::uint8_t* image;
        try {
          image = t->GetRecordPtr(pos);
        } catch (const std::exception& e) {
          report("record " + std::to_string(pos) + ": " + e.what());
          continue;
        }
        if (AllZero(image, t->RecordSize())) {
          report("record " + std::to_string(pos) + " is all zeros");
          continue;
        }
        const std::uint32_t id = GetRecordId(t->Layout(), image);
        auto [it, fresh] = holders.emplace(id, pos);
        if (!fresh) duplicates.emplace_back(it->second, pos);
      }
      // A flush cut short after deletes moved records down can leave a
      // moved record at both places; the next writable open keeps the lower
      // one and removes the others, so with the flush mark set shared
      // identifiers are not damage.
      if (v.FlushMarked) duplicates.clear();
      for (const auto& [first, pos] : duplicates) {
        report("records " + std::to_string(first) + " and " + std::to_string(pos) +
               " share the identifier " +
               std::to_string(GetRecordId(t->Layout(), t->GetRecordPtr(pos))));
      }
      if (recordProblems > kMaxRecordProblems)
        problems.push_back(shown + std::to_string(recordProblems - kMaxRecordProblems) +
                           " more records with problems");
      CheckIndexes(source.files, name, v, &*t, shown, problems);
    } catch (const std::exception& e) {
      problems.push_back(shown + e.what());
      for (const std::string& cause : CausesOf(e)) problems.push_back(shown + "cause: " + cause);
    }
  }
  return problems;
}

}  // namespace kivo::tools
