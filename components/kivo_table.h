// TKivoTable: the data set over one named table of a database, with the
// table's own properties. The cursor itself is TKivoDataset.
#pragma once

#include <string>

#include "components/kivo_dataset.h"

namespace kivo {

class TKivoTable : public TKivoDataset {
 public:
  explicit TKivoTable(TComponent* owner = nullptr) : TKivoDataset(owner) {}

  // The engine's version text ("6.30 "); assigning it has no effect.
  std::string CurrentVersion() const;
  void SetCurrentVersion(const std::string&) {}
};

}  // namespace kivo
