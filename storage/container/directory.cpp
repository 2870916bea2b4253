#include "storage/container/directory.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <unordered_set>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"
#include "storage/file_layer.h"

namespace kivo {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string CutName(const std::string& name) {
  return name.size() > kMaxDirItemName ? name.substr(0, kMaxDirItemName) : name;
}

// Splits `path` at its last separator. Without a separator `dir` is empty
// and `hasDir` false.
void SplitPath(const std::string& path, std::string& dir, std::string& name, bool& hasDir) {
  std::size_t pos = path.find_last_of("\\/");
  if (pos == std::string::npos) {
    hasDir = false;
    dir.clear();
    name = path;
  } else {
    hasDir = true;
    dir = path.substr(0, pos);
    name = path.substr(pos + 1);
  }
}

bool IsRootPath(const std::string& path) { return path == "\\" || path == "/"; }

// Case rule of the wildcard matcher: equal bytes, or bytes 32 apart whose
// bitwise AND is at least 65 (a letter in two cases).
bool WildcardCharsMatch(unsigned char a, unsigned char b) {
  if (a == b) return true;
  const int d = a > b ? a - b : b - a;
  return d == 32 && (a & b) >= 65;
}

// The latest file time the clock routines are given: the end of year 9999.
constexpr std::int64_t kMaxSaneFileTime = 2650467743999999999LL;

std::int64_t SaneFileTime(std::int64_t t) {
  return std::clamp<std::int64_t>(t, 0, kMaxSaneFileTime);
}

}  // namespace

// ---------------------------------------------------------------------------
// TDIRItem

void TDIRItem::Encode(std::uint8_t* out) const {
  std::memset(out, 0, dir_item::kSize);
  StoreLE<std::int32_t>(out + dir_item::kFirstMapPageNo, FirstMapPageNo);
  StoreLE<std::int64_t>(out + dir_item::kFileSize, Size);
  StoreLE<std::int64_t>(out + dir_item::kCreationTime, CreationTime);
  StoreLE<std::int64_t>(out + dir_item::kLastWriteTime, LastWriteTime);
  StoreLE<std::int64_t>(out + dir_item::kLastAccessTime, LastAccessTime);
  StoreLE<std::int32_t>(out + dir_item::kAttributes, Attributes);
  StoreLE<std::int32_t>(out + dir_item::kParentItemNo, ParentItemNo);
  std::memcpy(out + dir_item::kPasswordRecord, Password.data(), kPasswordRecordSize);
  out[dir_item::kIsDirectory] = IsDirectory;
  out[dir_item::kDeleted] = Deleted;
  out[dir_item::kHasPassword] = HasPassword;
  const std::size_t n = std::min(Name.size(), kMaxDirItemName);
  std::memcpy(out + dir_item::kName, Name.data(), n);
}

TDIRItem TDIRItem::Decode(const std::uint8_t* in) {
  TDIRItem item;
  item.FirstMapPageNo = LoadLE<std::int32_t>(in + dir_item::kFirstMapPageNo);
  item.Size = LoadLE<std::int64_t>(in + dir_item::kFileSize);
  item.CreationTime = LoadLE<std::int64_t>(in + dir_item::kCreationTime);
  item.LastWriteTime = LoadLE<std::int64_t>(in + dir_item::kLastWriteTime);
  item.LastAccessTime = LoadLE<std::int64_t>(in + dir_item::kLastAccessTime);
  item.Attributes = LoadLE<std::int32_t>(in + dir_item::kAttributes);
  item.ParentItemNo = LoadLE<std::int32_t>(in + dir_item::kParentItemNo);
  std::memcpy(item.Password.data(), in + dir_item::kPasswordRecord, kPasswordRecordSize);
  item.IsDirectory = in[dir_item::kIsDirectory];
  item.Deleted = in[dir_item::kDeleted];
  item.HasPassword = in[dir_item::kHasPassword];
  const auto* name = reinterpret_cast<const char*>(in + dir_item::kName);
  std::size_t n = 0;
  while (n < kMaxDirItemName && name[n] != '\0') ++n;
  item.Name.assign(name, n);
  return item;
}

// ---------------------------------------------------------------------------
// Free functions

