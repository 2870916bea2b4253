#include "testing/fault_file.h"

#include <algorithm>
#include <cerrno>

#include "platform/errors.h"

namespace kivo::testing {

namespace {

std::int64_t RoundUp(std::int64_t bytes, std::int64_t block) {
  return (bytes + block - 1) / block * block;
}

}  // namespace

TFaultFile::TFaultFile(TAbstractFile* real, TFaultPlan* plan)
    : TAbstractFile(nullptr, real->FileName()), real_(real), plan_(plan) {
  exclusive_ = real->Exclusive();
  read_only_ = real->ReadOnly();
  temporary_ = real->Temporary();
  space_end_ = RoundUp(std::max<std::int64_t>(0, real->GetSize()), plan->SpaceBlockSize);
}

void TFaultFile::SetExclusive(bool value) {
  real_->SetExclusive(value);
  exclusive_ = real_->Exclusive();
}

void TFaultFile::SetReadOnly(bool value) {
  real_->SetReadOnly(value);
  read_only_ = real_->ReadOnly();
}

void TFaultFile::SetTemporary(bool value) {
  real_->SetTemporary(value);
  temporary_ = real_->Temporary();
}

void TFaultFile::SetSize(std::int32_t newSize) {
  const int call = ++plan_->SizeChanges;
  if (plan_->Frozen() || plan_->WriteBudget <= 0 || call == plan_->FailSizeChange) {
    ++plan_->Faults;
    throw Exception(plan_->SizeChangeError);
  }
  real_->SetSize(newSize);
  // Cutting the file gives its blocks past the new end back.
  space_end_ = std::min(space_end_, RoundUp(std::max(0, newSize), plan_->SpaceBlockSize));
}

void TFaultFile::Flush() {
  plan_->Calls += 'F';
  if (++plan_->Syncs == plan_->FailSync || plan_->Frozen()) {
    ++plan_->Faults;
    throw EInOutError(plan_->SyncError, EIO);
  }
  real_->Flush();
}

std::int32_t TFaultFile::Read(void* buffer, std::int32_t count) {
  if (++plan_->Reads == plan_->FailRead) {
    ++plan_->Faults;
    return 0;
  }
  return real_->Read(buffer, count);
}

std::int32_t TFaultFile::TakeSpace(std::int32_t count) {
  const std::int64_t block = plan_->SpaceBlockSize;
  const std::int64_t position = std::max(0, real_->GetPosition());
  const std::int64_t end = RoundUp(position + count, block);
  const std::int64_t blocks = std::max<std::int64_t>(0, end - space_end_) / block;
  const std::int64_t free = std::max<std::int64_t>(0, plan_->FreeSpace) / block;
  const std::int64_t taken = std::min(blocks, free);
  if (plan_->RecordBlocksTaken) plan_->BlocksTaken.push_back(static_cast<std::int32_t>(blocks));
  if (plan_->FreeSpace != std::numeric_limits<std::int64_t>::max())
    plan_->FreeSpace -= taken * block;
  space_end_ += taken * block;
  if (taken == blocks) return count;
  ++plan_->Faults;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(space_end_ - position, 0, count));
}

std::int32_t TFaultFile::Write(const void* buffer, std::int32_t count) {
  plan_->Calls += 'W';
  if (++plan_->Writes == plan_->FailWrite || plan_->Frozen()) {
    ++plan_->Faults;
    if (plan_->RecordBlocksTaken) plan_->BlocksTaken.push_back(0);
    return 0;
  }
  std::int32_t allowed = count > 0 ? TakeSpace(count) : count;
  // The budget is charged with the whole request, so that a cut write
  // leaves it spent for the writes after it.
  const auto budget = static_cast<std::int32_t>(
      std::min<std::int64_t>(allowed, std::max<std::int64_t>(0, plan_->WriteBudget)));
  plan_->WriteBudget -= count;
  if (budget < allowed) {
    ++plan_->Faults;
    allowed = budget;
  }
  return allowed > 0 ? real_->Write(buffer, allowed) : 0;
}

}  // namespace kivo::testing
