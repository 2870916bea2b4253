// The indexes of TKivoDataManager: adding and deleting indexes, automatic
// and temporary indexes, key searches and unique checks, and T.idx.
//
// T.idx is reused at open only when its counter equals the table's
// ChangeCount and every saved array is a permutation of the record positions
// in index order; anything else is recovered from by sorting, never an error.
#include <algorithm>
#include <exception>
#include <random>

#include "engine/data_manager.h"
#include "engine/field_types.h"
#include "engine/index_file.h"
#include "engine/table_header_check.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

// The table as its indexes see it: records through the page cache.
class TkrManagerIndexedTable : public TkrIndexedTable {
 public:
  explicit TkrManagerIndexedTable(TKivoDataManager& m) : m_(m) {}
  std::int32_t IndexedRecordCount() override { return m_.header_.RecordCount; }
  const std::uint8_t* IndexedRecord(std::int32_t pos) override {
    if (!m_.records_)
      throw Exception("Error in TKivoDataManager.GetRecordPtr - table is not opened.");
    return m_.records_->GetRecordPtr(pos);
  }
  void ForEachIndexedRecord(
      const std::function<void(std::int32_t, const std::uint8_t*)>& f) override {
    m_.ScanRecords(0, m_.header_.RecordCount, f);
  }
  void ForEachIndexedBlock(
      const std::function<void(std::int32_t, std::int32_t, const std::uint8_t*)>& f) override {
    const std::int32_t n = m_.header_.RecordCount;
    const std::int32_t size = std::max(m_.layout_.RecordSize, 1);
    const std::int32_t block = std::clamp<std::int32_t>(256 * 1024 / size, 1, 16384);
    std::vector<std::uint8_t> images(static_cast<std::size_t>(block) *
                                     static_cast<std::size_t>(size));
    for (std::int32_t first = 0; first < n; first += block) {
      const std::int32_t count = std::min(block, n - first);
      m_.ReadRecordImages(first, count, images.data());
      f(first, count, images.data());
    }
  }
  const std::vector<TFieldHeader>& IndexedFields() override { return m_.field_headers_; }
  const std::vector<std::int32_t>& IndexedOffsets() override { return m_.field_offsets_; }
  const TkrRecordLayout& IndexedLayout() override { return m_.layout_; }

 private:
  TKivoDataManager& m_;
};

namespace {

bool IsStringType(std::uint8_t type) { return type == ftString || type == ftWideString; }

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names)
    if (AnsiSameText(n, name)) return true;
  return false;
}

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ';';
    text += names[i];
  }
  return text;
}

}  // namespace

TkrTableIndexes& TKivoDataManager::IndexList() {
  if (!indexes_) {
    if (!indexed_table_) indexed_table_ = std::make_unique<TkrManagerIndexedTable>(*this);
    auto list = std::make_unique<TkrTableIndexes>(*indexed_table_);
    list->SetProgress([this](bool start, bool finish, double percent) {
      ReportIndexProgress(start, finish, percent);
    });
    list->SetProgressEnabled(index_build_progress_);
    list->SetSavedArrays([this](std::int32_t array) { return SavedIndexArray(array); });
    indexes_ = list.get();
    indexer_ = std::move(list);
  }
  return *indexes_;
}

void TKivoDataManager::SetIndexBuildProgress(bool value) {
  Locked([&] {
    index_build_progress_ = value;
    if (indexes_) indexes_->SetProgressEnabled(value);
  });
}