bool MatchesWildcard(const std::string& name, const std::string& pattern) {
  if (pattern == "*" || pattern == "*.*") return true;
  // Greedy matching with one back-tracking point: the last "*" seen and the
  // name position it was tried at. Linear in name * pattern at worst.
  std::size_t n = 0, p = 0;
  std::size_t starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || WildcardCharsMatch(static_cast<unsigned char>(pattern[p]),
                                                        static_cast<unsigned char>(name[n])))) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::int64_t DirItemNow() {
  const double local = NowLocal();
  double rounded = local;
  if (!TryDosDateTimeToDateTime(DateTimeToDosDateTime(local), &rounded)) rounded = local;
  return LocalFileTimeToUtc(DateTimeToFileTime(rounded));
}

// ---------------------------------------------------------------------------
// TDIRArray

const TDIRItem& TDIRArray::ReadItem(std::int32_t itemNo) const {
  if (itemNo < 0 || itemNo >= ItemCount())
    throw Exception("TDIRArray.ReadItem - invalid itemNo = " + std::to_string(itemNo));
  return items_[static_cast<std::size_t>(itemNo)];
}

bool TDIRArray::NameLess(std::int32_t a, std::int32_t b) const {
  const int c = AnsiCompareText(items_[static_cast<std::size_t>(a)].Name,
                                items_[static_cast<std::size_t>(b)].Name);
  return c != 0 ? c < 0 : a < b;
}

bool TDIRArray::ParentLess(std::int32_t a, std::int32_t b) const {
  const std::int32_t pa = items_[static_cast<std::size_t>(a)].ParentItemNo;
  const std::int32_t pb = items_[static_cast<std::size_t>(b)].ParentItemNo;
  return pa != pb ? pa < pb : a < b;
}

void TDIRArray::IndexItem(std::int32_t itemNo) {
  auto nameLess = [this](std::int32_t a, std::int32_t b) { return NameLess(a, b); };
  auto parentLess = [this](std::int32_t a, std::int32_t b) { return ParentLess(a, b); };
  name_index_.insert(std::lower_bound(name_index_.begin(), name_index_.end(), itemNo, nameLess),
                     itemNo);
  parent_index_.insert(
      std::lower_bound(parent_index_.begin(), parent_index_.end(), itemNo, parentLess), itemNo);
}

// Removes itemNo, whose indexed values are those of `old`, from both indexes.
void TDIRArray::UnindexItem(std::int32_t itemNo, const TDIRItem& old) {
  const auto nameKeyLess = [&](std::int32_t x) {
    const int c = AnsiCompareText(items_[static_cast<std::size_t>(x)].Name, old.Name);
    return c != 0 ? c < 0 : x < itemNo;
  };
  auto it = std::partition_point(name_index_.begin(), name_index_.end(), nameKeyLess);
  if (it == name_index_.end() || *it != itemNo)
    throw Exception("TDIRArray.UpdateItem - old name position not found. Position = " +
                    std::to_string(it - name_index_.begin()) + ", ItemCount = " +
                    std::to_string(ItemCount()) + ", FileName = \"" + old.Name + "\"");
  name_index_.erase(it);
  const auto parentKeyLess = [&](std::int32_t x) {
    const std::int32_t p = items_[static_cast<std::size_t>(x)].ParentItemNo;
    return p != old.ParentItemNo ? p < old.ParentItemNo : x < itemNo;
  };
  auto pit = std::partition_point(parent_index_.begin(), parent_index_.end(), parentKeyLess);
  if (pit == parent_index_.end() || *pit != itemNo)
    throw Exception("TDIRArray.UpdateItem - old parentID position not found. Position = " +
                    std::to_string(pit - parent_index_.begin()) +
                    ", ItemCount = " + std::to_string(ItemCount()) +
                    ", ParentID = " + std::to_string(old.ParentItemNo));
  parent_index_.erase(pit);
}

std::int32_t TDIRArray::AddItem(const TDIRItem& item) {
  items_.push_back(item);
  items_.back().Name = CutName(item.Name);
  const auto itemNo = static_cast<std::int32_t>(items_.size() - 1);
  if (!item.IsDeleted()) IndexItem(itemNo);
  return itemNo;
}

