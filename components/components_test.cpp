#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "components/component.h"
#include "components/database.h"
#include "components/dataset_base.h"
#include "components/session.h"
#include "platform/errors.h"
#include "storage/container/pagy_file_system.h"
#include "storage/file_layer.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::NativeErrorOf;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// The least a data set does: take its database, register with the manager,
// and give both back when it closes.
class TTestDataset : public TKivoDatasetBase {
 public:
  using TKivoDatasetBase::TKivoDatasetBase;
  ~TTestDataset() override { Close(); }

  bool Active() const override { return active_; }
  void Open() {
    SetDBFlag(kFlagCursorOpen, true);
    try {
      DatabaseManager()->RegisterDataset(this);
    } catch (...) {
      SetDBFlag(kFlagCursorOpen, false);
      throw;
    }
    active_ = true;
  }
  void Close() override {
    if (!active_) return;
    active_ = false;
    if (TKivoDatabaseManager* m = DatabaseManager()) m->UnregisterDataset(this);
    SetDBFlag(kFlagCursorOpen, false);
  }

 private:
  bool active_ = false;
};

// A named owner, standing for a form.
std::unique_ptr<TComponent> Form(const std::string& name) {
  auto form = std::make_unique<TComponent>(nullptr);
  form->SetName(name);
  return form;
}

// ---------------------------------------------------------------- sessions

TEST(Sessions, EmptyNameAndDefaultInAnyCaseFindTheDefaultSession) {
  TKivoSession& def = DefaultSession();
  EXPECT_TRUE(def.IsDefault());
  EXPECT_EQ(def.SessionName(), "Default");
  EXPECT_EQ(Sessions().FindSession(""), &def);
  EXPECT_EQ(Sessions().FindSession("default"), &def);
  EXPECT_EQ(Sessions().FindSession("nosuch"), nullptr);
  EXPECT_EQ(MessageOf([] { Sessions().OpenSession("nosuch"); }),
            "Invalid session name 'nosuch' - Native error: 01072");
}

TEST(Sessions, NamesAreUniqueIgnoringCase) {
  TKivoSession work;
  work.SetSessionName("Work");
  TKivoSession other;
  other.SetName("S2");
  EXPECT_EQ(MessageOf([&] { other.SetSessionName("work"); }),
            "S2: Duplicate session name 'work' - Native error: 01075");
  EXPECT_EQ(NativeErrorOf([&] { other.SetSessionName("DEFAULT"); }), 1075);
  other.SetSessionName("Other");
  EXPECT_EQ(Sessions().FindSession("OTHER"), &other);
}

TEST(Sessions, StartingNeedsANameAndAnActiveSessionKeepsItsName) {
  TKivoSession s;
  int startups = 0;
  s.OnStartup = [&](TComponent*) { ++startups; };
  EXPECT_EQ(NativeErrorOf([&] { s.SetActive(true); }), 1076);
  EXPECT_FALSE(s.Active());
  s.SetSessionName("Started");
  s.SetActive(true);
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(startups, 2);
  EXPECT_TRUE(DefaultSession().Active());  // started first
  EXPECT_NE(s.Handle(), DefaultSession().Handle());
  EXPECT_EQ(CurrentSessionHandle(), s.Handle());
  EXPECT_EQ(NativeErrorOf([&] { s.SetSessionName("Renamed"); }), 1073);
  EXPECT_EQ(NativeErrorOf([&] { s.SetAutoSessionName(true); }), 1073);
  s.SetActive(false);
  EXPECT_EQ(CurrentSessionHandle(), DefaultSession().Handle());
  s.SetSessionName("Renamed");
}

TEST(Sessions, FailedStartReleasesTheSessionLock) {
  TKivoSession s;  // no name: cannot start
  EXPECT_EQ(NativeErrorOf([&] { s.LockSession(); }), 1076);
  EXPECT_EQ(s.LockCount(), 0);
  bool free = false;
  std::thread probe([&] {
    free = Sessions().SessionLock().try_lock();
    if (free) Sessions().SessionLock().unlock();
  });
  probe.join();
  EXPECT_TRUE(free);

  s.SetSessionName("Lockable");
  s.LockSession();
  s.LockSession();
  EXPECT_EQ(s.LockCount(), 2);
  EXPECT_TRUE(s.Active());
  s.UnlockSession();
  s.UnlockSession();
  EXPECT_EQ(s.LockCount(), 0);
}

