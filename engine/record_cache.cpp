#include "engine/record_cache.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/memory_status.h"

namespace kivo {

TRecordsPage::TRecordsPage(std::int32_t maxRecordCount, std::int32_t recordSize)
    : max_record_count_(maxRecordCount), record_size_(recordSize) {
  std::int64_t bytes = std::int64_t{maxRecordCount} * recordSize;
  if (maxRecordCount <= 0 || recordSize <= 0 ||
      bytes > std::max<std::int64_t>(TkrRecordsArray::kMaxPageBytes, recordSize)) {
    throw Exception("TRecordsPage.SetMaxRecordCount - Unable to realloc memory.");
  }
  buffer_.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(bytes)]);
  if (!buffer_) throw Exception("TRecordsPage.SetMaxRecordCount - Unable to realloc memory.");
}

void TRecordsPage::Reset(std::int32_t pageNo, std::int32_t startRecNo, std::uint32_t now) {
  page_no_ = pageNo;
  access_count_ = 0;
  last_access_ = now;
  start_rec_no_ = startRecNo;
  record_count_ = 0;
}

void TRecordsPage::ReadRecords(TkrRecordSource& source, std::int32_t count) {
  if (count > max_record_count_) {
    throw Exception("TRecordsPage.ReadRecords - Cannot read so many records.");
  }
  record_count_ = 0;
  if (count > 0) source.ReadRecordImages(start_rec_no_, count, buffer_.get());
  record_count_ = std::max(0, count);
}

std::uint8_t* TRecordsPage::GetRecordPtr(std::int32_t recNo) {
  if (!Holds(recNo)) throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
  return buffer_.get() + static_cast<std::size_t>(recNo - start_rec_no_) * record_size_;
}

void TRecordsPage::AppendRecord(const void* image) {
  if (Full()) throw Exception("TRecordsPage.AppendRecord - Page overflow.");
  std::memcpy(buffer_.get() + static_cast<std::size_t>(record_count_) * record_size_, image,
              static_cast<std::size_t>(record_size_));
  ++record_count_;
}

void TRecordsPage::DeleteLastRecord() {
  if (record_count_ == 0) throw Exception("TRecordsPage.DeleteLastRecord - Page is already empty.");
  --record_count_;
}

// ---------------------------------------------------------------------------

TkrRecordsArray::TkrRecordsArray(TkrRecordSource& source, std::int32_t recordSize,
                                 std::int32_t recordsPerPageHint, bool cacheDisabled)
    : source_(source),
      record_size_(std::max(1, recordSize)),
      records_per_page_hint_(recordsPerPageHint),
      cache_disabled_(cacheDisabled),
      ticks_(GetTickCount) {
  Configure();
}

void TkrRecordsArray::Configure() {
  const std::int32_t count = source_.TableRecordCount();
  if (whole_table_mode_ &&
      (cache_disabled_ || AvailablePhysicalMemory() / 3 / static_cast<std::uint64_t>(record_size_) <
                              static_cast<std::uint64_t>(std::max(0, count)))) {
    whole_table_mode_ = false;
  }
  if (whole_table_mode_) {
    std::int64_t perPage = records_per_page_hint_ == -1 ? 1000 : records_per_page_hint_ / 3 + 1;
    perPage = std::clamp<std::int64_t>(perPage, 1,
                                       std::max<std::int64_t>(1, kMaxPageBytes / record_size_));
    records_per_page_ = static_cast<std::int32_t>(perPage);
    page_slot_count_ = kWholeTableSlots;
    if (std::int64_t{kWholeTableSlots} * records_per_page_ < count) whole_table_mode_ = false;
  }
  if (!whole_table_mode_) {
    records_per_page_ = 1;
    page_slot_count_ = kRecordPerPageSlots;
  }
  slots_.clear();
  slots_.resize(static_cast<std::size_t>(page_slot_count_));
  page_map_.Clear();
  last_page_ = -1;
  need_reconfigure_ = false;
}

bool TkrRecordsArray::AnyPageLocked() const {
  for (const auto& page : slots_) {
    if (page && page->LockCount() > 0) return true;
  }
  return false;
}

