#include "engine/visible_list.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <unordered_set>

#include "engine/data_manager.h"
#include "engine/index_key.h"
#include "engine/record_image.h"
#include "engine/table_indexes.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"

namespace kivo {

namespace {

// Engine errors of the list.
constexpr int kDistinctIndexNotCreated = 32;
constexpr int kRebuildFilterNotBoolean = 54;
constexpr int kRecordFilterNotBoolean = 1071;
constexpr int kVisibleListLocked = 1089;

// A rebuild sorts the qualifying records when they are fewer than one in
// this many, and otherwise walks the index.
constexpr std::int64_t kFewMarksFactor = 32;

// DISTINCT gathers the key images of the whole table up to this many bytes;
// beyond, it reads each record in index order.
constexpr std::size_t kMaxDistinctKeyBytes = std::size_t{512} << 20;

// A list of up to this many records finds a record by scanning its
// positions: cheaper than the one record read of a search.
constexpr std::int32_t kScanUpTo = 256;

// A record asked for this many places ahead of the current one is found by
// looking at those places, before any search.
constexpr std::int32_t kLookAhead = 8;

// Up to this many Locate candidates are placed one by one.
constexpr std::size_t kFewCandidates = 9;

bool Blank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

}  // namespace

TkrVisibleList::TkrVisibleList(TKivoDataManager& m, TkrTableSearch& search)
    : m_(m), search_(search), filter_parser_(search) {
  index_name_ = m_.IndexHeader(0).IndexName;
  change_count_seen_ = m_.ChangeCount();
}

void TkrVisibleList::SetCurrent(std::int32_t value) {
  current_ = value;
  current_id_ = CurrentValid() ? IdOf(m_.GetRecordPtr(positions_.Get(current_))) : -1;
}

// ---------------------------------------------------------------------------
// Order and restrictions.

std::int32_t TkrVisibleList::CurrentIndex() {
  const std::int32_t count = m_.IndexCount();
  if (index_no_ < count) {
    const std::string& name = m_.IndexHeader(index_no_).IndexName;
    if (name == index_name_ || AnsiSameText(name, index_name_)) return index_no_;
  }
  const std::int32_t found = m_.IndexNumber(index_name_);
  index_no_ = found >= 0 ? found : 0;
  index_name_ = m_.IndexHeader(index_no_).IndexName;
  return index_no_;
}

void TkrVisibleList::SetCurrentIndex(std::int32_t indexNo, bool reversed) {
  index_name_ = m_.IndexHeader(indexNo).IndexName;
  index_no_ = indexNo;
  reversed_ = reversed;
}

const TkrIndexKey& TkrVisibleList::Key() {
  const std::int32_t i = CurrentIndex();
  m_.BuildIndex(i);
  return m_.Indexes()->Key(i);
}

void TkrVisibleList::SetFiltered(bool value, TFilterOptions options) {
  filtered_ = value;
  if (!value) return;
  filter_parser_.SetOptions(options);
  filter_parser_.SetText(filter_text_);
}

void TkrVisibleList::SetMaster(bool restricts, bool conditionActive,
                               std::vector<TSearchOperation> conditions, bool matchesNothing) {
  master_restricts_ = restricts;
  master_matches_nothing_ = conditionActive && matchesNothing;
  master_condition_active_ = conditionActive && !conditions.empty();
  master_ = std::move(conditions);
}

void TkrVisibleList::SetRange(TkrKeyRange range) {
  range_ = std::move(range);
  range_active_ = true;
}

void TkrVisibleList::CancelRange() {
  range_active_ = false;
  range_ = {};
}

bool TkrVisibleList::Restricted() const {
  return master_restricts_ || filtered_ || range_active_ || expression_ != nullptr ||
         row_limit_ >= 0;
}

bool TkrVisibleList::RebuildsOnChange() const {
  return !distinct_fields_.empty() || first_row_ > 1 || row_limit_ >= 0 || reversed_;
}

bool TkrVisibleList::EqualsIndex() const {
  return !Restricted() && distinct_fields_.empty() && first_row_ <= 1 && !reversed_;
}

// ---------------------------------------------------------------------------
// Building.

void TkrVisibleList::UnlockRefresh() {
  if (refresh_lock_ > 0 && --refresh_lock_ == 0) Rebuild();
}

void TkrVisibleList::EnsureCurrent() {
  if (m_.ChangeCount() != change_count_seen_) Rebuild();
}

void TkrVisibleList::Candidates(TBitsArray& bits, bool& all) {
  const std::int32_t n = m_.RecordCount();
  all = true;
  auto narrow = [&](const TBitsArray& marks) {
    if (all) {
      bits = marks;
      all = false;
    } else {
      bits.And(marks);
    }
  };
  if (master_matches_nothing_) {
    bits.SetLength(n);
    all = false;
    return;
  }
  if (master_condition_active_) {
    for (const TSearchOperation& op : master_) {
      TBitsArray marks;
      marks.SetLength(n);
      search_.MatchOperationOverTable(op, 0, marks);
      narrow(marks);
    }
  }
  if (filtered_ && !Blank(filter_text_)) {
    if (filter_parser_.Text() != filter_text_) filter_parser_.SetText(filter_text_);
    narrow(filter_parser_.Parse());
  }
}

void TkrVisibleList::ApplyExpression(TBitsArray& bits, bool& all) {
  if (expression_ == nullptr) return;
  const std::int32_t n = m_.RecordCount();
  if (all) {
    bits.SetLength(n);
    bits.Fill(true);
    all = false;
  }
  m_.ScanRecords(0, n, [&](std::int32_t pos, const std::uint8_t* image) {
    if (!bits.Get(pos)) return;
    const TkrRecordFilter::Outcome outcome = expression_->EvaluateRecord(image);
    if (outcome.Type != ftBoolean)
      throw ZorException::CreateFmt(kRebuildFilterNotBoolean, {},
                                    {FormatArg(std::int64_t{outcome.Type})});
    if (!outcome.Passes) bits.Set(pos, false);
  });
}

void TkrVisibleList::ApplyDistinct(TBitsArray& bits, bool& all) {
  if (distinct_fields_.empty()) return;
  const std::vector<std::string> wanted = SplitNameList(distinct_fields_);
  auto find = [&]() -> std::int32_t {
    for (std::int32_t i = 0; i < m_.IndexCount(); ++i) {
      const TkrIndexHeader& h = m_.IndexHeader(i);
      if (h.KeyFields.size() != wanted.size()) continue;
      bool same = true;
      for (std::size_t k = 0; k < wanted.size() && same; ++k) {
        const std::int32_t f = h.KeyFields[k];
        const std::string& name = f < 0 ? m_.IdFieldName() : m_.FieldHeader(f).FieldName;
        same = AnsiSameText(name, wanted[k]);
      }
      if (same) return i;
    }
    return -1;
  };
  std::int32_t d = find();
  if (d < 0) {
    // An index that cannot be made (a field the table lacks, a type no key
    // holds) is reported as the missing distinct index, with its cause.
    try {
      m_.CreateTemporaryIndex(distinct_fields_, "", "");
    } catch (const Exception&) {
      std::throw_with_nested(ZorException::CreateFmt(
          kDistinctIndexNotCreated, {}, {FormatArg(m_.TableName()), FormatArg(distinct_fields_)}));
    }
    d = find();
  }
  if (d < 0)
    throw ZorException::CreateFmt(kDistinctIndexNotCreated, {},
                                  {FormatArg(m_.TableName()), FormatArg(distinct_fields_)});
  const std::int32_t n = m_.RecordCount();
  if (all) {
    bits.SetLength(n);
    bits.Fill(true);
    all = false;
  }
  m_.BuildIndex(d);
  const TkrIndexKey& key = m_.Indexes()->Key(d);
  const TkrIndexPositions& order = m_.Indexes()->Positions(d);
  // The index order visits the records all over the table, and a record
  // read through the page cache is one read each once the table outgrows
  // it: the keys are taken in one pass in table order instead, as whole
  // numbers where the key prefix decides, else as compact key images.
  const auto count = static_cast<std::size_t>(n);
  const bool decides = key.PrefixDecides(-1);
  const auto keySize = static_cast<std::size_t>(key.KeyImageSize());
  if (decides || keySize * count <= kMaxDistinctKeyBytes) {
    std::vector<std::uint64_t> prefixes(decides ? count : 0);
    std::vector<std::uint8_t> keys(decides ? 0 : keySize * count);
    m_.ScanRecords(0, n, [&](std::int32_t pos, const std::uint8_t* image) {
      if (!bits.Get(pos)) return;
      const auto p = static_cast<std::size_t>(pos);
      if (decides) {
        prefixes[p] = key.Prefix(image);
      } else {
        key.ExtractKey(image, keys.data() + keySize * p);
      }
    });
    const TkrIndexKey& compact = key.Compact();
    std::int32_t kept = -1;  // the current run's kept entry
    order.ForEach([&](std::int32_t pos) {
      if (!bits.Get(pos)) return;
      const auto p = static_cast<std::size_t>(pos);
      if (kept >= 0) {
        const auto k = static_cast<std::size_t>(kept);
        const bool same = decides ? prefixes[k] == prefixes[p]
                                  : compact.CompareKeys(keys.data() + keySize * k,
                                                        keys.data() + keySize * p) == 0;
        if (same) {
          bits.Set(pos, false);
          return;
        }
      }
      kept = pos;
    });
    return;
  }
  std::vector<std::uint8_t> last;  // the key record of the current run's kept entry
  order.ForEach([&](std::int32_t pos) {
    if (!bits.Get(pos)) return;
    const std::uint8_t* image = m_.GetRecordPtr(pos);
    if (!last.empty() && key.CompareKeys(last.data(), image) == 0) {
      bits.Set(pos, false);
      return;
    }
    last.assign(image, image + m_.RecordSize());
  });
}

void TkrVisibleList::RangeBounds(std::int32_t& s, std::int32_t& e) {
  const std::int32_t count = m_.RecordCount();
  s = 0;
  e = count - 1;
  if (!range_active_ || count == 0) return;
  const std::int32_t i = CurrentIndex();
  const TkrIndexKey& key = Key();
  const TkrIndexPositions& order = m_.Indexes()->Positions(i);
  std::int32_t p = m_.FindKey(range_.Start.data(), i, false, false, range_.StartFieldCount);
  if (p >= 0)
    s = key.CompareKeys(m_.GetRecordPtr(order.Get(p)), range_.Start.data(), range_.StartFieldCount,
                        true) < 0
            ? p + 1
            : p;
  p = m_.FindKey(range_.End.data(), i, false, true, range_.EndFieldCount);
  if (p >= 0)
    e = key.CompareKeys(m_.GetRecordPtr(order.Get(p)), range_.End.data(), range_.EndFieldCount,
                        true) > 0
            ? p - 1
            : p;
}

void TkrVisibleList::Rebuild() {
  if (refresh_lock_ > 0) return;
  const std::int32_t keepId = current_id_;
  positions_.Clear();
  SetCurrent(-1);
  const std::int32_t indexNo = CurrentIndex();
  m_.BuildIndex(indexNo);

  std::vector<std::int32_t> list;
  const TSearchOperation* single = nullptr;
  TFilterOptions singleOptions = 0;
  if (EqualsIndex()) {
    list = m_.Indexes()->Positions(indexNo).ToVector();
  } else if (!reversed_ && distinct_fields_.empty() &&
             SingleIndexedCondition(single, singleOptions)) {
    // One condition that an index answers: its matches, without a flag per
    // record of the table. They come in the order of the index that
    // answered; when that is the current index (a master link on it, a
    // filter on its first field) they are in the list's order already: a
    // search of the index and a copy of the matching run.
    const bool inOrder = search_.FittingIndex(*single, singleOptions) == indexNo;
    list = SortedInRange(search_.GetMatchedRecordsArray(*single, singleOptions, false), inOrder);
    ApplyWindow(list);
  } else {
    TBitsArray bits;
    bool all = true;
    Candidates(bits, all);
    ApplyExpression(bits, all);
    ApplyDistinct(bits, all);
    // Taken only now: the distinct list may have added an index, which
    // moves the index structures.
    const TkrIndexPositions& order = m_.Indexes()->Positions(indexNo);
    const std::int32_t n = m_.RecordCount();
    if (!all && static_cast<std::int64_t>(bits.Count()) * kFewMarksFactor < n) {
      // Few records qualify: sort them into the index's order rather than
      // walk the whole index.
      list = SortedInRange(bits.Positions());
    } else {
      std::int32_t s = 0;
      std::int32_t e = 0;
      RangeBounds(s, e);
      // Enough entries for the window are enough.
      const std::size_t wanted = row_limit_ < 0
                                     ? SIZE_MAX
                                     : static_cast<std::size_t>(row_limit_) +
                                           static_cast<std::size_t>(std::max(first_row_ - 1, 0));
      if (reversed_) {
        WalkReversed(std::max(s, 0), e, bits, all, wanted, list);
      } else {
        std::int32_t i = std::max(s, 0);
        order.ForEachFrom(i, [&](std::int32_t pos) {
          if (i++ > e || list.size() >= wanted) return false;
          if (all || bits.Get(pos)) list.push_back(pos);
          return true;
        });
      }
    }
    ApplyWindow(list);
  }
  positions_.Assign(list);
  change_count_seen_ = m_.ChangeCount();
  if (keepId >= 0) {
    const std::int32_t pos = RecordPositionOfId(keepId);
    if (pos >= 0) SetCurrent(VisiblePositionOf(pos));
  }
}

void TkrVisibleList::WalkReversed(std::int32_t s, std::int32_t e, const TBitsArray& bits, bool all,
                                  std::size_t wanted, std::vector<std::int32_t>& list) {
  const TkrIndexKey& key = Key();
  const TkrIndexPositions& order = m_.Indexes()->Positions(CurrentIndex());
  // A cached image is valid until the next record is read: the run's key
  // is compared as a copy.
  std::vector<std::uint8_t> runKey;
  std::int32_t i = e;
  while (i >= s && list.size() < wanted) {
    // The run of equal keys ending at ordinal i: ordinals from .. i.
    runKey = ImageOf(order.Get(i));
    std::int32_t from = i;
    while (from > s && key.CompareKeys(m_.GetRecordPtr(order.Get(from - 1)), runKey.data()) == 0)
      --from;
    for (std::int32_t k = from; k <= i; ++k) {
      const std::int32_t pos = order.Get(k);
      if (all || bits.Get(pos)) list.push_back(pos);
    }
    i = from - 1;
  }
}

void TkrVisibleList::ApplyWindow(std::vector<std::int32_t>& list) const {
  // From the first row on, at most the row limit.
  if (first_row_ > 1) {
    const std::size_t skip = std::min(list.size(), static_cast<std::size_t>(first_row_ - 1));
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(skip));
  }
  if (row_limit_ >= 0 && list.size() > static_cast<std::size_t>(row_limit_))
    list.resize(static_cast<std::size_t>(row_limit_));
}