TEST(AutoSessionNames, NumbersOnThreeFormsAndTheirReuse) {
  auto f1 = Form("F1"), f2 = Form("F2"), f3 = Form("F3");
  auto* s1 = new TKivoSession(f1.get());
  auto* s2 = new TKivoSession(f2.get());
  auto* s3 = new TKivoSession(f3.get());
  for (TKivoSession* s : {s1, s2, s3}) {
    s->SetName("S");
    s->SetAutoSessionName(true);
  }
  EXPECT_EQ(s1->SessionName(), "S_1");
  EXPECT_EQ(s2->SessionName(), "S_2");
  EXPECT_EQ(s3->SessionName(), "S_3");
  EXPECT_EQ(NativeErrorOf([&] { s1->SetSessionName("Manual"); }), 1074);

  // Destroying a session keeps its number taken.
  f2.reset();
  auto f4 = Form("F4");
  auto* s4 = new TKivoSession(f4.get());
  s4->SetName("S");
  s4->SetAutoSessionName(true);
  EXPECT_EQ(s4->SessionName(), "S_4");

  // Switching AutoSessionName off frees the number for the next session.
  s1->SetAutoSessionName(false);
  EXPECT_EQ(s1->SessionName(), "S_1");  // the name stays
  s1->SetSessionName("Manual");
  auto f5 = Form("F5");
  auto* s5 = new TKivoSession(f5.get());
  s5->SetName("T");
  s5->SetAutoSessionName(true);
  EXPECT_EQ(s5->SessionName(), "T_1");

  // Renaming the component renames the session.
  s5->SetName("U");
  EXPECT_EQ(s5->SessionName(), "U_1");
  for (TKivoSession* s : {s3, s4, s5}) s->SetAutoSessionName(false);
}

TEST(AutoSessionNames, OnlyOneSessionPerOwnerWithAutoName) {
  auto form = Form("F");
  auto* a = new TKivoSession(form.get());
  a->SetName("A");
  auto* b = new TKivoSession(form.get());
  b->SetName("B");
  EXPECT_EQ(MessageOf([&] { a->SetAutoSessionName(true); }),
            "A: Cannot enable AutoSessionName property with more than one session on a form or "
            "data-module - Native error: 01078");
  EXPECT_FALSE(a->AutoSessionName());
  delete b;
  a->SetAutoSessionName(true);
  int before = form->ComponentCount();
  EXPECT_EQ(MessageOf([&] { new TKivoSession(form.get()); }),
            "Cannot add a session to the form or data-module while session 'A' has "
            "AutoSessionName enabled - Native error: 01079");
  EXPECT_EQ(form->ComponentCount(), before);  // the refused session left no trace
  a->SetAutoSessionName(false);
}

TEST(AutoSessionNames, MembersOfTheFormFollowTheSession) {
  auto form = Form("Form");
  auto* early = new TTestDataset(form.get());
  auto* s = new TKivoSession(form.get());
  s->SetName("S");
  s->SetAutoSessionName(true);
  const std::string name = s->SessionName();
  EXPECT_EQ(early->SessionName(), name);
  auto* later = new TTestDataset(form.get());
  EXPECT_EQ(later->SessionName(), name);
  auto* db = new TKivoDatabase(form.get());
  EXPECT_EQ(db->SessionName(), name);
  EXPECT_EQ(db->Session(), s);
  s->SetName("R");
  EXPECT_EQ(later->SessionName(), s->SessionName());
  EXPECT_EQ(db->SessionName(), s->SessionName());
  s->SetAutoSessionName(false);
}