void TDIRArray::AssignItems(std::vector<TDIRItem> items) {
  Clear();
  items_ = std::move(items);
  for (std::size_t i = 0; i < items_.size(); ++i) {
    items_[i].Name = CutName(items_[i].Name);
    if (!items_[i].IsDeleted()) {
      name_index_.push_back(static_cast<std::int32_t>(i));
      parent_index_.push_back(static_cast<std::int32_t>(i));
    }
  }
  std::sort(name_index_.begin(), name_index_.end(),
            [this](std::int32_t a, std::int32_t b) { return NameLess(a, b); });
  std::sort(parent_index_.begin(), parent_index_.end(),
            [this](std::int32_t a, std::int32_t b) { return ParentLess(a, b); });
}

void TDIRArray::UpdateItem(std::int32_t itemNo, const TDIRItem& item) {
  if (itemNo < 0 || itemNo >= ItemCount())
    throw Exception("TDIRArray.UpdateItem - invalid itemNo = " + std::to_string(itemNo));
  TDIRItem& slot = items_[static_cast<std::size_t>(itemNo)];
  const std::string newName = CutName(item.Name);
  const bool keysChanged = slot.IsDeleted() != item.IsDeleted() ||
                           slot.ParentItemNo != item.ParentItemNo || slot.Name != newName;
  if (keysChanged && !slot.IsDeleted()) UnindexItem(itemNo, slot);
  slot = item;
  slot.Name = newName;
  if (keysChanged && !slot.IsDeleted()) IndexItem(itemNo);
}

void TDIRArray::SetSize(std::int32_t newSize) {
  if (newSize < ItemCount())
    throw Exception("TDIRArray.SetSize - newSize < itemCount error.  newSize = " +
                    std::to_string(newSize) + " itemCount = " + std::to_string(ItemCount()));
  items_.reserve(static_cast<std::size_t>(newSize));
}

void TDIRArray::Clear() {
  items_.clear();
  name_index_.clear();
  parent_index_.clear();
  slots_.clear();
}

std::pair<std::size_t, std::size_t> TDIRArray::NameRange(const std::string& name) const {
  const std::string key = CutName(name);
  auto first = std::partition_point(name_index_.begin(), name_index_.end(), [&](std::int32_t x) {
    return AnsiCompareText(items_[static_cast<std::size_t>(x)].Name, key) < 0;
  });
  auto last = std::partition_point(first, name_index_.end(), [&](std::int32_t x) {
    return AnsiCompareText(items_[static_cast<std::size_t>(x)].Name, key) <= 0;
  });
  return {static_cast<std::size_t>(first - name_index_.begin()),
          static_cast<std::size_t>(last - name_index_.begin())};
}

std::pair<std::size_t, std::size_t> TDIRArray::ParentRange(std::int32_t parent) const {
  auto first = std::partition_point(
      parent_index_.begin(), parent_index_.end(),
      [&](std::int32_t x) { return items_[static_cast<std::size_t>(x)].ParentItemNo < parent; });
  auto last = std::partition_point(first, parent_index_.end(), [&](std::int32_t x) {
    return items_[static_cast<std::size_t>(x)].ParentItemNo <= parent;
  });
  return {static_cast<std::size_t>(first - parent_index_.begin()),
          static_cast<std::size_t>(last - parent_index_.begin())};
}

std::int32_t TDIRArray::AllocSearchSlot() {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].InUse) {
      slots_[i] = TDIRSearchSlot{};
      slots_[i].InUse = true;
      return static_cast<std::int32_t>(i);
    }
  }
  slots_.emplace_back();
  slots_.back().InUse = true;
  return static_cast<std::int32_t>(slots_.size() - 1);
}

void TDIRArray::FreeSearchSlot(std::int32_t slot) {
  if (slot < 0 || slot >= SearchSlotCount()) return;
  TDIRSearchSlot& s = slots_[static_cast<std::size_t>(slot)];
  s.InUse = false;
  s.Matches.clear();
  s.Matches.shrink_to_fit();
  s.Cursor = 0;
}

