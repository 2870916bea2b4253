#include "engine/table_indexes.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>

#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"

namespace kivo {

namespace {
// Sorting copies the keys of all records first; above this many bytes of
// keys it compares records through the table instead.
constexpr std::size_t kMaxKeyBytes = std::size_t{512} << 20;
// Presorting by primary weights: the weights kept per value, their bytes with
// the null flag, and the smallest count of records worth it.
constexpr int kPrefixWeights = 8;
constexpr std::size_t kPrefixBytes = 1 + 4 * kPrefixWeights;
constexpr std::size_t kMinPresortCount = 256;
// Ranges this small are sorted by insertion.
constexpr std::int32_t kSmallRange = 16;

// Sorts `v` by `less`; with a `report`, a quicksort that reports each range
// as it is completed, left to right, so that the reported share of the
// array never goes down.
template <typename T, typename Less>
void SortReporting(std::vector<T>& v, Less less, const std::function<void(double)>* report) {
  if (!report) {
    std::sort(v.begin(), v.end(), less);
    return;
  }
  const auto n = static_cast<std::int32_t>(v.size());
  const double last = n > 1 ? static_cast<double>(n - 1) : 1.0;
  const auto at = [&v](std::int32_t i) -> T& { return v[static_cast<std::size_t>(i)]; };
  std::function<void(std::int32_t, std::int32_t, int)> quick = [&](std::int32_t lo, std::int32_t hi,
                                                                   int depth) {
    if (hi - lo < kSmallRange || depth == 0) {
      std::sort(v.begin() + lo, v.begin() + hi + 1, less);
    } else {
      const T pivot = at(lo + (hi - lo) / 2);
      std::int32_t i = lo - 1;
      std::int32_t j = hi + 1;
      for (;;) {
        do ++i;
        while (less(at(i), pivot));
        do --j;
        while (less(pivot, at(j)));
        if (i >= j) break;
        std::swap(at(i), at(j));
      }
      quick(lo, j, depth - 1);
      quick(j + 1, hi, depth - 1);
    }
    if (n > 1) (*report)(hi / last * 100.0);
  };
  int depth = 2;
  for (std::int32_t k = n; k > 1; k /= 2) depth += 2;
  if (n > 0) quick(0, n - 1, depth);
}
}  // namespace

TkrTableIndexes::TkrTableIndexes(TkrIndexedTable& table)
    : table_(table), collation_(UserCollation()) {}

const TkrTableIndexes::Index& TkrTableIndexes::At(std::int32_t i) const {
  if (i < 0 || i >= Count())
    throw Exception("TKivoDataManager - invalid index number " + std::to_string(i));
  return indexes_[static_cast<std::size_t>(i)];
}
TkrTableIndexes::Index& TkrTableIndexes::At(std::int32_t i) {
  return const_cast<Index&>(static_cast<const TkrTableIndexes*>(this)->At(i));
}

std::int32_t TkrTableIndexes::IndexOf(const std::string& name) const {
  for (std::size_t i = 0; i < indexes_.size(); ++i)
    if (AnsiSameText(indexes_[i].header.IndexName, name)) return static_cast<std::int32_t>(i);
  return -1;
}

std::unique_ptr<TkrIndexKey> TkrTableIndexes::MakeKey(const TkrIndexHeader& header) {
  return std::make_unique<TkrIndexKey>(header, table_.IndexedFields(), table_.IndexedOffsets(),
                                       table_.IndexedLayout(), collation_);
}

void TkrTableIndexes::Add(const TkrIndexHeader& header) {
  Index index;
  index.header = header;
  index.key = MakeKey(header);
  index.positions.SetPrefixed(index.key->HasPrefix());
  indexes_.push_back(std::move(index));
}

void TkrTableIndexes::Remove(std::int32_t i) {
  At(i);
  indexes_.erase(indexes_.begin() + i);
}

void TkrTableIndexes::SetPositions(std::int32_t i, const std::vector<std::int32_t>& positions,
                                   bool trusted) {
  Index& index = At(i);
  index.positions.Assign(positions);
  index.prefixes_learnt = false;
  index.built = true;
  index.verified = trusted;
}

void TkrTableIndexes::TakeSavedLater(std::int32_t i, std::int32_t array) {
  Index& index = At(i);
  index.built = false;
  index.verified = true;
  index.positions.Clear();
  index.saved = array;
}

void TkrTableIndexes::Verify(std::int32_t i) {
  Index& index = At(i);
  if (!index.built || index.verified) return;
  index.verified = true;
  bool inOrder = true;
  try {
    inOrder = InOrder(i);
  } catch (const std::exception&) {
    // Records that cannot be read: the saved order stays; the record
    // operations report them.
  }
  if (!inOrder) {
    index.built = false;
    index.positions.Clear();
    repaired_ = true;
  }
}

std::vector<std::uint8_t> TkrTableIndexes::CopyRecord(std::int32_t pos) {
  const std::uint8_t* p = table_.IndexedRecord(pos);
  return std::vector<std::uint8_t>(p, p + table_.IndexedLayout().RecordSize);
}

void TkrTableIndexes::ClearBuilt() {
  for (Index& index : indexes_) {
    index.built = false;
    index.verified = true;
    index.saved = -1;
    index.positions.Clear();
  }
}

void TkrTableIndexes::TableOpened(std::int32_t recordCount) {
  // The layout may have changed (conversion of old tables): new keys; arrays
  // that no longer cover the table are sorted again.
  collation_ = UserCollation();
  for (Index& index : indexes_) {
    index.key = MakeKey(index.header);
    index.positions.SetPrefixed(index.key->HasPrefix());
    if (index.positions.Count() != recordCount) {
      index.built = false;
      index.positions.Clear();
    }
  }
}

// ---- Sorting ----

bool TkrTableIndexes::PrimaryPrefixes(const TkrIndexKey& key, std::size_t count,
                                      std::vector<std::uint8_t>& prefixes) {
  if (count < kMinPresortCount || key.Parts().empty() || key.Collation() == nullptr) return false;
  const TkrIndexKey::Part& p = key.Parts()[0];
  if (p.IsId || p.Type != ftString || count * kPrefixBytes > kMaxKeyBytes) return false;
  const TCollation& collation = *key.Collation();
  const auto valueOf = [&](std::size_t r, bool& null) {
    const std::uint8_t* record = table_.IndexedRecord(static_cast<std::int32_t>(r));
    null = (record[p.NullByte] & p.NullMask) != 0;
    const auto* chars = reinterpret_cast<const char*>(record + p.Offset);
    return std::string_view(chars, strnlen(chars, static_cast<std::size_t>(p.Size)));
  };
  // The leading primary weights every value shares (codes such as
  // "row-0000000123" agree on their first dozen characters): the prefixes
  // start after them, where the values differ.
  constexpr int kLooked = 32;
  std::uint8_t first[4 * kLooked];
  std::uint8_t other[4 * kLooked];
  int common = -1;
  for (std::size_t r = 0; r < count && common != 0; ++r) {
    bool null = false;
    const std::string_view value = valueOf(r, null);
    if (null) continue;
    // A value the weight tables do not order (a contraction) leaves the
    // whole column to the full comparison.
    if (!collation.PrimaryPrefix(value, common < 0 ? first : other, kLooked)) return false;
    if (common < 0) {
      common = 0;
      while (common < kLooked && std::memcmp(first + 4 * common, "\0\0\0\0", 4) != 0) ++common;
      continue;
    }
    int same = 0;
    while (same < common && std::memcmp(first + 4 * same, other + 4 * same, 4) == 0) ++same;
    common = same;
  }
  const int skip = std::max(common, 0);
  prefixes.assign(count * kPrefixBytes, 0);
  for (std::size_t r = 0; r < count; ++r) {
    std::uint8_t* out = prefixes.data() + r * kPrefixBytes;
    bool null = false;
    const std::string_view value = valueOf(r, null);
    if (null) continue;  // nulls first: flag 0
    out[0] = 1;
    if (!collation.PrimaryPrefix(value, out + 1, kPrefixWeights, skip)) {
      prefixes.clear();
      return false;
    }
  }
  return true;
}

// A key of one integer part (or the identifier) is ordered wholly by its
// prefix: the records sort as plain numbers, read in one pass over the table,
// with the identifier and then the position breaking ties as CompareRecords
// and Sort do.
void TkrTableIndexes::SortByPrefix(const TkrIndexKey& key, std::vector<std::int32_t>& order,
                                   bool report) {
  struct Entry {
    std::uint64_t prefix;
    std::uint32_t id;
    std::int32_t pos;
  };
  const auto n = static_cast<std::int32_t>(order.size());
  // A table being created has no records and no storage to scan yet.
  if (n == 0) return;
  std::vector<Entry> entries(order.size());
  table_.ForEachIndexedRecord([&](std::int32_t p, const std::uint8_t* record) {
    if (p < n) entries[static_cast<std::size_t>(p)] = {key.Prefix(record), key.IdOf(record), p};
  });
  const std::function<void(double)> reporter = SortProgress();
  SortReporting(
      entries,
      [](const Entry& a, const Entry& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        if (a.id != b.id) return a.id < b.id;
        return a.pos < b.pos;
      },
      report ? &reporter : nullptr);
  for (std::size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].pos;
}

std::function<void(double)> TkrTableIndexes::SortProgress() {
  return [this](double percent) {
    reported_percent_ = percent;
    if (progress_) progress_(false, false, percent);
  };
}

bool TkrTableIndexes::SortByLargeInt(const TkrIndexKey& key, std::vector<std::int32_t>& order,
                                     bool report) {
  if (key.Parts().size() != 1) return false;
  const TkrIndexKey::Part& part = key.Parts()[0];
  if (part.IsId || part.Type != ftLargeint) return false;
  // The key as two unsigned numbers that order as CompareKeys does: NULL
  // (rank 0) before every value (rank 1), the values offset by 2^63 so that
  // unsigned order is signed order; both complemented when descending.
  struct Entry {
    std::uint64_t value;
    std::uint32_t id;
    std::uint8_t rank;
    std::int32_t pos;
  };
  const auto n = static_cast<std::int32_t>(order.size());
  if (n == 0) return true;
  const std::uint64_t flip = part.Descending ? ~std::uint64_t{0} : 0;
  const std::uint8_t rankFlip = part.Descending ? 1 : 0;
  std::vector<Entry> entries(order.size());
  table_.ForEachIndexedRecord([&](std::int32_t p, const std::uint8_t* record) {
    if (p >= n) return;
    const bool null = (record[part.NullByte] & part.NullMask) != 0;
    const std::uint64_t biased =
        null ? 0
             : static_cast<std::uint64_t>(LoadLE<std::int64_t>(record + part.Offset)) ^
                   (std::uint64_t{1} << 63);
    entries[static_cast<std::size_t>(p)] = {
        biased ^ flip, key.IdOf(record), static_cast<std::uint8_t>((null ? 0 : 1) ^ rankFlip), p};
  });
  const std::function<void(double)> reporter = SortProgress();
  SortReporting(
      entries,
      [](const Entry& a, const Entry& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        if (a.value != b.value) return a.value < b.value;
        if (a.id != b.id) return a.id < b.id;
        return a.pos < b.pos;
      },
      report ? &reporter : nullptr);
  for (std::size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].pos;
  return true;
}

void TkrTableIndexes::Sort(Index& index, std::vector<std::int32_t>& order, bool report) {
  const auto n = static_cast<std::int32_t>(order.size());
  const TkrIndexKey& key = *index.key;
  const bool whole = order.size() == static_cast<std::size_t>(table_.IndexedRecordCount());
  if (key.PrefixDecides(-1) && whole) {
    SortByPrefix(key, order, report);
    return;
  }
  if (whole && SortByLargeInt(key, order, report)) return;
  const auto keySize = static_cast<std::size_t>(key.KeyImageSize());
  std::vector<std::uint8_t> keys;
  std::function<int(std::int32_t, std::int32_t)> compare;
  std::vector<std::uint8_t> held;
  if (keySize * order.size() <= kMaxKeyBytes) {
    keys.resize(keySize * order.size());
    // In table order, which the indexer reads in blocks (a table being
    // created has no records and no storage to scan yet).
    if (n > 0)
      table_.ForEachIndexedRecord([&](std::int32_t p, const std::uint8_t* record) {
        if (p < n) key.ExtractKey(record, keys.data() + keySize * static_cast<std::size_t>(p));
      });
    const TkrIndexKey& compact = key.Compact();
    compare = [&](std::int32_t a, std::int32_t b) {
      const int r = compact.CompareRecords(keys.data() + keySize * static_cast<std::size_t>(a),
                                           keys.data() + keySize * static_cast<std::size_t>(b));
      return r != 0 ? r : (a < b ? -1 : (a > b ? 1 : 0));
    };
  } else {
    compare = [&](std::int32_t a, std::int32_t b) {
      held = CopyRecord(a);
      const int r = key.CompareRecords(held.data(), table_.IndexedRecord(b));
      return r != 0 ? r : (a < b ? -1 : (a > b ? 1 : 0));
    };
  }
  // A leading string part is presorted by the first primary weights of each
  // value: where those differ they decide the order, and only values that
  // share them go through the full comparison.
  std::vector<std::uint8_t> prefixes;
  const std::function<int(std::int32_t, std::int32_t)> full_compare = compare;
  if (PrimaryPrefixes(key, order.size(), prefixes) && report) {
    const bool descending = key.Parts()[0].Descending;
    // Outlives this block: `descending` is taken by value.
    compare = [&, descending](std::int32_t a, std::int32_t b) {
      const int r =
          std::memcmp(prefixes.data() + kPrefixBytes * static_cast<std::size_t>(a),
                      prefixes.data() + kPrefixBytes * static_cast<std::size_t>(b), kPrefixBytes);
      if (r != 0) return (r < 0) != descending ? -1 : 1;
      return full_compare(a, b);
    };
  }
  if (!report && !prefixes.empty()) {
    // Sorted as records of prefix and position, so that most comparisons
    // read neighbouring memory instead of two far-apart prefixes.
    struct Entry {
      std::uint8_t prefix[kPrefixBytes];
      std::int32_t pos;
    };
    std::vector<Entry> entries(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      const auto pos = static_cast<std::size_t>(order[i]);
      std::memcpy(entries[i].prefix, prefixes.data() + kPrefixBytes * pos, kPrefixBytes);
      entries[i].pos = order[i];
    }
    prefixes.clear();
    prefixes.shrink_to_fit();
    const bool descending = key.Parts()[0].Descending;
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
      const int r = std::memcmp(a.prefix, b.prefix, kPrefixBytes);
      if (r != 0) return (r < 0) != descending;
      return full_compare(a.pos, b.pos) < 0;
    });
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = entries[i].pos;
    return;
  }
  const std::function<void(double)> reporter = SortProgress();
  SortReporting(
      order, [&](std::int32_t a, std::int32_t b) { return compare(a, b) < 0; },
      report ? &reporter : nullptr);
}

