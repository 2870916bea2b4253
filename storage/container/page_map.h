// File page maps: TUserFilePageMapManager keeps the chain of map pages that
// lists the data pages of a file inside the container, grows and shrinks it,
// and turns a byte range of a file into the data pages that hold it.
//
// A file of Size bytes owns DataPagesFor(Size) = ceil(Size / PageDataSize)
// data pages; file byte b lies in the file's data page b div PageDataSize at
// data offset b mod PageDataSize. Data pages have PageType 6.
//
// Map page (PageType 5, EncryptionType 0, ChecksumType 0); the chain starts at
// the directory item's FirstMapPageNo (-1: no map and no data pages):
//   OFFSET  SIZE  CONTENT
//        0    32  page header; NextPageNo = next map page, -1 on the last
//   32+4*j     4  data page number (LE signed) of file page
//                 k * EntriesPerMapPage + j, for the entries that exist
// EntriesPerMapPage = PageDataSize div 4 (1016 for page size 4096). A file
// with data pages has ceil(DataPagesFor(Size) / EntriesPerMapPage) map pages;
// a file whose map exists but whose size needs no data page keeps one.
//
// The page lists of recently used files are cached, keyed by FirstMapPageNo,
// so that reads and writes need no map-page reads. The map list and the data
// list of a file always enter and leave the cache together, so both live in
// one entry (TFilePageMaps).
//
// Invariants (checked by CheckInvariants()):
//   1. Every cached entry's MapPages[0] is its key.
//   2. MapPages holds max(1, ceil(DataPages / EntriesPerMapPage)) pages.
//   3. Every cached page number lies in 1 .. PageCount - 1, is not a
//      free-space bitmap page, and appears once in its entry.
//   4. Between the container's file operations every cached DataPages list
//      holds exactly DataPagesFor(Size) pages of its file, so an entry can be
//      dropped and read back from disk at any time between them. (Dropping
//      an entry inside an operation, after pages were appended but before
//      the item's Size was raised, would read back a map that is too short
//      and allocate the same file pages again; the cache is therefore
//      trimmed only on a miss, which never drops the entry of the file
//      being served.)
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "storage/container/directory.h"
#include "storage/container/free_space.h"
#include "storage/container/page_manager.h"

namespace kivo {

// Result of the map manager and the file operations for a negative size or
// position, or a range beyond 64 bits (kErrNoSpace, -17, is lack of space).
constexpr std::int32_t kErrInvalidSize = -18;

// The page lists of one file.
struct TFilePageMaps {
  std::vector<std::int32_t> MapPages;   // map pages in chain order
  std::vector<std::int32_t> DataPages;  // data pages in file order
};

class TUserFilePageMapManager {
 public:
  // The cache is trimmed when it holds more than this many files.
  static constexpr std::size_t kCacheLimit = 100;

  TUserFilePageMapManager(TPageFileManager& pageManager, TFreeSpaceManager& freeSpace);
  TUserFilePageMapManager(const TUserFilePageMapManager&) = delete;
  TUserFilePageMapManager& operator=(const TUserFilePageMapManager&) = delete;

  std::int32_t EntriesPerMapPage() const { return entries_per_map_page_; }
  // ceil(size / PageDataSize); 0 for size <= 0.
  std::int64_t DataPagesFor(std::int64_t size) const;
  // The code of the last failure that was returned, not raised (-17: no
  // space; a page manager code when a map page could not be written).
  std::int32_t LastError() const { return last_error_; }

  // The page lists of the file, from the cache or read from disk. The
  // reference stays valid until the next call that changes the cache.
  // Raises "TUserFilePageMapManager.GetMaps - Invalid parameter
  // FileRec.FirstMapPageNo" for a file without a map, "... - Error on reading
  // map page." when a map page cannot be read and "... - Invalid page No in
  // map chain." when the chain is too short, loops, or names a page that
  // cannot belong to a file; a damaged Size raises "... - Invalid file size.".
  const TFilePageMaps& GetMaps(const TDIRItem& item);

  // Adds `pageCount` data pages at the end of the file (making its map when
  // it has none), writing them as zero pages when `zeroFill`. False with
  // LastError -17 when the container cannot grow; the pages obtained by the
  // failed call are released again and the file keeps its old pages.
  // Raises "TUserFilePageMapManager.AppendPages - PageCount <= 0." for a
  // count below 1.
  bool AppendPages(TDIRItem& item, std::int32_t pageCount, bool zeroFill);
  // Removes the last `pageCount` data pages (at most all of them) and the map
  // pages no longer needed; with no data page left the map goes too and
  // FirstMapPageNo becomes -1. Raises "TUserFilePageMapManager.
  // DeletePagesFromEOF - File map not exists." for a file without a map.
  void DeletePagesFromEOF(TDIRItem& item, std::int32_t pageCount);
  // Adds or removes data pages so that the file holds DataPagesFor(newSize)
  // of them; the item's Size is compared with newSize but not changed. A new
  // size of 0 releases the map too. False (LastError set) on failure.
  bool SetFileSize(TDIRItem& item, bool zeroFill, std::int64_t newSize);
  // The data pages holding bytes offset .. offset + count: file pages
  // offset div PageDataSize .. (offset + count) div PageDataSize, as far as
  // they exist. With `forWrite` the file first grows (zero-filled) to hold
  // offset + count bytes; file pages in [noZeroFirst, noZeroLast] are not
  // zero-filled because the caller writes them whole. False when growing
  // failed.
  bool GetPagesForRange(TDIRItem& item, bool forWrite, std::vector<std::int32_t>& pages,
                        std::int64_t count, std::int64_t offset, std::int64_t noZeroFirst = -1,
                        std::int64_t noZeroLast = -2);

  // Files whose lists are cached.
  std::size_t CachedFileCount() const { return cache_.size(); }
  // Verifies the numbered invariants 1-3 above; raises on a violation.
  void CheckInvariants() const;

 private:
  // Writes map pages start .. start + count - 1 of `maps` (links and entries).
  bool WriteMaps(std::size_t start, std::size_t count, const TFilePageMaps& maps);
  // Reads a file's lists from disk, checking the chain.
  TFilePageMaps ReadMaps(std::int32_t firstMapPageNo, std::int64_t size);
  bool AppendPagesSkippingZero(TDIRItem& item, std::int32_t pageCount, bool zeroFill,
                               std::int64_t noZeroFirst, std::int64_t noZeroLast);
  bool SetFileSizeSkippingZero(TDIRItem& item, bool zeroFill, std::int64_t newSize,
                               std::int64_t noZeroFirst, std::int64_t noZeroLast);
  // Whether a page number can be a file's map or data page.
  bool UsablePageNo(std::int32_t pageNo) const;
  // The cached lists of a file with a map (read from disk on a miss).
  TFilePageMaps& Lists(const TDIRItem& item);
  // Gives back pages obtained by a call that then failed.
  void Release(std::vector<std::int32_t> pages);

  TPageFileManager& pm_;
  std::int32_t last_error_ = 0;
  TFreeSpaceManager& fsm_;
  std::unordered_map<std::int32_t, TFilePageMaps> cache_;  // by FirstMapPageNo
  std::int32_t entries_per_map_page_ = 0;
  std::int32_t data_size_ = 0;
  std::vector<std::int32_t> scratch_;
  std::vector<std::uint8_t> page_buffer_;  // one page's data
};

}  // namespace kivo
