#include "storage/container/page_map.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "platform/errors.h"
#include "platform/little_endian.h"

namespace kivo {

namespace {

[[noreturn]] void Raise(const std::string& message) { throw Exception(message); }

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return a <= 0 ? 0 : (a + b - 1) / b; }

}  // namespace

TUserFilePageMapManager::TUserFilePageMapManager(TPageFileManager& pageManager,
                                                 TFreeSpaceManager& freeSpace)
    : pm_(pageManager), fsm_(freeSpace) {
  data_size_ = pm_.PageDataSize();
  entries_per_map_page_ = data_size_ / 4;
  page_buffer_.assign(static_cast<std::size_t>(data_size_), 0);
}

std::int64_t TUserFilePageMapManager::DataPagesFor(std::int64_t size) const {
  return CeilDiv(size, data_size_);
}

bool TUserFilePageMapManager::UsablePageNo(std::int32_t pageNo) const {
  return pageNo >= 1 && pageNo < pm_.PageCount() && !fsm_.IsBitmapPage(pageNo);
}

void TUserFilePageMapManager::Release(std::vector<std::int32_t> pages) {
  if (!pages.empty()) fsm_.FreePages(pages);
}

// --- reading maps ---------------------------------------------------------------

TFilePageMaps TUserFilePageMapManager::ReadMaps(std::int32_t firstMapPageNo, std::int64_t size) {
  const char* const kBadChain = "TUserFilePageMapManager.GetMaps - Invalid page No in map chain.";
  // A file cannot own more data pages than the container has pages; this
  // also bounds every list built below.
  if (size < 0 || DataPagesFor(size) > pm_.PageCount())
    Raise("TUserFilePageMapManager.GetMaps - Invalid file size.");
  const std::int64_t n = DataPagesFor(size);
  const std::int64_t m = CeilDiv(n, entries_per_map_page_);
  TFilePageMaps maps;
  if (!UsablePageNo(firstMapPageNo)) Raise(kBadChain);
  if (m == 0) {
    maps.MapPages.push_back(firstMapPageNo);
    return maps;
  }
  std::int32_t pageNo = firstMapPageNo;
  for (std::int64_t k = 0; k < m; ++k) {
    if (!UsablePageNo(pageNo)) Raise(kBadChain);
    TPageRec rec;
    rec.Data = page_buffer_.data();
    if (!pm_.ReadPage(rec, pageNo, false, {}, data_size_))
      Raise("TUserFilePageMapManager.GetMaps - Error on reading map page.");
    maps.MapPages.push_back(pageNo);
    const std::int64_t take = std::min<std::int64_t>(
        entries_per_map_page_, n - static_cast<std::int64_t>(maps.DataPages.size()));
    TByteReader entries(page_buffer_);
    for (std::int64_t j = 0; j < take; ++j) {
      const auto dataPage = entries.Read<std::int32_t>();
      if (!UsablePageNo(dataPage)) Raise(kBadChain);
      maps.DataPages.push_back(dataPage);
    }
    pageNo = rec.NextPageNo;
    if (k + 1 < m && pageNo == -1) Raise(kBadChain);
  }
  // A chain that loops, or a page listed twice, would make two file pages
  // share one container page.
  std::vector<std::int32_t> all(maps.MapPages);
  all.insert(all.end(), maps.DataPages.begin(), maps.DataPages.end());
  std::sort(all.begin(), all.end());
  if (std::adjacent_find(all.begin(), all.end()) != all.end()) Raise(kBadChain);
  return maps;
}

const TFilePageMaps& TUserFilePageMapManager::GetMaps(const TDIRItem& item) { return Lists(item); }

