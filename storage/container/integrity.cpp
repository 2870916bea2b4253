#include "storage/container/integrity.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/little_endian.h"
#include "storage/container/pagybox.h"

namespace kivo {

namespace {

// Written so that no a (a file size read from a damaged directory may be
// anything) overflows.
std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return a <= 0 ? 0 : (a - 1) / b + 1; }

class Checker {
 public:
  Checker(TPagybox& box, std::size_t maxProblems)
      : pm_(box.PageManager()), fsm_(box.FreeSpaceManager()), max_(maxProblems) {
    page_.assign(static_cast<std::size_t>(pm_.PageDataSize()), 0);
  }

  std::vector<std::string> Run() {
    Guarded("header", [&] { CheckHeader(); });
    Guarded("free-space bitmaps", [&] { CheckBitmaps(); });
    Guarded("directory", [&] { CheckDirectory(); });
    for (std::size_t n = 0; n < items_.size(); ++n) Guarded(ItemName(n), [&] { CheckFileMap(n); });
    Guarded("free space", [&] { CheckReachability(); });
    if (left_out_ > 0)
      problems_.push_back("... and " + std::to_string(left_out_) + " more problems");
    return std::move(problems_);
  }

  // Data pages are named by their maps whatever they hold: looking only for
  // the pages nothing names, their contents need not be read.
  void SkipDataPages() { read_data_pages_ = false; }

  // Pages marked used that nothing refers to, in page order, when they are
  // the only findings of Run(); otherwise empty.
  std::vector<std::int32_t> UnreferencedOnly() const {
    if (other_problems_ > 0) return {};
    return unreferenced_;
  }

 private:
  void Problem(const std::string& text) {
    ++other_problems_;
    ListProblem(text);
  }
  void ListProblem(const std::string& text) {
    if (problems_.size() < max_)
      problems_.push_back(text);
    else
      ++left_out_;
  }

  template <typename F>
  void Guarded(const std::string& what, F&& step) {
    try {
      step();
    } catch (const std::exception& e) {
      Problem(what + ": check stopped: " + e.what());
    }
  }

  std::string ItemName(std::size_t n) const {
    return "item " + std::to_string(n) + " \"" + items_[n].Name + "\"";
  }

  bool InContainer(std::int32_t pageNo) const { return pageNo >= 1 && pageNo < pm_.PageCount(); }

  // Who uses a page: a bitmap or directory page (item -1) or a file's map
  // or data page; the text is made only when a problem is reported.
  enum Kind : std::int32_t { kPFS, kGAM, kSGAM, kDirPage, kMapPage, kDataPage };
  struct Owner {
    Kind kind;
    std::int32_t item;
    std::int64_t index;
  };
  std::string Describe(const Owner& o) const {
    static const char* const kNames[] = {"PFS page ",       "GAM page ", "SGAM page ",
                                         "directory page ", "map page ", "data page "};
    std::string text = o.item >= 0 ? ItemName(static_cast<std::size_t>(o.item)) + " " : "";
    return text + kNames[o.kind] + std::to_string(o.index);
  }

  // Records that `owner` uses `pageNo`; false (and a problem) when the page
  // cannot be used or another owner already has it.
  bool Claim(std::int32_t pageNo, const Owner& owner) {
    if (!InContainer(pageNo)) {
      Problem(Describe(owner) + ": names page " + std::to_string(pageNo) +
              ", outside the container (1.." + std::to_string(pm_.PageCount() - 1) + ")");
      return false;
    }
    auto [it, fresh] = owner_.emplace(pageNo, owner);
    if (!fresh) {
      Problem("page " + std::to_string(pageNo) + " is used twice: by " + Describe(it->second) +
              " and by " + Describe(owner));
      return false;
    }
    return true;
  }

  // Reads a page without decrypting, so that its checksum is tested on the
  // bytes as stored.
  bool Read(TPageRec& rec, std::int32_t pageNo, std::int32_t dataSize, const Owner& owner,
            std::uint8_t pageType) {
    rec.Data = page_.data();
    if (!pm_.ReadPage(rec, pageNo, true, {}, dataSize)) {
      Problem(Describe(owner) + ": page " + std::to_string(pageNo) + " cannot be read (error " +
              std::to_string(pm_.LastError()) + ")");
      return false;
    }
    if (rec.PageType != pageType)
      Problem(Describe(owner) + ": page " + std::to_string(pageNo) + " has page type " +
              std::to_string(rec.PageType) + ", expected " + std::to_string(pageType));
    return true;
  }

