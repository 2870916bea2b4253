// Reading, writing, seeking and resizing the open files of a container: the
// handle's position and the file's directory item are turned into data pages
// through the page maps, and the pages move in runs of consecutive page
// numbers (one stream transfer per run) wherever the file lies contiguously.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "platform/errors.h"
#include "storage/container/pagybox.h"

namespace kivo {

TUserFilePageMapManager& TPagybox::PageMaps() {
  if (!page_maps_)
    page_maps_ = std::make_unique<TUserFilePageMapManager>(*page_manager_, *free_space_);
  return *page_maps_;
}

// Moves `count` bytes between `buffer` and the pages in io_pages_, which hold
// the file's data pages from file page position div PageDataSize on. File
// pages newFirst .. newLast were just added and not zero-filled: a write
// treats their old content as zeros. Returns the bytes moved before the
// first failure (LastError then holds the page manager's code).
std::int32_t TPagybox::TransferPages(bool write, const TDIRItem& item, const TUserFileHandle& h,
                                     std::uint8_t* buffer, std::int64_t position,
                                     std::int64_t count, std::int64_t newFirst,
                                     std::int64_t newLast) {
  TPageFileManager& pm = *page_manager_;
  const std::int64_t D = pm.PageDataSize();
  const std::size_t pageBytes = static_cast<std::size_t>(D);
  const bool encrypt = item.HasPassword != 0 || IsEncrypted();
  const std::uint8_t encryptionType = encrypt ? kEncryptionRijndael : kEncryptionNone;
  const std::string_view key = h.Key;
  const std::int64_t firstFilePage = position / D;
  const std::size_t maxRun = static_cast<std::size_t>(TPageFileManager::kRunPages);
  if (io_stage_.size() < maxRun * pageBytes) io_stage_.resize(maxRun * pageBytes);

  struct Span {
    std::int64_t offset;  // in the page's data
    std::int64_t size;    // bytes of this page moved
    std::int64_t at;      // in the caller's buffer
    bool staged;          // data goes through io_stage_
  };
  // One run's spans live on the stack: no allocation per call.
  struct Spans {
    std::array<Span, TPageFileManager::kRunPages> items;
    std::size_t n = 0;
    std::size_t size() const { return n; }
    bool empty() const { return n == 0; }
    void clear() { n = 0; }
    void push_back(const Span& s) { items[n++] = s; }
    const Span& operator[](std::size_t k) const { return items[k]; }
  } spans;
  std::int64_t done = 0;
  std::size_t i = 0;
  while (i < io_pages_.size() && done < count) {
    // One run: consecutive page numbers, each moving at least one byte.
    spans.clear();
    std::int64_t planned = done;
    while (i + spans.size() < io_pages_.size() && spans.size() < maxRun && planned < count) {
      const std::size_t k = i + spans.size();
      if (!spans.empty() && io_pages_[k] != io_pages_[k - 1] + 1) break;
      const std::int64_t offset = k == 0 ? position % D : 0;
      const std::int64_t size = std::min(D - offset, count - planned);
      const bool whole = offset == 0 && size == D;
      // Whole pages go straight to or from the caller's buffer, except that
      // encryption works in place and must not touch the caller's data.
      spans.push_back({offset, size, planned, !whole || (write && encrypt)});
      planned += size;
    }
    const std::int32_t run = static_cast<std::int32_t>(spans.size());
    io_recs_.assign(spans.size(), TPageRec{});
    for (std::int32_t k = 0; k < run; ++k) {
      io_recs_[k].Data = spans[k].staged
                             ? io_stage_.data() + static_cast<std::size_t>(k) * pageBytes
                             : buffer + spans[k].at;
    }

    if (!write) {
      if (!pm.ReadPages(io_recs_.data(), run, io_pages_[i], false, key)) {
        // Page by page again, to stop exactly at the page that fails.
        for (std::int32_t k = 0; k < run; ++k) {
          if (!pm.ReadPage(io_recs_[k], io_pages_[i + k], false, key)) {
            last_error_ = pm.LastError();
            return static_cast<std::int32_t>(done);
          }
          if (spans[k].staged)
            std::memcpy(buffer + spans[k].at, io_recs_[k].Data + spans[k].offset,
                        static_cast<std::size_t>(spans[k].size));
          done += spans[k].size;
        }
        i += spans.size();
        continue;
      }
      for (std::int32_t k = 0; k < run; ++k) {
        if (spans[k].staged)
          std::memcpy(buffer + spans[k].at, io_recs_[k].Data + spans[k].offset,
                      static_cast<std::size_t>(spans[k].size));
      }
      done = planned;
      i += spans.size();
      continue;
    }

    // Writing: partly written pages keep the rest of their old content.
    std::int32_t ready = 0;
    bool stop = false;
    for (; ready < run; ++ready) {
      TPageRec& rec = io_recs_[ready];
      const Span& s = spans[ready];
      const std::int64_t filePage = firstFilePage + static_cast<std::int64_t>(i) + ready;
      if (s.offset != 0 || s.size != D) {
        if (filePage >= newFirst && filePage <= newLast) {
          std::memset(rec.Data, 0, pageBytes);
        } else if (!pm.ReadPage(rec, io_pages_[i + ready], false, key)) {
          last_error_ = pm.LastError();
          stop = true;
          break;
        }
      }
      if (s.staged)
        std::memcpy(rec.Data + s.offset, buffer + s.at, static_cast<std::size_t>(s.size));
      rec.NextPageNo = -1;
      rec.PageType = ptFileData;
      rec.EncryptionType = encryptionType;
      rec.ChecksumType = kChecksumXOR32;
      rec.Reserved.fill(0);
    }
    if (ready > 0 && !pm.WritePages(io_recs_.data(), ready, io_pages_[i], key)) {
      last_error_ = pm.LastError();
      return static_cast<std::int32_t>(done);
    }
    for (std::int32_t k = 0; k < ready; ++k) done += spans[k].size;
    if (stop) break;
    i += spans.size();
  }
  return static_cast<std::int32_t>(done);
}

bool TPagybox::ZeroTail(const TDIRItem& item, const TUserFileHandle& h) {
  TPageFileManager& pm = *page_manager_;
  const std::int64_t D = pm.PageDataSize();
  if (item.FirstMapPageNo == -1 || item.Size % D == 0) return true;
  const std::vector<std::int32_t>& pages = PageMaps().GetMaps(item).DataPages;
  const std::size_t last = static_cast<std::size_t>(item.Size / D);
  if (last >= pages.size()) return true;
  if (io_stage_.size() < static_cast<std::size_t>(D)) io_stage_.resize(static_cast<std::size_t>(D));
  TPageRec rec;
  rec.Data = io_stage_.data();
  const std::string_view key = h.Key;
  if (!pm.ReadPage(rec, pages[last], false, key)) {
    last_error_ = pm.LastError();
    return false;
  }
  const std::int64_t from = item.Size % D;
  bool dirty = false;
  for (std::int64_t i = from; i < D && !dirty; ++i)
    dirty = io_stage_[static_cast<std::size_t>(i)] != 0;
  if (!dirty) return true;
  std::memset(io_stage_.data() + from, 0, static_cast<std::size_t>(D - from));
  rec.NextPageNo = -1;
  rec.PageType = ptFileData;
  rec.EncryptionType =
      item.HasPassword != 0 || IsEncrypted() ? kEncryptionRijndael : kEncryptionNone;
  rec.ChecksumType = kChecksumXOR32;
  if (!pm.WritePage(rec, pages[last], key)) {
    last_error_ = pm.LastError();
    return false;
  }
  return true;
}

std::int32_t TPagybox::FileRead(std::int32_t handle, void* buffer, std::int32_t count) {
  last_error_ = 0;
  TUserFileHandle* h = FindHandle(handle);
  if (h == nullptr || count <= 0 || h->Position < 0) return 0;
  TDIRItem item = directory_->ReadItem(h->DirItemNo);
  const std::int64_t n = std::min<std::int64_t>(count, item.Size - h->Position);
  if (n <= 0) return 0;
  if (!PageMaps().GetPagesForRange(item, false, io_pages_, n, h->Position)) return 0;
  if (io_pages_.empty()) throw Exception("TPagybox.FileRead - no pages were found by UFM.");
  const std::int32_t done =
      TransferPages(false, item, *h, static_cast<std::uint8_t*>(buffer), h->Position, n, -1, -2);
  h->Position += done;
  return done;
}

std::int32_t TPagybox::FileWrite(std::int32_t handle, const void* buffer, std::int32_t count) {
  last_error_ = 0;
  TUserFileHandle* h = FindHandle(handle);
  if (count <= 0 || h == nullptr) return 0;
  if (read_only_) {
    last_error_ = kPageErrShortHeaderWrite;
    return 0;
  }
  if (h->Position < 0 || h->Position > std::numeric_limits<std::int64_t>::max() - count) {
    last_error_ = kErrInvalidSize;
    return 0;
  }
  TUserFilePageMapManager& maps = PageMaps();
  TDIRItem item = directory_->ReadItem(h->DirItemNo);
  const std::int64_t position = h->Position;
  // Bytes between the old end and the write read back as zeros.
  if (position > item.Size && !ZeroTail(item, *h)) return 0;
  const std::int64_t D = page_manager_->PageDataSize();
  // File pages this write adds and itself fills need no zero-filling first;
  // pages between the old end and the write still do.
  const std::int64_t oldPages =
      item.FirstMapPageNo == -1 ? 0
                                : static_cast<std::int64_t>(maps.GetMaps(item).DataPages.size());
  const std::int64_t newFirst = std::max(oldPages, position / D);
  const std::int64_t newLast = (position + count - 1) / D;
  if (!maps.GetPagesForRange(item, true, io_pages_, count, position, newFirst, newLast)) {
    last_error_ = maps.LastError();
    return 0;
  }
  // The caller's bytes are only read: they are staged wherever a page is
  // encrypted or partly written.
  const std::int32_t done = TransferPages(
      true, item, *h, const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buffer)), position,
      count, newFirst, newLast);
  h->Position += done;
  if (h->Position > item.Size || item.Size == 0) item.Size = h->Position;
  if (done < count) {
    // Pages added for bytes that never arrived would lie beyond Size: give
    // them back so that every page the map lists is covered by Size.
    const std::int32_t code = last_error_;
    maps.SetFileSize(item, false, item.Size);
    last_error_ = code;
  }
  item.LastWriteTime = DirItemNow();
  directory_->WriteItem(h->DirItemNo, item);
  return done;
}