TFilePageMaps& TUserFilePageMapManager::Lists(const TDIRItem& item) {
  const std::int32_t key = item.FirstMapPageNo;
  if (key == -1)
    Raise("TUserFilePageMapManager.GetMaps - Invalid parameter FileRec.FirstMapPageNo");
  auto it = cache_.find(key);
  if (it == cache_.end()) {
    // Trimmed only on a miss: a hit may be the file being served, whose
    // entry can hold pages appended by the running operation that its Size
    // does not cover yet.
    if (cache_.size() > kCacheLimit) cache_.clear();
    it = cache_.emplace(key, ReadMaps(key, item.Size)).first;
  }
  if (it->second.MapPages.empty())
    Raise("TUserFilePageMapManager.GetMaps - Cannot find UFPM page map");
  if (it->second.MapPages.front() != key)
    Raise("TUserFilePageMapManager.GetMaps - UFPMMap.Items[0] <> FirstMapPageNo");
  return it->second;
}

// --- writing maps ---------------------------------------------------------------

bool TUserFilePageMapManager::WriteMaps(std::size_t start, std::size_t count,
                                        const TFilePageMaps& maps) {
  const std::size_t epm = static_cast<std::size_t>(entries_per_map_page_);
  for (std::size_t k = start; k < start + count && k < maps.MapPages.size(); ++k) {
    std::fill(page_buffer_.begin(), page_buffer_.end(), 0);
    const std::size_t from = k * epm;
    const std::size_t to = std::min(maps.DataPages.size(), from + epm);
    for (std::size_t i = from; i < to; ++i)
      StoreLE<std::int32_t>(page_buffer_.data() + 4 * (i - from), maps.DataPages[i]);
    TPageRec rec;
    rec.NextPageNo = k + 1 < maps.MapPages.size() ? maps.MapPages[k + 1] : -1;
    rec.PageType = ptFileMap;
    rec.EncryptionType = kEncryptionNone;
    rec.ChecksumType = kChecksumXOR32;
    rec.Data = page_buffer_.data();
    if (!pm_.WritePage(rec, maps.MapPages[k], {}, data_size_)) {
      last_error_ = pm_.LastError();
      return false;
    }
  }
  return true;
}

// --- growing and shrinking ----------------------------------------------------------

bool TUserFilePageMapManager::AppendPages(TDIRItem& item, std::int32_t pageCount, bool zeroFill) {
  return AppendPagesSkippingZero(item, pageCount, zeroFill, -1, -2);
}

