#include "storage/container/free_space.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <string>

#include "platform/errors.h"

namespace kivo {

namespace {

constexpr std::int64_t kMaxPageNo = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void Raise(const std::string& message) { throw Exception(message); }

}  // namespace

// --- bits ------------------------------------------------------------------

bool TFreeSpaceManager::Bit(const std::vector<std::uint8_t>& map, std::int64_t n) const {
  if (n < 0 || static_cast<std::uint64_t>(n >> 3) >= map.size())
    Raise("TFreeSpaceManager - bit " + std::to_string(n) + " lies outside the allocation maps.");
  return (map[static_cast<std::size_t>(n >> 3)] >> (n & 7)) & 1;
}

void TFreeSpaceManager::SetBit(std::vector<std::uint8_t>& map, std::int64_t n, bool value) {
  if (n < 0 || static_cast<std::uint64_t>(n >> 3) >= map.size())
    Raise("TFreeSpaceManager - bit " + std::to_string(n) + " lies outside the allocation maps.");
  std::uint8_t& byte = map[static_cast<std::size_t>(n >> 3)];
  const std::uint8_t mask = static_cast<std::uint8_t>(1u << (n & 7));
  byte = value ? static_cast<std::uint8_t>(byte | mask) : static_cast<std::uint8_t>(byte & ~mask);
}

void TFreeSpaceManager::SetBits(std::vector<std::uint8_t>& map, std::int64_t first,
                                std::int64_t end, bool value) {
  std::int64_t n = std::max<std::int64_t>(first, 0);
  end = std::min(end, static_cast<std::int64_t>(map.size()) * 8);
  // Bit by bit up to byte boundaries, whole bytes between: a fresh
  // container's maps are mostly such tail bits, and every open sets them.
  for (; n < end && (n & 7) != 0; ++n) SetBit(map, n, value);
  const std::int64_t whole_end = end & ~std::int64_t{7};
  if (n < whole_end) {
    std::fill(map.begin() + static_cast<std::ptrdiff_t>(n >> 3),
              map.begin() + static_cast<std::ptrdiff_t>(whole_end >> 3),
              static_cast<std::uint8_t>(value ? 0xFF : 0x00));
    n = whole_end;
  }
  for (; n < end; ++n) SetBit(map, n, value);
}

bool TFreeSpaceManager::PageIsFree(std::int32_t pageNo) const {
  const std::int64_t i = static_cast<std::int64_t>(pageNo) - 1;
  if (i < 0 || static_cast<std::uint64_t>(i >> 3) >= pfs_.size()) return false;
  return Bit(pfs_, i);
}

bool TFreeSpaceManager::GAMBit(std::int32_t extent) const {
  if (extent < 0 || static_cast<std::uint64_t>(extent >> 3) >= gam_.size()) return false;
  return Bit(gam_, extent);
}

bool TFreeSpaceManager::SGAMBit(std::int32_t extent) const {
  if (extent < 0 || static_cast<std::uint64_t>(extent >> 3) >= sgam_.size()) return false;
  return Bit(sgam_, extent);
}

bool TFreeSpaceManager::IsBitmapPage(std::int32_t pageNo) const {
  const std::int64_t pfsSpan =
      static_cast<std::int64_t>(extents_per_pfs_page_) * extent_page_count_;
  const std::int64_t gamSpan =
      static_cast<std::int64_t>(extents_per_gam_page_) * extent_page_count_;
  const std::int64_t p = pageNo;
  if (p >= 1 && (p - 1) % pfsSpan == 0 &&
      (p - 1) / pfsSpan < static_cast<std::int64_t>(pfs_pages_.size()))
    return true;
  for (std::int64_t off = 2; off <= 3; ++off) {
    if (p >= off && (p - off) % gamSpan == 0 &&
        (p - off) / gamSpan < static_cast<std::int64_t>(gam_pages_.size()))
      return true;
  }
  return false;
}

void TFreeSpaceManager::FlagPFSPageOfIndex(std::int64_t pageIndex, Request& r) {
  const std::int64_t k = pageIndex / extent_page_count_ / extents_per_pfs_page_;
  if (k < static_cast<std::int64_t>(r.pfsChanged.size()))
    r.pfsChanged[static_cast<std::size_t>(k)] = 1;
}

void TFreeSpaceManager::FlagGAMPageOfExtent(std::int64_t extent, Request& r) {
  const std::int64_t k = extent / extents_per_gam_page_;
  if (k < static_cast<std::int64_t>(r.gamChanged.size()))
    r.gamChanged[static_cast<std::size_t>(k)] = 1;
}

// --- construction and loading ------------------------------------------------

TFreeSpaceManager::TFreeSpaceManager(TPageFileManager& pageManager) : pm_(pageManager) {
  const TContainerHeader& h = pm_.Header();
  // The page manager refuses headers whose geometry is unusable, so the
  // divisions below never meet a zero.
  if (!ContainerGeometryIsValid(pm_.PageSize(), pm_.ExtentPageCount()))
    Raise("TPagybox.LoadHeader - Invalid Pagy file, header is corrupted.");
  data_size_ = pm_.PageDataSize();
  extent_page_count_ = pm_.ExtentPageCount();
  const std::int64_t d8 = 8 * static_cast<std::int64_t>(data_size_);
  const std::int64_t e = extent_page_count_;
  pfs_bytes_per_page_ = static_cast<std::int32_t>((d8 - d8 % e) / 8);
  extents_per_pfs_page_ =
      static_cast<std::int32_t>(8 * static_cast<std::int64_t>(pfs_bytes_per_page_) / e);
  gam_bytes_per_page_ = static_cast<std::int32_t>((d8 - d8 % extents_per_pfs_page_) / 8);
  extents_per_gam_page_ = 8 * gam_bytes_per_page_;
  extent_count_ = static_cast<std::int32_t>(
      (static_cast<std::int64_t>(h.PageCount()) - h.FirstExtentPageNo()) / e);
  extent_pages_ = static_cast<std::int64_t>(extent_count_) * e;

  if (static_cast<std::int64_t>(h.PFSPageCount()) * extents_per_pfs_page_ < extent_count_)
    Raise("TFreeSpaceManager.Create - PFSPageCount * FPageSize < FExtentCount!");
  if (static_cast<std::int64_t>(h.GAMPageCount()) * extents_per_gam_page_ < extent_count_)
    Raise("TFreeSpaceManager.Create - GAMPageCount * FPageSize < FExtentCount!");
  LoadPFS();
  LoadGAM();
  // Bits past the last extent describe no page yet, and growing takes them
  // for those of a fresh bitmap page (pages free, extents free, not mixed).
  // A process that died while growing can have saved other values there
  // before the header that would have counted those extents.
  const std::int64_t gam_bits = static_cast<std::int64_t>(gam_.size()) * 8;
  SetBits(pfs_, extent_pages_, static_cast<std::int64_t>(pfs_.size()) * 8, true);
  SetBits(gam_, extent_count_, gam_bits, true);
  SetBits(sgam_, extent_count_, std::min(gam_bits, static_cast<std::int64_t>(sgam_.size()) * 8),
          false);

  // A damaged map might call a bitmap page free; it must never be handed out.
  auto markUsed = [this](std::int64_t pageNo) {
    const std::int64_t i = pageNo - 1;
    if (i >= 0 && static_cast<std::uint64_t>(i >> 3) < pfs_.size()) SetBit(pfs_, i, false);
  };
  for (std::int32_t p : pfs_pages_) markUsed(p);
  for (std::int32_t g : gam_pages_) {
    markUsed(g);
    markUsed(static_cast<std::int64_t>(g) + 1);
  }
  for (std::int32_t x = 0; x < extent_count_; ++x) {
    if (Bit(gam_, x)) ++free_extent_count_;
    if (Bit(sgam_, x)) ++mixed_extent_count_;
  }
}

void TFreeSpaceManager::LoadPFS() {
  const std::int32_t count = pm_.Header().PFSPageCount();
  const std::int64_t span = static_cast<std::int64_t>(extents_per_pfs_page_) * extent_page_count_;
  pfs_.clear();
  pfs_pages_.clear();
  // The bitmap grows page by page as pages are actually read, so a header
  // that claims more pages than the file holds cannot force a large allocation.
  for (std::int32_t k = 0; k < count; ++k) {
    const std::int64_t pageNo = 1 + k * span;
    if (pageNo > kMaxPageNo)
      Raise("TFreeSpaceManager.LoadPFS - can not load page, pageNo = " + std::to_string(pageNo));
    pfs_.resize(pfs_.size() + static_cast<std::size_t>(pfs_bytes_per_page_));
    TPageRec rec;
    rec.Data =
        pfs_.data() + static_cast<std::size_t>(k) * static_cast<std::size_t>(pfs_bytes_per_page_);
    if (!pm_.ReadPage(rec, static_cast<std::int32_t>(pageNo), false, {}, pfs_bytes_per_page_))
      Raise("TFreeSpaceManager.LoadPFS - can not load page, pageNo = " + std::to_string(pageNo));
    pfs_pages_.push_back(static_cast<std::int32_t>(pageNo));
  }
}

void TFreeSpaceManager::LoadGAM() {
  const std::int32_t count = pm_.Header().GAMPageCount();
  const std::int64_t span = static_cast<std::int64_t>(extents_per_gam_page_) * extent_page_count_;
  gam_.clear();
  sgam_.clear();
  gam_pages_.clear();
  gam_on_disk_.clear();
  const std::size_t bytes = static_cast<std::size_t>(gam_bytes_per_page_);
  for (std::int32_t k = 0; k < count; ++k) {
    const std::int64_t pageNo = 2 + k * span;
    if (pageNo + 1 > kMaxPageNo)
      Raise("TFreeSpaceManager.LoadGAM - can not load page, pageNo = " + std::to_string(pageNo));
    gam_.resize(gam_.size() + bytes);
    sgam_.resize(sgam_.size() + bytes);
    TPageRec rec;
    rec.Data = gam_.data() + static_cast<std::size_t>(k) * bytes;
    if (!pm_.ReadPage(rec, static_cast<std::int32_t>(pageNo), false, {}, gam_bytes_per_page_))
      Raise("TFreeSpaceManager.LoadGAM - can not load page, pageNo = " + std::to_string(pageNo));
    rec.Data = sgam_.data() + static_cast<std::size_t>(k) * bytes;
    if (!pm_.ReadPage(rec, static_cast<std::int32_t>(pageNo + 1), false, {}, gam_bytes_per_page_))
      Raise("TFreeSpaceManager.LoadGAM - can not load SGAM page, pageNo = " +
            std::to_string(pageNo + 1));
    gam_pages_.push_back(static_cast<std::int32_t>(pageNo));
    const auto* loaded = gam_.data() + static_cast<std::size_t>(k) * bytes;
    gam_on_disk_.emplace_back(loaded, loaded + bytes);
  }
}

// --- saving ------------------------------------------------------------------

void TFreeSpaceManager::SavePFS(const std::vector<std::uint8_t>& changed) {
  if (static_cast<std::int64_t>(changed.size()) != pm_.Header().PFSPageCount() ||
      changed.size() != pfs_pages_.size())
    Raise("TFreeSpaceManager.SavePFS - pages.ItemCount <> PFSPageMap.ItemCount!");
  for (std::size_t k = 0; k < changed.size(); ++k) {
    if (!changed[k]) continue;
    TPageRec rec;
    rec.PageType = ptPFS;
    rec.EncryptionType = kEncryptionNone;
    rec.ChecksumType = kChecksumXOR32;
    rec.Data = pfs_.data() + k * static_cast<std::size_t>(pfs_bytes_per_page_);
    if (!pm_.WritePage(rec, pfs_pages_[k], {}, pfs_bytes_per_page_))
      Raise("TFreeSpaceManager.SavePFS - can not save page, pageNo = " +
            std::to_string(pfs_pages_[k]));
  }
}

void TFreeSpaceManager::SaveGAM(const std::vector<std::uint8_t>& changed) {
  if (static_cast<std::int64_t>(changed.size()) != pm_.Header().GAMPageCount() ||
      changed.size() != gam_pages_.size())
    Raise("TFreeSpaceManager.SaveGAM - pages.ItemCount <> GAMPageMap.ItemCount!");
  const std::size_t bytes = static_cast<std::size_t>(gam_bytes_per_page_);
  if (gam_on_disk_.size() < changed.size()) gam_on_disk_.resize(changed.size());
  const auto write = [&](std::uint8_t* data, std::int32_t pageNo, std::uint8_t type) {
    TPageRec rec;
    rec.PageType = type;
    rec.EncryptionType = kEncryptionNone;
    rec.ChecksumType = kChecksumXOR32;
    rec.Data = data;
    if (!pm_.WritePage(rec, pageNo, {}, gam_bytes_per_page_))
      Raise(std::string("TFreeSpaceManager.SaveGAM - can not save ") +
            (type == ptSGAM ? "SGAM " : "") + "page, pageNo = " + std::to_string(pageNo));
  };
  for (std::size_t k = 0; k < changed.size(); ++k) {
    if (!changed[k]) continue;
    // An extent must never be marked free (GAM) and mixed (SGAM) at once on
    // disk, even when the process dies between the two page writes: the
    // GAM page first loses the bits it clears (an extent leaving the free
    // list), then the SGAM page is written, and only then does the GAM page
    // gain the bits it sets (an extent joining the free list, no longer
    // mixed). A kill in between leaves an extent marked neither, whose
    // pages the bitmap of pages still tells.
    std::uint8_t* now = gam_.data() + k * bytes;
    std::vector<std::uint8_t>& disk = gam_on_disk_[k];
    const bool known = disk.size() == bytes;
    bool clears = false;
    bool sets = !known;
    std::vector<std::uint8_t> cleared(now, now + bytes);
    if (known) {
      for (std::size_t i = 0; i < bytes; ++i) {
        clears = clears || (disk[i] & ~now[i]) != 0;
        sets = sets || (~disk[i] & now[i]) != 0;
        cleared[i] = static_cast<std::uint8_t>(disk[i] & now[i]);
      }
    }
    if (clears) write(cleared.data(), gam_pages_[k], ptGAM);
    write(sgam_.data() + k * bytes, gam_pages_[k] + 1, ptSGAM);
    if (sets) write(now, gam_pages_[k], ptGAM);
    disk.assign(now, now + bytes);
  }
}

// --- allocation ---------------------------------------------------------------

std::vector<std::uint8_t>& TFreeSpaceManager::MapById(int map) {
  return map == kPFS ? pfs_ : map == kGAM ? gam_ : sgam_;
}

void TFreeSpaceManager::AllocFromExtent(std::int64_t e, Request& r) {
  const std::int64_t first = e * extent_page_count_;
  const std::int64_t last = first + extent_page_count_ - 1;
  for (std::int64_t i = first; i <= last && static_cast<std::int32_t>(r.pages->size()) < r.count;
       ++i) {
    if (!Bit(pfs_, i)) continue;
    SetBit(pfs_, i, false);
    FlagPFSPageOfIndex(i, r);
    r.pages->push_back(static_cast<std::int32_t>(i + 1));
    // The counters follow the bits they count.
    if (i == first) {
      if (Bit(gam_, e) && free_extent_count_ > 0) --free_extent_count_;
      SetBit(gam_, e, false);
      if (r.uniformOnly) {
        if (Bit(sgam_, e)) --mixed_extent_count_;
        SetBit(sgam_, e, false);
      } else {
        if (!Bit(sgam_, e)) ++mixed_extent_count_;
        SetBit(sgam_, e, true);
      }
      FlagGAMPageOfExtent(e, r);
    }
    if (i == last) {
      if (Bit(sgam_, e)) --mixed_extent_count_;
      if (Bit(gam_, e) && free_extent_count_ > 0) --free_extent_count_;
      SetBit(gam_, e, false);
      SetBit(sgam_, e, false);
      FlagGAMPageOfExtent(e, r);
    }
  }
}

void TFreeSpaceManager::ScanExtents(std::int64_t& e, Request& r) {
  for (; e < extent_count_ && static_cast<std::int32_t>(r.pages->size()) < r.count; ++e) {
    if (Bit(gam_, e) || (Bit(sgam_, e) && !r.uniformOnly)) AllocFromExtent(e, r);
  }
}

std::int32_t TFreeSpaceManager::AddExtents(std::int32_t n, Request& r) {
  TContainerHeader& h = pm_.Header();
  const std::int64_t E = extent_page_count_;
  std::int64_t gained = 0;
  std::int64_t added = 0;
  const std::int64_t old = extent_count_;
  auto set = [&](int map, std::int64_t bit, bool value) {
    std::vector<std::uint8_t>& m = MapById(map);
    r.undo.push_back({map, bit, Bit(m, bit)});
    SetBit(m, bit, value);
  };
  while (gained < n) {
    const std::int64_t k = old + added;
    const bool needPFS = k == static_cast<std::int64_t>(extents_per_pfs_page_) * h.PFSPageCount();
    const bool needGAM = k == static_cast<std::int64_t>(extents_per_gam_page_) * h.GAMPageCount();
    const std::int64_t f = (needPFS ? 1 : 0) + (needGAM ? 2 : 0);
    const std::int64_t c = f == 0 ? 1 : (f + E - 1) / E;
    // Page numbers are 32-bit: the container cannot grow beyond them.
    if (1 + (k + c) * E > kMaxPageNo) break;
    if (!needPFS && !needGAM) {
      // A plain free extent: its bits are still those of the initial fill.
      gained += E;
      if (Bit(gam_, k)) ++free_extent_count_;
      ++added;
      continue;
    }
    if (needPFS) {
      h.SetPFSPageCount(h.PFSPageCount() + 1);
      pfs_.resize(pfs_.size() + static_cast<std::size_t>(pfs_bytes_per_page_), 0xFF);
      const std::int64_t pageNo =
          pfs_pages_.empty()
              ? 1
              : pfs_pages_.back() + static_cast<std::int64_t>(extents_per_pfs_page_) * E;
      pfs_pages_.push_back(static_cast<std::int32_t>(pageNo));
      r.pfsChanged.push_back(1);
      set(kPFS, k * E, false);
    }
    if (needGAM) {
      h.SetGAMPageCount(h.GAMPageCount() + 1);
      gam_.resize(gam_.size() + static_cast<std::size_t>(gam_bytes_per_page_), 0xFF);
      sgam_.resize(sgam_.size() + static_cast<std::size_t>(gam_bytes_per_page_), 0x00);
      set(kPFS, k * E + 1, false);
      set(kPFS, k * E + 2, false);
      // The bits may lie on a PFS page that is not new in this request.
      FlagPFSPageOfIndex(k * E + 1, r);
      FlagPFSPageOfIndex(k * E + 2, r);
      const std::int64_t pageNo =
          gam_pages_.empty()
              ? 2
              : gam_pages_.back() + static_cast<std::int64_t>(extents_per_gam_page_) * E;
      gam_pages_.push_back(static_cast<std::int32_t>(pageNo));
      r.gamChanged.push_back(1);
    }
    for (std::int64_t x = k; x <= k + c - 2; ++x) {
      set(kGAM, x, false);
      set(kSGAM, x, false);
      FlagGAMPageOfExtent(x, r);
    }
    const std::int64_t lastExt = k + c - 1;
    if (f % E > 0) {
      ++mixed_extent_count_;
      set(kGAM, lastExt, false);
      set(kSGAM, lastExt, true);
      if (!r.uniformOnly) gained += E - f % E;
    } else {
      set(kGAM, lastExt, false);
      set(kSGAM, lastExt, false);
    }
    // A new PFS page can land in an extent whose GAM page already exists; the
    // bits just set for that extent must reach that page on disk too.
    FlagGAMPageOfExtent(lastExt, r);
    added += c;
  }
  extent_count_ = static_cast<std::int32_t>(old + added);
  extent_pages_ = static_cast<std::int64_t>(extent_count_) * E;
  return static_cast<std::int32_t>(added);
}

bool TFreeSpaceManager::GetPages(std::int32_t count, std::int32_t nearPageNo,
                                 std::vector<std::int32_t>& pages, bool uniformOnly) {
  pages.clear();
  TContainerHeader& h = pm_.Header();
  Request r{&pages,
            count,
            uniformOnly,
            std::vector<std::uint8_t>(static_cast<std::size_t>(h.PFSPageCount()), 0),
            std::vector<std::uint8_t>(static_cast<std::size_t>(h.GAMPageCount()), 0),
            {}};
  auto have = [&] { return static_cast<std::int32_t>(pages.size()); };

  std::int64_t e = (static_cast<std::int64_t>(nearPageNo) - 1) / extent_page_count_;
  if (e >= 0 && e < extent_count_)
    AllocFromExtent(e, r);
  else
    e = 0;
  if ((uniformOnly && free_extent_count_ > 0) ||
      (!uniformOnly && (mixed_extent_count_ > 0 || free_extent_count_ > 0))) {
    e = 0;
    ScanExtents(e, r);
  }
  bool grew = false;  // the header's counts changed and are not saved yet
  if (have() < count) {
    // What AddExtents changes, so that a container that cannot grow keeps
    // bitmaps and header counts that match its pages.
    const std::int32_t oldExtents = extent_count_;
    const std::int32_t oldPFSCount = h.PFSPageCount();
    const std::int32_t oldGAMCount = h.GAMPageCount();
    const std::size_t oldPFSBytes = pfs_.size();
    const std::size_t oldGAMBytes = gam_.size();
    const std::int32_t oldFree = free_extent_count_;
    const std::int32_t oldMixed = mixed_extent_count_;
    r.undo.clear();
    const std::int32_t added = AddExtents(count - have(), r);
    if (added == 0) Raise("TFreeSpaceManager.GetPages - AddExtents does not append any extents.");
    if (!pm_.ExtendFile(extent_page_count_ * added, false)) {
      extent_count_ = oldExtents;
      extent_pages_ = static_cast<std::int64_t>(oldExtents) * extent_page_count_;
      h.SetPFSPageCount(oldPFSCount);
      h.SetGAMPageCount(oldGAMCount);
      for (auto it = r.undo.rbegin(); it != r.undo.rend(); ++it)
        SetBit(MapById(it->map), it->bit, it->value);
      pfs_.resize(oldPFSBytes);
      gam_.resize(oldGAMBytes);
      sgam_.resize(oldGAMBytes);
      pfs_pages_.resize(static_cast<std::size_t>(oldPFSCount));
      gam_pages_.resize(static_cast<std::size_t>(oldGAMCount));
      if (gam_on_disk_.size() > gam_pages_.size()) gam_on_disk_.resize(gam_pages_.size());
      free_extent_count_ = oldFree;
      mixed_extent_count_ = oldMixed;
      return false;
    }
    grew = true;
    ScanExtents(e, r);
    if (have() < count) Raise("TFreeSpaceManager.GetPages - AddExtents appends too small pages.");
  }
  if (!pages.empty()) {
    const std::int32_t m = *std::max_element(pages.begin(), pages.end());
    if (m > h.PageCount() - 1) {
      if (!pm_.ExtendFile(m - h.PageCount() + 1, false)) {
        if (grew) pm_.SaveHeader();
        return false;
      }
      grew = true;
    }
  }
  SaveGAM(r.gamChanged);
  SavePFS(r.pfsChanged);
  // The header that counts new pages and new bitmap pages goes last: a
  // process that dies before it leaves the old header, whose bitmaps were
  // all written before, never a header naming bitmap pages not yet written.
  if (grew) pm_.SaveHeader();
  return true;
}

// --- release -------------------------------------------------------------------

void TFreeSpaceManager::FreePages(std::vector<std::int32_t>& pages) {
  TContainerHeader& h = pm_.Header();
  const std::int64_t E = extent_page_count_;
  // The highest page in use; indices without a bit count as free.
  std::int64_t top = static_cast<std::int64_t>(h.PageCount()) - h.FirstExtentPageNo() - 1;
  top = std::min<std::int64_t>(top, static_cast<std::int64_t>(pfs_.size()) * 8 - 1);
  std::int64_t last = 0;
  for (std::int64_t i = top; i >= 0; --i) {
    if (!Bit(pfs_, i)) {
      last = i + 1;
      break;
    }
  }
  std::int64_t newLast = last;
  std::sort(pages.begin(), pages.end(), std::greater<std::int32_t>());

  Request r{&pages,
            0,
            false,
            std::vector<std::uint8_t>(static_cast<std::size_t>(h.PFSPageCount()), 0),
            std::vector<std::uint8_t>(static_cast<std::size_t>(h.GAMPageCount()), 0),
            {}};
  std::vector<std::int64_t> touched;
  for (std::int32_t p : pages) {
    // The header page, page numbers below it and the bitmap pages are never
    // released: a damaged page list must not free them.
    if (p < h.FirstExtentPageNo() || IsBitmapPage(p)) continue;
    if (p >= newLast) newLast = static_cast<std::int64_t>(p) - 1;
    const std::int64_t i = static_cast<std::int64_t>(p) - h.FirstExtentPageNo();
    if (p < h.PageCount() && i < extent_pages_) {
      SetBit(pfs_, i, true);
      FlagPFSPageOfIndex(i, r);
      const std::int64_t ext = i / E;
      if (touched.empty() || touched.back() != ext) touched.push_back(ext);
    }
  }
  for (std::int64_t ext : touched) {
    bool allFree = true;
    for (std::int64_t i = ext * E; i < ext * E + E && allFree; ++i) allFree = Bit(pfs_, i);
    if (!allFree) continue;
    if (Bit(sgam_, ext)) --mixed_extent_count_;
    if (!Bit(gam_, ext)) ++free_extent_count_;
    SetBit(gam_, ext, true);
    SetBit(sgam_, ext, false);
    FlagGAMPageOfExtent(ext, r);
  }
  // Pages are marked free before their extents: a process that dies in
  // between leaves an extent that is not marked free although its pages
  // are, never a free extent holding pages marked used. (Allocation saves
  // the other way round for the same reason.)
  SavePFS(r.pfsChanged);
  SaveGAM(r.gamChanged);
  if (newLast < last) {
    pm_.Stream().SetSize((newLast + 1) * pm_.PageSize());
    pm_.StreamChanged();
  }
}

// --- checks ----------------------------------------------------------------------

void TFreeSpaceManager::CheckInvariants() const {
  auto fail = [](const std::string& what) { Raise("TFreeSpaceManager.CheckInvariants - " + what); };
  const TContainerHeader& h = pm_.Header();
  const std::int64_t E = extent_page_count_;
  if (pfs_.size() !=
      static_cast<std::size_t>(h.PFSPageCount()) * static_cast<std::size_t>(pfs_bytes_per_page_))
    fail("PFS bitmap size");
  if (gam_.size() != static_cast<std::size_t>(h.GAMPageCount()) *
                         static_cast<std::size_t>(gam_bytes_per_page_) ||
      sgam_.size() != gam_.size())
    fail("GAM bitmap size");
  if (static_cast<std::int64_t>(h.PFSPageCount()) * extents_per_pfs_page_ < extent_count_ ||
      static_cast<std::int64_t>(h.GAMPageCount()) * extents_per_gam_page_ < extent_count_)
    fail("extents without bits");
  for (std::size_t k = 0; k < pfs_pages_.size(); ++k) {
    if (pfs_pages_[k] != 1 + static_cast<std::int64_t>(k) * extents_per_pfs_page_ * E ||
        pfs_pages_[k] >= h.PageCount())
      fail("PFS page placement");
    if (PageIsFree(pfs_pages_[k])) fail("a PFS page is marked free");
  }
  for (std::size_t k = 0; k < gam_pages_.size(); ++k) {
    if (gam_pages_[k] != 2 + static_cast<std::int64_t>(k) * extents_per_gam_page_ * E ||
        gam_pages_[k] + 1 >= h.PageCount())
      fail("GAM page placement");
    if (PageIsFree(gam_pages_[k]) || PageIsFree(gam_pages_[k] + 1))
      fail("a GAM page is marked free");
  }
  std::int32_t freeCount = 0, mixedCount = 0;
  for (std::int64_t x = 0; x < extent_count_; ++x) {
    freeCount += Bit(gam_, x);
    mixedCount += Bit(sgam_, x);
  }
  if (freeCount != free_extent_count_) fail("FreeExtentCount");
  if (mixedCount != mixed_extent_count_) fail("MixedExtentCount");
  if (1 + static_cast<std::int64_t>(extent_count_) * E > h.PageCount())
    fail("extents beyond PageCount");
}

}  // namespace kivo