void TkrTableIndexes::Build(std::int32_t i) {
  Index& index = At(i);
  if (!index.built && index.saved >= 0) {
    const std::int32_t array = index.saved;
    index.saved = -1;
    if (saved_arrays_) {
      if (std::optional<std::vector<std::int32_t>> positions = saved_arrays_(array))
        SetPositions(i, *positions, /*trusted=*/false);
    }
  }
  Verify(i);
  if (index.built) return;
  const std::int32_t n = table_.IndexedRecordCount();
  const bool report = progress_enabled_ && progress_ && n > 0;
  std::vector<std::int32_t> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  // Every reported start is followed by a finish, also when the build fails
  // (or a receiver of the start fails), so that whoever shows the progress
  // can take it down again.
  bool started = false;
  try {
    if (report) {
      started = true;
      reported_percent_ = 0;
      progress_(true, false, 0);
    }
    Sort(index, order, report);
  } catch (...) {
    if (started) {
      try {
        progress_(false, true, reported_percent_);
      } catch (...) {
        // The build's own error is the one to report.
      }
    }
    throw;
  }
  index.positions.Assign(order);
  index.prefixes_learnt = false;
  index.built = true;
  if (report) progress_(false, true, 100);
}

void TkrTableIndexes::BuildAll() {
  for (std::int32_t i = 0; i < Count(); ++i) Build(i);
}

