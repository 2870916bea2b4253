// Test helpers for BLOB tables: a table "t" with an INTEGER field and two
// BLOB fields (a BLOB and a MEMO) on a disk directory, in memory or in a
// .kvb container, and value generators.
#pragma once

#include <gtest/gtest.h>

#include <zlib.h>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dataset/field_defs.h"
#include "engine/data_manager.h"
#include "engine/table_test_support.h"
#include "platform/errors.h"
#include "storage/container/pagy_file_system.h"
#include "storage/file_layer.h"
#include "testing/test_support.h"

namespace kivo::testing {

enum class Store { kDirectory, kMemory, kContainer };

inline const char* StoreName(Store s) {
  switch (s) {
    case Store::kDirectory:
      return "Directory";
    case Store::kMemory:
      return "Memory";
    default:
      return "Container";
  }
}

using BlobPlainStore = TPlainTableFileStore;

// Field numbers of the BLOB test table.
constexpr int kIntField = 0;
constexpr int kBlobField = 1;
constexpr int kMemoField = 2;

class BlobTable {
 public:
  BlobTable(Store store, const TempDir& dir, std::string password = "", std::uint8_t level = 0,
            std::int32_t blockSize = 512)
      : password_(std::move(password)), level_(level), block_size_(blockSize) {
    switch (store) {
      case Store::kDirectory:
        fs_ = std::make_unique<TDiskPlainFileSystem>(dir.path());
        break;
      case Store::kMemory:
        fs_ = std::make_unique<TMemoryPlainFileSystem>(dir.path() + "#mem");
        break;
      case Store::kContainer:
        fs_ = std::make_unique<TPagyPlainFileSystem>(dir.file("db.kvb"), "", dfmNormal, false,
                                                     false, true);
        break;
    }
    store_ = std::make_unique<BlobPlainStore>(*fs_, dir.path() + "/" + StoreName(store));
  }
  ~BlobTable() {
    try {
      Drop();
    } catch (const std::exception&) {
    }
  }

  void Create() {
    TDataManagerHold c(krGetDataManager("t", store_.get()));
    c->SetPassword(password_);
    c->SetEncrypted(!password_.empty());
    c->SetBLOBCompression(level_);
    c->SetBLOBBlockSize(block_size_);
    TFieldDefs fields;
    fields.Add("a", ftInteger);
    fields.Add("pic", ftBlob);
    fields.Add("memo", ftMemo);
    c->CreateTable(fields, TIndexDefs(), false, 1000);
  }
  std::int8_t Open() {
    Drop();
    m = krGetDataManager("t", store_.get());
    m->SetPassword(password_);
    return m->OpenTable();
  }
  void Drop() {
    TDataManagerHold old(m);
    m = nullptr;
    if (old) old->CloseTable();
  }

  // A whole file of the table's store, and replacing one.
  std::string GetFile(const std::string& name) {
    TAbstractFile* f = fs_->OpenFile(name, false, false, true);
    std::string bytes(static_cast<std::size_t>(f->GetSize()), '\0');
    f->Seek(0, TAbstractFile::kFromBeginning);
    if (!bytes.empty()) f->ReadBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    fs_->CloseFile(f);
    return bytes;
  }
  void PutFile(const std::string& name, const std::string& bytes) {
    TAbstractFile* f = fs_->OpenFile(name, true, false, false);
    f->SetSize(0);
    if (!bytes.empty()) f->WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    fs_->CloseFile(f);
  }

  // Appends a record with identifier `id`; returns its position.
  std::int32_t Insert(std::uint32_t id) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(m->RecordSize()) + 8, 0);
    std::memcpy(buf.data() + m->FieldOffset(kIntField), &id, 4);
    SetRecordId(m->Layout(), buf.data(), id);
    m->InsertRecord(buf.data(), 0);
    return m->RecordCount() - 1;
  }
  void Write(int field, std::int32_t pos, const std::vector<std::uint8_t>& value) {
    TMemoryStream s;
    if (!value.empty()) s.Write(value.data(), static_cast<std::int32_t>(value.size()));
    m->WriteBLOBValue(&s, field, pos);
  }
  std::vector<std::uint8_t> Read(int field, std::int32_t pos) {
    TMemoryStream s;
    s.Write("junk", 4);
    m->ReadBLOBValue(&s, field, pos);
    EXPECT_EQ(s.Position(), 0);
    return s.Bytes();
  }
  const TkrBLOBHeader& Header(int field, std::int32_t pos) const {
    const TkrBLOBDirectory* d = m->BLOBDirectory();
    const std::int32_t k = field == kBlobField ? 0 : 1;
    return d->Headers[static_cast<std::size_t>(d->Map[pos]) + static_cast<std::size_t>(k)];
  }

  std::string password_;
  std::uint8_t level_;
  std::int32_t block_size_;
  std::unique_ptr<TAbstractPlainFileSystem> fs_;
  std::unique_ptr<BlobPlainStore> store_;
  TKivoDataManager* m = nullptr;
};

// `size` bytes of word-like text (compressible), varied by `seed`.
inline std::vector<std::uint8_t> TextValue(std::size_t size, std::uint32_t seed) {
  static const char* const words[] = {"blob ",  "table ", "record ", "value ", "kivo ",
                                      "block ", "part ",  "free ",   "list ",  "map\r\n"};
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v;
  v.reserve(size + 8);
  while (v.size() < size) {
    const char* w = words[rng() % 10];
    v.insert(v.end(), w, w + std::strlen(w));
    if (rng() % 7 == 0) v.push_back(static_cast<std::uint8_t>('0' + rng() % 10));
  }
  v.resize(size);
  return v;
}

// `size` random bytes (incompressible).
inline std::vector<std::uint8_t> RandomValue(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v(size);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

inline std::vector<std::uint8_t> ToBytes(const std::string& s) {
  return std::vector<std::uint8_t>(s.begin(), s.end());
}
inline std::string ToString(const std::vector<std::uint8_t>& b) {
  return std::string(b.begin(), b.end());
}

// The directory image inside a T.bif (4-byte length, zlib stream), read
// with zlib itself.
inline std::vector<std::uint8_t> ImageOf(const std::string& bif) {
  const std::vector<std::uint8_t> content = ToBytes(bif);
  const auto length = static_cast<uLongf>(GetI32(content, 0));
  std::vector<std::uint8_t> image(length);
  uLongf produced = length;
  EXPECT_EQ(uncompress(image.data(), &produced, content.data() + 4, content.size() - 4), Z_OK);
  EXPECT_EQ(produced, length);
  return image;
}

// A T.bif for a directory image, compressed with zlib itself.
inline std::string BifOf(const std::vector<std::uint8_t>& image) {
  uLongf size = compressBound(image.size());
  std::vector<std::uint8_t> packed(size + 4);
  EXPECT_EQ(compress2(packed.data() + 4, &size, image.data(), image.size(), 1), Z_OK);
  packed.resize(size + 4);
  PutI32(packed, 0, static_cast<std::int32_t>(image.size()));
  return ToString(packed);
}

}  // namespace kivo::testing