void TDIRArray::CheckInvariants() const {
  std::vector<std::int32_t> live;
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (!items_[i].IsDeleted()) live.push_back(static_cast<std::int32_t>(i));
  auto check = [&](const std::vector<std::int32_t>& index, const char* which, auto less) {
    std::vector<std::int32_t> sorted = index;
    std::sort(sorted.begin(), sorted.end());
    if (sorted != live)
      throw Exception(std::string("TDIRArray.CheckInvariants - ") + which +
                      " index does not hold exactly the live items");
    for (std::size_t i = 1; i < index.size(); ++i)
      if (!less(index[i - 1], index[i]))
        throw Exception(std::string("TDIRArray.CheckInvariants - ") + which +
                        " index out of order");
  };
  check(name_index_, "name", [this](std::int32_t a, std::int32_t b) { return NameLess(a, b); });
  check(parent_index_, "parent",
        [this](std::int32_t a, std::int32_t b) { return ParentLess(a, b); });
}

// ---------------------------------------------------------------------------
// TDIRManager

TDIRManager::TDIRManager(TPageFileManager& pageManager, TFreeSpaceManager& freeSpace)
    : fsm_(freeSpace), pm_(pageManager) {
  Load();
}

void TDIRManager::Load() {
  items_per_page_ = pm_.PageDataSize() / dir_item::kSize;
  bytes_per_page_ = items_per_page_ * dir_item::kSize;
  dir_pages_.clear();
  items_.Clear();
  open_counts_.clear();

  const TContainerHeader& h = pm_.Header();
  const std::int32_t pageCount = h.DirPageCount();
  const std::int32_t itemCount = h.DirItemCount();
  if (items_per_page_ < 1 || pageCount < 0 || itemCount < 0 || pageCount >= h.PageCount() ||
      static_cast<std::int64_t>(itemCount) > static_cast<std::int64_t>(pageCount) * items_per_page_)
    throw Exception("TDIRManager.Load - invalid directory size, DirPageCount = " +
                    std::to_string(pageCount) + ", DirItemCount = " + std::to_string(itemCount));

  std::vector<std::uint8_t> data(static_cast<std::size_t>(bytes_per_page_));
  std::vector<TDIRItem> items;
  std::unordered_set<std::int32_t> seen;
  std::int32_t pageNo = h.FirstDirPageNo();
  for (std::int32_t k = 0; k < pageCount; ++k) {
    if (seen.count(pageNo) != 0)
      throw Exception("TDIRManager.Load - directory page chain loops, pageNo = " +
                      std::to_string(pageNo));
    TPageRec rec;
    rec.Data = data.data();
    // A page number outside the container fails the read; a bitmap page is
    // never a directory page.
    if (fsm_.IsBitmapPage(pageNo) || !pm_.ReadPage(rec, pageNo, false, {}, bytes_per_page_))
      throw Exception("TDIRManager.Load - can not load page, pageNo = " + std::to_string(pageNo));
    seen.insert(pageNo);
    dir_pages_.push_back(pageNo);
    for (std::int32_t i = 0; i < items_per_page_; ++i) {
      if (static_cast<std::int64_t>(k) * items_per_page_ + i >= itemCount) break;
      items.push_back(
          TDIRItem::Decode(data.data() + static_cast<std::size_t>(i) * dir_item::kSize));
    }
    pageNo = rec.NextPageNo;
  }
  items_.AssignItems(std::move(items));
  open_counts_.assign(static_cast<std::size_t>(items_.ItemCount()), 0);
}

void TDIRManager::SavePage(std::int32_t pageIndex, bool readHeaderFirst, const char* where) {
  const std::int32_t pageNo = dir_pages_[static_cast<std::size_t>(pageIndex)];
  if (pm_.ReadOnly())
    throw Exception(std::string("TDIRManager.") + where +
                    " - can not save page, pageNo = " + std::to_string(pageNo));
  TPageRecBuffer page(bytes_per_page_);
  page.rec.Data = page.data();
  if (readHeaderFirst) {
    TPageRec header;
    if (!pm_.ReadPage(header, pageNo, true, {}, 0))
      throw Exception(std::string("TDIRManager.") + where +
                      " - can not load  page, pageNo = " + std::to_string(pageNo));
    page.rec.NextPageNo = header.NextPageNo;
  }
  page.rec.PageType = ptDirectory;
  page.rec.ChecksumType = kChecksumXOR32;
  page.rec.EncryptionType = pm_.Header().Encrypted() == 1 ? kEncryptionRijndael : kEncryptionNone;
  const std::int32_t first = pageIndex * items_per_page_;
  const std::int32_t last = std::min(first + items_per_page_, items_.ItemCount());
  for (std::int32_t n = first; n < last; ++n)
    items_.ReadItem(n).Encode(page.data() + static_cast<std::size_t>(n - first) * dir_item::kSize);
  if (!pm_.WritePage(page.rec, pageNo, {}, bytes_per_page_))
    throw Exception(std::string("TDIRManager.") + where +
                    " - can not save page, pageNo = " + std::to_string(pageNo));
}