bool TkrTableIndexes::InOrder(std::int32_t i) {
  Index& index = At(i);
  const std::int32_t n = table_.IndexedRecordCount();
  if (index.positions.Count() != n) return false;
  const TkrIndexKey& key = *index.key;
  const auto count = static_cast<std::size_t>(n);
  // A key its prefix decides is ordered by the prefix and then the
  // identifier, two numbers per record (one when the key is the
  // identifier); any other by its key image. The same pass learns the key
  // prefixes of a large array.
  const bool decides = key.PrefixDecides(-1);
  const bool byId = decides && key.Parts()[0].IsId;
  const bool learn =
      index.positions.Prefixed() && !index.prefixes_learnt && n >= kLearnPrefixesFrom;
  const auto keySize = static_cast<std::size_t>(key.KeyImageSize());
  std::vector<std::uint64_t> prefixes(decides || learn ? count : 0);
  std::vector<std::uint32_t> ids(decides && !byId ? count : 0);
  std::vector<std::uint8_t> keys(decides ? 0 : keySize * count);
  const auto size = static_cast<std::size_t>(table_.IndexedLayout().RecordSize);
  table_.ForEachIndexedBlock(
      [&](std::int32_t first, std::int32_t blockCount, const std::uint8_t* images) {
        for (std::int32_t k = 0; k < blockCount && first + k < n; ++k) {
          const std::uint8_t* record = images + static_cast<std::size_t>(k) * size;
          const auto p = static_cast<std::size_t>(first + k);
          if (!prefixes.empty()) prefixes[p] = key.Prefix(record);
          if (!ids.empty()) ids[p] = key.IdOf(record);
          if (!keys.empty()) key.ExtractKey(record, keys.data() + keySize * p);
        }
      });
  const TkrIndexKey& compact = key.Compact();
  auto sortsAfter = [&](std::size_t a, std::size_t b) {
    if (!decides)
      return compact.CompareRecords(keys.data() + keySize * a, keys.data() + keySize * b) > 0;
    return prefixes[a] > prefixes[b] || (!byId && prefixes[a] == prefixes[b] && ids[a] > ids[b]);
  };
  bool ok = true;
  std::int32_t prev = -1;
  index.positions.ForEach([&](std::int32_t p) {
    if (ok && prev >= 0 && sortsAfter(static_cast<std::size_t>(prev), static_cast<std::size_t>(p)))
      ok = false;
    prev = p;
  });
  if (ok && learn) {
    index.positions.LearnPrefixes(
        [&](std::int32_t value) { return prefixes[static_cast<std::size_t>(value)]; });
    index.prefixes_learnt = true;
  }
  return ok;
}