bool TkrVisibleList::SingleIndexedCondition(const TSearchOperation*& op, TFilterOptions& options) {
  if (expression_ != nullptr || master_matches_nothing_) return false;
  const bool filtering = filtered_ && !Blank(filter_text_);
  if (master_condition_active_) {
    if (filtering || master_.size() != 1) return false;
    op = &master_[0];
    options = 0;
  } else {
    if (!filtering) return false;
    if (filter_parser_.Text() != filter_text_) filter_parser_.SetText(filter_text_);
    const std::vector<TSearchOperation>& items = filter_parser_.Items();
    if (items.size() != 1 || items[0].ItemKind != sikCondition) return false;
    op = &items[0];
    options = filter_parser_.Options();
  }
  return op->Operator != soLike && op->Operator != soNotLike &&
         search_.HasFittingIndex(*op, options);
}

std::vector<std::int32_t> TkrVisibleList::SortedInRange(std::vector<std::int32_t> positions,
                                                        bool sorted) {
  const TkrIndexKey& key = Key();
  std::vector<std::uint8_t> image;
  if (range_active_) {
    std::erase_if(positions, [&](std::int32_t pos) {
      image = ImageOf(pos);
      return !InRange(image.data());
    });
  }
  if (sorted) return positions;
  // A cached image is valid until the next record is read: compare a copy.
  std::sort(positions.begin(), positions.end(), [&](std::int32_t a, std::int32_t b) {
    image = ImageOf(a);
    return CompareInOrder(key, image.data(), m_.GetRecordPtr(b)) < 0;
  });
  return positions;
}

