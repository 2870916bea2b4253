// The index seam of TKivoDataManager. Indexes are not kept yet: a table's
// T.idx exists (created empty, recreated empty when missing) but holds no
// index headers, so there is nothing to load, build, maintain or save.
#include "engine/data_manager.h"

namespace kivo {

void TKivoDataManager::LoadIndexes() {}
void TKivoDataManager::CreateAutoIndexes(bool) {}
void TKivoDataManager::AddIndexDef(const TIndexDef&) {}
void TKivoDataManager::SaveIndexes() {}
bool TKivoDataManager::IndexesStale() { return false; }
void TKivoDataManager::FreeIndexes() {}
void TKivoDataManager::ConvertIndexes(double) {}

}  // namespace kivo