// ---- Searches ----

std::uint64_t TkrTableIndexes::PrefixOf(const Index& index, const std::uint8_t* image) const {
  return index.positions.Prefixed() ? index.key->Prefix(image) : TkrIndexPositions::kUnknownPrefix;
}

void TkrTableIndexes::LearnPrefixes(const Index& index) {
  index.prefixes_learnt = true;
  const std::int32_t n = table_.IndexedRecordCount();
  // Record by record in table order, which the reads ahead serve in bulk;
  // then entry by entry from memory.
  std::vector<std::uint64_t> byRecord(static_cast<std::size_t>(n));
  table_.ForEachIndexedRecord([&](std::int32_t pos, const std::uint8_t* record) {
    if (pos < n) byRecord[static_cast<std::size_t>(pos)] = index.key->Prefix(record);
  });
  index.positions.LearnPrefixes([&](std::int32_t value) {
    return value >= 0 && value < n ? byRecord[static_cast<std::size_t>(value)]
                                   : TkrIndexPositions::kUnknownPrefix;
  });
}

template <typename Before>
std::int32_t TkrTableIndexes::Search(const Index& index, std::uint64_t itemPrefix, Before before) {
  if (!index.positions.Prefixed()) return index.positions.PartitionPoint(before);
  if (!index.prefixes_learnt && index.positions.Count() >= kLearnPrefixesFrom) LearnPrefixes(index);
  const TkrIndexKey& key = *index.key;
  return index.positions.PartitionPoint(before, itemPrefix, [&](std::int32_t entry) {
    return key.Prefix(table_.IndexedRecord(entry));
  });
}