bool TUserFilePageMapManager::AppendPagesSkippingZero(TDIRItem& item, std::int32_t pageCount,
                                                      bool zeroFill, std::int64_t noZeroFirst,
                                                      std::int64_t noZeroLast) {
  if (pageCount <= 0) Raise("TUserFilePageMapManager.AppendPages - PageCount <= 0.");
  const std::int64_t epm = entries_per_map_page_;
  const bool newMap = item.FirstMapPageNo == -1;
  TFilePageMaps* maps = nullptr;
  TFilePageMaps fresh;
  if (!newMap)
    maps = &Lists(item);
  else
    maps = &fresh;
  const std::size_t oldMapCount = maps->MapPages.size();
  const std::size_t oldDataCount = maps->DataPages.size();
  // Page numbers and counts are 32-bit: no file can own more pages.
  if (static_cast<std::int64_t>(oldDataCount) + pageCount >=
      std::numeric_limits<std::int32_t>::max()) {
    last_error_ = kErrNoSpace;
    return false;
  }

  // Undoes everything this call did to the lists and the free space.
  std::vector<std::int32_t> obtained;
  auto fail = [&](std::int32_t code) {
    maps->MapPages.resize(oldMapCount);
    maps->DataPages.resize(oldDataCount);
    Release(obtained);
    last_error_ = code;
    return false;
  };

  std::vector<std::int32_t>& got = scratch_;
  std::size_t writeFrom = 0;
  const std::int64_t wantMaps = CeilDiv(static_cast<std::int64_t>(oldDataCount) + pageCount, epm);
  if (newMap) {
    const bool ok = fsm_.GetPages(static_cast<std::int32_t>(wantMaps), 1, got, false);
    obtained.insert(obtained.end(), got.begin(), got.end());
    if (!ok) return fail(kErrNoSpace);
    maps->MapPages = got;
  } else {
    const std::int64_t extra = wantMaps - static_cast<std::int64_t>(oldMapCount);
    writeFrom = oldMapCount - 1;
    if (extra > 0) {
      const bool ok =
          fsm_.GetPages(static_cast<std::int32_t>(extra), maps->MapPages.back() + 1, got, false);
      obtained.insert(obtained.end(), got.begin(), got.end());
      if (!ok) return fail(kErrNoSpace);
      maps->MapPages.insert(maps->MapPages.end(), got.begin(), got.end());
    }
  }

  const std::int32_t near = oldDataCount == 0 ? 1 : maps->DataPages.back() + 1;
  const bool uniform = static_cast<std::int64_t>(pm_.ExtentPageCount()) <
                       static_cast<std::int64_t>(oldDataCount) + pageCount;
  {
    const bool ok = fsm_.GetPages(pageCount, near, got, uniform);
    obtained.insert(obtained.end(), got.begin(), got.end());
    if (!ok) return fail(kErrNoSpace);
    maps->DataPages.insert(maps->DataPages.end(), got.begin(), got.end());
  }

  if (!WriteMaps(writeFrom, maps->MapPages.size() - writeFrom, *maps)) {
    const std::int32_t code = last_error_;
    fail(code);
    // Put the old last map page back as it was (its link and entries).
    if (!newMap) WriteMaps(oldMapCount - 1, 1, *maps);
    last_error_ = code;
    return false;
  }

  if (zeroFill) {
    TPageRec rec;
    rec.PageType = ptFileData;
    rec.EncryptionType = kEncryptionNone;
    rec.ChecksumType = kChecksumXOR32;
    rec.Data = page_buffer_.data();
    for (std::size_t i = oldDataCount; i < maps->DataPages.size(); ++i) {
      const std::int64_t filePage = static_cast<std::int64_t>(i);
      if (filePage >= noZeroFirst && filePage <= noZeroLast) continue;
      std::fill(page_buffer_.begin(), page_buffer_.end(), 0);
      rec.NextPageNo = -1;
      if (!pm_.WritePage(rec, maps->DataPages[i], {}, data_size_)) {
        const std::int32_t code = pm_.LastError();
        fail(code);
        WriteMaps(newMap ? 0 : oldMapCount - 1, newMap ? 0 : 1, *maps);
        last_error_ = code;
        return false;
      }
    }
  }

  if (newMap) {
    item.FirstMapPageNo = maps->MapPages.front();
    // No cached file is being served by this call (the file had no map),
    // so trimming here drops nothing that disk and Size cannot restore.
    if (cache_.size() > kCacheLimit) cache_.clear();
    cache_[item.FirstMapPageNo] = std::move(fresh);
  }
  return true;
}

void TUserFilePageMapManager::DeletePagesFromEOF(TDIRItem& item, std::int32_t pageCount) {
  if (item.FirstMapPageNo == -1)
    Raise("TUserFilePageMapManager.DeletePagesFromEOF - File map not exists.");
  TFilePageMaps& maps = Lists(item);
  const std::int64_t data = static_cast<std::int64_t>(maps.DataPages.size());
  const std::int64_t drop = std::clamp<std::int64_t>(pageCount, 0, data);
  const std::int64_t keep = CeilDiv(data - drop, entries_per_map_page_);
  std::vector<std::int32_t> released;
  if (keep <= 0) {
    released = std::move(maps.MapPages);
    released.insert(released.end(), maps.DataPages.begin(), maps.DataPages.end());
    cache_.erase(item.FirstMapPageNo);
    item.FirstMapPageNo = -1;
    Release(std::move(released));
    return;
  }
  if (drop == 0) return;
  released.assign(maps.MapPages.begin() + keep, maps.MapPages.end());
  released.insert(released.end(), maps.DataPages.end() - drop, maps.DataPages.end());
  maps.MapPages.resize(static_cast<std::size_t>(keep));
  maps.DataPages.resize(static_cast<std::size_t>(data - drop));
  // The map on disk stops naming the pages before they are given back.
  if (!WriteMaps(static_cast<std::size_t>(keep - 1), 1, maps))
    Raise("TUserFilePageMapManager.DeletePagesFromEOF - can not save map page, pageNo = " +
          std::to_string(maps.MapPages.back()));
  Release(std::move(released));
}