TEST(AutoSessionNames, LoadingDefersNameAndActivation) {
  auto form = Form("Form");
  auto* s = new TKivoSession(form.get());
  form->BeginLoading();
  s->SetName("L");
  s->SetAutoSessionName(true);
  s->SetActive(true);
  EXPECT_FALSE(s->Active());
  form->EndLoading();
  EXPECT_TRUE(s->Active());
  EXPECT_EQ(s->SessionName().substr(0, 2), "L_");
  s->SetActive(false);
  s->SetAutoSessionName(false);
}

// ---------------------------------------------------------------- databases

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { managers_before = TKivoDatabaseManager::RegisteredCount(); }
  void TearDown() override { EXPECT_EQ(TKivoDatabaseManager::RegisteredCount(), managers_before); }

  TempDir dir;
  int managers_before = 0;
};

TEST_F(DatabaseTest, DirectoryDatabaseListsItsTables) {
  WriteFileBytes(dir.file("orders.dat"), "");
  WriteFileBytes(dir.file("orders.idx"), "");
  WriteFileBytes(dir.file("orders.jnl"), "");  // a flush's journal is no table
  WriteFileBytes(dir.file("left.jnl"), "");
  std::filesystem::create_directory(dir.file("x.dat"));
  TKivoDatabase db;
  db.SetName("Db");
  db.SetDatabaseName(dir.path());
  EXPECT_FALSE(db.Connected());
  std::vector<std::string> tables{"stale"};
  db.GetTableNames(tables);  // connects
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(tables, std::vector<std::string>{"orders"});
  EXPECT_EQ(db.Directory(), dir.path());
  EXPECT_EQ(db.Handle()->StoreMode(), fsmDisk);
  EXPECT_EQ(db.Handle()->Path(), dir.path());
  EXPECT_TRUE(db.Exists());
  EXPECT_FALSE(db.Encrypted());
  db.Close();
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Directory(), dir.path());  // kept across Close
}

TEST_F(DatabaseTest, MissingDirectoryIsReported) {
  TKivoDatabase db;
  std::string missing = dir.file("gone");
  db.SetDatabaseName(missing);
  EXPECT_EQ(MessageOf([&] { db.Open(); }),
            "TKivoDatabase.Open - Directory \"" + missing + "\" doesn't exist.");
  EXPECT_FALSE(db.Connected());
}

TEST_F(DatabaseTest, NameMissingAndChangesWhileConnected) {
  TKivoDatabase db;
  db.SetName("DB1");
  EXPECT_EQ(MessageOf([&] { db.Open(); }), "DB1: Database name missing - Native error: 01081");
  db.SetDatabaseName(dir.path());
  db.SetConnected(true);
  EXPECT_EQ(MessageOf([&] { db.SetDatabaseName("Other"); }),
            "DB1: Cannot perform this operation on an open database - Native error: 01080");
  EXPECT_EQ(NativeErrorOf([&] { db.SetInMemory(true); }), 1080);
  EXPECT_EQ(NativeErrorOf([&] { db.SetSessionName("Default"); }), 1080);

  // The same name twice in one session.
  TKivoDatabase twin;
  EXPECT_EQ(NativeErrorOf([&] { twin.SetDatabaseName(dir.path()); }), 1080);
  EXPECT_EQ(twin.DatabaseName(), "");
}

TEST_F(DatabaseTest, SameDirectoryUnderDifferentNamesSharesOneManager) {
  TKivoDatabase a, b;
  a.SetDatabaseName(dir.path());
  b.SetDatabaseName(dir.path() + "/");
  a.Open();
  b.Open();
  ASSERT_NE(a.Handle(), nullptr);
  EXPECT_EQ(a.Handle(), b.Handle());
  EXPECT_EQ(a.Handle()->DatabaseCount(), 2);

  TTestDataset ds;
  ds.SetDatabaseName(dir.path() + "/");
  ds.Open();
  EXPECT_EQ(ds.Database(), &b);
  EXPECT_EQ(ds.DatabaseManager(), a.Handle());
  a.Close();
  EXPECT_TRUE(ds.Active());
  EXPECT_TRUE(b.Connected());
  EXPECT_EQ(b.Handle()->DatasetCount(), 1);
  b.Close();  // closes its data sets
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(b.DataSetCount(), 0);
}