bool TDIRManager::AddItem(const TDIRItem& item, std::int32_t* itemNo) {
  last_error_ = 0;
  if (pm_.ReadOnly()) {
    last_error_ = -1;
    return false;
  }
  for (std::int32_t n = 0; n < items_.ItemCount(); ++n) {
    if (items_.ReadItem(n).IsDeleted()) {
      WriteItem(n, item);
      if (itemNo != nullptr) *itemNo = n;
      return true;
    }
  }
  TContainerHeader& h = pm_.Header();
  const auto pageCount = static_cast<std::int32_t>(dir_pages_.size());
  if (static_cast<std::int64_t>(pageCount) * items_per_page_ == items_.ItemCount()) {
    const bool hasPages = pageCount > 0;
    const std::int32_t nearPageNo = hasPages ? dir_pages_.back() : h.FirstExtentPageNo();
    const bool uniformOnly = hasPages && pageCount > DefaultExtentPageCount;
    std::vector<std::int32_t> got;
    if (!fsm_.GetPages(1, nearPageNo, got, uniformOnly) || got.empty()) {
      last_error_ = kErrNoSpace;
      return false;
    }
    const std::int32_t newPage = got.front();
    if (hasPages) {
      const std::int32_t lastPage = dir_pages_.back();
      TPageRec header;
      if (!pm_.ReadPage(header, lastPage, true, {}, 0))
        throw Exception("TDIRManager.AddItem - can not load last page, pageNo = " +
                        std::to_string(lastPage));
      header.NextPageNo = newPage;
      if (!pm_.WritePage(header, lastPage, {}, 0))
        throw Exception("TDIRManager.AddItem - can not save last page, pageNo = " +
                        std::to_string(lastPage));
    } else {
      h.SetFirstDirPageNo(newPage);
    }
    dir_pages_.push_back(newPage);
    h.SetDirPageCount(static_cast<std::int32_t>(dir_pages_.size()));
  }
  const std::int32_t n = items_.AddItem(item);
  open_counts_.push_back(0);
  h.SetDirItemCount(items_.ItemCount());
  SavePage(n / items_per_page_, n % items_per_page_ != 0, "AddItem");
  pm_.SaveHeader();
  if (itemNo != nullptr) *itemNo = n;
  return true;
}

void TDIRManager::WriteItem(std::int32_t itemNo, const TDIRItem& item) {
  // Nothing changes in memory that cannot reach the disk.
  if (pm_.ReadOnly() && itemNo >= 0 && itemNo < items_.ItemCount())
    throw Exception("TDIRManager.WriteItem - can not save page, pageNo = " +
                    std::to_string(dir_pages_[static_cast<std::size_t>(itemNo / items_per_page_)]));
  items_.UpdateItem(itemNo, item);
  if (item.IsDeleted()) open_counts_[static_cast<std::size_t>(itemNo)] = 0;
  SavePage(itemNo / items_per_page_, true, "WriteItem");
}