void TKivoDataManager::ReportIndexProgress(bool start, bool finish, double percentDone) {
  // Every data set hears every report, even when one of them fails on it:
  // a start or finish it missed would leave its progress display wrong.
  std::exception_ptr first_error;
  for (TDataManagerClient* dataset : datasets_) {
    try {
      dataset->DoBuildIndexesProgress(start, finish, percentDone);
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

std::int32_t TKivoDataManager::IndexCount() const {
  return Locked([&] { return indexes_ ? indexes_->Count() : 0; });
}

const TkrIndexHeader& TKivoDataManager::IndexHeader(std::int32_t indexNo) const {
  const TkrIndexHeader* header = Locked([&] {
    if (!indexes_)
      throw Exception("TKivoDataManager - invalid index number " + std::to_string(indexNo));
    return &indexes_->Header(indexNo);
  });
  return *header;
}

std::int32_t TKivoDataManager::IndexEntry(std::int32_t indexNo, std::int32_t ordinal) {
  return Locked([&] {
    TkrTableIndexes& list = IndexList();
    list.Build(indexNo);
    return list.Positions(indexNo).Get(ordinal);
  });
}

std::int32_t TKivoDataManager::IndexNumber(const std::string& name) const {
  return Locked([&] { return indexes_ ? indexes_->IndexOf(name) : -1; });
}

// ---- Adding and deleting ----

void TKivoDataManager::AddIndex(const std::string& name, const std::string& fieldNames,
                                TIndexOptions options, const std::string& descFields,
                                const std::string& caseInsFields, bool noSave) {
  Locked([&] {
    const std::vector<std::string> fields = SplitNameList(fieldNames);
    const std::vector<std::string> desc = SplitNameList(descFields);
    const std::vector<std::string> caseIns = SplitNameList(caseInsFields);
    std::vector<bool> descending;
    std::vector<bool> caseInsensitive;
    for (const std::string& field : fields) {
      descending.push_back((options & ixDescending) != 0 || Contains(desc, field));
      caseInsensitive.push_back((options & ixCaseInsensitive) != 0 || Contains(caseIns, field));
      if (InternalGetFieldNo(field, false) == -2)
        throw ZorException::CreateFmt(native_error::kIndexFieldNotFound, "", {FormatArg(field)});
    }
    InternalAddIndex(name, fields, (options & ixDescending) != 0,
                     (options & ixCaseInsensitive) != 0, options, caseInsensitive, descending);
    if (!noSave) SaveIndexes();
  });
}

void TKivoDataManager::InternalAddIndex(const std::string& name,
                                        const std::vector<std::string>& fieldNames,
                                        bool allDescending, bool allCaseInsensitive,
                                        TIndexOptions options,
                                        const std::vector<bool>& caseInsensitive,
                                        const std::vector<bool>& descending) {
  Locked([&] {
    const std::string where = "Error in TKivoDataManager.InternalAddIndex - ";
    if (name.empty()) throw Exception(where + "name is empty.");
    if (static_cast<std::int32_t>(name.size()) > MaxIndexNameLength(header_.Version))
      throw Exception(where + "name length > ." + std::to_string(kMaxDefinitionNameLength));
    if (fieldNames.empty()) throw Exception(where + "empty field name list");
    if (descending.empty()) throw Exception(where + "empty sort orders list");
    TkrTableIndexes& list = IndexList();
    if (list.IndexOf(name) >= 0) throw Exception(where + "index \"" + name + "\" already exists!");

    TkrIndexHeader header;
    header.IndexName = name;
    header.ResetBits(static_cast<std::int32_t>(fieldNames.size()));
    header.AllDescending = allDescending;
    header.AllCaseInsensitive = allCaseInsensitive;
    header.Options = options;
    for (std::size_t i = 0; i < fieldNames.size(); ++i) {
      const int fieldNo = InternalGetFieldNo(fieldNames[i], true);
      header.KeyFields.push_back(fieldNo < 0 ? -1 : fieldNo);
      if (fieldNo < 0) continue;
      const std::uint8_t type = field_headers_[static_cast<std::size_t>(fieldNo)].FieldType;
      if (!IsIndexableType(type)) throw Exception(where + "unsupported field type!");
      const auto k = static_cast<std::int32_t>(i);
      header.SetAscendingBit(k, !(i < descending.size() && descending[i]));
      header.SetCaseInsensitiveBit(
          k, i < caseInsensitive.size() && caseInsensitive[i] && IsStringType(type));
    }
    list.Add(header);
    if (list.DeferBuilds()) return;
    try {
      list.Build(list.Count() - 1);
    } catch (...) {
      list.Remove(list.Count() - 1);
      throw;
    }
  });
}

std::string TKivoDataManager::CreateTemporaryIndex(const std::string& fieldNames,
                                                   const std::string& descFields,
                                                   const std::string& caseInsFields) {
  return Locked([&] {
    static std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<std::int32_t> draw(0, 2147483646);
    std::string name;
    do {
      name = "$_IDX_" + std::to_string(draw(rng));
    } while (IndexList().IndexOf(name) >= 0);
    AddIndex(name, fieldNames, 0, descFields, caseInsFields, true);
    return name;
  });
}

std::int32_t TKivoDataManager::DeleteIndex(const std::string& name, bool noSave) {
  return Locked([&] {
    const std::string where = "Error in TKivoDataManager.DeleteIndex - ";
    if (!open_) throw Exception(where + "table is not opened.");
    if (name.empty()) throw Exception(where + "name is empty.");
    TkrTableIndexes& list = IndexList();
    const std::int32_t number = list.IndexOf(name);
    if (number < 0) throw Exception(where + "index \"" + name + "\" doesn't exist!");
    // The last index is kept: a table always has one.
    if (list.Count() == 1) throw Exception("TKivoDataManager.DeleteIndex - last index deleted!");
    if (number == 0)
      throw Exception(where + "index \"" + name +
                      "\" orders the record identifiers and cannot be deleted!");
    list.Remove(number);
    if (!noSave) SaveIndexes();
    return number;
  });
}

void TKivoDataManager::AddIndexDef(const TIndexDef& def) {
  AddIndex(def.Name(), def.Fields(), def.Options(), def.DescFields(), def.CaseInsFields(), true);
}

void TKivoDataManager::CreateAutoIndexes(bool autoIndexes) {
  Locked([&] {
    // Old tables keep short index names: automatic names are cut to fit,
    // and a cut name that is taken already is skipped.
    const auto limit = static_cast<std::size_t>(MaxIndexNameLength(header_.Version));
    auto add = [&](const std::string& name, const std::string& field, TIndexOptions options) {
      const std::string cut = name.substr(0, limit);
      if (!IndexExists(cut)) AddIndex(cut, field, options, "", "", true);
    };
    add("@" + header_.IdFieldName, header_.IdFieldName, ixUnique);
    if (!autoIndexes) return;
    for (const TFieldHeader& field : field_headers_) {
      if (IsBLOBType(field.FieldType) || field.FieldType == ftBytes) continue;
      if (IsStringType(field.FieldType))
        add("@@" + field.FieldName, field.FieldName, ixCaseInsensitive);
      add("@" + field.FieldName, field.FieldName, 0);
    }
  });
}

void TKivoDataManager::ConvertIndexes(double) {
  for (const TFieldHeader& field : field_headers_) {
    const std::string name =
        ("@@" + field.FieldName)
            .substr(0, static_cast<std::size_t>(MaxIndexNameLength(header_.Version)));
    if (IsStringType(field.FieldType) && !IndexExists(name))
      AddIndex(name, field.FieldName, ixCaseInsensitive, "", "", true);
  }
  RebuildAllIndexes();
}

// ---- Building ----

void TKivoDataManager::SetBulkInsert(bool value) {
  Locked([&] { IndexList().SetBulkInsert(value); });
}

void TKivoDataManager::BuildIndex(std::int32_t indexNo) {
  Locked([&] { IndexList().Build(indexNo); });
}

void TKivoDataManager::BuildAllIndexes() {
  Locked([&] { IndexList().BuildAll(); });
}

void TKivoDataManager::RebuildAllIndexes() {
  Locked([&] {
    TkrTableIndexes& list = IndexList();
    const bool saved = list.ProgressEnabled();
    list.SetProgressEnabled(false);
    try {
      list.ClearBuilt();
      list.BuildAll();
    } catch (...) {
      list.SetProgressEnabled(saved);
      throw;
    }
    list.SetProgressEnabled(saved);
    if (list.Count() > 1) ReportIndexProgress(false, true, 100);
  });
}

// ---- Searches ----

std::int32_t TKivoDataManager::FindRecordInIndex(std::int32_t indexNo, std::int32_t recPos,
                                                 std::int32_t) {
  return Locked([&] { return IndexList().FindRecordInIndex(indexNo, recPos); });
}

std::int32_t TKivoDataManager::FindKey(const std::uint8_t* keyBuffer, std::int32_t indexNo,
                                       bool exactOnly, bool forward, std::int32_t keyFieldCount) {
  return Locked(
      [&] { return IndexList().FindKey(indexNo, keyBuffer, exactOnly, forward, keyFieldCount); });
}

std::int32_t TKivoDataManager::KeyBound(const std::uint8_t* keyBuffer, std::int32_t indexNo,
                                        bool strict, std::int32_t keyFieldCount) {
  return Locked([&] { return IndexList().KeyBound(indexNo, keyBuffer, strict, keyFieldCount); });
}

bool TKivoDataManager::CheckUniqueKeys(std::uint8_t* buffer, bool inserting,
                                       const std::string& operation, std::int32_t editedPos) {
  return Locked([&] {
    TkrTableIndexes& list = IndexList();
    bool replaced = false;
    for (std::int32_t i = 0; i < list.Count(); ++i) {
      const TkrIndexHeader& header = list.Header(i);
      if ((header.Options & (ixUnique | ixPrimary)) == 0) continue;
      if (list.FindKeyConflict(i, buffer, inserting, editedPos) < 0) continue;
      if (inserting && header.KeyFields == std::vector<std::int32_t>{-1}) {
        // The identifier is taken. A header whose counter lags behind the
        // identifiers held (a damaged file) would give the same one again,
        // and two records would share it and its BLOB values: the counter
        // moves past the largest identifier held first.
        const std::uint32_t largest = list.LargestId(i);
        if (largest > static_cast<std::uint32_t>(header_.LastAutoInc))
          header_.LastAutoInc = static_cast<std::int32_t>(largest);
        SetRecordId(layout_, buffer, static_cast<std::uint32_t>(header_.LastAutoInc) + 1u);
        replaced = true;
        continue;
      }
      throw EDatabaseError(
          operation + " - key violation.\r\nTable name = " + AnsiQuotedStr(table_name_, '"') +
          ".\r\nUnique index name = " + AnsiQuotedStr(header.IndexName, '"') + ".");
    }
    return replaced;
  });
}

void TKivoDataManager::GetIndexDefs(TIndexDefs& all, TIndexDefs* user) const {
  Locked([&] {
    all.Clear();
    if (user) user->Clear();
    if (!indexes_) return;
    for (std::int32_t i = 0; i < indexes_->Count(); ++i) {
      const TkrIndexHeader& h = indexes_->Header(i);
      std::vector<std::string> fields;
      std::vector<std::string> desc;
      std::vector<std::string> caseIns;
      for (std::int32_t k = 0; k < h.FieldCount(); ++k) {
        const std::int32_t f = h.KeyFields[static_cast<std::size_t>(k)];
        const std::string& fieldName =
            f < 0 || f >= FieldCount() ? header_.IdFieldName : FieldHeader(f).FieldName;
        fields.push_back(fieldName);
        if (!h.AscendingBit(k)) desc.push_back(fieldName);
        if (h.CaseInsensitiveBit(k)) caseIns.push_back(fieldName);
      }
      TIndexOptions options = 0;
      if (h.AllCaseInsensitive) options |= ixCaseInsensitive;
      if (h.AllDescending) options |= ixDescending;
      if (h.Options & ixPrimary) options |= ixPrimary;
      if ((h.Options & ixUnique) &&
          (header_.IdFieldVisibility == kIdFieldVisible || h.KeyFields.front() != -1))
        options |= ixUnique;
      TIndexDef def(h.IndexName, Join(fields), options);
      def.SetDescFields(Join(desc));
      def.SetCaseInsFields(Join(caseIns));
      all.Add(def);
      if (user && !h.Automatic() && !h.Temporary()) user->Add(def);
    }
  });
}

std::int32_t TKivoDataManager::FindIndexForFields(const std::string& fieldNames,
                                                  const std::string& descFields,
                                                  bool caseSensitive) {
  return Locked([&]() -> std::int32_t {
    const std::vector<std::string> wanted = SplitNameList(fieldNames);
    if (wanted.empty()) return -1;
    bool allStrings = true;
    for (const std::string& name : wanted) {
      const int f = InternalGetFieldNo(name, false);
      if (f < 0 || !IsStringType(field_headers_[static_cast<std::size_t>(f)].FieldType))
        allStrings = false;
    }
    TIndexDefs defs;
    GetIndexDefs(defs, nullptr);
    for (std::int32_t i = 0; i < defs.Count(); ++i) {
      const std::vector<std::string> fields = SplitNameList(defs[i].Fields());
      if (fields.size() < wanted.size()) continue;
      bool match = true;
      for (std::size_t k = 0; k < wanted.size() && match; ++k)
        match = AnsiSameText(fields[k], wanted[k]);
      if (!match) continue;
      if (allStrings && ((defs[i].Options() & ixCaseInsensitive) != 0) == caseSensitive) continue;
      if (descFields != "*" && descFields != defs[i].DescFields()) continue;
      return i;
    }
    return -1;
  });
}

// ---- T.idx ----

namespace {
// Whether T.dat's header carries the mark of a flush that was cut short
// (left in place when the table is opened read-only).
bool FlushMarked(TAbstractFile* dat, double version) {
  if (dat == nullptr) return false;
  try {
    const auto at = static_cast<std::int32_t>(FlushMarkOffset(version));
    std::uint8_t pair[2];
    if (dat->Seek(at, TAbstractFile::kFromBeginning) != at || dat->Read(pair, 2) != 2) return false;
    return FlushMarkSet(pair[0], pair[1]);
  } catch (const std::exception&) {
    return false;
  }
}
}  // namespace

void TKivoDataManager::LoadIndexes() {
  Locked([&] {
    TkrTableIndexes& list = IndexList();
    list.Clear();
    list.ClearRepaired();
    indexes_dirty_ = false;
    saved_indexes_.reset();
    TkrIndexFileContent content;
    if (idx_file_) content = ReadIndexFileHeaders(*idx_file_, header_.Version, header_.FieldCount);
    // A counter that is not current might become so by chance as the
    // table's counter grows (a damaged file, or a header behind its
    // indexes), and arrays of other records would pass as current: it is
    // set to the value before the table's, which the table never reaches
    // again.
    const auto previous =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(header_.ChangeCount) - 1u);
    if (content.Valid && content.IndexChangeCount != header_.ChangeCount &&
        content.IndexChangeCount != previous && !read_only_ && !file_read_only_) {
      StoreIndexChangeCount(*idx_file_, previous);
      content.IndexChangeCount = previous;
    }
    bool valid = content.Valid && content.IndexCount > 0;
    if (valid) {
      try {
        for (const TkrIndexHeader& h : content.Headers) {
          for (std::int32_t f : h.KeyFields)
            if (f >= 0 && !IsIndexableType(field_headers_[static_cast<std::size_t>(f)].FieldType))
              throw Exception("T.idx - key field of a type that has no order");
          if (list.IndexOf(h.IndexName) >= 0) throw Exception("T.idx - index name repeated");
          list.Add(h);
        }
      } catch (const std::exception&) {
        list.Clear();
        valid = false;
      }
    }
    // A first index keyed on anything but the identifier (a damaged header)
    // would send every look-up by identifier to the wrong record, and edits
    // and BLOB values with it. The identifier index is made again in its
    // place; the other definitions are kept.
    std::vector<TkrIndexHeader> kept;
    if (valid && !list.Header(0).OrdersIdentifiers()) {
      for (std::int32_t i = 1; i < list.Count(); ++i)
        if (!list.Header(i).Automatic()) kept.push_back(list.Header(i));
      list.Clear();
      valid = false;
    }
    if (valid) {
      const std::int32_t n = header_.RecordCount;
      const bool current = content.IndexChangeCount == header_.ChangeCount &&
                           !FlushMarked(dat_file_.get(), header_.Version);
      if (n <= 0) {
        for (std::int32_t i = 0; i < list.Count(); ++i) list.SetPositions(i, {});
      } else if (!current) {
        list.ClearBuilt();  // sorted again when first needed
      } else {
        // Each array is read when its index is first needed, so that an
        // open reads none of the indexes it does not use.
        saved_indexes_ = content;
        saved_change_count_ = header_.ChangeCount;
        for (std::int32_t i = 0; i < list.Count(); ++i) list.TakeSavedLater(i, i);
      }
      return;
    }
    std::int32_t automatic = 0;
    for (const TkrIndexHeader& h : content.Headers)
      if (h.Automatic()) ++automatic;
    list.Clear();
    list.SetDeferBuilds(true);
    try {
      CreateAutoIndexes(automatic > 1);
    } catch (const std::exception&) {
      // Headers too damaged to name an index by: the table opens with the
      // indexes that could be made.
    }
    for (const TkrIndexHeader& h : kept)
      if (list.IndexOf(h.IndexName) < 0) list.Add(h);
    list.SetDeferBuilds(false);
    indexes_dirty_ = true;
    try {
      RebuildAllIndexes();
      if (!read_only_ && !file_read_only_) SaveIndexes();
    } catch (const std::exception&) {
      // Records that cannot be read: sorted when next needed, where the
      // failure is reported.
      list.ClearBuilt();
    }
  });
}

std::optional<std::vector<std::int32_t>> TKivoDataManager::SavedIndexArray(std::int32_t array) {
  return Locked([&]() -> std::optional<std::vector<std::int32_t>> {
    // Only while nothing changed since the open read the headers: T.idx
    // then still holds the arrays of these records.
    if (!saved_indexes_ || !idx_file_ || header_.ChangeCount != saved_change_count_)
      return std::nullopt;
    std::optional<std::vector<std::int32_t>> positions =
        ReadIndexArray(*idx_file_, *saved_indexes_, array, header_.RecordCount);
    // A damaged array is sorted again, and T.idx written again at the close.
    // Arrays written elsewhere may order equal keys differently, and a
    // damaged one may not be in order at all: the caller checks each before
    // its first use.
    if (!positions) indexes_dirty_ = true;
    return positions;
  });
}

void TKivoDataManager::SaveIndexes() {
  Locked([&] {
    if (!idx_file_ || read_only_ || file_read_only_) return;
    // T.dat must hold the counter before T.idx claims it.
    if (log_) FlushBuffers();
    TkrTableIndexes& list = IndexList();
    std::vector<const TkrIndexHeader*> headers;
    std::vector<std::vector<std::int32_t>> arrays;
    for (std::int32_t i = 0; i < list.Count(); ++i) {
      if (list.Header(i).Temporary()) continue;
      headers.push_back(&list.Header(i));
      if (header_.RecordCount > 0) {
        list.Build(i);
        arrays.push_back(list.Positions(i).ToVector());
      }
    }
    WriteIndexFile(*idx_file_, header_.ChangeCount, header_.Version, headers, arrays);
    saved_indexes_.reset();  // every index was built above
    indexes_dirty_ = false;
    list.ClearRepaired();
  });
}

bool TKivoDataManager::IndexesStale() {
  return Locked([&] {
    if (!idx_file_) return false;
    if (indexes_dirty_ || (indexes_ && indexes_->Repaired())) return true;
    const std::optional<std::int32_t> stored = StoredIndexChangeCount(*idx_file_);
    return !stored || *stored != header_.ChangeCount;
  });
}

void TKivoDataManager::FreeIndexes() {
  Locked([&] {
    saved_indexes_.reset();
    if (indexes_) {
      indexes_->Clear();
      indexes_->ClearRepaired();
    }
    indexes_dirty_ = false;
  });
}

}  // namespace kivo