TEST_F(DatabaseTest, DataSetWithoutDatabaseGetsATemporaryOne) {
  TKivoSession session;
  session.SetSessionName("TempWork");
  session.SetKeepConnections(false);
  TTestDataset ds;
  ds.SetSessionName("TempWork");
  ds.SetDatabaseName(dir.path());
  ds.Open();
  ASSERT_EQ(session.DatabaseCount(), 1);
  TKivoDatabase* temp = session.Databases(0);
  EXPECT_TRUE(temp->Temporary());
  EXPECT_TRUE(temp->Connected());
  EXPECT_EQ(temp->RefCount(), 1);
  EXPECT_EQ(temp->Owner(), &session);
  TTestDataset second;
  second.SetSessionName("TempWork");
  second.SetDatabaseName(dir.path());
  second.Open();
  EXPECT_EQ(session.DatabaseCount(), 1);
  EXPECT_EQ(temp->RefCount(), 2);
  second.Close();
  EXPECT_EQ(session.DatabaseCount(), 1);
  ds.Close();
  EXPECT_EQ(session.DatabaseCount(), 0);  // destroyed with its last user
}

TEST_F(DatabaseTest, KeptTemporaryDatabaseDiesWithTheSessionsDeactivation) {
  TKivoSession session;
  session.SetSessionName("KeepWork");
  TTestDataset ds;
  ds.SetSessionName("KeepWork");
  ds.SetDatabaseName(dir.path());
  ds.Open();
  ds.Close();
  ASSERT_EQ(session.DatabaseCount(), 1);
  EXPECT_TRUE(session.Databases(0)->Connected());
  TKivoDatabase named(&session);
  named.SetDatabaseName("Named");
  named.Open();
  session.SetActive(false);
  EXPECT_EQ(session.DatabaseCount(), 1);
  EXPECT_EQ(session.Databases(0), &named);
  EXPECT_FALSE(named.Connected());
}

TEST_F(DatabaseTest, EmptyNameAndFileNameIsTheCurrentDirectory) {
  TTestDataset ds;
  ds.Open();
  ASSERT_NE(ds.Database(), nullptr);
  EXPECT_TRUE(ds.Database()->Temporary());
  EXPECT_EQ(ds.DatabaseManager()->Path(), "");
  EXPECT_EQ(ds.DatabaseManager()->StoreMode(), fsmDisk);
  EXPECT_TRUE(ds.DatabaseManager()->DatabaseExists());
  ds.Close();
  EXPECT_EQ(ds.Database(), nullptr);
  EXPECT_EQ(ds.DatabaseManager(), nullptr);
  // The default session keeps the connection; drop it for the next test.
  for (int i = DefaultSession().DatabaseCount() - 1; i >= 0; --i)
    if (DefaultSession().Databases(i)->Temporary()) delete DefaultSession().Databases(i);
}

TEST_F(DatabaseTest, LowerCaseMemorySelectsTheMemoryStore) {
  TKivoDatabase db;
  db.SetDatabaseName("memory");
  db.Open();
  TKivoDatabaseManager* m = db.Handle();
  EXPECT_EQ(m->StoreMode(), fsmMemory);
  EXPECT_EQ(m->Path(), "memory");
  TAbstractFile* f = m->OpenFile("mem_orders.dat", 0, true, false, false);
  ASSERT_NE(f, nullptr);
  f->WriteBuffer("x", 1);
  m->CloseFile(f);
  std::vector<std::string> tables;
  db.GetTableNames(tables);
  EXPECT_NE(std::find(tables.begin(), tables.end(), "mem_orders.dat"), tables.end());
  EXPECT_TRUE(m->FileExists("MEM_ORDERS.DAT", 0));
  // A missing file of the memory database itself is not conjured up empty.
  EXPECT_THROW(m->OpenFile("mem_none.dat", fsmMemory, false, false, false), Exception);
  EXPECT_FALSE(m->FileExists("mem_none.dat", 0));
  EXPECT_TRUE(m->DeleteFile("mem_orders.dat", 0));
}

