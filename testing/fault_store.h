// Table file stores for tests whose files fail as one plan says: every file
// a store hands out (records, indexes, BLOB files, journals, whatever the
// engine opens) is a TFaultFile on the store's one plan, so the plan's
// counters count the calls of all of a database's files together and its
// n-th read, write, sync or size change fails wherever it lands.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/table_file_store.h"
#include "testing/fault_file.h"

namespace kivo::testing {

// The files of one store, each wrapped in a TFaultFile on `plan`.
class TFaultFileSet {
 public:
  TFaultFileSet() = default;
  TFaultFileSet(const TFaultFileSet&) = delete;
  TFaultFileSet& operator=(const TFaultFileSet&) = delete;

  // `real` (which may be nullptr) wrapped; the wrapper belongs to this set
  // until Unwrap. The name is listed in Opened().
  TAbstractFile* Wrap(const std::string& name, TAbstractFile* real);
  // The real file behind a wrapper of this set, whose wrapper goes; any
  // other file (or nullptr) as it is.
  TAbstractFile* Unwrap(TAbstractFile* file);

  // The names of the files opened, in order.
  const std::vector<std::string>& Opened() const { return opened_; }
  // Wrappers handed out and not yet given back.
  int OpenCount() const { return static_cast<int>(wrappers_.size()); }

  TFaultPlan plan;

 private:
  // Files the engine never gives back lose their wrappers with the set; the
  // real files stay with their owners.
  std::map<const TAbstractFile*, std::unique_ptr<TFaultFile>> wrappers_;
  std::vector<std::string> opened_;
};

// A store that passes every call to `inner` and wraps the files it opens:
// the same database (Path) with faults.
class TFaultTableFileStore : public TTableFileStore {
 public:
  // REQUIRES: `inner` outlives this store.
  explicit TFaultTableFileStore(TTableFileStore& inner) : inner_(inner) {}

  const std::string& Path() const override { return inner_.Path(); }
  TAbstractFile* OpenFile(const std::string& name, int mode, bool create, bool exclusive,
                          bool readOnly) override {
    return files_.Wrap(name, inner_.OpenFile(name, mode, create, exclusive, readOnly));
  }
  void CloseFile(TAbstractFile* file) override { inner_.CloseFile(files_.Unwrap(file)); }
  bool FileExists(const std::string& name, int mode) override {
    return inner_.FileExists(name, mode);
  }
  bool DeleteFile(const std::string& name, int mode) override {
    return inner_.DeleteFile(name, mode);
  }
  bool RenameFile(const std::string& oldName, const std::string& newName, int mode) override {
    return inner_.RenameFile(oldName, newName, mode);
  }
  bool SaveMemoryFile(const std::string& name) override { return inner_.SaveMemoryFile(name); }

  TFaultPlan& Plan() { return files_.plan; }
  TFaultFileSet& Files() { return files_; }

 private:
  TTableFileStore& inner_;
  TFaultFileSet files_;
};

}  // namespace kivo::testing