std::int64_t TPagybox::FileSeek(std::int32_t handle, std::int32_t origin, std::int64_t offset) {
  TUserFileHandle* h = FindHandle(handle);
  if (h == nullptr) return 0;
  std::int64_t base = 0;
  switch (origin) {
    case 0:
      base = 0;
      break;
    case 1:
      base = h->Position;
      break;
    case 2:
      base = directory_->ReadItem(h->DirItemNo).Size;
      break;
    default:
      return h->Position;
  }
  std::int64_t moved = 0;
  // A position that does not fit 64 bits leaves the position where it was.
  if (!__builtin_add_overflow(base, offset, &moved)) h->Position = moved;
  return h->Position;
}

std::int64_t TPagybox::FileSetSize(std::int32_t handle, std::int64_t newSize) {
  TUserFileHandle* h = FindHandle(handle);
  if (h == nullptr) return kErrInvalidHandle;
  if (read_only_) {
    last_error_ = kPageErrShortHeaderWrite;
    return last_error_;
  }
  if (newSize < 0) {
    last_error_ = kErrInvalidSize;
    return last_error_;
  }
  TUserFilePageMapManager& maps = PageMaps();
  TDIRItem item = directory_->ReadItem(h->DirItemNo);
  if (newSize < item.Size) {
    ShrinkFile(h->DirItemNo, item, newSize);
    h->Position = newSize;
    return newSize;
  }
  if (newSize > item.Size && !ZeroTail(item, *h)) return last_error_;
  // Growing: the new map entries and zero pages are written before the
  // directory item whose Size covers them.
  if (!maps.SetFileSize(item, true, newSize)) {
    last_error_ = maps.LastError();
    return last_error_;
  }
  item.Size = newSize;
  item.LastWriteTime = DirItemNow();
  directory_->WriteItem(h->DirItemNo, item);
  h->Position = newSize;
  return newSize;
}

void TPagybox::ShrinkFile(std::int32_t itemNo, const TDIRItem& item, std::int64_t newSize) {
  // The directory item is made shorter first and only then do the map and
  // the free-space bitmaps stop naming the pages beyond the new end. A
  // process that dies between those page writes leaves a file whose map
  // still lists pages past its Size (read as nothing, at worst pages that
  // stay allocated), never a Size reaching past what the map lists.
  TDIRItem shorter = item;
  shorter.Size = newSize;
  shorter.LastWriteTime = DirItemNow();
  if (newSize == 0) shorter.FirstMapPageNo = -1;
  directory_->WriteItem(itemNo, shorter);
  // The old item still names the whole map, so every page it lists is found.
  TDIRItem old = item;
  if (old.FirstMapPageNo == -1) return;
  // Shrinking fails only by raising (a map page that cannot be written).
  static_cast<void>(PageMaps().SetFileSize(old, true, newSize));
}

std::int64_t TPagybox::FileGetSize(std::int32_t handle) const {
  const TUserFileHandle* h = FindHandle(handle);
  if (h == nullptr) return kErrInvalidHandle;
  return directory_->ReadItem(h->DirItemNo).Size;
}

}  // namespace kivo