std::int32_t TkrTableIndexes::LowerBound(const Index& index, const std::uint8_t* image) {
  return LowerBound(index, image, PrefixOf(index, image));
}

std::int32_t TkrTableIndexes::LowerBound(const Index& index, const std::uint8_t* image,
                                         std::uint64_t prefix) {
  const TkrIndexKey& key = *index.key;
  return Search(index, prefix, [&](std::int32_t entry) {
    return key.CompareRecords(table_.IndexedRecord(entry), image) < 0;
  });
}

std::int32_t TkrTableIndexes::Locate(const Index& index, const std::uint8_t* image,
                                     std::int32_t recPos) {
  const TkrIndexPositions& positions = index.positions;
  const std::int32_t count = positions.Count();
  if (count == 0) return -1;
  const std::int32_t m = LowerBound(index, image);
  if (m < count && positions.Get(m) == recPos) return m;
  // Not where the order puts it (records sharing an identifier): look
  // around, nearest first, left before right.
  for (std::int32_t d = 1; m - d >= 0 || m + d < count; ++d) {
    if (m - d >= 0 && positions.Get(m - d) == recPos) return m - d;
    if (m + d < count && positions.Get(m + d) == recPos) return m + d;
  }
  return -1;
}

std::int32_t TkrTableIndexes::FindRecordInIndex(std::int32_t i, std::int32_t recPos) {
  Build(i);
  const std::vector<std::uint8_t> image = CopyRecord(recPos);
  return Locate(At(i), image.data(), recPos);
}

