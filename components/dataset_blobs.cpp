// The cursor's BLOB fields: one memory stream per BLOB field of the record
// in the active buffer (a slot), loaded from the table on first use and
// written back when the record is posted, and the null bits that follow the
// streams.
#include "components/kivo_dataset.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "platform/errors.h"

namespace kivo {

void TKivoDataset::FreeBlobSlots() {
  for (BlobSlot& slot : blob_slots_) {
    slot.stream.reset();
    slot.changed = false;
  }
}

// The slot's stream, rewound. While a record is edited or inserted the slot
// keeps what was written to it; otherwise it is read afresh from the table
// on every open, since the buffer may hold another record than last time
// (calculated fields, the filter event) and other data sets change values.
// A record being inserted has no stored value: its stream starts empty.
TMemoryStream* TKivoDataset::BlobFieldStream(int field, bool writing) {
  TCriticalSectionGuard guard(Lock());
  if (!table_opened_)
    throw Exception("Error in TKivoDataSet.InternalCreateBLOBStream - table is not opened.");
  const std::uint8_t* record = GetActiveRecordBuffer();
  if (!record || field < 0 || static_cast<std::size_t>(field) >= blob_slots_.size()) return nullptr;
  BlobSlot& slot = blob_slots_[static_cast<std::size_t>(field)];
  const bool inserting = State() == dsInsert || inserting_;
  const bool editing = inserting || State() == dsEdit;
  if (slot.stream && !editing && !slot.changed) slot.stream.reset();
  if (!slot.stream) {
    slot.stream = std::make_unique<TMemoryStream>();
    slot.changed = false;
    if (!writing && !inserting) {
      const std::int32_t pos = list_->RecordPositionOfId(BufferId(record));
      if (pos >= 0) data_manager_->ReadBLOBValue(slot.stream.get(), field, pos);
    }
  } else if (writing) {
    slot.stream->Clear();
  }
  if (writing) slot.changed = true;
  slot.stream->Seek(0, TStream::kFromBeginning);
  return slot.stream.get();
}

void TKivoDataset::BlobFieldChanged(int field) {
  if (field >= 0 && static_cast<std::size_t>(field) < blob_slots_.size())
    blob_slots_[static_cast<std::size_t>(field)].changed = true;
  if (field < 0 || field >= Fields().Count()) return;
  TField* f = Fields().FieldByNumber(field + 1);
  if (f && State() != dsCalcFields && State() != dsFilter && State() != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(f));
}

// The field's null bit follows its stream: a written value is not null, an
// empty one is.
void TKivoDataset::BlobStreamClosed(int field) {
  std::uint8_t* record = GetActiveRecordBuffer();
  if (!record || field < 0 || static_cast<std::size_t>(field) >= blob_slots_.size()) return;
  const BlobSlot& slot = blob_slots_[static_cast<std::size_t>(field)];
  if (slot.stream) SetFieldNull(data_manager_->Layout(), record, field, slot.stream->Size() == 0);
}

void TKivoDataset::CloseBlob(TField* field) {
  TCriticalSectionGuard guard(Lock());
  if (table_opened_ && field) BlobStreamClosed(TableFieldNo(field));
}

std::unique_ptr<TStream> TKivoDataset::CreateBlobStream(TField* field, int mode) {
  TCriticalSectionGuard guard(Lock());
  if (mode != kBlobRead && ReadOnly())
    throw Exception("Error in TKivoDataset.CreateBlobStream - Dataset is read only!");
  if (!table_opened_)
    throw Exception("Error in TKivoDataSet.InternalCreateBLOBStream - table is not opened.");
  return std::make_unique<TKivoBlobStream>(*this, TableFieldNo(field), mode);
}

void TKivoDataset::SetBlobNullBits(std::uint8_t* buffer) {
  for (std::size_t f = 0; f < blob_slots_.size(); ++f) {
    const BlobSlot& slot = blob_slots_[f];
    if (slot.stream)
      SetFieldNull(data_manager_->Layout(), buffer, static_cast<std::int32_t>(f),
                   slot.stream->Size() == 0);
  }
}

void TKivoDataset::WriteBlobSlots(std::int32_t recPos) {
  for (std::size_t f = 0; f < blob_slots_.size(); ++f) {
    BlobSlot& slot = blob_slots_[f];
    if (!slot.stream) continue;
    slot.stream->Seek(0, TStream::kFromBeginning);
    data_manager_->WriteBLOBValue(slot.stream.get(), static_cast<int>(f), recPos);
  }
}

}  // namespace kivo