std::int32_t TDIRManager::FindPath(const std::string& path, std::int32_t startItemNo) const {
  if (path.empty() || startItemNo < -1 || startItemNo >= items_.ItemCount())
    return kDirPathNotFound;
  if (IsRootPath(path)) return -1;
  std::int32_t cur = startItemNo;
  std::size_t pos = 0;
  bool first = true;
  while (pos <= path.size()) {
    std::size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string component = path.substr(pos, end - pos);
    const bool atEnd = end >= path.size();
    if (component.empty()) {
      if (first) {
        cur = -1;
      } else if (!atEnd) {
        return kDirPathNotFound;
      }
      // An empty last component is a trailing separator: allowed.
    } else if (component == "..") {
      if (cur != -1) {
        if (cur < -1 || cur >= items_.ItemCount()) return kDirNotInDirectory;
        cur = items_.ReadItem(cur).ParentItemNo;
        // A damaged parent number leads nowhere.
        if (cur < -1 || cur >= items_.ItemCount()) return kDirNotInDirectory;
      }
    } else {
      const auto [lo, hi] = items_.NameRange(component);
      if (lo == hi) return kDirPathNotFound;
      std::int32_t found = kDirNotInDirectory;
      for (std::size_t i = lo; i < hi; ++i) {
        const std::int32_t n = items_.NameIndex()[i];
        if (items_.ReadItem(n).ParentItemNo == cur) {
          found = n;
          break;
        }
      }
      if (found == kDirNotInDirectory) return kDirNotInDirectory;
      cur = found;
    }
    first = false;
    if (atEnd) break;
    pos = end + 1;
  }
  return cur;
}

bool TDIRManager::ResolveNewItem(const std::string& path, std::int32_t& parent,
                                 std::string& name) const {
  std::string dir;
  bool hasDir = false;
  SplitPath(path, dir, name, hasDir);
  name = CutName(name);
  if (name.empty()) return false;
  parent = -1;
  if (hasDir && !dir.empty()) {
    parent = FindPath(dir, current_item_);
    if (parent < -1) return false;
    if (parent >= 0 && !items_.ReadItem(parent).IsDir()) return false;
  }
  return true;
}

std::int32_t TDIRManager::CreateFile(const std::string& path, const std::string& password,
                                     const std::string& question, const std::string& answer) {
  last_error_ = 0;
  if (path.empty() || IsRootPath(path)) return -1;
  TDIRItem item;
  if (!ResolveNewItem(path, item.ParentItemNo, item.Name)) return -1;
  if (!password.empty()) {
    item.HasPassword = 1;
    CreatePasswordRecord(std::span<std::uint8_t, kPasswordRecordSize>(item.Password), password,
                         question, answer);
  }
  item.FirstMapPageNo = -1;
  item.Size = 0;
  item.CreationTime = item.LastWriteTime = item.LastAccessTime = DirItemNow();
  item.Attributes = 0;
  item.IsDirectory = 0;
  std::int32_t n = -1;
  if (!AddItem(item, &n)) return -1;
  return n;
}

std::int32_t TDIRManager::OpenFile(const std::string& path, const std::string& password,
                                   std::string& key) {
  const std::int32_t n = FindPath(path, current_item_);
  if (n < 0) return -1;
  TDIRItem item = items_.ReadItem(n);
  if (item.IsDir()) return -1;
  ++open_counts_[static_cast<std::size_t>(n)];
  key.clear();
  if (item.HasPassword != 0)
    CheckPassword(std::span<const std::uint8_t, kPasswordRecordSize>(item.Password), password, key);
  if (!pm_.ReadOnly()) {
    item.LastAccessTime = DirItemNow();
    WriteItem(n, item);
  }
  return n;
}

void TDIRManager::CloseFile(std::int32_t itemNo) {
  if (itemNo < 0 || itemNo >= items_.ItemCount()) return;
  std::int32_t& count = open_counts_[static_cast<std::size_t>(itemNo)];
  if (count > 0) --count;
}

std::int32_t TDIRManager::OpenCount(std::int32_t itemNo) const {
  if (itemNo < 0 || itemNo >= items_.ItemCount()) return -1;
  return open_counts_[static_cast<std::size_t>(itemNo)];
}

bool TDIRManager::CheckFilePassword(const std::string& path, const std::string& password) const {
  const std::int32_t n = FindPath(path, current_item_);
  if (n < 0) return false;
  const TDIRItem& item = items_.ReadItem(n);
  if (item.HasPassword == 0) return true;
  std::string key;
  return CheckPassword(std::span<const std::uint8_t, kPasswordRecordSize>(item.Password), password,
                       key);
}

