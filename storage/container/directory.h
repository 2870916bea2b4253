// The container's directory: one 512-byte TDIRItem per file or directory
// inside a container, stored in a chain of directory pages and held whole in
// memory. TDIRArray keeps the items with a name index and a parent index;
// TDIRManager loads the chain, grows it, writes items back and resolves
// paths ("\" or "/" separators, relative paths start at the root).
//
// Directory pages (PageType 1, ChecksumType 0, EncryptionType = the
// container's Encrypted flag) are chained through NextPageNo from the
// header's FirstDirPageNo; readers follow exactly DirPageCount pages, so the
// link of the last page carries no meaning. ItemsPerPage = PageDataSize div
// 512; item n lives on directory page n div ItemsPerPage at data offset
// (n mod ItemsPerPage) * 512, and only ItemsPerPage * 512 data bytes of a
// page are written and read. DirItemCount counts all items, deleted included.
//
// Invariants of a loaded TDIRManager (checked by CheckInvariants()):
//   1. Header DirPageCount == number of directory pages in the page list,
//      and FirstDirPageNo == the list's first page when it is not empty.
//   2. ItemCount == header DirItemCount <= DirPageCount * ItemsPerPage.
//   3. Directory page numbers are distinct and within 1 .. PageCount - 1.
//   4. The name index and the parent index each hold exactly the numbers of
//      the items whose Deleted byte is 0, sorted by (name, item number) and
//      (parent, item number) respectively.
//   5. There is one open count per item; a deleted item's open count is 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "storage/container/free_space.h"
#include "storage/container/page_manager.h"
#include "storage/crypto/password.h"

namespace kivo {

// ---------------------------------------------------------------------------
// Directory item, 512 bytes (little-endian):
//
//   OFFSET  SIZE  CONTENT
//        0     4  FirstMapPageNo: first page of the file's page map; -1 = no pages
//        4     8  Size: file size in bytes (signed)
//       12     8  CreationTime: file time (100 ns since 1601-01-01, UTC)
//       20     8  LastWriteTime
//       28     8  LastAccessTime
//       36     4  Attributes: 0 file, 0x10 directory
//       40     4  ParentItemNo: item number of the containing directory; -1 = root
//       44     4  reserved, zero
//       48   172  PasswordRecord: the file's own password record; zero when none
//      220     1  IsDirectory: 1 for a directory
//      221     1  Deleted: 1 = free slot, reusable
//      222     1  HasPassword: 1 = the file's data pages use its own key
//      223     1  reserved, zero
//      224   260  Name: last path component, zero-terminated, at most 259 characters
//      484    28  reserved, zero
// ---------------------------------------------------------------------------
namespace dir_item {
constexpr int kSize = 512;
constexpr int kFirstMapPageNo = 0;
constexpr int kFileSize = 4;
constexpr int kCreationTime = 12;
constexpr int kLastWriteTime = 20;
constexpr int kLastAccessTime = 28;
constexpr int kAttributes = 36;
constexpr int kParentItemNo = 40;
constexpr int kReserved1 = 44;
constexpr int kPasswordRecord = 48;
constexpr int kIsDirectory = 220;
constexpr int kDeleted = 221;
constexpr int kHasPassword = 222;
constexpr int kReserved2 = 223;
constexpr int kName = 224;
constexpr int kNameField = 260;
constexpr int kReserved3 = 484;
static_assert(kPasswordRecord + static_cast<int>(kPasswordRecordSize) == kIsDirectory);
static_assert(kName + kNameField == kReserved3);
static_assert(kReserved3 + 28 == kSize);
}  // namespace dir_item

// The longest name an item keeps; longer names are cut, both when stored and
// when looked up.
constexpr std::size_t kMaxDirItemName = 259;

// File attributes as the enumeration uses them.
constexpr std::int32_t faReadOnly = 0x01;
constexpr std::int32_t faHidden = 0x02;
constexpr std::int32_t faSysFile = 0x04;
constexpr std::int32_t faVolumeID = 0x08;
constexpr std::int32_t faDirectory = 0x10;
constexpr std::int32_t faArchive = 0x20;
constexpr std::int32_t faAnyFile = 0x3F;

// Results of the directory and file operations (besides -1 "failed").
constexpr std::int32_t kDirPathNotFound = -2;    // FindPath: no such name / bad path
constexpr std::int32_t kDirNotInDirectory = -3;  // FindPath: name not in that directory
constexpr std::int32_t kDirSearchClosed = -4;    // FindNext on a closed search slot
constexpr std::int32_t kDirNoMoreFiles = -5;     // FindFirst / FindNext: no (more) match
constexpr std::int32_t kErrInvalidHandle = -6;   // FileSetSize on a handle not open
constexpr std::int32_t kErrFileInUse = -16;      // create over a file that is open
constexpr std::int32_t kErrNoSpace = -17;        // no page could be allocated

// One directory item in memory.
struct TDIRItem {
  std::int32_t FirstMapPageNo = 0;
  std::int64_t Size = 0;
  std::int64_t CreationTime = 0;
  std::int64_t LastWriteTime = 0;
  std::int64_t LastAccessTime = 0;
  std::int32_t Attributes = 0;
  std::int32_t ParentItemNo = 0;
  PasswordRecord Password{};
  std::uint8_t IsDirectory = 0;
  std::uint8_t Deleted = 0;
  std::uint8_t HasPassword = 0;
  std::string Name;  // at most kMaxDirItemName bytes

