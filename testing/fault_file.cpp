#include "testing/fault_file.h"

#include <algorithm>

#include "platform/errors.h"

namespace kivo::testing {

TFaultFile::TFaultFile(TAbstractFile* real, TFaultPlan* plan)
    : TAbstractFile(nullptr, real->FileName()), real_(real), plan_(plan) {}

void TFaultFile::SetSize(std::int32_t newSize) {
  const int call = ++plan_->SizeChanges;
  if (plan_->WriteBudget <= 0 || call == plan_->FailSizeChange)
    throw Exception(plan_->SizeChangeError);
  real_->SetSize(newSize);
}

std::int32_t TFaultFile::Read(void* buffer, std::int32_t count) {
  if (++plan_->Reads == plan_->FailRead) return 0;
  return real_->Read(buffer, count);
}

std::int32_t TFaultFile::Write(const void* buffer, std::int32_t count) {
  plan_->Calls += 'W';
  if (++plan_->Writes == plan_->FailWrite) return 0;
  // The budget is charged with the whole request, so that a cut write
  // leaves it spent for the writes after it.
  const auto allowed = static_cast<std::int32_t>(
      std::min<std::int64_t>(count, std::max<std::int64_t>(0, plan_->WriteBudget)));
  plan_->WriteBudget -= count;
  return allowed > 0 ? real_->Write(buffer, allowed) : 0;
}

}  // namespace kivo::testing
