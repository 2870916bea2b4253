// A fault-injecting table file for tests: it passes every call to a real
// file and fails the ones a plan names, the way a failing disk or a process
// killed in the middle of a save would.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "storage/file_layer.h"

namespace kivo::testing {

// What a TFaultFile fails. Call numbers count from 1; 0 fails nothing. A
// plan may serve several files and may be changed while they are open; its
// counters then count the calls of all of them.
struct TFaultPlan {
  // Bytes that writes may still put. A write reaching past the budget is cut
  // short there and returns the bytes that fit; once the budget is spent,
  // writes put nothing and size changes raise SizeChangeError. (A write cut
  // anywhere, also over bytes the file had: what a save torn by a power
  // failure leaves.)
  std::int64_t WriteBudget = std::numeric_limits<std::int64_t>::max();
  // The free space of the disk, taken in blocks of SpaceBlockSize bytes by
  // writes that reach past the space their file has; writing over space a
  // file has takes none, and a size change takes none either (the new bytes
  // are a hole until written). A write that needs more blocks than are free
  // is cut where the last free block ends, as on a full disk.
  std::int64_t FreeSpace = std::numeric_limits<std::int64_t>::max();
  std::int32_t SpaceBlockSize = 4096;
  int FailRead = 0;        // that read returns 0 and reads nothing
  int FailWrite = 0;       // that write returns 0 and writes nothing
  int FailSizeChange = 0;  // that size change raises SizeChangeError
  int FailSync = 0;        // that sync raises EInOutError(SyncError, EIO), syncing nothing
  std::string SizeChangeError = "TFaultFile.SetSize - size change refused";
  std::string SyncError = "TFaultFile.Flush - Input/output error";
  // Once a call has failed, every later write, sync and size change fails
  // too, as on a device that has gone away: nothing more reaches the files.
  bool FreezeAfterFault = false;
  // Keep the blocks of free space each write takes in BlocksTaken.
  bool RecordBlocksTaken = false;

  // Writes ('W') and syncs ('F') in the order they came.
  std::string Calls = {};
  // The calls seen so far.
  int Reads = 0;
  int Writes = 0;
  int SizeChanges = 0;
  int Syncs = 0;
  // The calls failed or cut short so far.
  int Faults = 0;
  // One entry per write while RecordBlocksTaken is set.
  std::vector<std::int32_t> BlocksTaken = {};

  // Fails nothing from now on; the counters go on counting.
  void Disarm() {
    WriteBudget = std::numeric_limits<std::int64_t>::max();
    FreeSpace = std::numeric_limits<std::int64_t>::max();
    FailRead = FailWrite = FailSizeChange = FailSync = 0;
    FreezeAfterFault = false;
  }
  // Whether FreezeAfterFault fails every write, sync and size change now.
  bool Frozen() const { return FreezeAfterFault && Faults > 0; }
};

class TFaultFile : public TAbstractFile {
 public:
  // REQUIRES: `real` and `plan` outlive this file; it owns neither.
  TFaultFile(TAbstractFile* real, TFaultPlan* plan);

  TAbstractFile* Real() const { return real_; }

  // The flags are the real file's; changing one changes it there.
  void SetExclusive(bool value) override;
  void SetReadOnly(bool value) override;
  void SetTemporary(bool value) override;
  void SetSize(std::int32_t newSize) override;
  void Close() override { real_->Close(); }
  void Flush() override;
  void StartWriteBack(std::int64_t offset, std::int64_t count) override {
    real_->StartWriteBack(offset, count);
  }
  void Open(bool create) override { real_->Open(create); }
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Seek(std::int32_t offset, int origin) override {
    return real_->Seek(offset, origin);
  }
  std::int32_t Write(const void* buffer, std::int32_t count) override;

 private:
  // The bytes `count` bytes at the position may write on the disk space
  // left (the whole count when it suffices); takes the space.
  std::int32_t TakeSpace(std::int32_t count);

  TAbstractFile* real_;
  TFaultPlan* plan_;
  // The space the file has on the disk: whole blocks up to this offset.
  std::int64_t space_end_ = 0;
};

}  // namespace kivo::testing