  // The 512 bytes as stored; reserved bytes are written as zero and the name
  // is cut to kMaxDirItemName bytes.
  void Encode(std::uint8_t* out) const;
  // Reads 512 stored bytes; the name ends at its first zero byte or after
  // kMaxDirItemName bytes.
  static TDIRItem Decode(const std::uint8_t* in);

  bool IsDeleted() const { return Deleted != 0; }
  bool IsDir() const { return IsDirectory != 0 || (Attributes & faDirectory) != 0; }
};

// One search slot of an open enumeration.
struct TDIRSearchSlot {
  bool InUse = false;
  std::vector<std::int32_t> Matches;  // item numbers
  std::int32_t Cursor = 0;            // index into Matches of the current match
};

// The time fields of an enumerated item in the platform's find-data order.
struct TFindData {
  std::int32_t FileAttributes = 0;
  std::int64_t CreationTime = 0;
  std::int64_t LastAccessTime = 0;
  std::int64_t LastWriteTime = 0;
  std::uint32_t FileSizeHigh = 0;
  std::uint32_t FileSizeLow = 0;
  std::string FileName;
};

// What FindFirst / FindNext report about a match.
struct TSearchRec {
  std::int32_t Time = 0;  // last-write time as a local DOS date-time
  std::int64_t Size = 0;
  std::int32_t Attr = 0;
  std::string Name;
  std::int32_t ExcludeAttr = 0;
  std::int32_t FindHandle = -1;  // the search slot number
  TFindData FindData;
};

// Whether `name` matches the wildcard `pattern`: "*" and "*.*" match
// everything, "?" any one character, "*" any run (none included); ASCII
// letters match regardless of case.
bool MatchesWildcard(const std::string& name, const std::string& pattern);

// The current time as the directory stores it: local time at 2-second
// resolution (through a DOS date-time), as a UTC file time.
std::int64_t DirItemNow();

// All items in item-number order, with a name index (case-insensitive, by
// the locale's collation) and a parent index over the items not deleted, and
// the search slots of open enumerations.
class TDIRArray {
 public:
  std::int32_t ItemCount() const { return static_cast<std::int32_t>(items_.size()); }
  // Raises "TDIRArray.ReadItem - invalid itemNo = N" when itemNo is out of range.
  const TDIRItem& ReadItem(std::int32_t itemNo) const;
  // Replaces the whole table with `items` (numbered in order) and builds
  // both indexes; search slots are dropped.
  void AssignItems(std::vector<TDIRItem> items);
  // Appends an item (indexing it unless deleted); returns its number.
  std::int32_t AddItem(const TDIRItem& item);
  // Replaces an item, moving it in the indexes when its name, parent or
  // Deleted byte changed. Raises "TDIRArray.UpdateItem - invalid itemNo = N"
  // and the "old name/parentID position not found" messages.
  void UpdateItem(std::int32_t itemNo, const TDIRItem& item);
  // Reserves room for newSize items; raises "TDIRArray.SetSize - newSize <
  // itemCount error.  newSize = N itemCount = C" below the count.
  void SetSize(std::int32_t newSize);
  void Clear();

  // Positions [first, last) in NameIndex() of the items named `name`
  // (cut to 259 characters, case ignored).
  std::pair<std::size_t, std::size_t> NameRange(const std::string& name) const;
  // Positions [first, last) in ParentIndex() of the items in directory `parent`.
  std::pair<std::size_t, std::size_t> ParentRange(std::int32_t parent) const;
  const std::vector<std::int32_t>& NameIndex() const { return name_index_; }
  const std::vector<std::int32_t>& ParentIndex() const { return parent_index_; }

  // A free search slot (reused or added), marked in use and emptied.
  std::int32_t AllocSearchSlot();
  std::int32_t SearchSlotCount() const { return static_cast<std::int32_t>(slots_.size()); }
  // REQUIRES 0 <= slot < SearchSlotCount().
  TDIRSearchSlot& SearchSlot(std::int32_t slot) { return slots_[static_cast<std::size_t>(slot)]; }
  // Frees a slot's match list; out-of-range numbers are ignored.
  void FreeSearchSlot(std::int32_t slot);

  // Verifies invariant 4 of the file comment; raises on a violation.
  void CheckInvariants() const;

 private:
  bool NameLess(std::int32_t a, std::int32_t b) const;
  bool ParentLess(std::int32_t a, std::int32_t b) const;
  void IndexItem(std::int32_t itemNo);
  void UnindexItem(std::int32_t itemNo, const TDIRItem& old);

  std::vector<TDIRItem> items_;
  std::vector<std::int32_t> name_index_;
  std::vector<std::int32_t> parent_index_;
  std::vector<TDIRSearchSlot> slots_;
};

class TDIRManager {
 public:
  // Loads the directory (Load). The managers must outlive this object.
  TDIRManager(TPageFileManager& pageManager, TFreeSpaceManager& freeSpace);
  TDIRManager(const TDIRManager&) = delete;
  TDIRManager& operator=(const TDIRManager&) = delete;