  void CheckHeader() {
    TContainerHeader disk;
    TPagyHugeFile& stream = pm_.Stream();
    if (stream.GetSize() < container_header::kSize) {
      Problem("header: the container stream is shorter than its header");
      return;
    }
    stream.Seek(TSeekOrigin::soFromBeginning, 0);
    if (stream.Read(disk.Bytes(), container_header::kSize) != container_header::kSize) {
      Problem("header: cannot be read");
      return;
    }
    if (!disk.SignatureIsValid()) Problem("header: wrong signature");
    if (disk.HeaderChecksum() != disk.ComputeChecksum()) Problem("header: checksum mismatch");
    if (std::memcmp(disk.Bytes() + container_header::kChecksumFrom,
                    pm_.Header().Bytes() + container_header::kChecksumFrom,
                    container_header::kSize - container_header::kChecksumFrom) != 0)
      Problem("header: the header on disk differs from the open container's");
  }

  void CheckBitmaps() {
    try {
      fsm_.CheckInvariants();
    } catch (const std::exception& e) {
      Problem(std::string("free-space bitmaps: ") + e.what());
    }
    const std::int64_t E = fsm_.ExtentPageCount();
    const std::int64_t pfsSpan = static_cast<std::int64_t>(fsm_.ExtentsPerPFSPage()) * E;
    const auto& pfs = fsm_.PFSPageNumbers();
    for (std::size_t k = 0; k < pfs.size(); ++k) {
      const Owner owner{kPFS, -1, static_cast<std::int64_t>(k)};
      if (!Claim(pfs[k], owner)) continue;
      TPageRec rec;
      if (!Read(rec, pfs[k], fsm_.PFSBytesPerPage(), owner, ptPFS)) continue;
      // The bits on disk must be the bits the container allocates by.
      const std::int64_t firstIndex = static_cast<std::int64_t>(k) * pfsSpan;
      const std::int64_t lastIndex = std::min<std::int64_t>(
          firstIndex + pfsSpan, static_cast<std::int64_t>(fsm_.ExtentCount()) * E);
      for (std::int64_t i = firstIndex; i < lastIndex; ++i) {
        const std::int64_t b = i - firstIndex;
        const bool diskFree = (page_[static_cast<std::size_t>(b >> 3)] >> (b & 7)) & 1;
        if (diskFree != fsm_.PageIsFree(static_cast<std::int32_t>(i + 1))) {
          Problem(Describe(owner) + ": the bit of page " + std::to_string(i + 1) +
                  " on disk differs from the open container's");
          break;
        }
      }
    }
    const std::int64_t gamExtents = fsm_.ExtentsPerGAMPage();
    const auto& gam = fsm_.GAMPageNumbers();
    for (std::size_t k = 0; k < gam.size(); ++k) {
      for (int s = 0; s < 2; ++s) {
        const std::int32_t pageNo = gam[k] + s;
        const Owner owner{s == 0 ? kGAM : kSGAM, -1, static_cast<std::int64_t>(k)};
        if (!Claim(pageNo, owner)) continue;
        TPageRec rec;
        if (!Read(rec, pageNo, fsm_.GAMBytesPerPage(), owner, s == 0 ? ptGAM : ptSGAM)) continue;
        const std::int64_t first = static_cast<std::int64_t>(k) * gamExtents;
        const std::int64_t last = std::min<std::int64_t>(first + gamExtents, fsm_.ExtentCount());
        for (std::int64_t x = first; x < last; ++x) {
          const std::int64_t b = x - first;
          const bool diskBit = (page_[static_cast<std::size_t>(b >> 3)] >> (b & 7)) & 1;
          const bool memBit = s == 0 ? fsm_.GAMBit(static_cast<std::int32_t>(x))
                                     : fsm_.SGAMBit(static_cast<std::int32_t>(x));
          if (diskBit != memBit) {
            Problem(Describe(owner) + ": the bit of extent " + std::to_string(x) +
                    " on disk differs from the open container's");
            break;
          }
        }
      }
    }
    for (std::int32_t x = 0; x < fsm_.ExtentCount(); ++x) {
      if (fsm_.GAMBit(x) && fsm_.SGAMBit(x))
        Problem("extent " + std::to_string(x) + " is marked both free and mixed");
      if (!fsm_.GAMBit(x)) continue;
      for (std::int64_t i = x * E; i < x * E + E; ++i) {
        if (!fsm_.PageIsFree(static_cast<std::int32_t>(i + 1))) {
          Problem("extent " + std::to_string(x) + " is marked free but page " +
                  std::to_string(i + 1) + " is used");
          break;
        }
      }
    }
  }