TEST_F(DatabaseTest, MemoryCopyOfADiskTableLoadsAndSaves) {
  WriteFileBytes(dir.file("t.dat"), "disk content");
  TKivoDatabase db;
  db.SetDatabaseName(dir.path());
  db.Open();
  TKivoDatabaseManager* m = db.Handle();
  TAbstractFile* f = m->OpenFile("t.dat", fsmMemory, false, false, false);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->GetPosition(), 0);
  std::string s(12, '\0');
  f->ReadBuffer(s.data(), 12);
  EXPECT_EQ(s, "disk content");
  f->SetPosition(0);
  f->WriteBuffer("DISK", 4);
  EXPECT_EQ(ReadFileBytes(dir.file("t.dat")), "disk content");  // only memory changed
  EXPECT_TRUE(m->SaveMemoryFile("t.dat"));
  EXPECT_EQ(ReadFileBytes(dir.file("t.dat")), "DISK content");
  EXPECT_EQ(f->GetPosition(), 4);  // saving leaves the memory file where it was
  EXPECT_FALSE(m->SaveMemoryFile("never_loaded.dat"));

  // A table missing on disk leaves no empty memory copy behind.
  EXPECT_THROW(m->OpenFile("missing.dat", fsmMemory, false, false, false), Exception);
  EXPECT_FALSE(m->FileExists("missing.dat", fsmMemory));
  EXPECT_TRUE(m->DeleteFile("t.dat", fsmMemory));
}

TEST_F(DatabaseTest, SettingTheSameFileNameKeepsTheConnection) {
  TKivoDatabase db;
  db.SetDatabaseName(dir.path());
  db.Open();
  db.SetDatabaseFileName("");
  EXPECT_TRUE(db.Connected());
  db.SetDatabaseFileName(dir.file("x.kvb"));
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Directory(), "");
}

TEST_F(DatabaseTest, CreateDatabaseErrors) {
  TKivoDatabase db;
  db.SetDatabaseName("CreateDb");
  EXPECT_EQ(MessageOf([&] { db.CreateDatabase(); }), "DatabaseFileName property is blank.");
  std::string nowhere = dir.file("no/such/db.kvb");
  EXPECT_EQ(MessageOf([&] { db.CreateDatabase(nowhere); }),
            "TKivoDatabaseManager.CreateDatabase - Cannot create database file \"" + nowhere +
                "\" as the directory \"" + dir.file("no/such") + "\" does not exist");
  EXPECT_FALSE(db.Connected());
  // A folder where the container file should be cannot become one.
  std::string path = dir.file("taken.kvb");
  std::filesystem::create_directories(path);
  EXPECT_EQ(MessageOf([&] { db.CreateDatabase(path); }),
            "TKivoDatabaseManager.CreateDatabase - Cannot create database file \"" + path + "\"");
  EXPECT_FALSE(db.Connected());
  // Opening a name that is no file tries to create it and reports the same failure.
  EXPECT_EQ(MessageOf([&] { db.Open(); }),
            "TKivoDatabaseManager.CreateDatabase - Cannot create database file \"" + path + "\"");
  EXPECT_FALSE(db.Connected());
}

TEST_F(DatabaseTest, CreateDatabaseWhileConnectedIsRefused) {
  TKivoDatabase db;
  db.SetDatabaseName(dir.path());
  db.Open();
  EXPECT_EQ(MessageOf([&] { db.CreateDatabase(dir.file("db.kvb")); }),
            "CreateDatabase error. Database is connected.");
  EXPECT_TRUE(db.Connected());
}

TEST_F(DatabaseTest, ExistingFileThatIsNoContainerCannotBeOpened) {
  std::string path = dir.file("junk.kvb");
  WriteFileBytes(path, "junk");
  TKivoDatabase db;
  db.SetDatabaseName("Junk");
  db.SetDatabaseFileName(path);
  db.SetPassword("secret");
  EXPECT_TRUE(db.Exists());
  EXPECT_FALSE(db.Encrypted());
  EXPECT_EQ(MessageOf([&] { db.Open(); }),
            "TKivoDatabase.Open - Invalid password or corrupted database file.");
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Password(), "");  // an unencrypted file forgets the password
}

