#include "engine/record_journal.h"

#include <algorithm>
#include <cstring>

#include "storage/crypto/hash.h"

namespace kivo {

namespace {
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::uint32_t GetU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}
std::int32_t GetI32(const std::uint8_t* p) { return static_cast<std::int32_t>(GetU32(p)); }
}  // namespace

TkrJournalWriter::TkrJournalWriter(const TkrJournalIdentity& identity) : identity_(identity) {
  bytes_.reserve(kJournalHeaderSize + 4);
  for (const char c : kJournalMagic) bytes_.push_back(static_cast<std::uint8_t>(c));
  PutU32(bytes_, static_cast<std::uint32_t>(identity.RecordSize));
  PutU32(bytes_, static_cast<std::uint32_t>(identity.DataOffset));
  PutU32(bytes_, static_cast<std::uint32_t>(identity.ChangeCount));
  PutU32(bytes_, static_cast<std::uint32_t>(identity.RecordCount));
  PutU32(bytes_, 0);  // the count, set by Finish
}

void TkrJournalWriter::Add(std::int32_t recNo, const std::uint8_t* image) {
  PutU32(bytes_, static_cast<std::uint32_t>(recNo));
  const std::size_t at = bytes_.size();
  bytes_.resize(at + static_cast<std::size_t>(identity_.RecordSize));
  std::memcpy(bytes_.data() + at, image, static_cast<std::size_t>(identity_.RecordSize));
  ++count_;
}

std::vector<std::uint8_t> TkrJournalWriter::Finish() {
  const auto n = static_cast<std::uint32_t>(count_);
  for (int i = 0; i < 4; ++i) bytes_[20 + i] = static_cast<std::uint8_t>(n >> (8 * i));
  PutU32(bytes_, THash_CRC32::Value(bytes_.data(), bytes_.size()));
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
  if (GetI32(p + 4) != expected.RecordSize || GetI32(p + 8) != expected.DataOffset ||
      GetI32(p + 12) != expected.ChangeCount || GetI32(p + 16) != expected.RecordCount) {
    return std::nullopt;
  }
  const std::uint32_t count = GetU32(p + 20);
  const std::uint64_t entry = static_cast<std::uint64_t>(expected.RecordSize) + 4;
  if (count > static_cast<std::uint32_t>(expected.RecordCount) ||
      bytes.size() != kJournalHeaderSize + std::uint64_t{count} * entry + 4) {
    return std::nullopt;
  }
  const std::size_t body = bytes.size() - 4;
  if (THash_CRC32::Value(p, body) != GetU32(p + body)) return std::nullopt;
  TkrJournalImages result;
  result.RecNos.reserve(count);
  result.Images.reserve(static_cast<std::size_t>(count) *
                        static_cast<std::size_t>(expected.RecordSize));
  const std::uint8_t* e = p + kJournalHeaderSize;
  for (std::uint32_t i = 0; i < count; ++i, e += entry) {
    const std::int32_t recNo = GetI32(e);
    if (recNo < 0 || recNo >= expected.RecordCount ||
        (!result.RecNos.empty() && recNo <= result.RecNos.back())) {
      return std::nullopt;
    }
    result.RecNos.push_back(recNo);
    result.Images.insert(result.Images.end(), e + 4, e + entry);
  }
  return result;
}

}  // namespace kivo