std::int32_t TkrTableIndexes::FindKey(std::int32_t i, const std::uint8_t* keyBuffer, bool exactOnly,
                                      bool forward, std::int32_t keyFieldCount) {
  Build(i);
  const Index& index = At(i);
  const TkrIndexKey& key = *index.key;
  const std::int32_t count = index.positions.Count();
  auto cmp = [&](std::int32_t entry) {
    return key.CompareKeys(table_.IndexedRecord(entry), keyBuffer, keyFieldCount, true);
  };
  // Prefixes order the first key field: not for a search over no field.
  const std::uint64_t prefix = PrefixOf(index, keyBuffer);
  auto search = [&](auto before) {
    return keyFieldCount == 0 ? index.positions.PartitionPoint(before)
                              : Search(index, prefix, before);
  };
  if (index.positions.Prefixed() && key.PrefixDecides(keyFieldCount)) {
    // Equal prefixes are equal keys: the run of the key is found from the
    // prefixes alone, without reading a record.
    auto prefixAt = [&](std::int32_t ordinal) {
      return index.positions.PrefixAt(
          ordinal, [&](std::int32_t entry) { return key.Prefix(table_.IndexedRecord(entry)); });
    };
    const std::int32_t lo = KeyBound(i, keyBuffer, false, keyFieldCount);
    if (lo < count && prefixAt(lo) == prefix) {
      // A key of its own (an identifier) ends where it starts.
      if (!forward || lo + 1 == count || prefixAt(lo + 1) != prefix) return lo;
      return KeyBound(i, keyBuffer, true, keyFieldCount) - 1;
    }
    if (exactOnly) return -1;
    return lo >= count ? count - 1 : lo;
  }
  const std::int32_t lo = search([&](std::int32_t e) { return cmp(e) < 0; });
  if (lo < count && cmp(index.positions.Get(lo)) == 0) {
    if (!forward) return lo;
    const std::int32_t hi = search([&](std::int32_t e) { return cmp(e) <= 0; });
    return hi - 1;
  }
  if (exactOnly) return -1;
  return lo >= count ? count - 1 : lo;
}

std::int32_t TkrTableIndexes::KeyBound(std::int32_t i, const std::uint8_t* keyBuffer, bool strict,
                                       std::int32_t keyFieldCount) {
  Build(i);
  const Index& index = At(i);
  if (keyFieldCount == 0) return strict ? index.positions.Count() : 0;
  const TkrIndexKey& key = *index.key;
  const bool decided = index.positions.Prefixed() && key.PrefixDecides(keyFieldCount);
  return Search(index, PrefixOf(index, keyBuffer), [&](std::int32_t entry) {
    // Only entries whose prefix equals the buffer's come here.
    if (decided) return strict;
    const int r = key.CompareKeys(table_.IndexedRecord(entry), keyBuffer, keyFieldCount, true);
    return strict ? r <= 0 : r < 0;
  });
}

std::int32_t TkrTableIndexes::FindKeyConflict(std::int32_t i, const std::uint8_t* buffer,
                                              bool inserting, std::int32_t editedPos) {
  Build(i);
  const Index& index = At(i);
  const TkrIndexKey& key = *index.key;
  if (!inserting && editedPos >= 0 && key.CompareKeys(table_.IndexedRecord(editedPos), buffer) == 0)
    return -1;
  const std::uint32_t id = key.IdOf(buffer);
  const std::int32_t count = index.positions.Count();
  std::int32_t at = Search(index, PrefixOf(index, buffer), [&](std::int32_t e) {
    return key.CompareKeys(table_.IndexedRecord(e), buffer) < 0;
  });
  for (; at < count; ++at) {
    const std::int32_t pos = index.positions.Get(at);
    const std::uint8_t* record = table_.IndexedRecord(pos);
    if (key.CompareKeys(record, buffer) != 0) break;
    if (inserting || key.IdOf(record) != id) return pos;
  }
  return -1;
}

std::uint32_t TkrTableIndexes::LargestId(std::int32_t i) {
  Build(i);
  const Index& index = At(i);
  const std::int32_t count = index.positions.Count();
  if (count == 0) return 0;
  const TkrIndexKey& key = *index.key;
  return std::max(key.IdOf(table_.IndexedRecord(index.positions.Get(0))),
                  key.IdOf(table_.IndexedRecord(index.positions.Get(count - 1))));
}

// ---- Maintenance ----

void TkrTableIndexes::BeforeRecordChange(std::int32_t recordCount) {
  // Saved orders are checked before anything is kept in step with them.
  for (std::int32_t i = 0; i < Count(); ++i) Verify(i);
  if (recordCount <= 10) return;
  for (std::int32_t i = 0; i < Count(); ++i)
    if (!bulk_insert_ || KeptInBulk(At(i))) Build(i);
}

bool TkrTableIndexes::KeptInBulk(const Index& index) {
  return (index.header.Options & (ixUnique | ixPrimary)) != 0;
}