  void CheckDirectory() {
    const TContainerHeader& h = pm_.Header();
    const std::int32_t perPage = pm_.PageDataSize() / dir_item::kSize;
    const std::int32_t bytes = perPage * dir_item::kSize;
    const std::int64_t itemCount = h.DirItemCount();
    if (itemCount > static_cast<std::int64_t>(h.DirPageCount()) * perPage) {
      Problem("directory: DirItemCount " + std::to_string(itemCount) + " exceeds the " +
              std::to_string(h.DirPageCount()) + " directory pages");
    }
    std::int32_t pageNo = h.FirstDirPageNo();
    for (std::int32_t k = 0; k < h.DirPageCount(); ++k) {
      const Owner owner{kDirPage, -1, k};
      if (!Claim(pageNo, owner)) return;  // a loop or a wild link ends the chain
      TPageRec rec;
      if (!Read(rec, pageNo, bytes, owner, ptDirectory)) return;
      // The stored bytes may be encrypted: decrypt a copy for the items.
      if (!pm_.DecodeBuffer(page_.data(), bytes, pm_.Key(), rec.EncryptionType)) {
        Problem(Describe(owner) + ": page " + std::to_string(pageNo) + " cannot be decrypted");
        return;
      }
      for (std::int32_t j = 0; j < perPage; ++j) {
        if (static_cast<std::int64_t>(items_.size()) >= itemCount) break;
        items_.push_back(
            TDIRItem::Decode(page_.data() + static_cast<std::size_t>(j) * dir_item::kSize));
      }
      pageNo = rec.NextPageNo;
    }
    for (std::size_t n = 0; n < items_.size(); ++n) {
      const TDIRItem& item = items_[n];
      const std::string name = ItemName(n);
      if (item.IsDeleted()) {
        if (item.FirstMapPageNo != -1)
          Problem(name + ": a deleted item still names map page " +
                  std::to_string(item.FirstMapPageNo));
        continue;
      }
      if (item.ParentItemNo != -1) {
        if (item.ParentItemNo < 0 || static_cast<std::size_t>(item.ParentItemNo) >= items_.size() ||
            items_[static_cast<std::size_t>(item.ParentItemNo)].IsDeleted() ||
            !items_[static_cast<std::size_t>(item.ParentItemNo)].IsDir())
          Problem(name + ": parent item " + std::to_string(item.ParentItemNo) +
                  " is not a directory");
      }
      if (item.Size < 0) Problem(name + ": negative size " + std::to_string(item.Size));
      if (item.IsDir() && item.FirstMapPageNo != -1)
        Problem(name + ": a directory names map page " + std::to_string(item.FirstMapPageNo));
      if (!item.IsDir() && item.FirstMapPageNo == -1 && item.Size > 0)
        Problem(name + ": size " + std::to_string(item.Size) + " but no page map");
    }
  }

