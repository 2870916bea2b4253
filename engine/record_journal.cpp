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

std::vector<std::uint8_t> TkrJournalWriter::Finish() {
  StoreLE<std::int32_t>(bytes_.data() + kJournalCountOffset, count_);
  AppendLE<std::uint32_t>(bytes_, THash_CRC32::Value(bytes_.data(), bytes_.size()));
  return std::move(bytes_);
}

const std::uint8_t* TkrJournalImages::Find(std::int32_t recNo, std::int32_t recordSize) const {
  const auto it = std::lower_bound(RecNos.begin(), RecNos.end(), recNo);
  if (it == RecNos.end() || *it != recNo) return nullptr;
  return Image(static_cast<std::size_t>(it - RecNos.begin()), recordSize);
}

std::int64_t MaxJournalSize(const TkrJournalIdentity& identity) {
  return static_cast<std::int64_t>(kJournalHeaderSize) + 4 +
         std::int64_t{std::max(identity.RecordCount, 0)} * (std::int64_t{identity.RecordSize} + 4);
}

std::optional<TkrJournalImages> ParseJournal(const std::vector<std::uint8_t>& bytes,
                                             const TkrJournalIdentity& expected) {
  if (expected.RecordSize <= 0 || expected.RecordCount <= 0 ||
      bytes.size() < kJournalHeaderSize + 4 || std::memcmp(bytes.data(), kJournalMagic, 4) != 0) {
    return std::nullopt;
  }
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
  if (count > static_cast<std::uint32_t>(expected.RecordCount) ||
      bytes.size() != kJournalHeaderSize + std::uint64_t{count} * entry + 4) {
    return std::nullopt;
  }
  const std::size_t body = bytes.size() - 4;
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
  return result;
}

}  // namespace kivo
