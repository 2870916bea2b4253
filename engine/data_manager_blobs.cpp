// The BLOB seam of TKivoDataManager. BLOB values are not kept yet: a table
// with BLOB fields has its T.bif and T.bdf files, created empty, and its
// BLOB directory always matches the record count.
#include "engine/data_manager.h"

namespace kivo {

void TKivoDataManager::LoadBLOBDirectory() {}
void TKivoDataManager::WriteEmptyBLOBDirectory() {}
void TKivoDataManager::SaveBLOBDirectory() {}
std::int32_t TKivoDataManager::BLOBRecordCount() const { return header_.RecordCount; }
void TKivoDataManager::FreeBLOBs() {}
void TKivoDataManager::ConvertBLOBs() {}

}  // namespace kivo
