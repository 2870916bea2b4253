// The container object: TPagybox opens or creates a single-file container
// (checking the password first), and owns its page manager and free-space
// manager. The directory, the file page maps and the open-file handles build
// on these two and are added beside them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "storage/container/free_space.h"
#include "storage/container/page_manager.h"

namespace kivo {

class TPagybox {
 public:
  // Creates (openMode 0xFFFF) or opens a container. An in-memory create over
  // an existing disk file opens that file into memory (read-write) instead of
  // replacing it. Opening an encrypted container with a password that does
  // not verify raises "TPagybox.Create - invalid password specified, file
  // name = \"path\"" and opens nothing; the page manager's and free-space
  // manager's errors pass through.
  TPagybox(const std::string& fileName, std::uint16_t openMode, bool inMemory,
           const std::string& password, const std::string& question,
           const std::string& answer, std::int32_t pageSize, std::int32_t extentPageCount,
           std::int64_t partSize);
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

 private:
  std::unique_ptr<TPageFileManager> page_manager_;
  std::unique_ptr<TFreeSpaceManager> free_space_;
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