bool TDIRManager::IsWithin(std::int32_t itemNo, std::int32_t ancestor) const {
  // Bounded by the item count, so a damaged parent chain cannot loop here.
  std::int32_t cur = itemNo;
  for (std::int32_t steps = 0; steps <= items_.ItemCount(); ++steps) {
    if (cur == ancestor) return true;
    if (cur < 0 || cur >= items_.ItemCount()) return false;
    cur = items_.ReadItem(cur).ParentItemNo;
  }
  return true;
}

bool TDIRManager::RenameFile(const std::string& oldPath, const std::string& newPath) {
  if (pm_.ReadOnly()) return false;
  const std::int32_t oldNo = FindPath(oldPath, current_item_);
  const std::int32_t existing = FindPath(newPath, current_item_);
  // Another item already has the new name (a change of letter case only
  // finds the item itself).
  if (existing >= 0 && existing != oldNo) return false;
  if (oldNo < 0 || open_counts_[static_cast<std::size_t>(oldNo)] >= 1) return false;

  std::string dir, name;
  bool hasDir = false;
  SplitPath(newPath, dir, name, hasDir);
  name = CutName(name);
  if (name.empty()) return false;
  std::int32_t parent = -1;
  if (hasDir && !dir.empty()) {
    parent = FindPath(dir, current_item_);
    if (parent < -1) {
      ForceDirectories(dir);
      parent = FindPath(dir, current_item_);
    }
    if (parent < -1) return false;
    if (parent >= 0 && !items_.ReadItem(parent).IsDir()) return false;
  }
  // A directory cannot move into itself or below itself: its subtree would
  // no longer be reachable from the root.
  if (parent >= 0 && IsWithin(parent, oldNo)) return false;

  // One write: the table moves the item in both indexes, and the page never
  // shows the item deleted in between.
  TDIRItem item = items_.ReadItem(oldNo);
  item.ParentItemNo = parent;
  item.Name = name;
  item.Deleted = 0;
  item.LastWriteTime = item.LastAccessTime = DirItemNow();
  WriteItem(oldNo, item);
  return true;
}

void TDIRManager::FillSearchRec(const TDIRItem& item, TSearchRec& rec) const {
  const std::int64_t localWrite = UtcFileTimeToLocal(SaneFileTime(item.LastWriteTime));
  rec.Time = static_cast<std::int32_t>(DateTimeToDosDateTime(FileTimeToDateTime(localWrite)));
  rec.Size = item.Size;
  rec.Attr = item.Attributes;
  rec.Name = item.Name;
  rec.FindData.FileAttributes = item.Attributes;
  rec.FindData.CreationTime = item.CreationTime;
  rec.FindData.LastAccessTime = item.LastAccessTime;
  rec.FindData.LastWriteTime = item.LastWriteTime;
  rec.FindData.FileSizeHigh =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(item.Size) >> 32);
  rec.FindData.FileSizeLow = static_cast<std::uint32_t>(static_cast<std::uint64_t>(item.Size));
  rec.FindData.FileName = item.Name;
}

std::int32_t TDIRManager::FindFirst(const std::string& pattern, std::int32_t attributes,
                                    TSearchRec& rec) {
  const std::int32_t slot = items_.AllocSearchSlot();
  rec.FindHandle = slot;
  rec.ExcludeAttr = ~attributes & (faHidden | faSysFile | faVolumeID | faDirectory);

  std::string dir, namePattern;
  bool hasDir = false;
  SplitPath(pattern, dir, namePattern, hasDir);
  std::int32_t dirNo = current_item_;
  if (hasDir) {
    const std::int32_t start = IsSeparator(pattern.front()) ? -1 : current_item_;
    dirNo = dir.empty() ? -1 : FindPath(dir, start);
    if (dirNo < -1) {
      items_.FreeSearchSlot(slot);
      return kDirPathNotFound;
    }
  }
  TDIRSearchSlot& s = items_.SearchSlot(slot);
  const auto [lo, hi] = items_.ParentRange(dirNo);
  for (std::size_t i = lo; i < hi; ++i) {
    const std::int32_t n = items_.ParentIndex()[i];
    const TDIRItem& item = items_.ReadItem(n);
    const std::int32_t attrs = item.Attributes | (item.IsDirectory != 0 ? faDirectory : 0);
    if ((attrs & rec.ExcludeAttr) != 0) continue;
    if (MatchesWildcard(item.Name, namePattern)) s.Matches.push_back(n);
  }
  if (s.Matches.empty()) {
    items_.FreeSearchSlot(slot);
    return kDirNoMoreFiles;
  }
  s.Cursor = 0;
  FillSearchRec(items_.ReadItem(s.Matches.front()), rec);
  return 0;
}

