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

  // Table maintenance; each runs the internal operation of the same name
  // (components/table_maintenance.cpp).
  void CreateTable();
  void DeleteTable();
  bool ImportTable(TDataSource* source, const TIndexDefs* indexDefs, std::string& log);
  void RestructureTable(bool encrypted, const std::string& password, std::int32_t blobBlockSize,
                        std::uint8_t blobCompression);
  // Open the table for the call when it is closed, and close it again after.
  void AddIndex(const std::string& name, const std::string& fields, TIndexOptions options,
                const std::string& descFields = "", const std::string& caseInsFields = "");
  void DeleteIndex(const std::string& name);
};

}  // namespace kivo