void TkrRecordsArray::ReconfigureIfNeeded() {
  if (need_reconfigure_ && whole_table_mode_ && !AnyPageLocked()) {
    whole_table_mode_ = false;
    Configure();
  }
}

void TkrRecordsArray::ReserveWholeTable(std::int32_t count) {
  if (!whole_table_mode_ || std::int64_t{kWholeTableSlots} * records_per_page_ >= count ||
      AnyPageLocked())
    return;
  const std::int64_t perPage = std::int64_t{count} * 2 / kWholeTableSlots + 1;
  records_per_page_hint_ =
      static_cast<std::int32_t>(std::min<std::int64_t>(perPage * 3, INT32_MAX));
  Configure();
}

std::int32_t TkrRecordsArray::GetPageToUse(std::int32_t pageNo) {
  const std::uint32_t now = ticks_();
  std::int32_t chosen = -1;
  std::int32_t candidate = -1;
  std::uint32_t candidateAge = 0;
  for (std::int32_t slot = 0; slot < page_slot_count_; ++slot) {
    if (slot == last_page_) continue;
    auto& page = slots_[static_cast<std::size_t>(slot)];
    if (!page) {
      page = std::make_unique<TRecordsPage>(records_per_page_, record_size_);
      chosen = slot;
      break;
    }
    if (page->LockCount() > 0) continue;
    if (page->PageNo() == -1) {
      chosen = slot;
      break;
    }
    const std::uint32_t age = now - page->LastAccess();
    if (candidate == -1 || (age > 100 && age > candidateAge)) {
      candidate = slot;
      candidateAge = age;
    }
  }
  if (chosen == -1) chosen = candidate;
  if (chosen == -1) throw Exception("TkrRecordsArray.GetPageToUse - There are no free pages.");
  TRecordsPage* page = SlotPage(chosen);
  if (page->PageNo() != -1) {
    page_map_.Delete(page->PageNo());
    need_reconfigure_ = true;
  }
  page_map_.Add(pageNo, chosen);
  page->Reset(pageNo, pageNo * records_per_page_, now);
  return chosen;
}

std::int32_t TkrRecordsArray::RecordsInPage(std::int32_t pageNo) const {
  std::int64_t start = std::int64_t{pageNo} * records_per_page_;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(source_.TableRecordCount() - start, 0, records_per_page_));
}

std::int32_t TkrRecordsArray::LoadPage(std::int32_t pageNo) {
  std::int32_t slot = GetPageToUse(pageNo);
  try {
    SlotPage(slot)->ReadRecords(source_, RecordsInPage(pageNo));
  } catch (...) {
    // A page that could not be read (damaged or wrongly keyed records) must
    // not stay mapped with stale content.
    page_map_.Delete(pageNo);
    SlotPage(slot)->MarkFree();
    if (slot == last_page_) last_page_ = -1;
    throw;
  }
  return slot;
}

void TkrRecordsArray::EnsureLastPage() {
  if (last_page_ != -1) return;
  const std::int32_t count = source_.TableRecordCount();
  if (whole_table_mode_ && std::int64_t{kWholeTableSlots} * records_per_page_ < count) {
    need_reconfigure_ = true;
    ReconfigureIfNeeded();
  }
  std::int32_t pageNo = count <= 0 ? 0 : (count - 1) / records_per_page_;
  std::int32_t slot = page_map_.ValueOf(pageNo);
  if (slot < 0) slot = LoadPage(pageNo);
  last_page_ = slot;
}

std::uint8_t* TkrRecordsArray::GetRecordPtr(std::int32_t recNo) {
  if (recNo < 0 || recNo >= source_.TableRecordCount()) {
    throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
  }
  EnsureLastPage();
  std::int32_t pageNo = recNo / records_per_page_;
  std::int32_t slot = page_map_.ValueOf(pageNo);
  if (slot < 0) slot = LoadPage(pageNo);
  TRecordsPage* page = SlotPage(slot);
  page->Touch(AccessTime(*page));
  return page->GetRecordPtr(recNo);
}

