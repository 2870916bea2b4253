// The container-backed file store: TPagyFile is a TAbstractFile whose bytes
// live in a file inside a single-file container, and TPagyPlainFileSystem is
// the plain file system of store mode fsmSingleFile that owns the container
// object (TPagybox) for as long as it exists. RegisterContainerStore() hands
// both to TPFSManager, so that a database lives in one .kvb file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/container/pagybox.h"
#include "storage/file_layer.h"

namespace kivo {

class TPagyPlainFileSystem;

// A file inside the container; every operation goes to the owning TPagybox.
// The file holds a container handle from Open until Close (-1 while closed).
class TPagyFile : public TAbstractFile {
 public:
  TPagyFile(TPagyPlainFileSystem* owner, TPagybox& box, std::string fileName);
  // Closes the container handle first.
  ~TPagyFile() override;

  bool IsOpen() const { return handle_ >= 0; }
  std::int32_t Handle() const { return handle_; }

  // Changing either flag on an open file reopens it at the same position.
  void SetExclusive(bool value) override;
  void SetReadOnly(bool value) override;
  // Raises "TPagyFile.SetSize - ..." when the container cannot resize the
  // file (out of space, closed file, size out of range).
  void SetSize(std::int32_t newSize) override;
  // Flushes the container, then gives the handle back.
  void Close() override;
  // Flushes all part files of the container.
  void Flush() override;
  // Creates (replacing an existing file of that name) or opens the file; an
  // existing file that cannot be opened for writing is opened read-only and
  // ReadOnly becomes true. Raises "Cannot create file \"name\"" or
  // "Cannot open file \"name\"" (ReadOnly then keeps its value from before).
  void Open(bool create) override;
  std::int32_t Read(void* buffer, std::int32_t count) override;
  // Positions are limited to 0 .. kMaxFilePosition: a seek that would leave
  // that range returns -1 and leaves the position where it was, instead of
  // handing back a position cut to 32 bits.
  std::int32_t Seek(std::int32_t offset, int origin) override;
  // Writes no byte beyond kMaxFilePosition; returns the bytes written.
  std::int32_t Write(const void* buffer, std::int32_t count) override;

 private:
  // The container open mode for the current flags.
  std::uint16_t OpenMode(bool create) const;
  bool TryOpen(bool create);
  std::int64_t Position() const;

  TPagybox& box_;
  std::int32_t handle_ = -1;
};

// The files of one container file. The container stays open (its file held)
// from construction to destruction.
class TPagyPlainFileSystem : public TAbstractPlainFileSystem {
 public:
  // Creates a new, empty container (createNew) or opens an existing one:
  // read-only and shared when `readOnly`, otherwise read-write denying other
  // writers. `fileMode` gives the page geometry of a new container; every
  // construction also stores its extent page count in DefaultExtentPageCount.
  // Raises whatever the container raises (wrong password, damaged header,
  // missing file, bad geometry).
  TPagyPlainFileSystem(const std::string& name, const std::string& password,
                       TDatabaseFileMode fileMode, bool readOnly, bool inMemory, bool createNew);
  // Destroys the open files, then the container (which flushes and closes it).
  ~TPagyPlainFileSystem() override;

  // Read-only when asked for, or when the container could only be opened so.
  bool ReadOnly() const override { return read_only_ || box_->ReadOnly(); }
  bool Encrypted() const override { return box_->IsEncrypted(); }
  bool InMemory() const { return in_memory_; }
  TPagybox& Pagybox() { return *box_; }

  // Raises "TPagyPlainFileSystem.OpenFile - File \"name\" is already open."
  // for an open name, and the file's own open errors.
  TAbstractFile* OpenFile(const std::string& fileName, bool create, bool exclusive,
                          bool readOnly) override;
  void CloseFile(TAbstractFile* file) override;
  bool DeleteFile(const std::string& fileName) override;
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
  bool FileExists(const std::string& fileName) override;
  // The files of the container's root ending with `extension` (letter case
  // ignored), without the extension; directories are skipped and every name
  // is listed once.
  void GetFileNames(const std::string& extension, std::vector<std::string>& list) override;

  // Whether the container file's header marks it encrypted, read without a
  // password. Raises for a missing or damaged file.
  static bool IsFileEncrypted(const std::string& fileName);

 private:
  bool read_only_;
  bool in_memory_;
  std::unique_ptr<TPagybox> box_;
};

// Registers the container store with TPFSManager: from then on GetPFSHandle
// and CreatePFS serve fsmSingleFile, and kivo::IsFileEncrypted reads the
// container header. Calling it again changes nothing.
void RegisterContainerStore();

}  // namespace kivo
