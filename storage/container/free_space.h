// Free space of a container: TFreeSpaceManager keeps the PFS, GAM and SGAM
// bitmaps in memory, hands out and takes back pages, and grows the container
// by whole extents when no free page is left.
//
// Pages from page 1 (FirstExtentPageNo) on are grouped into extents of E =
// ExtentPageCount pages. Page index i (page number i + 1) belongs to extent
// i div E. Three bitmaps, each one byte array read least-significant bit
// first (bit n = bit n mod 8 of byte n div 8) and sliced over its pages:
//   PFS   bit per page index,  1 = the page is free;
//   GAM   bit per extent,      1 = the whole extent is free;
//   SGAM  bit per extent,      1 = a mixed extent with pages free for any file.
// Derived geometry (D = PageDataSize, integer division):
//   PFSBytesPerPage   = (8D - (8D mod E)) div 8
//   ExtentsPerPFSPage = 8 * PFSBytesPerPage div E
//   GAMBytesPerPage   = (8D - (8D mod ExtentsPerPFSPage)) div 8
//   ExtentsPerGAMPage = 8 * GAMBytesPerPage
// Placement: PFS page k is page 1 + k * ExtentsPerPFSPage * E (the first page
// of its first extent); GAM page k is page 2 + k * ExtentsPerGAMPage * E and
// its SGAM page the page after it.
//
// Bitmap pages on disk (never encrypted, checksum type 0): the page header,
// then the page's slice of the bitmap; only the first PFSBytesPerPage (or
// GAMBytesPerPage) data bytes are written and read.
//   page type   data bytes           content
//   4 (PFS)     PFSBytesPerPage      PFS bits of the pages it covers
//   2 (GAM)     GAMBytesPerPage      GAM bits of the extents it covers
//   3 (SGAM)    GAMBytesPerPage      SGAM bits of the same extents
//
// Invariants (checked by CheckInvariants()):
//   1. The PFS bitmap holds PFSPageCount * PFSBytesPerPage bytes, the GAM and
//      SGAM bitmaps GAMPageCount * GAMBytesPerPage bytes each.
//   2. ExtentCount <= PFSPageCount * ExtentsPerPFSPage and
//      ExtentCount <= GAMPageCount * ExtentsPerGAMPage: every extent has bits.
//   3. The PFS and GAM page lists hold the placement numbers above, and each
//      bitmap page number is below PageCount.
//   4. FreeExtentCount and MixedExtentCount are the numbers of GAM and SGAM
//      bits set among extents 0 .. ExtentCount - 1.
//   5. The PFS bit of every bitmap page is 0 (a bitmap page is never handed out).
//   6. 1 + ExtentCount * E <= PageCount.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/container/page_manager.h"

namespace kivo {

class TFreeSpaceManager {
 public:
  // Computes and checks the geometry and loads the bitmaps. Raises
  // "TFreeSpaceManager.Create - PFSPageCount * FPageSize < FExtentCount!" (or
  // the GAM form) when the header has too few bitmap pages for its extents,
  // and the LoadPFS / LoadGAM messages when a bitmap page cannot be read.
  explicit TFreeSpaceManager(TPageFileManager& pageManager);
  TFreeSpaceManager(const TFreeSpaceManager&) = delete;
  TFreeSpaceManager& operator=(const TFreeSpaceManager&) = delete;

  // Allocates `count` pages, trying the extent of `nearPageNo` first; with
  // `uniformOnly` only whole free extents (and the near extent) are used.
  // `pages` receives the page numbers in allocation order. False when the
  // container could not grow (the allocation is then not saved); raises on
  // inconsistencies and on failed bitmap writes.
  bool GetPages(std::int32_t count, std::int32_t nearPageNo, std::vector<std::int32_t>& pages,
                bool uniformOnly);
  // Releases the listed pages (sorted descending as a side effect) and cuts
  // the container stream after the highest page still used. Page numbers
  // outside the extents and the bitmap pages themselves are ignored.
  void FreePages(std::vector<std::int32_t>& pages);