void TkrRecordsArray::AppendRecord(const void* image) {
  ReconfigureIfNeeded();
  EnsureLastPage();
  TRecordsPage* page = SlotPage(last_page_);
  if (page->Full()) {
    std::int32_t next = page->PageNo() + 1;
    std::int32_t slot = page_map_.ValueOf(next);
    if (slot < 0) slot = GetPageToUse(next);
    last_page_ = slot;
    page = SlotPage(slot);
  }
  page->AppendRecord(image);
  page->Touch(AccessTime(*page));
}

void TkrRecordsArray::RecordsAppended(const std::uint8_t* images, std::int32_t count) {
  const std::int32_t old = source_.TableRecordCount();
  const std::int32_t slot = page_map_.ValueOf(old <= 0 ? 0 : (old - 1) / records_per_page_);
  if (slot >= 0) {
    // Only this page can be short of records: every other mapped page lies
    // before it and is full.
    TRecordsPage* page = SlotPage(slot);
    for (std::int32_t k = 0; k < count && !page->Full(); ++k)
      page->AppendRecord(images + static_cast<std::size_t>(k) * record_size_);
  }
  last_page_ = -1;
}

void TkrRecordsArray::DeleteRecord(std::int32_t recNo, const void* lastImage) {
  const std::int32_t count = source_.TableRecordCount();  // the old last position
  if (recNo != count) {
    std::int32_t slot = page_map_.ValueOf(recNo / records_per_page_);
    if (slot >= 0 && SlotPage(slot)->Holds(recNo)) {
      std::memcpy(SlotPage(slot)->GetRecordPtr(recNo), lastImage,
                  static_cast<std::size_t>(record_size_));
    }
  }
  std::int32_t oldLastPage = count / records_per_page_;
  std::int32_t slot = page_map_.ValueOf(oldLastPage);
  if (slot >= 0) {
    TRecordsPage* page = SlotPage(slot);
    if (page->Holds(count)) page->DeleteLastRecord();
    if (page->RecordCount() == 0 && oldLastPage != 0 && page->LockCount() == 0) {
      page_map_.Delete(oldLastPage);
      page->MarkFree();
    }
  }
  last_page_ = page_map_.ValueOf(count <= 0 ? 0 : (count - 1) / records_per_page_);
}

void TkrRecordsArray::LockRecordPage(std::int32_t recNo) {
  GetRecordPtr(recNo);
  std::int32_t slot = page_map_.ValueOf(recNo / records_per_page_);
  if (slot < 0) throw Exception("TkrRecordsArray.LockRecordPage - Page is already unloaded.");
  SlotPage(slot)->Lock();
}

void TkrRecordsArray::UnlockRecordPage(std::int32_t recNo) {
  std::int32_t slot = recNo < 0 ? -1 : page_map_.ValueOf(recNo / records_per_page_);
  if (slot < 0) throw Exception("TkrRecordsArray.UnlockRecordPage - Page is already unloaded.");
  SlotPage(slot)->Unlock();
}

std::int32_t TkrRecordsArray::CachedRecordCount() const {
  std::int32_t n = 0;
  for (const auto& page : slots_) {
    if (page && page->PageNo() != -1) n += page->RecordCount();
  }
  return n;
}

void TkrRecordsArray::CheckInvariants() const {
#ifndef NDEBUG
  page_map_.CheckInvariants();
  const std::int32_t count = source_.TableRecordCount();
  std::int32_t mapped = 0;
  for (std::int32_t slot = 0; slot < static_cast<std::int32_t>(slots_.size()); ++slot) {
    const TRecordsPage* page = slots_[static_cast<std::size_t>(slot)].get();
    if (!page || page->PageNo() == -1) {
      assert(!page || page->LockCount() == 0);
      continue;
    }
    ++mapped;
    assert(page_map_.ValueOf(page->PageNo()) == slot);
    assert(page->StartRecNo() == page->PageNo() * records_per_page_);
    std::int64_t expected =
        std::clamp<std::int64_t>(count - page->StartRecNo(), 0, records_per_page_);
    assert(page->RecordCount() == expected);
    assert(page->LockCount() >= 0);
  }
  assert(mapped == page_map_.Count());
  if (last_page_ != -1) {
    const TRecordsPage* last = slots_[static_cast<std::size_t>(last_page_)].get();
    assert(last && last->PageNo() == (count <= 0 ? 0 : (count - 1) / records_per_page_));
  }
#endif
}

}  // namespace kivo