bool TUserFilePageMapManager::SetFileSize(TDIRItem& item, bool zeroFill, std::int64_t newSize) {
  return SetFileSizeSkippingZero(item, zeroFill, newSize, -1, -2);
}

bool TUserFilePageMapManager::SetFileSizeSkippingZero(TDIRItem& item, bool zeroFill,
                                                      std::int64_t newSize,
                                                      std::int64_t noZeroFirst,
                                                      std::int64_t noZeroLast) {
  if (newSize < 0) {
    last_error_ = kErrInvalidSize;
    return false;
  }
  const std::int64_t target = DataPagesFor(newSize);
  // Page numbers are 32-bit: no file can hold more pages than that.
  if (target >= std::numeric_limits<std::int32_t>::max()) {
    last_error_ = kErrNoSpace;
    return false;
  }
  if (item.FirstMapPageNo == -1) {
    if (newSize == 0) return true;
    return AppendPagesSkippingZero(item, static_cast<std::int32_t>(target), zeroFill, noZeroFirst,
                                   noZeroLast);
  }
  const std::int64_t have = static_cast<std::int64_t>(GetMaps(item).DataPages.size());
  if (newSize == 0) {
    // The whole map goes, even when it holds no data page.
    DeletePagesFromEOF(item, static_cast<std::int32_t>(have));
    return true;
  }
  if (target < have) DeletePagesFromEOF(item, static_cast<std::int32_t>(have - target));
  if (target > have)
    return AppendPagesSkippingZero(item, static_cast<std::int32_t>(target - have), zeroFill,
                                   noZeroFirst, noZeroLast);
  return true;
}

bool TUserFilePageMapManager::GetPagesForRange(TDIRItem& item, bool forWrite,
                                               std::vector<std::int32_t>& pages, std::int64_t count,
                                               std::int64_t offset, std::int64_t noZeroFirst,
                                               std::int64_t noZeroLast) {
  pages.clear();
  if (offset < 0 || count < 0 || offset > std::numeric_limits<std::int64_t>::max() - count) {
    last_error_ = kErrInvalidSize;
    return false;
  }
  const std::int64_t end = offset + count;
  if (forWrite && (item.FirstMapPageNo == -1 || end > item.Size)) {
    if (!SetFileSizeSkippingZero(item, true, std::max(end, item.Size), noZeroFirst, noZeroLast))
      return false;
  }
  if (item.FirstMapPageNo == -1) return true;
  const std::vector<std::int32_t>& data = GetMaps(item).DataPages;
  const std::int64_t first = offset / data_size_;
  const std::int64_t last =
      std::min<std::int64_t>(end / data_size_, static_cast<std::int64_t>(data.size()) - 1);
  for (std::int64_t i = first; i <= last; ++i) pages.push_back(data[static_cast<std::size_t>(i)]);
  return true;
}

// --- checks -------------------------------------------------------------------------

void TUserFilePageMapManager::CheckInvariants() const {
  auto fail = [](const std::string& what) {
    Raise("TUserFilePageMapManager.CheckInvariants - " + what);
  };
  for (const auto& [key, maps] : cache_) {
    if (maps.MapPages.empty() || maps.MapPages.front() != key) fail("entry key");
    const std::int64_t want = std::max<std::int64_t>(
        1, CeilDiv(static_cast<std::int64_t>(maps.DataPages.size()), entries_per_map_page_));
    if (static_cast<std::int64_t>(maps.MapPages.size()) != want) fail("map page count");
    std::vector<std::int32_t> all(maps.MapPages);
    all.insert(all.end(), maps.DataPages.begin(), maps.DataPages.end());
    for (std::int32_t p : all)
      if (!UsablePageNo(p)) fail("page number " + std::to_string(p));
    std::sort(all.begin(), all.end());
    if (std::adjacent_find(all.begin(), all.end()) != all.end()) fail("a page listed twice");
  }
}

}  // namespace kivo