// ---------------------------------------------------------------------------
// Record tests and look-ups.

bool TkrVisibleList::InRange(const std::uint8_t* record) {
  if (!range_active_) return true;
  const TkrIndexKey& key = Key();
  return key.CompareKeys(range_.Start.data(), record, range_.StartFieldCount, true) <= 0 &&
         key.CompareKeys(record, range_.End.data(), range_.EndFieldCount, true) <= 0;
}

bool TkrVisibleList::PassesFilterText(const std::uint8_t* record) {
  if (!filtered_ || Blank(filter_text_)) return true;
  if (filter_parser_.Text() != filter_text_) filter_parser_.SetText(filter_text_);
  return filter_parser_.Matches(record);
}

bool TkrVisibleList::RecordMatchesView(const std::uint8_t* record, bool withFilterEvent) {
  if (master_matches_nothing_) return false;
  if (master_condition_active_) {
    for (const TSearchOperation& op : master_)
      if (!search_.IsRecordMatches(op, 0, record)) return false;
  }
  if (!InRange(record)) return false;
  if (!PassesFilterText(record)) return false;
  if (expression_ != nullptr) {
    const TkrRecordFilter::Outcome outcome = expression_->EvaluateRecord(record);
    if (outcome.Type != ftBoolean)
      throw ZorException::CreateFmt(kRecordFilterNotBoolean, {},
                                    {FormatArg(std::int64_t{outcome.Type})});
    if (!outcome.Passes) return false;
  }
  if (withFilterEvent && filtered_ && filter_event_) return filter_event_(record);
  return true;
}