  void CheckFileMap(std::size_t n) {
    const TDIRItem& item = items_[n];
    if (item.IsDeleted() || item.IsDir() || item.FirstMapPageNo == -1 || item.Size < 0) return;
    const std::string name = ItemName(n);
    const std::int64_t D = pm_.PageDataSize();
    const std::int64_t epm = D / 4;
    const std::int64_t dataPages = CeilDiv(item.Size, D);
    if (dataPages > pm_.PageCount()) {
      Problem(name + ": size " + std::to_string(item.Size) +
              " needs more pages than the container has");
      return;
    }
    const std::int64_t mapPages = std::max<std::int64_t>(1, CeilDiv(dataPages, epm));
    std::vector<std::int32_t> data;
    std::int32_t pageNo = item.FirstMapPageNo;
    for (std::int64_t k = 0; k < mapPages; ++k) {
      const Owner owner{kMapPage, static_cast<std::int32_t>(n), k};
      if (pageNo == -1) {
        Problem(name + ": the map chain ends after " + std::to_string(k) + " of " +
                std::to_string(mapPages) + " map pages");
        break;
      }
      if (!Claim(pageNo, owner)) break;
      TPageRec rec;
      if (!Read(rec, pageNo, static_cast<std::int32_t>(D), owner, ptFileMap)) break;
      const std::int64_t take =
          std::min<std::int64_t>(epm, dataPages - static_cast<std::int64_t>(data.size()));
      TByteReader entries(page_);
      for (std::int64_t j = 0; j < take; ++j) data.push_back(entries.Read<std::int32_t>());
      pageNo = rec.NextPageNo;
      if (k + 1 == mapPages && pageNo != -1) links_past_end_.push_back({n, pageNo});
    }
    for (std::size_t j = 0; j < data.size(); ++j) {
      const Owner owner{kDataPage, static_cast<std::int32_t>(n), static_cast<std::int64_t>(j)};
      if (!Claim(data[j], owner) || !read_data_pages_) continue;
      TPageRec rec;
      Read(rec, data[j], static_cast<std::int32_t>(D), owner, ptFileData);
    }
  }

  // A file made shorter writes its directory item before its last map page:
  // a process that dies in between leaves that page linking on to the map
  // pages that were being dropped. Nothing reads past the pages the Size
  // needs, so such a link to a page that is still allocated and named by
  // nothing else only leaves that page leaked (reported below). A link to
  // any other page is damage.
  void CheckLinksPastEnd() {
    for (const auto& [n, pageNo] : links_past_end_) {
      const std::int64_t extentPages =
          static_cast<std::int64_t>(fsm_.ExtentCount()) * fsm_.ExtentPageCount();
      if (InContainer(pageNo) && pageNo <= extentPages && owner_.find(pageNo) == owner_.end() &&
          !fsm_.PageIsFree(pageNo))
        continue;
      Problem(ItemName(n) + ": the map chain continues past its last map page to page " +
              std::to_string(pageNo));
    }
  }

  void CheckReachability() {
    CheckLinksPastEnd();
    const std::int64_t extentPages =
        static_cast<std::int64_t>(fsm_.ExtentCount()) * fsm_.ExtentPageCount();
    std::vector<std::int32_t> named;
    named.reserve(owner_.size());
    for (const auto& entry : owner_) named.push_back(entry.first);
    std::sort(named.begin(), named.end());
    for (std::int32_t pageNo : named) {
      const Owner& owner = owner_.at(pageNo);
      if (fsm_.PageIsFree(pageNo))
        Problem("page " + std::to_string(pageNo) + " is used by " + Describe(owner) +
                " but marked free");
      else if (pageNo > extentPages)
        Problem("page " + std::to_string(pageNo) + " is used by " + Describe(owner) +
                " but lies outside every extent");
    }
    for (std::int64_t p = 1; p <= extentPages; ++p) {
      const auto pageNo = static_cast<std::int32_t>(p);
      if (!fsm_.PageIsFree(pageNo) && owner_.find(pageNo) == owner_.end()) {
        unreferenced_.push_back(pageNo);
        ListProblem("page " + std::to_string(pageNo) + " is marked used but nothing refers to it");
      }
    }
  }

  TPageFileManager& pm_;
  TFreeSpaceManager& fsm_;
  std::size_t max_;
  std::vector<std::string> problems_;
  std::size_t left_out_ = 0;
  std::vector<std::uint8_t> page_;
  std::vector<TDIRItem> items_;
  std::unordered_map<std::int32_t, Owner> owner_;
  std::vector<std::pair<std::size_t, std::int32_t>> links_past_end_;  // item, page linked
  std::vector<std::int32_t> unreferenced_;
  std::size_t other_problems_ = 0;  // findings other than unreferenced pages
  bool read_data_pages_ = true;
};

}  // namespace

std::vector<std::string> CheckContainer(TPagybox& box, std::size_t maxProblems) {
  return Checker(box, maxProblems).Run();
}

std::vector<std::int32_t> UnreferencedPages(TPagybox& box) {
  Checker checker(box, 0);
  checker.SkipDataPages();
  checker.Run();
  return checker.UnreferencedOnly();
}

}  // namespace kivo