  void LoadPFS();
  void LoadGAM();
  // Writes the PFS (GAM and SGAM) pages whose flag in `changed` is set; the
  // list must hold one flag per page.
  void SavePFS(const std::vector<std::uint8_t>& changed);
  void SaveGAM(const std::vector<std::uint8_t>& changed);

  std::int32_t PageDataSize() const { return data_size_; }
  std::int32_t ExtentPageCount() const { return extent_page_count_; }
  std::int32_t PFSBytesPerPage() const { return pfs_bytes_per_page_; }
  std::int32_t ExtentsPerPFSPage() const { return extents_per_pfs_page_; }
  std::int32_t GAMBytesPerPage() const { return gam_bytes_per_page_; }
  std::int32_t ExtentsPerGAMPage() const { return extents_per_gam_page_; }
  std::int32_t ExtentCount() const { return extent_count_; }
  std::int32_t FreeExtentCount() const { return free_extent_count_; }
  std::int32_t MixedExtentCount() const { return mixed_extent_count_; }
  const std::vector<std::int32_t>& PFSPageNumbers() const { return pfs_pages_; }
  const std::vector<std::int32_t>& GAMPageNumbers() const { return gam_pages_; }

  // Bits by page number / extent index; false outside the bitmaps.
  bool PageIsFree(std::int32_t pageNo) const;
  bool GAMBit(std::int32_t extent) const;
  bool SGAMBit(std::int32_t extent) const;
  // Whether `pageNo` is one of the PFS, GAM or SGAM pages.
  bool IsBitmapPage(std::int32_t pageNo) const;

  // Verifies the numbered invariants above; raises on a violation.
  void CheckInvariants() const;

 private:
  // The running state of one GetPages call.
  struct Request {
    std::vector<std::int32_t>* pages;
    std::int32_t count;
    bool uniformOnly;
    std::vector<std::uint8_t> pfsChanged;
    std::vector<std::uint8_t> gamChanged;
    // Bits AddExtents changed, with their old values, for undoing a growth
    // the container could not take.
    struct BitChange {
      int map;
      std::int64_t bit;
      bool value;
    };
    std::vector<BitChange> undo;
  };
  static constexpr int kPFS = 0;
  static constexpr int kGAM = 1;
  static constexpr int kSGAM = 2;
  std::vector<std::uint8_t>& MapById(int map);

  void AllocFromExtent(std::int64_t e, Request& r);
  // Appends extents until at least n pages are gained; returns the number of
  // extents added.
  std::int32_t AddExtents(std::int32_t n, Request& r);
  void ScanExtents(std::int64_t& e, Request& r);

  bool Bit(const std::vector<std::uint8_t>& map, std::int64_t n) const;
  void SetBit(std::vector<std::uint8_t>& map, std::int64_t n, bool value);
  // Sets bits first .. end - 1 of `map` (those it holds) to `value`.
  void SetBits(std::vector<std::uint8_t>& map, std::int64_t first, std::int64_t end, bool value);
  void FlagPFSPageOfIndex(std::int64_t pageIndex, Request& r);
  void FlagGAMPageOfExtent(std::int64_t extent, Request& r);

  TPageFileManager& pm_;
  std::vector<std::uint8_t> pfs_;
  std::vector<std::uint8_t> gam_;
  std::vector<std::uint8_t> sgam_;
  // The GAM pages' bytes as last read from or written to the file, one
  // entry per GAM page; empty while unknown (a page not written yet).
  std::vector<std::vector<std::uint8_t>> gam_on_disk_;
  std::vector<std::int32_t> pfs_pages_;
  std::vector<std::int32_t> gam_pages_;
  std::int32_t data_size_ = 0;
  std::int32_t gam_bytes_per_page_ = 0;
  std::int32_t extents_per_gam_page_ = 0;
  std::int32_t extents_per_pfs_page_ = 0;
  std::int32_t pfs_bytes_per_page_ = 0;
  std::int32_t extent_page_count_ = 0;
  std::int32_t free_extent_count_ = 0;
  std::int32_t mixed_extent_count_ = 0;
  std::int32_t extent_count_ = 0;
  std::int64_t extent_pages_ = 0;  // pages in extents: ExtentCount * E
};

}  // namespace kivo