TEST_F(DatabaseTest, InMemoryModeMustAgreeOnOneStore) {
  TKivoDatabase a, b;
  a.SetDatabaseName(dir.path());
  b.SetDatabaseName(dir.path() + "/");
  b.SetInMemory(true);
  a.Open();
  EXPECT_EQ(MessageOf([&] { b.Open(); }),
            "TKivoDatabaseManager.ConnectDatabase - database is already open with other "
            "in-memory mode value.");
  EXPECT_FALSE(b.Connected());
  EXPECT_EQ(a.Handle()->DatabaseCount(), 1);
}

TEST_F(DatabaseTest, ReadOnlyDatabaseMakesTablesReadOnly) {
  TKivoDatabase db;
  db.SetDatabaseName(dir.path());
  db.SetReadOnly(true);
  db.Open();
  EXPECT_TRUE(db.Handle()->ReadOnly());
  TKivoDatabase second;
  second.SetDatabaseName(dir.path() + "/");
  second.Open();
  EXPECT_TRUE(second.ReadOnly());  // follows the manager
  TTestDataset ds;
  ds.SetDatabaseName(dir.path());
  ds.Open();
  EXPECT_TRUE(ds.ReadOnly());
}

TEST_F(DatabaseTest, SharedHandleKeepsTheManagerAlive) {
  TKivoDatabase a, b;
  a.SetDatabaseName(dir.path());
  a.SetHandleShared(true);
  b.SetHandleShared(true);
  b.SetDatabaseName(dir.path());  // allowed: both share
  a.Open();
  b.Open();
  EXPECT_EQ(b.Handle(), a.Handle());
  EXPECT_FALSE(b.AcquiredHandle());
  TKivoDatabaseManager* m = a.Handle();
  a.Close();
  EXPECT_TRUE(TKivoDatabaseManager::IsRegistered(m));
  EXPECT_EQ(b.Handle(), m);
  b.Close();
  EXPECT_FALSE(TKivoDatabaseManager::IsRegistered(m));
}

// The registry keeps a database manager exactly as long as a database or a
// data set uses it, whatever order they come and go in, whether a database
// closes or is destroyed; run under the address sanitizer a use of a
// destroyed manager fails here too.
TEST_F(DatabaseTest, ManagerLivesExactlyAsLongAsItsUsers) {
  // Three names of one directory: three databases, one manager.
  const std::string names[3] = {dir.path(), dir.path() + "/", dir.path() + "//"};
  const std::vector<std::vector<int>> orders = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {0, 2, 1}};
  for (const std::vector<int>& open : orders) {
    for (const std::vector<int>& leave : orders) {
      std::unique_ptr<TKivoDatabase> dbs[3];
      for (int i : open) {
        dbs[i] = std::make_unique<TKivoDatabase>();
        dbs[i]->SetDatabaseName(names[i]);
        dbs[i]->Open();
      }
      TKivoDatabaseManager* m = dbs[open[0]]->Handle();
      for (const auto& db : dbs) EXPECT_EQ(db->Handle(), m);
      EXPECT_EQ(m->DatabaseCount(), 3);
      EXPECT_EQ(TKivoDatabaseManager::RegisteredCount(), managers_before + 1);

      // A data set of the database that leaves second.
      TTestDataset ds;
      ds.SetDatabaseName(names[leave[1]]);
      ds.Open();
      EXPECT_EQ(ds.DatabaseManager(), m);
      EXPECT_EQ(m->DatasetCount(), 1);

      for (std::size_t k = 0; k < 3; ++k) {
        const int i = leave[k];
        if (k % 2 == 0)
          dbs[i]->Close();
        else
          dbs[i].reset();
        if (k == 1) {
          EXPECT_FALSE(ds.Active());  // closed with its database
        }
        EXPECT_EQ(TKivoDatabaseManager::IsRegistered(m), k < 2);
        if (k < 2) {
          EXPECT_EQ(m->DatabaseCount(), static_cast<int>(2 - k));
        }
      }
      EXPECT_EQ(TKivoDatabaseManager::RegisteredCount(), managers_before);
    }
  }
}

