// The container object: TPagybox opens or creates a single-file container
// (checking the password first), and owns its page manager, free-space
// manager and directory. On top of the directory it offers the file-system
// operations of the file layer: open, close, delete, rename, test and
// enumerate files by path, with a table of open-file handles.
//
// Handles are numbers from a counter that starts at 0 and grows by one per
// successful open; they are never reused within one container object. The
// handle table maps each open handle to its TUserFileHandle record.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/container/directory.h"
#include "storage/container/free_space.h"
#include "storage/container/page_manager.h"
#include "storage/container/page_map.h"

namespace kivo {

// One open file of a container.
struct TUserFileHandle {
  std::int32_t DirItemNo = -1;  // the file's directory item
  std::int64_t Position = 0;    // the stream position, may lie beyond the end
  std::uint16_t OpenMode = 0;   // the mode FileOpen was called with
  std::string Key;              // the file's own key string; empty unless HasPassword
};

// Asks the user for a password: caption and prompt texts, the answer in
// `value`; false when the user cancels.
using TPasswordPrompt =
    std::function<bool(const std::string& caption, const std::string& prompt, std::string& value)>;

class TPagybox {
 public:
  // Creates (openMode 0xFFFF) or opens a container. An in-memory create over
  // an existing disk file opens that file into memory (read-write) instead of
  // replacing it. Opening an encrypted container with a password that does
  // not verify raises "TPagybox.Create - invalid password specified, file
  // name = \"path\"" and opens nothing; the page manager's and free-space
  // manager's errors pass through.
  TPagybox(const std::string& fileName, std::uint16_t openMode, bool inMemory,
           const std::string& password, const std::string& question, const std::string& answer,
           std::int32_t pageSize, std::int32_t extentPageCount, std::int64_t partSize);
  // Flushes, then frees the managers in dependency order (the free-space
  // manager before the page manager, which closes the stream).
  ~TPagybox();
  TPagybox(const TPagybox&) = delete;
  TPagybox& operator=(const TPagybox&) = delete;

  // The header's Encrypted byte.
  bool IsEncrypted() const { return page_manager_->Header().Encrypted() == 1; }
  void FlushBuffers() { page_manager_->Flush(); }

  TPageFileManager& PageManager() { return *page_manager_; }
  TFreeSpaceManager& FreeSpaceManager() { return *free_space_; }

  bool ReadOnly() const { return read_only_; }
  bool Exclusive() const { return exclusive_; }
  // The password given at construction; empty when the container is not encrypted.
  const std::string& Password() const { return password_; }
  const std::string& FileName() const { return file_name_; }
  std::uint16_t OpenMode() const { return open_mode_; }
  bool InMemory() const { return in_memory_; }
  // Code of the last failed file operation, 0 when none.
  std::int32_t LastError() const { return last_error_; }

  // ---- Files by path ----
  // Paths use "\\" or "/" as separators; a leading separator or none both
  // start at the root. Names compare without regard to case.

  // Opens a file and returns its handle (>= 0), or a negative code. openMode
  // 0xFFFF creates the file, replacing an existing one unless that one is
  // open (then the existing file is opened unchanged and LastError is -16).
  // Other modes open an existing file; when it has its own password and
  // `password` does not verify, OnPasswordPrompt is asked ("Password for
  // \"name\"", "Enter password: ") until it verifies; -1 when it never does.
  // -1 for a missing file or a directory. Creating in a read-only container
  // gives -1 and changes nothing.
  std::int32_t FileOpen(const std::string& path, std::uint16_t openMode,
                        const std::string& password = {}, const std::string& question = {},
                        const std::string& answer = {});
  // Closes a handle; handles not in the table are ignored.
  void FileClose(std::int32_t handle);
  // Deletes a file or an empty directory and releases all pages of the file
  // (through the page maps, ReleaseFilePages). False when the path is not
  // found, the item is open, a directory still holds items, or the container
  // is read-only.
  bool FileDelete(const std::string& path);
  // Renames or moves a file; creates a missing directory part of newPath.
  // False when newPath names another existing item, oldPath is missing or
  // open, or the container is read-only.
  bool FileRename(const std::string& oldPath, const std::string& newPath);
  // Files and directories count as existing.
  bool FileExists(const std::string& path) const;
  // Enumeration: 0 = found, -2 directory not found, -4 search closed, -5 no
  // (more) match. A pattern beginning with a separator starts at the root.
  std::int32_t FindFirst(const std::string& pattern, std::int32_t attributes, TSearchRec& rec);
  std::int32_t FindNext(TSearchRec& rec);
  void FindClose(TSearchRec& rec);
  // Directories; false (nothing changed) in a read-only container.
  bool CreateDirectory(const std::string& path);
  bool ForceDirectories(const std::string& path);
  bool DirectoryExists(const std::string& path);

  // The open-file table: the record of an open handle, nullptr when the
  // handle is not open. The record stays valid until FileClose(handle).
  TUserFileHandle* FindHandle(std::int32_t handle);
  const TUserFileHandle* FindHandle(std::int32_t handle) const;
  std::size_t OpenHandleCount() const { return handles_.size(); }

  TDIRManager& Directory() { return *directory_; }
  const TDIRManager& Directory() const { return *directory_; }

