#include "engine/record_journal.h"

#include <algorithm>
#include <cstring>

#include "platform/little_endian.h"
#include "storage/crypto/hash.h"

namespace kivo {

TkrJournalWriter::TkrJournalWriter(const TkrJournalIdentity& identity) : identity_(identity) {
  bytes_.reserve(kJournalHeaderSize + 4);
  for (const char c : kJournalMagic) bytes_.push_back(static_cast<std::uint8_t>(c));
  AppendLE<std::int32_t>(bytes_, identity.RecordSize);
  AppendLE<std::int32_t>(bytes_, identity.DataOffset);
  AppendLE<std::int32_t>(bytes_, identity.ChangeCount);
  AppendLE<std::int32_t>(bytes_, identity.RecordCount);
  AppendLE<std::uint32_t>(bytes_, 0);  // the count, set by Finish
}

void TkrJournalWriter::Add(std::int32_t recNo, const std::uint8_t* image) {
  AppendLE<std::int32_t>(bytes_, recNo);
  const std::size_t at = bytes_.size();
  bytes_.resize(at + static_cast<std::size_t>(identity_.RecordSize));
  std::memcpy(bytes_.data() + at, image, static_cast<std::size_t>(identity_.RecordSize));
  ++count_;
}

std::vector<std::uint8_t> TkrJournalWriter::Finish(const std::vector<std::uint8_t>& header,
                                                   const std::vector<std::uint8_t>& directory) {
  StoreLE<std::int32_t>(bytes_.data() + kJournalCountOffset, count_);
  for (const std::vector<std::uint8_t>* part : {&header, &directory}) {
    AppendLE<std::uint32_t>(bytes_, static_cast<std::uint32_t>(part->size()));
    bytes_.insert(bytes_.end(), part->begin(), part->end());
  }
  AppendLE<std::uint32_t>(bytes_, THash_CRC32::Value(bytes_.data(), bytes_.size()));
  return std::move(bytes_);
}

const std::uint8_t* TkrJournalImages::Find(std::int32_t recNo, std::int32_t recordSize) const {
  const auto it = std::lower_bound(RecNos.begin(), RecNos.end(), recNo);
  if (it == RecNos.end() || *it != recNo) return nullptr;
  return Image(static_cast<std::size_t>(it - RecNos.begin()), recordSize);
}

std::optional<TkrJournalImages> ParseJournal(const std::vector<std::uint8_t>& bytes,
                                             const TkrJournalIdentity& expected) {
  if (expected.RecordSize <= 0 || expected.RecordCount < 0 ||
      bytes.size() < kJournalHeaderSize + 4) {
    return std::nullopt;
  }
  const bool current = std::memcmp(bytes.data(), kJournalMagic, 4) == 0;
  if (!current && std::memcmp(bytes.data(), kJournalMagicV1, 4) != 0) return std::nullopt;
  // The older form was only written for a table with records.
  if (!current && expected.RecordCount == 0) return std::nullopt;
  const std::uint8_t* p = bytes.data();
  TByteReader header(bytes, 4);
  if (header.Read<std::int32_t>() != expected.RecordSize ||
      header.Read<std::int32_t>() != expected.DataOffset ||
      header.Read<std::int32_t>() != expected.ChangeCount ||
      header.Read<std::int32_t>() != expected.RecordCount) {
    return std::nullopt;
  }
  const auto count = header.Read<std::uint32_t>();
  const std::uint64_t entry = static_cast<std::uint64_t>(expected.RecordSize) + 4;
  if (count > static_cast<std::uint32_t>(expected.RecordCount)) return std::nullopt;
  std::uint64_t end = kJournalHeaderSize + std::uint64_t{count} * entry;
  // The two parts after the images: their lengths say where the CRC is.
  std::uint64_t parts[2][2] = {{0, 0}, {0, 0}};  // offset, length
  if (current) {
    for (auto& part : parts) {
      if (end + 4 > bytes.size()) return std::nullopt;
      const std::uint64_t length = LoadLE<std::uint32_t>(p + end);
      end += 4;
      if (length > bytes.size() - end) return std::nullopt;
      part[0] = end;
      part[1] = length;
      end += length;
    }
  }
  if (end + 4 > bytes.size()) return std::nullopt;
  const auto body = static_cast<std::size_t>(end);
  if (THash_CRC32::Value(p, body) != LoadLE<std::uint32_t>(p + body)) return std::nullopt;
  TkrJournalImages result;
  result.RecNos.reserve(count);
  result.Images.reserve(static_cast<std::size_t>(count) *
                        static_cast<std::size_t>(expected.RecordSize));
  TByteReader entries(p, body, kJournalHeaderSize);
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto recNo = entries.Read<std::int32_t>();
    if (recNo < 0 || recNo >= expected.RecordCount ||
        (!result.RecNos.empty() && recNo <= result.RecNos.back())) {
      return std::nullopt;
    }
    result.RecNos.push_back(recNo);
    const auto image = entries.Bytes(static_cast<std::size_t>(expected.RecordSize));
    result.Images.insert(result.Images.end(), image.begin(), image.end());
  }
  if (current) {
    result.HasHeader = true;
    result.Header.assign(p + parts[0][0], p + parts[0][0] + parts[0][1]);
    result.Directory.assign(p + parts[1][0], p + parts[1][0] + parts[1][1]);
  }
  return result;
}

std::optional<TTableHeader> JournalledTableHeader(const TkrJournalImages& journal,
                                                  const TTableHeader& onDisk) {
  const std::size_t size = TableHeaderSizeOf(onDisk.Version);
  if (!journal.HasHeader || journal.Header.size() < size) return std::nullopt;
  TTableHeader next = DecodeTableHeader(journal.Header.data(), size, onDisk.Version);
  if (next.Version != onDisk.Version || next.FieldCount != onDisk.FieldCount) return std::nullopt;
  return next;
}

}  // namespace kivo
