#include "engine/blob_directory.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "platform/errors.h"
#include "platform/little_endian.h"
#include "storage/file_layer.h"

namespace kivo {

namespace {

using namespace blob_layout;

constexpr std::int32_t kMaxBlockSize = 1 << 24;

}  // namespace

std::int64_t TkrBLOBHeader::BlockTotal() const {
  std::int64_t total = 0;
  for (const TkrBLOBPart& p : Parts) total += p.BlockCount;
  return total;
}

void TkrBLOBHeader::Clear() {
  PartsOffset = 0;
  StoredSize = 0;
  ValueSize = 0;
  CheckString.clear();
  Parts.clear();
}

TkrBLOBDirectory::TkrBLOBDirectory(std::int32_t blockSize, std::int32_t blobFieldCount,
                                   double version) {
  FileHeader.BlockSize = blockSize;
  FileHeader.BlobFieldCount = blobFieldCount;
  FileHeader.Version = version;
}

TkrBLOBHeader& TkrBLOBDirectory::HeaderOf(std::int32_t recPos, std::int32_t k) {
  return Headers[static_cast<std::size_t>(Map[recPos]) + static_cast<std::size_t>(k)];
}

void TkrBLOBDirectory::AddRecord() {
  if (Map.Count() != FileHeader.BlobRecordCount)
    throw Exception(
        "TKivoDataManager.krAddBLOBRecord - blobMap.ItemCount <> blobFileHeader.RecordCount");
  Map.Append(static_cast<std::int32_t>(Headers.size()));
  Headers.resize(Headers.size() + static_cast<std::size_t>(FileHeader.BlobFieldCount));
  ++FileHeader.BlobRecordCount;
  Changed = true;
}

void TkrBLOBDirectory::DeleteRecord(std::int32_t recPos) {
  if (FileHeader.BlobRecordCount <= 0) return;
  for (std::int32_t k = 0; k < FileHeader.BlobFieldCount; ++k) {
    TkrBLOBHeader& h = HeaderOf(recPos, k);
    if (h.StoredSize > 0) Release(h);
  }
  const std::int32_t last = Map.Count() - 1;
  Map.Set(recPos, Map[last]);
  Map.Delete(last);
  --FileHeader.BlobRecordCount;
  Changed = true;
}

void TkrBLOBDirectory::Release(TkrBLOBHeader& header) {
  Free(header.Parts);
  header.Clear();
  Changed = true;
}

void TkrBLOBDirectory::Free(const std::vector<TkrBLOBPart>& parts) {
  for (TkrBLOBPart part : parts) {
    // Blocks appended since the last write are no value's on disk.
    if (part.FirstBlock < WrittenBlockCount) {
      const std::int32_t below = std::min(part.BlockCount, WrittenBlockCount - part.FirstBlock);
      HeldParts.push_back({part.FirstBlock, below});
      part.FirstBlock += below;
      part.BlockCount -= below;
    }
    if (part.BlockCount > 0) FreeParts.push_back(part);
  }
  FileHeader.FreePartCount = static_cast<std::int32_t>(FreeParts.size() + HeldParts.size());
  Changed = true;
}

void TkrBLOBDirectory::ImageWritten() {
  if (FileHeader.BlobRecordCount == 0) {
    // The writer emptied T.bdf with it.
    FreeParts.clear();
    HeldParts.clear();
    BlockCount = 0;
  } else {
    FreeParts.insert(FreeParts.end(), HeldParts.begin(), HeldParts.end());
    HeldParts.clear();
  }
  FileHeader.FreePartCount = static_cast<std::int32_t>(FreeParts.size());
  WrittenBlockCount = BlockCount;
  Changed = false;
}

std::vector<TkrBLOBPart> TkrBLOBDirectory::Allocate(std::int32_t blocks) {
  std::int64_t free = 0;
  for (const TkrBLOBPart& p : FreeParts) free += p.BlockCount;
  const std::int64_t grow = std::max<std::int64_t>(0, std::int64_t{blocks} - free);
  // Checked before anything is taken, so that a failure changes nothing.
  if (grow > 0 && (std::int64_t{BlockCount} + grow) * FileHeader.BlockSize > kMaxFilePosition)
    throw Exception("Error in TKivoDataManager.krWriteBLOBValue - the BLOB data file is full.");
  std::vector<TkrBLOBPart> parts;
  std::int32_t remaining = blocks;
  while (remaining > 0 && !FreeParts.empty()) {
    TkrBLOBPart& f = FreeParts.back();
    if (f.BlockCount > remaining) {
      parts.push_back({f.FirstBlock, remaining});
      f.FirstBlock += remaining;
      f.BlockCount -= remaining;
      remaining = 0;
    } else {
      parts.push_back(f);
      remaining -= f.BlockCount;
      FreeParts.pop_back();
    }
  }
  if (remaining > 0) {
    parts.push_back({BlockCount, remaining});
    BlockCount += remaining;
  }
  FileHeader.FreePartCount = static_cast<std::int32_t>(FreeParts.size() + HeldParts.size());
  Changed = true;
  return parts;
}

void TkrBLOBDirectory::Compact() {
  const auto fields = static_cast<std::size_t>(FileHeader.BlobFieldCount);
  if (Headers.size() == static_cast<std::size_t>(Map.Count()) * fields) {
    bool identity = true;
    for (std::int32_t p = 0; p < Map.Count() && identity; ++p)
      identity = static_cast<std::size_t>(Map[p]) == static_cast<std::size_t>(p) * fields;
    if (identity) return;
  }
  std::vector<TkrBLOBHeader> kept;
  kept.reserve(static_cast<std::size_t>(Map.Count()) * fields);
  for (std::int32_t p = 0; p < Map.Count(); ++p) {
    for (std::size_t k = 0; k < fields; ++k)
      kept.push_back(std::move(Headers[static_cast<std::size_t>(Map[p]) + k]));
    Map.Set(p, static_cast<std::int32_t>(static_cast<std::size_t>(p) * fields));
  }
  Headers = std::move(kept);
}

std::vector<std::uint8_t> TkrBLOBDirectory::EncodeImage() {
  Compact();
  FileHeader.BlobRecordCount = Map.Count();
  // Held blocks are free in the image: it no longer gives them to a value.
  // With no record left the writer empties T.bdf, and nothing is free.
  std::vector<TkrBLOBPart> free;
  if (Map.Count() > 0) {
    free = FreeParts;
    free.insert(free.end(), HeldParts.begin(), HeldParts.end());
  }
  FileHeader.FreePartCount = static_cast<std::int32_t>(FreeParts.size() + HeldParts.size());
  std::int64_t size = static_cast<std::int64_t>(kFileHeaderSize + Headers.size() * kHeaderSize +
                                                free.size() * kPartSize);
  for (const TkrBLOBHeader& h : Headers)
    if (h.StoredSize > 0) size += static_cast<std::int64_t>(h.Parts.size() * kPartSize);
  if (size > std::numeric_limits<std::int32_t>::max())
    throw Exception(
        "Error in TKivoDataManager.SaveBLOBDirectory - the BLOB directory is too large.");
  std::vector<std::uint8_t> image(static_cast<std::size_t>(size), 0);
  std::uint8_t* p = image.data();
  StoreLE<std::int32_t>(p + kBlockSize, FileHeader.BlockSize);
  StoreLE<std::int32_t>(p + kFreePartCount, static_cast<std::int32_t>(free.size()));
  StoreLE<std::int32_t>(p + kBlobFieldCount, FileHeader.BlobFieldCount);
  StoreLE<std::int32_t>(p + kBlobRecordCount, FileHeader.BlobRecordCount);
  StoreLE<double>(p + kVersion, FileHeader.Version);
  std::size_t partsAt = kFileHeaderSize + Headers.size() * kHeaderSize;
  for (std::size_t i = 0; i < Headers.size(); ++i) {
    TkrBLOBHeader& h = Headers[i];
    std::uint8_t* hp = p + kFileHeaderSize + i * kHeaderSize;
    if (h.StoredSize <= 0) {
      h.PartsOffset = 0;
      continue;  // written as zeros
    }
    h.PartsOffset = h.Parts.empty() ? 0 : static_cast<std::int32_t>(partsAt);
    StoreLE<std::int32_t>(hp + kPartCount, h.PartCount());
    StoreLE<std::int32_t>(hp + kPartsOffset, h.PartsOffset);
    StoreLE<std::int32_t>(hp + kStoredSize, h.StoredSize);
    StoreLE<std::int32_t>(hp + kValueSize, h.ValueSize);
    const std::size_t n = std::min(h.CheckString.size(), kMaxCheckStringLength);
    hp[kCheckString] = static_cast<std::uint8_t>(n);
    std::memcpy(hp + kCheckString + 1, h.CheckString.data(), n);
    for (const TkrBLOBPart& part : h.Parts) {
      StoreLE<std::int32_t>(p + partsAt, part.FirstBlock);
      StoreLE<std::int32_t>(p + partsAt + 4, part.BlockCount);
      partsAt += kPartSize;
    }
  }
  for (const TkrBLOBPart& part : free) {
    StoreLE<std::int32_t>(p + partsAt, part.FirstBlock);
    StoreLE<std::int32_t>(p + partsAt + 4, part.BlockCount);
    partsAt += kPartSize;
  }
  assert(partsAt == image.size());
  return image;
}

TkrBLOBDirectory TkrBLOBDirectory::DecodeImageLoosely(const std::uint8_t* image, std::size_t size) {
  if (size < kFileHeaderSize)
    throw EBLOBDirectoryError("the image of " + std::to_string(size) +
                              " bytes is shorter than its header");
  const TByteReader in(image, size);
  TkrBLOBDirectory d(in.At(kBlockSize).Read<std::int32_t>(),
                     in.At(kBlobFieldCount).Read<std::int32_t>(), in.At(kVersion).Read<double>());
  const auto freeCount = in.At(kFreePartCount).Read<std::int32_t>();
  const auto records = in.At(kBlobRecordCount).Read<std::int32_t>();
  const std::int32_t fields = d.FileHeader.BlobFieldCount;
  if (fields < 0) throw EBLOBDirectoryError("invalid BLOB field count " + std::to_string(fields));
  if (records < 0)
    throw EBLOBDirectoryError("invalid BLOB record count " + std::to_string(records));
  if (freeCount < 0)
    throw EBLOBDirectoryError("invalid free part count " + std::to_string(freeCount));
  if (records > 0 && fields == 0)
    throw EBLOBDirectoryError(std::to_string(records) + " BLOB records without BLOB fields");
  const auto total = static_cast<std::int64_t>(size);
  const std::int64_t headersEnd =
      static_cast<std::int64_t>(kFileHeaderSize) + std::int64_t{records} * fields * kHeaderSize;
  const std::int64_t freeStart =
      total - std::int64_t{freeCount} * static_cast<std::int64_t>(kPartSize);
  if (headersEnd > freeStart)
    throw EBLOBDirectoryError(std::to_string(records) + " records of " + std::to_string(fields) +
                              " headers and " + std::to_string(freeCount) +
                              " free parts do not fit an image of " + std::to_string(size) +
                              " bytes");
  const std::size_t headerCount =
      static_cast<std::size_t>(records) * static_cast<std::size_t>(fields);
  d.Headers.resize(headerCount);
  for (std::size_t i = 0; i < headerCount; ++i) {
    const std::size_t hp = kFileHeaderSize + i * kHeaderSize;
    TkrBLOBHeader& h = d.Headers[i];
    const auto partCount = in.At(hp + kPartCount).Read<std::int32_t>();
    h.PartsOffset = in.At(hp + kPartsOffset).Read<std::int32_t>();
    h.StoredSize = in.At(hp + kStoredSize).Read<std::int32_t>();
    h.ValueSize = in.At(hp + kValueSize).Read<std::int32_t>();
    TByteReader check = in.At(hp + kCheckString);
    const std::size_t n = std::min<std::size_t>(check.Read<std::uint8_t>(), kMaxCheckStringLength);
    const auto text = check.Bytes(n);
    h.CheckString.assign(text.begin(), text.end());
    if (partCount < 0)
      throw EBLOBDirectoryError("header " + std::to_string(i) + " has " +
                                std::to_string(partCount) + " parts");
    if (partCount == 0) continue;
    const std::int64_t end = std::int64_t{h.PartsOffset} + std::int64_t{partCount} * 8;
    if (h.PartsOffset < headersEnd || end > freeStart)
      throw EBLOBDirectoryError("the " + std::to_string(partCount) + " parts of header " +
                                std::to_string(i) + " at offset " + std::to_string(h.PartsOffset) +
                                " lie outside the part lists");
    h.Parts.resize(static_cast<std::size_t>(partCount));
    TByteReader parts = in.At(static_cast<std::size_t>(h.PartsOffset));
    for (TkrBLOBPart& part : h.Parts) {
      part.FirstBlock = parts.Read<std::int32_t>();
      part.BlockCount = parts.Read<std::int32_t>();
    }
  }
  d.Map.SetCount(records);
  for (std::int32_t p = 0; p < records; ++p) d.Map.Set(p, p * fields);
  d.FileHeader.BlobRecordCount = records;
  d.FreeParts.resize(static_cast<std::size_t>(freeCount));
  TByteReader freeParts = in.At(static_cast<std::size_t>(freeStart));
  for (TkrBLOBPart& part : d.FreeParts) {
    part.FirstBlock = freeParts.Read<std::int32_t>();
    part.BlockCount = freeParts.Read<std::int32_t>();
  }
  d.FileHeader.FreePartCount = freeCount;
  return d;
}

TkrBLOBDirectory TkrBLOBDirectory::DecodeImage(const std::uint8_t* image, std::size_t size,
                                               std::int32_t blobFieldCount,
                                               std::int32_t blockCount) {
  TkrBLOBDirectory d = DecodeImageLoosely(image, size);
  const std::string headerProblem = d.HeaderProblem(blobFieldCount);
  if (!headerProblem.empty()) throw EBLOBDirectoryError(headerProblem);
  d.BlockCount = blockCount;
  d.WrittenBlockCount = blockCount;
  std::vector<std::string> problems = d.Problems();
  if (!problems.empty()) throw EBLOBDirectoryError(problems.front());
  return d;
}

std::string TkrBLOBDirectory::HeaderProblem(std::int32_t blobFieldCount) const {
  if (FileHeader.BlockSize <= 0 || FileHeader.BlockSize > kMaxBlockSize)
    return "invalid block size " + std::to_string(FileHeader.BlockSize);
  if (FileHeader.BlobFieldCount != blobFieldCount)
    return "the directory has " + std::to_string(FileHeader.BlobFieldCount) +
           " BLOB fields, the table " + std::to_string(blobFieldCount);
  return {};
}

std::vector<std::string> TkrBLOBDirectory::Problems() const {
  std::vector<std::string> problems;
  struct Run {
    std::int64_t first, end;
    std::int32_t owner;  // header index, or -1 - free part index
  };
  std::vector<Run> runs;
  auto ownerText = [&](std::int32_t owner) {
    if (owner < 0) return "free part " + std::to_string(-1 - owner);
    const std::int32_t fields = std::max(FileHeader.BlobFieldCount, 1);
    return "record " + std::to_string(owner / fields) + " BLOB field " +
           std::to_string(owner % fields);
  };
  auto checkPart = [&](const TkrBLOBPart& part, std::int32_t owner) {
    if (part.FirstBlock < 0 || part.BlockCount <= 0 ||
        std::int64_t{part.FirstBlock} + part.BlockCount > BlockCount) {
      problems.push_back(ownerText(owner) + ": part of " + std::to_string(part.BlockCount) +
                         " blocks from block " + std::to_string(part.FirstBlock) +
                         " lies outside the " + std::to_string(BlockCount) +
                         " blocks of the data file");
      return;
    }
    runs.push_back({part.FirstBlock, std::int64_t{part.FirstBlock} + part.BlockCount, owner});
  };
  const std::int32_t fields = FileHeader.BlobFieldCount;
  for (std::int32_t p = 0; p < Map.Count(); ++p) {
    for (std::int32_t k = 0; k < fields; ++k) {
      const auto index = static_cast<std::size_t>(Map[p]) + static_cast<std::size_t>(k);
      if (index >= Headers.size()) continue;
      const TkrBLOBHeader& h = Headers[index];
      const std::int32_t owner = p * fields + k;
      if (h.StoredSize < 0 || h.ValueSize < 0) {
        problems.push_back(ownerText(owner) + ": invalid sizes, stored " +
                           std::to_string(h.StoredSize) + ", value " + std::to_string(h.ValueSize));
      }
      if (h.Parts.empty()) {
        // The writer zeroes the header of an empty value.
        if (h.StoredSize != 0 || h.ValueSize != 0)
          problems.push_back(ownerText(owner) + ": no parts but " + std::to_string(h.StoredSize) +
                             " stored bytes of a value of " + std::to_string(h.ValueSize));
        continue;
      }
      const std::size_t before = problems.size();
      for (const TkrBLOBPart& part : h.Parts) checkPart(part, owner);
      if (problems.size() != before) continue;
      if (h.StoredSize <= 0) {
        problems.push_back(ownerText(owner) + ": " + std::to_string(h.Parts.size()) +
                           " parts but no stored bytes");
      } else if (std::int64_t{h.StoredSize} > h.BlockTotal() * FileHeader.BlockSize) {
        problems.push_back(ownerText(owner) + ": " + std::to_string(h.StoredSize) +
                           " stored bytes do not fit its " + std::to_string(h.BlockTotal()) +
                           " blocks");
      }
    }
  }
  for (std::size_t j = 0; j < FreeParts.size(); ++j)
    checkPart(FreeParts[j], -1 - static_cast<std::int32_t>(j));
  for (std::size_t j = 0; j < HeldParts.size(); ++j)
    checkPart(HeldParts[j], -1 - static_cast<std::int32_t>(FreeParts.size() + j));
  // Used runs before free ones at the same block, so findings read the same every time.
  std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
    return a.first < b.first || (a.first == b.first && a.owner > b.owner);
  });
  for (std::size_t i = 1; i < runs.size(); ++i) {
    // Compare with the run reaching furthest so far, so that one long run
    // over several short ones reports each of them.
    const Run& prev = runs[i - 1];
    if (runs[i].first < prev.end) {
      const Run& a = prev;
      const Run& b = runs[i];
      const bool freeAndUsed = (a.owner < 0) != (b.owner < 0);
      problems.push_back(
          std::string(freeAndUsed ? "free and used blocks overlap: " : "block owned twice: ") +
          "block " + std::to_string(b.first) + " belongs to " + ownerText(a.owner) + " and " +
          ownerText(b.owner));
    }
    if (runs[i].end < prev.end) {
      runs[i].end = prev.end;
      runs[i].owner = prev.owner;
    }
  }
  return problems;
}