  // Asked by FileOpen for the password of a file with a password of its own.
  // Unset, a wrong password simply fails the open.
  TPasswordPrompt OnPasswordPrompt;

  // ---- File I/O (page maps, read, write, seek, size): declared below by the
  // file I/O module and implemented in pagybox_file_io.cpp. ----
  //
  // Each of these works on the handle's position and the file's directory
  // item. Read and write set LastError to 0 first and report a failure there.

  // Reads up to `count` bytes at the position into `buffer` and advances the
  // position by the bytes read, which it returns: 0 for a handle not open,
  // a position at or past the end or a negative position. A page that
  // cannot be read stops the transfer with the page manager's code (-7 ..
  // -13) in LastError. Raises "TPagybox.FileRead - no pages were found by
  // UFM." when the map lacks the pages, and the map manager's messages for a
  // damaged map.
  std::int32_t FileRead(std::int32_t handle, void* buffer, std::int32_t count);
  // Writes `count` bytes at the position, first growing the file with zero
  // pages when the write goes past its end; advances the position, raises
  // Size to it when beyond, stamps LastWriteTime and rewrites the item.
  // Returns the bytes written: 0 for count <= 0, a handle not open, a
  // negative position (LastError -18), no space (LastError -17) or a
  // read-only container (LastError -8). A page failure stops the transfer
  // with the page manager's code; pages allocated beyond the bytes written
  // are then released again.
  std::int32_t FileWrite(std::int32_t handle, const void* buffer, std::int32_t count);
  // Moves the position: origin 0 from the start, 1 from the position, 2 from
  // the end; other origins leave it. Returns the position, 0 for a handle
  // not open. Positions beyond the end are allowed.
  std::int64_t FileSeek(std::int32_t handle, std::int32_t origin, std::int64_t offset);
  // Sets the file's size (zero-filling new pages, releasing pages no longer
  // needed; size 0 releases the map too) and moves the position there.
  // Growing writes the map and the pages before the directory item with the
  // new Size, shrinking writes that item first: a process dying in between
  // never leaves a Size that reaches past the pages the map lists.
  // Returns newSize, or -6 for a handle not open, -17 when out of space,
  // -18 for a negative size, -8 in a read-only container.
  std::int64_t FileSetSize(std::int32_t handle, std::int64_t newSize);
  // The file's size, -6 for a handle not open.
  std::int64_t FileGetSize(std::int32_t handle) const;
  // The page-map manager of this container (made on first use).
  TUserFilePageMapManager& PageMaps();

 private:
  // Reads or writes the pages of one transfer in runs of consecutive page
  // numbers; see pagybox_file_io.cpp.
  std::int32_t TransferPages(bool write, const TDIRItem& item, const TUserFileHandle& h,
                             std::uint8_t* buffer, std::int64_t position, std::int64_t count,
                             std::int64_t newFirst, std::int64_t newLast);

  // Zeroes the bytes after Size in the file's last data page, so that a file
  // that grows again never shows bytes it held before it was shortened.
  // False (LastError set) when that page cannot be read or written.
  bool ZeroTail(const TDIRItem& item, const TUserFileHandle& h);

  std::unique_ptr<TUserFilePageMapManager> page_maps_;
  std::vector<std::int32_t> io_pages_;  // the data pages of the current transfer
  std::vector<TPageRec> io_recs_;       // one run of them
  std::vector<std::uint8_t> io_stage_;  // page data that cannot go to or from the caller directly

 public:
  // ---- end of file I/O ----

 private:
  std::unique_ptr<TPageFileManager> page_manager_;
  std::unique_ptr<TFreeSpaceManager> free_space_;
  // Releases every data and map page of `item`: its FirstMapPageNo becomes
  // -1; its Size is left to the caller. Goes through the page maps, so that
  // their cached lists stay right.
  void ReleaseFilePages(TDIRItem& item);
  // Makes file `itemNo` (directory item `item`) `newSize` bytes long, newSize
  // below its Size: the directory item first, then the map and free space.
  void ShrinkFile(std::int32_t itemNo, const TDIRItem& item, std::int64_t newSize);
  // After a writer died with the container open: frees the pages it had
  // allocated but not yet named in a page map, when the container is
  // otherwise sound (checked page by page first).
  void ReclaimUnreferencedPages();

  std::unique_ptr<TDIRManager> directory_;
  std::map<std::int32_t, TUserFileHandle> handles_;  // sorted by handle
  std::int32_t next_handle_ = 0;
  bool read_only_ = false;
  bool exclusive_ = false;
  std::string password_;
  std::string file_name_;
  std::uint16_t open_mode_ = 0;
  bool in_memory_ = false;
  std::int32_t last_error_ = 0;
};

namespace pagy {

// Opens the container read-only and tells whether `password` opens it: false
// only when the container is encrypted and the password does not verify.
// Raises the page manager's errors for a missing or damaged file.
bool CheckContainerPassword(const std::string& fileName, const std::string& password);
// The container's Encrypted flag, read without a password. Raises like
// CheckContainerPassword.
bool IsFileEncrypted(const std::string& fileName);

}  // namespace pagy

}  // namespace kivo