TEST_F(DatabaseTest, ADataSetKeepsTheManagerUntilItCloses) {
  TKivoDatabase db;
  db.SetDatabaseName(dir.path());
  db.Open();
  TKivoDatabaseManager* m = db.Handle();
  TTestDataset a, b;
  a.SetDatabaseName(dir.path());
  b.SetDatabaseName(dir.path());
  a.Open();
  b.Open();
  EXPECT_EQ(m->DatasetCount(), 2);
  b.Close();
  a.Close();
  EXPECT_EQ(m->DatasetCount(), 0);
  EXPECT_TRUE(TKivoDatabaseManager::IsRegistered(m));  // the database still holds it
  a.Open();
  db.Close();  // closes the data set, then lets the manager go
  EXPECT_FALSE(a.Active());
  EXPECT_FALSE(TKivoDatabaseManager::IsRegistered(m));
  EXPECT_EQ(a.DatabaseManager(), nullptr);
}

TEST_F(DatabaseTest, HandleOfAnotherSessionIsRefused) {
  TKivoSession other;
  other.SetSessionName("Elsewhere");
  TKivoDatabase owner(&other);
  owner.SetDatabaseName(dir.path());
  owner.Open();
  TKivoDatabase db;
  db.SetName("Db");
  db.SetDatabaseName("Alias");
  EXPECT_EQ(MessageOf([&] { db.SetHandle(owner.Handle()); }),
            "Db: Database handle owned by a different session - Native error: 01084");
  EXPECT_FALSE(db.Connected());

  TKivoDatabase sameSession(&other);
  sameSession.SetDatabaseName("Alias");
  sameSession.SetHandle(owner.Handle());
  EXPECT_TRUE(sameSession.AcquiredHandle());
  TKivoDatabaseManager* m = owner.Handle();
  owner.Close();
  EXPECT_TRUE(TKivoDatabaseManager::IsRegistered(m));  // still held
  sameSession.SetHandle(nullptr);
  EXPECT_FALSE(sameSession.Connected());
}

TEST_F(DatabaseTest, DestroyedSessionDetachesItsDatabases) {
  auto* session = new TKivoSession();
  session->SetSessionName("Doomed");
  TKivoDatabase db;
  db.SetSessionName("Doomed");
  EXPECT_EQ(db.Session(), session);
  db.SetDatabaseName(dir.path());
  db.Open();
  delete session;
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Session(), nullptr);
  EXPECT_EQ(db.SessionName(), "");
}

TEST_F(DatabaseTest, LoadingDefersConnection) {
  auto form = Form("Form");
  auto* db = new TKivoDatabase(form.get());
  form->BeginLoading();
  db->SetConnected(true);
  db->SetDatabaseName(dir.path());
  EXPECT_FALSE(db->Connected());
  form->EndLoading();
  EXPECT_TRUE(db->Connected());
}

// A stand-in container store, so the single-file paths can be followed.
class FakeContainer : public TMemoryPlainFileSystem {
 public:
  FakeContainer(const std::string& name, bool readOnly, bool encrypted)
      : TMemoryPlainFileSystem(name, fsmSingleFile), read_only_(readOnly), encrypted_(encrypted) {}
  bool ReadOnly() const override { return read_only_; }
  bool Encrypted() const override { return encrypted_; }

 private:
  bool read_only_, encrypted_;
};

class ContainerDatabaseTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    TPFSManager::SetContainerStore(
        [](const std::string& name, const std::string& password, TDatabaseFileMode, bool readOnly,
           bool, bool createNew) -> std::unique_ptr<TAbstractPlainFileSystem> {
          if (createNew) WriteFileBytes(name, password.empty() ? "PLAIN" : "ENC:" + password);
          std::string content = ReadFileBytes(name);
          bool encrypted = content.rfind("ENC:", 0) == 0;
          if (encrypted && content != "ENC:" + password) throw Exception("wrong password");
          return std::make_unique<FakeContainer>(name, readOnly, encrypted);
        },
        [](const std::string& path) { return ReadFileBytes(path).rfind("ENC:", 0) == 0; });
  }
  void TearDown() override {
    RegisterContainerStore();  // the store this process runs with
    DatabaseTest::TearDown();
  }
};

TEST_F(ContainerDatabaseTest, OpeningAMissingFileCreatesIt) {
  std::string path = dir.file("new.kvb");
  TKivoDatabase db;
  db.SetDatabaseName("New");
  db.SetDatabaseFileName(path);
  db.Open();
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(ReadFileBytes(path), "PLAIN");
  EXPECT_EQ(db.Handle()->StoreMode(), fsmSingleFile);
  EXPECT_TRUE(db.Handle()->IsFileDatabase());
  EXPECT_NE(TPFSManager::Instance().FindPFS(path, fsmSingleFile), nullptr);
  db.Close();
  EXPECT_EQ(TPFSManager::Instance().FindPFS(path, fsmSingleFile), nullptr);  // released
}

TEST_F(ContainerDatabaseTest, SameFileUnderTwoNamesSharesOneManager) {
  std::string path = dir.file("shared.kvb");
  TKivoDatabase a, b;
  a.SetDatabaseName("First");
  a.SetDatabaseFileName(path);
  b.SetDatabaseName("Second");
  b.SetDatabaseFileName(path);
  a.Open();
  b.Open();
  EXPECT_EQ(a.Handle(), b.Handle());
  TTestDataset ds;
  ds.SetDatabaseName("Second");
  ds.Open();
  a.Close();
  EXPECT_TRUE(ds.Active());
  EXPECT_NE(TPFSManager::Instance().FindPFS(path, fsmSingleFile), nullptr);
}

TEST_F(ContainerDatabaseTest, PasswordsAndEncryption) {
  std::string path = dir.file("enc.kvb");
  TKivoDatabase db;
  db.SetDatabaseName("Enc");
  db.SetPassword("pw");
  db.CreateDatabase(path);
  EXPECT_FALSE(db.Connected());
  EXPECT_TRUE(db.Encrypted());  // read from the file while disconnected

  db.SetPassword("bad");
  EXPECT_EQ(MessageOf([&] { db.Open(); }),
            "TKivoDatabase.Open - Invalid password or corrupted database file.");
  EXPECT_FALSE(db.Connected());
  db.SetPassword("pw");
  db.Open();
  EXPECT_TRUE(db.Encrypted());
  EXPECT_EQ(db.Password(), "pw");
}

TEST_F(ContainerDatabaseTest, WriteProtectedContainerOpensReadOnly) {
  std::string path = dir.file("ro.kvb");
  WriteFileBytes(path, "PLAIN");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  TKivoDatabase db;
  db.SetDatabaseName("Ro");
  db.SetDatabaseFileName(path);
  db.Open();
  EXPECT_TRUE(db.ReadOnly());
  TTestDataset ds;
  ds.SetDatabaseName("Ro");
  ds.Open();
  EXPECT_TRUE(ds.ReadOnly());
}

TEST_F(ContainerDatabaseTest, CreatingWhileDataSetsAreConnectedIsRefused) {
  std::string path = dir.file("busy.kvb");
  TKivoDatabase db;
  db.SetDatabaseName("Busy");
  db.SetDatabaseFileName(path);
  db.Open();
  TTestDataset ds;
  ds.SetDatabaseName("Busy");
  ds.Open();
  TKivoDatabase other;
  other.SetDatabaseName("Other");
  other.SetDatabaseFileName(path);
  EXPECT_EQ(MessageOf([&] { other.CreateDatabase(); }),
            "TKivoDatabaseManager.CreateDatabase - Some datasets are connected.");
  EXPECT_FALSE(other.Connected());
  EXPECT_TRUE(ds.Active());
}

}  // namespace
}  // namespace kivo