std::int32_t TkrTableIndexes::RecordInserted(std::int32_t pos, std::int32_t currentIndex,
                                             bool maintainAll) {
  std::int32_t result = 0;
  // The new record's image, copied once into a buffer kept between inserts.
  std::vector<std::uint8_t>& image = inserted_image_;
  bool copied = false;
  for (std::int32_t k = 0; k < Count(); ++k) {
    Index& index = indexes_[static_cast<std::size_t>(k)];
    const bool current = k == currentIndex;
    if (!index.built || !(current || maintainAll)) {
      index.built = false;
      index.positions.Clear();
      if (current) {
        Build(k);  // sorts the new record in with the others
        result = FindRecordInIndex(k, pos);
      }
      continue;
    }
    TkrIndexPositions& positions = index.positions;
    const std::int32_t count = positions.Count();
    if (count > 0 && positions.Prefixed() && index.key->PrefixDecides(-1)) {
      // A key its prefix decides (identifiers, integers) goes after the last
      // entry when its prefix is greater: one number compared, no record read.
      const std::uint64_t prefix = index.key->Prefix(table_.IndexedRecord(pos));
      const std::uint64_t last = positions.PrefixAt(count - 1, [&](std::int32_t value) {
        return index.key->Prefix(table_.IndexedRecord(value));
      });
      if (last < prefix) {
        positions.Insert(count, pos, prefix);
        if (current) result = count;
        continue;
      }
    }
    if (!copied) {
      const std::uint8_t* record = table_.IndexedRecord(pos);
      image.assign(record, record + table_.IndexedLayout().RecordSize);
      copied = true;
    }
    std::int32_t at;
    // Keys often grow with every insert (identifiers always do): a record
    // after the last entry goes to the end without a search.
    const std::uint64_t prefix = PrefixOf(index, image.data());
    if (count > 0 &&
        index.key->CompareRecords(table_.IndexedRecord(positions.Get(count - 1)), image.data()) < 0)
      at = count;
    else if (bulk_insert_ && !current && !KeptInBulk(index)) {
      index.built = false;
      index.positions.Clear();
      continue;
    } else
      at = LowerBound(index, image.data(), prefix);
    positions.Insert(at, pos, prefix);
    if (current) result = at;
  }
  return result;
}

void TkrTableIndexes::RecordsAppended(std::int32_t first, std::int32_t count,
                                      const std::uint8_t* images, bool maintainAll) {
  // The same places RecordInserted gives one record at a time, read from the
  // images handed in rather than from the table. Records that go after the
  // last entry (all of them, for keys that grow) are added as one run.
  const auto size = static_cast<std::size_t>(table_.IndexedLayout().RecordSize);
  std::vector<std::int32_t> runValues;
  std::vector<std::uint64_t> runPrefixes;
  for (Index& index : indexes_) {
    if (!index.built || !maintainAll) {
      index.built = false;
      index.positions.Clear();
      continue;
    }
    TkrIndexPositions& positions = index.positions;
    const bool decides = positions.Prefixed() && index.key->PrefixDecides(-1);
    const bool deferrable = bulk_insert_ && !KeptInBulk(index);
    runValues.clear();
    runPrefixes.clear();
    auto addRun = [&] {
      positions.Append(runValues.data(), runPrefixes.data(),
                       static_cast<std::int32_t>(runValues.size()));
      runValues.clear();
      runPrefixes.clear();
    };
    // The last entry: its prefix when the prefix decides the order, else
    // its image when it is one of `images`.
    bool lastKnown = false;
    std::uint64_t lastPrefix = 0;
    const std::uint8_t* lastImage = nullptr;
    for (std::int32_t j = 0; j < count; ++j) {
      const std::uint8_t* image = images + static_cast<std::size_t>(j) * size;
      const std::int32_t n = positions.Count() + static_cast<std::int32_t>(runValues.size());
      const std::uint64_t prefix = PrefixOf(index, image);
      bool last = n == 0;
      if (!last && decides) {
        if (!lastKnown)
          lastPrefix = positions.PrefixAt(n - 1, [&](std::int32_t value) {
            return index.key->Prefix(table_.IndexedRecord(value));
          });
        last = lastPrefix < prefix;
      }
      if (!last && !decides) {
        const std::uint8_t* before =
            lastImage ? lastImage : table_.IndexedRecord(positions.Get(n - 1));
        last = index.key->CompareRecords(before, image) < 0;
      }
      if (last) {
        runValues.push_back(first + j);
        runPrefixes.push_back(prefix);
        lastKnown = decides;
        lastPrefix = prefix;
        lastImage = image;
        continue;
      }
      addRun();
      lastKnown = false;
      lastImage = nullptr;
      if (deferrable) {
        // Sorted once when next needed.
        index.built = false;
        positions.Clear();
        break;
      }
      positions.Insert(LowerBound(index, image, prefix), first + j, prefix);
    }
    if (index.built) addRun();
  }
}