std::int32_t TDIRManager::FindNext(TSearchRec& rec) {
  if (rec.FindHandle < 0 || rec.FindHandle >= items_.SearchSlotCount()) return kDirNoMoreFiles;
  TDIRSearchSlot& s = items_.SearchSlot(rec.FindHandle);
  if (!s.InUse) return kDirSearchClosed;
  if (static_cast<std::size_t>(s.Cursor) + 1 >= s.Matches.size()) return kDirNoMoreFiles;
  ++s.Cursor;
  FillSearchRec(items_.ReadItem(s.Matches[static_cast<std::size_t>(s.Cursor)]), rec);
  return 0;
}

void TDIRManager::FindClose(TSearchRec& rec) { items_.FreeSearchSlot(rec.FindHandle); }

bool TDIRManager::DirectoryExists(const std::string& path) {
  if (IsRootPath(path) || path == ".") return true;
  const std::int32_t n = FindPath(path, current_item_);
  return n == -1 || (n >= 0 && items_.ReadItem(n).IsDir());
}

bool TDIRManager::CreateDirectory(const std::string& path) {
  last_error_ = 0;
  if (path.empty() || IsRootPath(path) || pm_.ReadOnly()) return false;
  std::string p = path;
  if (IsSeparator(p.back())) p.pop_back();
  // An existing item of that name, directory or file, is left alone.
  if (FindPath(p, current_item_) >= -1) return false;
  TDIRItem item;
  if (!ResolveNewItem(p, item.ParentItemNo, item.Name)) return false;
  item.FirstMapPageNo = -1;
  item.Attributes = faDirectory;
  item.IsDirectory = 1;
  item.CreationTime = item.LastWriteTime = item.LastAccessTime = DirItemNow();
  return AddItem(item);
}

bool TDIRManager::ForceDirectories(const std::string& path) {
  std::string prefix;
  std::size_t pos = 0;
  while (pos < path.size()) {
    std::size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string component = path.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty()) continue;
    prefix += prefix.empty() ? component : "\\" + component;
    if (DirectoryExists(prefix)) continue;
    if (!CreateDirectory(prefix))
      throw Exception("TDIRManager.ForceDirectories - ForceDirectories error!");
  }
  return true;
}

void TDIRManager::CheckInvariants() const {
  auto fail = [](const std::string& what) {
    throw Exception("TDIRManager.CheckInvariants - " + what);
  };
  const TContainerHeader& h = pm_.Header();
  if (h.DirPageCount() != static_cast<std::int32_t>(dir_pages_.size()))
    fail("DirPageCount differs from the page list");
  if (!dir_pages_.empty() && h.FirstDirPageNo() != dir_pages_.front())
    fail("FirstDirPageNo differs from the page list");
  if (h.DirItemCount() != items_.ItemCount()) fail("DirItemCount differs from the item table");
  if (static_cast<std::int64_t>(items_.ItemCount()) >
      static_cast<std::int64_t>(dir_pages_.size()) * items_per_page_)
    fail("more items than directory slots");
  std::unordered_set<std::int32_t> seen;
  for (std::int32_t p : dir_pages_) {
    if (p < 1 || p >= h.PageCount()) fail("directory page outside the container");
    if (!seen.insert(p).second) fail("directory page listed twice");
  }
  items_.CheckInvariants();
  if (open_counts_.size() != static_cast<std::size_t>(items_.ItemCount()))
    fail("one open count per item");
  for (std::int32_t n = 0; n < items_.ItemCount(); ++n)
    if (items_.ReadItem(n).IsDeleted() && open_counts_[static_cast<std::size_t>(n)] != 0)
      fail("a deleted item is open");
}

}  // namespace kivo