  // Reads the directory page chain and its items. Raises
  // "TDIRManager.Load - can not load page, pageNo = N" when a page cannot be
  // read (a page number outside the container included), and
  // "TDIRManager.Load - directory page chain loops, pageNo = N" or
  // "TDIRManager.Load - invalid directory size, DirPageCount = P, DirItemCount = I"
  // for a damaged chain or header counts.
  void Load();

  // Adds an item, reusing the first deleted slot; `itemNo` (when given)
  // receives its number. False with LastError -17 when the directory cannot
  // grow, and LastError -1 in a read-only container; raises the AddItem page
  // messages when a page cannot be read or written.
  bool AddItem(const TDIRItem& item, std::int32_t* itemNo = nullptr);
  // Raises "TDIRArray.ReadItem - invalid itemNo = N" out of range.
  TDIRItem ReadItem(std::int32_t itemNo) const { return items_.ReadItem(itemNo); }
  // Replaces the item and rewrites its directory page. Raises the UpdateItem
  // messages and "TDIRManager.WriteItem - can not load  page, pageNo = N" /
  // "... can not save page, pageNo = N".
  void WriteItem(std::int32_t itemNo, const TDIRItem& item);

  // The item number reached by `path` from `startItemNo`: -1 for the root,
  // -2 when a name does not exist at all (or the path is empty, or has an
  // empty component inside), -3 when a name is not in the directory reached.
  // ".." at the root stays at the root.
  std::int32_t FindPath(const std::string& path, std::int32_t startItemNo = -1) const;
  // Creates a file item; its number, or -1 (LastError -17 when out of space).
  // An existing item of that name is not looked at: the caller deletes it first.
  std::int32_t CreateFile(const std::string& path, const std::string& password,
                          const std::string& question, const std::string& answer);
  // Opens a file item: its number, or -1 for a missing path or a directory.
  // `key` receives the file's key string when it has its own password, else
  // is emptied.
  std::int32_t OpenFile(const std::string& path, const std::string& password, std::string& key);
  // Decrements the open count (never below 0); invalid numbers are ignored.
  void CloseFile(std::int32_t itemNo);
  bool RenameFile(const std::string& oldPath, const std::string& newPath);
  // -1 for an invalid number.
  std::int32_t OpenCount(std::int32_t itemNo) const;
  bool CheckFilePassword(const std::string& path, const std::string& password) const;

  // 0 = found; -2 directory of the pattern not found, -5 no match.
  std::int32_t FindFirst(const std::string& pattern, std::int32_t attributes, TSearchRec& rec);
  // 0 = found; -5 no more matches (or a slot number out of range), -4 slot closed.
  std::int32_t FindNext(TSearchRec& rec);
  void FindClose(TSearchRec& rec);

  bool CreateDirectory(const std::string& path);
  // Creates every missing directory along the path; raises
  // "TDIRManager.ForceDirectories - ForceDirectories error!" when one cannot be made.
  bool ForceDirectories(const std::string& path);
  bool DirectoryExists(const std::string& path);

  std::int32_t ItemCount() const { return items_.ItemCount(); }
  std::int32_t ItemsPerPage() const { return items_per_page_; }
  std::int32_t BytesPerPage() const { return bytes_per_page_; }
  const std::vector<std::int32_t>& DirPageNumbers() const { return dir_pages_; }
  const TDIRArray& Items() const { return items_; }
  std::int32_t LastError() const { return last_error_; }
  bool ReadOnly() const { return pm_.ReadOnly(); }
  // The directory relative paths start from; never changes.
  const std::string& CurrentDir() const { return current_dir_; }

  // Verifies the numbered invariants of the file comment; raises on a violation.
  void CheckInvariants() const;

 private:
  // Writes directory page `pageIndex` (an index into dir_pages_) with its
  // items; `readHeaderFirst` keeps its stored link. `where` names the
  // operation for the error texts.
  void SavePage(std::int32_t pageIndex, bool readHeaderFirst, const char* where);
  void FillSearchRec(const TDIRItem& item, TSearchRec& rec) const;
  // The parent (-1 root) and cut name of a new item at `path`; false when
  // the parent is missing or not a directory, or the name is empty.
  bool ResolveNewItem(const std::string& path, std::int32_t& parent, std::string& name) const;
  // Whether `itemNo` is `ancestor` or lies below it.
  bool IsWithin(std::int32_t itemNo, std::int32_t ancestor) const;

  TFreeSpaceManager& fsm_;
  std::vector<std::int32_t> dir_pages_;
  std::int32_t items_per_page_ = 0;
  std::int32_t bytes_per_page_ = 0;
  TPageFileManager& pm_;
  TDIRArray items_;
  std::vector<std::int32_t> open_counts_;
  std::int32_t last_error_ = 0;
  std::string current_dir_ = "\\";
  std::int32_t current_item_ = -1;
};

}  // namespace kivo