std::int32_t TkrTableIndexes::RecordUpdating(const std::uint8_t* oldImage,
                                             const std::uint8_t* newImage, std::int32_t pos,
                                             std::int32_t currentIndex, bool maintainAll,
                                             std::int32_t currentOrdinal) {
  const std::size_t size = static_cast<std::size_t>(table_.IndexedLayout().RecordSize);
  const std::vector<std::uint8_t> before(oldImage, oldImage + size);
  const std::vector<std::uint8_t> after(newImage, newImage + size);
  std::int32_t result = 0;
  for (std::int32_t k = 0; k < Count(); ++k) {
    Index& index = indexes_[static_cast<std::size_t>(k)];
    const bool current = k == currentIndex;
    if (current) Build(k);  // over the old image, still in the table
    if (!index.built || !(current || maintainAll)) {
      index.built = false;
      index.positions.Clear();
      continue;
    }
    const bool same = index.key->CompareRecords(before.data(), after.data()) == 0;
    if (same && !current) continue;
    const bool guessed = current && currentOrdinal >= 0 &&
                         currentOrdinal < index.positions.Count() &&
                         index.positions.Get(currentOrdinal) == pos;
    const std::int32_t o = guessed ? currentOrdinal : Locate(index, before.data(), pos);
    if (o < 0) {
      // The array lost the record: sort again rather than trust it.
      index.built = false;
      index.positions.Clear();
      if (current) throw Exception("TKivoDataManager.UpdateRecord - record not found in index");
      continue;
    }
    if (same) {
      result = o;
      continue;
    }
    const std::uint64_t prefix = PrefixOf(index, after.data());
    const std::int32_t n = LowerBound(index, after.data(), prefix);
    std::int32_t landed = o;
    if (n != o && n != o + 1) {
      index.positions.Delete(o);
      landed = n > o ? n - 1 : n;
      index.positions.Insert(landed, pos, prefix);
    } else {
      // The entry stays where it is, but its key changed.
      index.positions.SetPrefix(o, prefix);
    }
    if (current) result = landed;
  }
  return result;
}

std::int32_t TkrTableIndexes::RecordDeleting(std::int32_t pos, std::int32_t countBefore,
                                             std::int32_t currentIndex, bool maintainAll,
                                             std::int32_t currentOrdinal) {
  std::int32_t result = 0;
  for (std::int32_t k = 0; k < Count(); ++k) {
    Index& index = indexes_[static_cast<std::size_t>(k)];
    const bool current = k == currentIndex;
    if (current) Build(k);
    if (!index.built || !(current || maintainAll)) {
      index.built = false;
      index.positions.Clear();
      continue;
    }
    std::int32_t o;
    if (current && currentOrdinal >= 0 && currentOrdinal < index.positions.Count() &&
        index.positions.Get(currentOrdinal) == pos) {
      o = currentOrdinal;  // the caller's ordinal saves the search
    } else {
      const std::vector<std::uint8_t> image = CopyRecord(pos);
      o = Locate(index, image.data(), pos);
    }
    if (o < 0) {
      throw Exception("TKivoDataManager.krDeleteRecord - invalid record Number, recPos = " +
                      std::to_string(pos));
    }
    std::int32_t q = 0;
    if (pos < countBefore - 1) {
      const std::vector<std::uint8_t> last = CopyRecord(countBefore - 1);
      q = Locate(index, last.data(), countBefore - 1);
      if (q < 0) {
        throw Exception("TKivoDataManager.krDeleteRecord - invalid record Number, last = " +
                        std::to_string(countBefore - 1));
      }
      index.positions.Set(q, pos);
    }
    index.positions.Delete(o);
    if (current) result = q;
  }
  return result;
}

void TkrTableIndexes::CheckInvariants() {
#ifndef NDEBUG
  const std::int32_t n = table_.IndexedRecordCount();
  for (Index& index : indexes_) {
    index.positions.CheckInvariants();
    if (!index.built) continue;
    assert(index.positions.Count() == n);
    std::vector<bool> seen(static_cast<std::size_t>(n), false);
    std::vector<std::uint8_t> prev;
    index.positions.ForEachWithPrefix([&](std::int32_t p, std::uint64_t prefix) {
      assert(p >= 0 && p < n && !seen[static_cast<std::size_t>(p)]);
      seen[static_cast<std::size_t>(p)] = true;
      std::vector<std::uint8_t> image = CopyRecord(p);
      assert(prefix == TkrIndexPositions::kUnknownPrefix ||
             prefix == index.key->Prefix(image.data()));
      if (!prev.empty()) assert(index.key->CompareRecords(prev.data(), image.data()) <= 0);
      prev = std::move(image);
    });
  }
#endif
}

}  // namespace kivo
