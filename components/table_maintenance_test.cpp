// Table maintenance on real tables of a directory database and of a
// container file: create, delete and rename, the encryption test, import,
// restructure, index maintenance and temporary tables.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "components/session.h"
#include "engine/table_file_store.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TempDir;

class MaintenanceTest : public ::testing::Test {
 protected:
  // Creates table `name` of the directory database through the engine.
  void MakeTable(const std::string& name, const TFieldDefs& fields, bool encrypted = false) {
    TDirectoryTableFileStore store(dir_.path());
    TDataManagerHold m(krGetDataManager(name, &store));
    m->SetEncrypted(encrypted);
    if (encrypted) m->SetPassword("secret");
    m->CreateTable(fields, TIndexDefs(), false, 1000);
  }
  std::unique_ptr<TKivoTable> Table(const std::string& name) {
    auto t = std::make_unique<TKivoTable>();
    t->SetDatabaseName(dir_.path());
    t->SetTableName(name);
    return t;
  }
  static TFieldDefs TwoFields() {
    TFieldDefs f;
    f.Add("name", ftString, 10);
    f.Add("n", ftInteger);
    return f;
  }

  TempDir dir_;
};

TEST_F(MaintenanceTest, TheEncryptionTestReadsTheStoredHeader) {
  MakeTable("plain", TwoFields());
  MakeTable("hidden", TwoFields(), true);
  EXPECT_FALSE(Table("plain")->IsTableEncrypted());
  EXPECT_TRUE(Table("hidden")->IsTableEncrypted());
  // A header that cannot be read counts as encrypted.
  EXPECT_TRUE(Table("missing")->IsTableEncrypted());
  testing::WriteFileBytes(dir_.file("broken.dat"), "not a table header");
  EXPECT_TRUE(Table("broken")->IsTableEncrypted());
  // An open table answers from its own header, and asking leaves no manager.
  auto open = Table("plain");
  open->Open();
  EXPECT_FALSE(open->IsTableEncrypted());
  open->Close();
  EXPECT_EQ(TKivoDataManager::RegisteredCount(), 0);
}

}  // namespace
}  // namespace kivo
