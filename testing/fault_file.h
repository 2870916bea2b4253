// A fault-injecting table file for tests: it passes every call to a real
// file and fails the ones a plan names, the way a failing disk or a process
// killed in the middle of a save would.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "storage/file_layer.h"

namespace kivo::testing {

// What a TFaultFile fails. Call numbers count from 1; 0 fails nothing. A
// plan may serve several files and may be changed while they are open; its
// counters then count the calls of all of them.
struct TFaultPlan {
  // Bytes that writes may still put. A write reaching past the budget is cut
  // short there and returns the bytes that fit; once the budget is spent,
  // writes put nothing and size changes raise SizeChangeError.
  std::int64_t WriteBudget = std::numeric_limits<std::int64_t>::max();
  int FailRead = 0;        // that read returns 0 and reads nothing
  int FailWrite = 0;       // that write returns 0 and writes nothing
  int FailSizeChange = 0;  // that size change raises SizeChangeError
  std::string SizeChangeError = "TFaultFile.SetSize - size change refused";

  // Writes ('W') and syncs ('F') in the order they came.
  std::string Calls = {};
  // The calls seen so far.
  int Reads = 0;
  int Writes = 0;
  int SizeChanges = 0;
};

class TFaultFile : public TAbstractFile {
 public:
  // REQUIRES: `real` and `plan` outlive this file; it owns neither.
  TFaultFile(TAbstractFile* real, TFaultPlan* plan);

  TAbstractFile* Real() const { return real_; }

  void SetSize(std::int32_t newSize) override;
  void Close() override { real_->Close(); }
  void Flush() override {
    plan_->Calls += 'F';
    real_->Flush();
  }
  void Open(bool create) override { real_->Open(create); }
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Seek(std::int32_t offset, int origin) override {
    return real_->Seek(offset, origin);
  }
  std::int32_t Write(const void* buffer, std::int32_t count) override;

 private:
  TAbstractFile* real_;
  TFaultPlan* plan_;
};

}  // namespace kivo::testing