std::vector<std::uint8_t> TkrVisibleList::ImageOf(std::int32_t recPos) {
  const std::uint8_t* image = m_.GetRecordPtr(recPos);
  return std::vector<std::uint8_t>(image, image + m_.RecordSize());
}

std::int32_t TkrVisibleList::IdOf(const std::uint8_t* image) const {
  return static_cast<std::int32_t>(GetRecordId(m_.Layout(), image));
}

int TkrVisibleList::CompareInOrder(const TkrIndexKey& key, const std::uint8_t* a,
                                   const std::uint8_t* b) const {
  if (!reversed_) return key.CompareRecords(a, b);
  const int r = key.CompareKeys(b, a);
  if (r != 0) return r;
  const std::uint32_t x = key.IdOf(a);
  const std::uint32_t y = key.IdOf(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

std::int32_t TkrVisibleList::LowerBound(const std::uint8_t* image) {
  const TkrIndexKey& key = Key();
  return positions_.PartitionPoint(
      [&](std::int32_t pos) { return CompareInOrder(key, m_.GetRecordPtr(pos), image) < 0; });
}

std::int32_t TkrVisibleList::LowerBoundNear(const std::uint8_t* image, std::int32_t hint) {
  const std::int32_t count = Count();
  if (hint >= 0 && hint <= count) {
    // The place where the record was is usually where it goes back: two
    // neighbours read instead of a search.
    const TkrIndexKey& key = Key();
    const bool afterPrevious =
        hint == 0 || CompareInOrder(key, m_.GetRecordPtr(positions_.Get(hint - 1)), image) < 0;
    if (afterPrevious &&
        (hint == count || CompareInOrder(key, m_.GetRecordPtr(positions_.Get(hint)), image) >= 0))
      return hint;
  }
  return LowerBound(image);
}

std::int32_t TkrVisibleList::VisiblePositionOf(std::int32_t recPos) {
  const std::int32_t count = Count();
  if (count == 0 || recPos < 0 || recPos >= m_.RecordCount()) return -1;
  // A walk asks for the current record, the one before it, or one a few
  // places ahead (a statement that changes every other row): no search.
  if (current_ >= 1 && current_ - 1 < count && positions_.Get(current_ - 1) == recPos)
    return current_ - 1;
  for (std::int32_t near = std::max(current_, 0); near < count && near <= current_ + kLookAhead;
       ++near) {
    if (positions_.Get(near) == recPos) return near;
  }
  // A list that is the index finds the record through the index's search,
  // which compares key prefixes before it reads records.
  if (EqualsIndex() && count == m_.RecordCount() && m_.ChangeCount() == change_count_seen_)
    return m_.FindRecordInIndex(CurrentIndex(), recPos);
  // A short list is searched for the position itself, which reads no record.
  if (count <= kScanUpTo) {
    std::int32_t at = -1;
    std::int32_t i = 0;
    positions_.ForEach([&](std::int32_t pos) {
      if (pos == recPos && at < 0) at = i;
      ++i;
    });
    return at;
  }
  const std::vector<std::uint8_t> image = ImageOf(recPos);
  const std::int32_t at = LowerBound(image.data());
  if (at < count && positions_.Get(at) == recPos) return at;
  return -1;
}

std::int32_t TkrVisibleList::RecordPositionOfId(std::int32_t id) {
  if (m_.RecordCount() == 0) return -1;
  std::vector<std::uint8_t> probe(static_cast<std::size_t>(m_.RecordSize()), 0);
  StoreLE<std::int32_t>(probe.data() + m_.Layout().IdOffset, id);
  const std::int32_t ordinal = m_.FindKey(probe.data(), 0, true, true, 1);
  return ordinal < 0 ? -1 : m_.IndexEntry(0, ordinal);
}

std::int32_t TkrVisibleList::FindRecordById(std::int32_t id) {
  if (refresh_lock_ > 0) throw ZorException::Create(kVisibleListLocked);
  const std::int32_t pos = RecordPositionOfId(id);
  return pos < 0 ? -1 : VisiblePositionOf(pos);
}

// ---------------------------------------------------------------------------
// The data set's own changes.

void TkrVisibleList::AfterInsert(const std::uint8_t* buffer) {
  const std::int32_t indexNo = CurrentIndex();
  const std::int32_t at = m_.InsertRecord(buffer, indexNo);
  const std::int32_t recPos = m_.RecordCount() - 1;
  list_changed_ = true;
  change_count_seen_ = m_.ChangeCount();
  if (RebuildsOnChange()) {
    Rebuild();
    const std::int32_t place = VisiblePositionOf(recPos);
    if (place >= 0) SetCurrent(place);
    return;
  }
  if (EqualsIndex()) {
    positions_.Insert(at, recPos);
    SetCurrent(at);
    return;
  }
  if (!RecordMatchesView(buffer, false)) return;
  const std::vector<std::uint8_t> image = ImageOf(recPos);
  const std::int32_t place = LowerBound(image.data());
  positions_.Insert(place, recPos);
  SetCurrent(place);
}

void TkrVisibleList::AfterUpdate(const std::uint8_t* buffer) {
  const std::int32_t recPos = positions_.Get(current_);
  const std::int32_t indexNo = CurrentIndex();
  // A list that is the index has the record at the same place in both.
  const std::int32_t landed =
      m_.UpdateRecord(buffer, indexNo, recPos, EqualsIndex() ? current_ : -1);
  list_changed_ = true;
  change_count_seen_ = m_.ChangeCount();
  if (RebuildsOnChange()) {
    Rebuild();  // keeps the record current while it stays visible
    return;
  }
  if (EqualsIndex()) {
    // A change that leaves the record's key as it was keeps its place.
    if (landed != current_) {
      positions_.Delete(current_);
      positions_.Insert(landed, recPos);
    }
    // The record there is the one just written: its identifier is the
    // buffer's, without reading the record back.
    current_ = landed;
    current_id_ = IdOf(buffer);
    return;
  }
  positions_.Delete(current_);
  if (RecordMatchesView(buffer, false)) {
    const std::vector<std::uint8_t> image = ImageOf(recPos);
    const std::int32_t place = LowerBoundNear(image.data(), current_);
    positions_.Insert(place, recPos);
    SetCurrent(place);
    return;
  }
  // The record left the view: the next one takes its place.
  SetCurrent(std::min(current_, Count() - 1));
}

void TkrVisibleList::AfterDelete() {
  const std::int32_t r = positions_.Get(current_);
  const std::int32_t last = m_.RecordCount() - 1;
  // Where the last record is listed: it moves into position r.
  // (A list that is the index learns it from the delete itself.)
  const bool equalsIndex = EqualsIndex();
  std::int32_t moved = -1;
  if (r < last && !equalsIndex) moved = VisiblePositionOf(last);
  const std::int32_t q = m_.krDeleteRecord(CurrentIndex(), r, equalsIndex ? current_ : -1);
  if (r < last && equalsIndex) moved = q;
  list_changed_ = true;
  change_count_seen_ = m_.ChangeCount();
  if (RebuildsOnChange()) {
    SetCurrent(-1);
    Rebuild();
    return;
  }
  if (moved >= 0) positions_.Set(moved, r);
  positions_.Delete(current_);
  SetCurrent(std::min(current_, Count() - 1));
}

// ---------------------------------------------------------------------------
// Locate.

std::int32_t TkrVisibleList::LocateRecord(const std::vector<TSearchOperation>& ops,
                                          TFilterOptions options) {
  EnsureCurrent();
  if (Count() == 0 || ops.empty()) return -1;
  auto matchesAll = [&](const std::uint8_t* record, std::size_t skip) {
    for (std::size_t k = 0; k < ops.size(); ++k)
      if (k != skip && !search_.IsRecordMatches(ops[k], options, record)) return false;
    return true;
  };
  auto accepted = [&](const std::uint8_t* record) {
    return !filtered_ || !filter_event_ || filter_event_(record);
  };
  // One condition that no index answers: walk the list in order.
  if (ops.size() == 1 && !search_.HasFittingIndex(ops[0], options)) {
    for (std::int32_t i = 0; i < Count(); ++i) {
      const std::vector<std::uint8_t> image = ImageOf(positions_.Get(i));
      if (matchesAll(image.data(), ops.size()) && accepted(image.data())) return positions_.Get(i);
    }
    return -1;
  }
  // The driving condition: the first that matches at most a twentieth of
  // the table, else the one with the fewest matches.
  std::size_t driver = 0;
  std::vector<std::int32_t> matches;
  if (ops.size() == 1) {
    matches = search_.GetMatchedRecordsArray(ops[0], options, false);
  } else {
    const std::size_t few = static_cast<std::size_t>(m_.RecordCount() / 20);
    for (std::size_t k = 0; k < ops.size(); ++k) {
      std::vector<std::int32_t> found = search_.GetMatchedRecordsArray(ops[k], options, false);
      if (k == 0 || found.size() < matches.size()) {
        driver = k;
        matches = std::move(found);
      }
      if (matches.size() <= few) break;
    }
  }
  // Candidates must be listed: a record the view does not show is never
  // found. A few candidates are placed by binary search; many are marked
  // and the list is walked to the first of them.
  std::vector<std::int32_t> candidates;
  for (const std::int32_t pos : matches) {
    const std::vector<std::uint8_t> image = ImageOf(pos);
    if (matchesAll(image.data(), driver)) candidates.push_back(pos);
  }
  if (candidates.size() > kFewCandidates) {
    TBitsArray marks;
    marks.SetLength(m_.RecordCount());
    for (const std::int32_t pos : candidates) marks.Set(pos);
    for (std::int32_t i = 0; i < Count(); ++i) {
      const std::int32_t pos = positions_.Get(i);
      if (marks.Get(pos) && accepted(ImageOf(pos).data())) return pos;
    }
    return -1;
  }
  std::int32_t best = -1;
  std::int32_t bestPlace = -1;
  for (const std::int32_t pos : candidates) {
    const std::int32_t place = VisiblePositionOf(pos);
    if (place < 0 || (bestPlace >= 0 && place > bestPlace)) continue;
    if (!accepted(ImageOf(pos).data())) continue;
    best = pos;
    bestPlace = place;
  }
  return best;
}

// ---------------------------------------------------------------------------

void TkrVisibleList::CheckInvariants() {
  const std::int32_t n = m_.RecordCount();
  if (current_ < -1 || current_ > Count())
    throw Exception("TkrVisibleList - current position " + std::to_string(current_) +
                    " outside the list of " + std::to_string(Count()));
  std::unordered_set<std::int32_t> seen;
  const TkrIndexKey& key = Key();
  std::vector<std::uint8_t> previous;
  for (std::int32_t i = 0; i < Count(); ++i) {
    const std::int32_t pos = positions_.Get(i);
    if (pos < 0 || pos >= n || !seen.insert(pos).second)
      throw Exception("TkrVisibleList - entry " + std::to_string(i) + " names record " +
                      std::to_string(pos) + " wrongly");
    std::vector<std::uint8_t> image = ImageOf(pos);
    if (!previous.empty() && CompareInOrder(key, previous.data(), image.data()) >= 0)
      throw Exception("TkrVisibleList - entry " + std::to_string(i) + " out of order");
    previous = std::move(image);
  }
}

}  // namespace kivo