void TkrBLOBDirectory::CheckInvariants() const {
#ifndef NDEBUG
  assert(Map.Count() == FileHeader.BlobRecordCount);
  for (std::int32_t p = 0; p < Map.Count(); ++p)
    assert(static_cast<std::size_t>(Map[p]) + static_cast<std::size_t>(FileHeader.BlobFieldCount) <=
           Headers.size());
  assert(static_cast<std::size_t>(FileHeader.FreePartCount) == FreeParts.size() + HeldParts.size());
  // Invariant 3 on the directory as it stands; damage in a directory read
  // from disk is Problems()'s business, raised by DecodeImage.
  auto inside = [&](const TkrBLOBPart& part) {
    return part.FirstBlock >= 0 && part.BlockCount > 0 &&
           std::int64_t{part.FirstBlock} + part.BlockCount <= BlockCount;
  };
  for (std::int32_t p = 0; p < Map.Count(); ++p) {
    for (std::int32_t k = 0; k < FileHeader.BlobFieldCount; ++k) {
      const auto index = static_cast<std::size_t>(Map[p]) + static_cast<std::size_t>(k);
      for (const TkrBLOBPart& part : Headers[index].Parts) assert(inside(part));
    }
  }
  for (const TkrBLOBPart& part : FreeParts) assert(inside(part));
  for (const TkrBLOBPart& part : HeldParts) assert(inside(part));
#endif
}

}  // namespace kivo
