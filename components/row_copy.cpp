// Copying the rows of a data set into this table: image to image between
// two tables of the engine, in blocks where no check against the table is
// needed, else field by field through the cursors.
#include "components/row_copy.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "components/kivo_table.h"
#include "dataset/data_link.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "platform/errors.h"

namespace kivo {

TCopyKind CopyKindOf(TFieldType type) {
  switch (type) {
    case ftString:
    case ftFixedChar:
      return TCopyKind::kString;
    case ftWideString:
      return TCopyKind::kWideString;
    case ftSmallint:
    case ftInteger:
    case ftWord:
      return TCopyKind::kInteger;
    case ftLargeint:
      return TCopyKind::kLargeInt;
    case ftBoolean:
      return TCopyKind::kBoolean;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      return TCopyKind::kFloat;
    case ftDate:
    case ftTime:
    case ftDateTime:
      return TCopyKind::kDateTime;
    case ftBytes:
      return TCopyKind::kBytes;
    case ftAutoInc:
      return TCopyKind::kIdentifier;
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
      return TCopyKind::kBlob;
    default:
      return TCopyKind::kNone;
  }
}

bool IsSourceBlob(TFieldType type) {
  return type == ftBlob || type == ftMemo || type == ftGraphic || type == ftFmtMemo;
}

void TKivoDataset::OpenForRows(std::int32_t rows) {
  // The page cache keeps a whole table in its pages when the hint says how
  // large it will be; without, a table that outgrows the default pages is
  // cached record by record.
  const std::int32_t saved = records_per_page_hint_;
  const std::int64_t wanted = std::int64_t{rows} * 3 / 50 + 3;
  if (wanted > records_per_page_hint_)
    records_per_page_hint_ = static_cast<std::int32_t>(std::min<std::int64_t>(wanted, INT32_MAX));
  try {
    Open();
  } catch (...) {
    records_per_page_hint_ = saved;
    throw;
  }
  records_per_page_hint_ = saved;
}

bool TKivoDataset::CopyRowImages(TKivoDataset& source, TRowCopy& copy) {
  TKivoDataManager* from = source.data_manager_;
  TKivoDataManager* to = data_manager_;
  if (!from || !source.list_) return false;
  struct Slot {
    std::int32_t from;  // table field numbers
    std::int32_t to;
    std::size_t fromSize;
    std::size_t toSize;
    bool blob;
  };
  std::vector<Slot> slots;
  bool copyId = false;
  for (const TRowCopy::Pair& pair : copy.pairs) {
    const std::int32_t f = source.TableFieldNo(pair.from);
    const std::int32_t t = TableFieldNo(pair.to);
    if (f < 0 || t < 0) {
      if (f >= 0 || t >= 0 || pair.kind != TCopyKind::kIdentifier) return false;
      copyId = true;
      continue;
    }
    const TFieldHeader& fh = from->FieldHeader(f);
    const TFieldHeader& th = to->FieldHeader(t);
    const bool blob = IsBLOBType(fh.FieldType) && IsBLOBType(th.FieldType);
    // Same stored form: equal types, and strings of any length (cut to fit).
    if (!blob && (fh.FieldType != th.FieldType ||
                  (fh.FieldSize != th.FieldSize && fh.FieldType != ftString)))
      return false;
    slots.push_back({f, t, static_cast<std::size_t>(fh.FieldSize),
                     static_cast<std::size_t>(th.FieldSize), blob});
  }
  bool blobs = false;
  for (const Slot& slot : slots) blobs = blobs || slot.blob;
  // Every field to the same field of an equal layout: the field data and
  // the null bitmap are copied in one piece.
  bool sameLayout = !blobs && from->Layout().FieldCount == to->Layout().FieldCount &&
                    from->Layout().DataSize == to->Layout().DataSize &&
                    from->Layout().NullBitmapSize == to->Layout().NullBitmapSize &&
                    static_cast<std::int32_t>(slots.size()) == to->Layout().FieldCount;
  for (std::size_t k = 0; sameLayout && k < slots.size(); ++k) {
    const Slot& slot = slots[k];
    const auto n = static_cast<std::int32_t>(k);
    sameLayout = slot.from == n && slot.to == n && slot.fromSize == slot.toSize &&
                 from->FieldOffset(n) == to->FieldOffset(n);
  }
  bool otherUnique = false;
  for (std::int32_t i = 1; i < to->IndexCount(); ++i)
    otherUnique = otherUnique || (to->IndexHeader(i).Options & (ixUnique | ixPrimary)) != 0;
  bool required = false;
  for (const TFieldHeader& h : to->FieldHeaders()) required = required || h.Required != 0;

  source.EnsureVisibleListCurrent();
  const TkrRecordLayout& fl = from->Layout();
  const TkrRecordLayout& tl = to->Layout();
  std::vector<std::uint8_t> blank(static_cast<std::size_t>(record_buffer_size_), 0);
  std::memset(blank.data() + tl.NullBitmapOffset, 0xFF,
              static_cast<std::size_t>(tl.NullBitmapSize));
  std::vector<std::uint8_t> buffer(blank.size());
  TMemoryStream stream;
  std::vector<std::uint8_t> held;
  // Rows that no check against the table's contents needs are stored in
  // blocks of about a megabyte; the others one by one, after the block
  // before them.
  const auto imageSize = static_cast<std::size_t>(tl.RecordSize);
  const std::int32_t blockRows =
      std::max<std::int32_t>(1, static_cast<std::int32_t>((std::size_t{1} << 20) / imageSize));
  std::vector<std::uint8_t> block;
  std::vector<std::int32_t> blockRowNumbers;  // for the log
  if (!blobs) block.reserve(static_cast<std::size_t>(blockRows) * imageSize);
  auto failed = [&](std::int32_t row) {
    if (!copy.log) throw;
    copy.success = false;
    *copy.log += "Insert records error, record number = !" + std::to_string(row + 1) + "\r\n";
  };
  auto storeBlock = [&] {
    if (blockRowNumbers.empty()) return;
    const auto n = static_cast<std::int32_t>(blockRowNumbers.size());
    bool stored = false;
    try {
      stored = to->AppendRecords(block.data(), n);
    } catch (const std::exception&) {
      for (const std::int32_t row : blockRowNumbers) failed(row);
      stored = true;
    }
    for (std::int32_t k = 0; !stored && k < n; ++k) {
      try {
        to->InsertRecord(block.data() + static_cast<std::size_t>(k) * imageSize, 0);
      } catch (const std::exception&) {
        failed(blockRowNumbers[static_cast<std::size_t>(k)]);
      }
    }
    block.clear();
    blockRowNumbers.clear();
  };
  // The list holds what the filter text lets through; the filter event is
  // asked row by row, as moving through the source would.
  const bool filterEvent = source.Filtered() && source.OnFilterRecord;
  // The highest identifier of the table and of the block waiting.
  std::int32_t last = to->LastAutoInc();
  double percent = 0;
  const std::int32_t count = source.list_->Count();
  for (std::int32_t i = 0; i < count; ++i) {
    if (OnProgress) OnProgress(*this, percent, copy.process);
    percent += 100.0 / copy.divisor;
    const std::int32_t pos = source.list_->RecordAt(i);
    const std::uint8_t* image = source.RecordImage(pos);
    if (filterEvent && !source.FilterRecordAccepts(image)) continue;
    if (blobs) {
      // Reading BLOB values may reuse the cache page the image lies in.
      held.assign(image, image + fl.RecordSize);
      image = held.data();
    }
    if (sameLayout) {
      std::memcpy(buffer.data(), image, static_cast<std::size_t>(tl.DataSize));
      std::memcpy(buffer.data() + tl.NullBitmapOffset, image + fl.NullBitmapOffset,
                  static_cast<std::size_t>(tl.NullBitmapSize));
    } else {
      std::memcpy(buffer.data(), blank.data(), buffer.size());
    }
    for (const Slot& slot : slots) {
      if (sameLayout) break;
      if (IsFieldNull(fl, image, slot.from)) continue;
      SetFieldNull(tl, buffer.data(), slot.to, false);
      if (slot.blob) continue;
      std::uint8_t* out = buffer.data() + to->FieldOffset(slot.to);
      const std::uint8_t* in = image + from->FieldOffset(slot.from);
      if (slot.fromSize <= slot.toSize) {
        std::memcpy(out, in, slot.fromSize);
      } else {
        std::memcpy(out, in, slot.toSize - 1);  // a string cut, still ended
      }
    }
    std::uint32_t id = copyId ? GetRecordId(fl, image) : 0;
    if (id == 0 || id > static_cast<std::uint32_t>(INT32_MAX))
      id = last == INT32_MAX ? 0u : static_cast<std::uint32_t>(last) + 1u;
    SetRecordId(tl, buffer.data(), id);
    try {
      if (last == INT32_MAX)
        throw Exception(
            "Error in TKivoDataSet.InternalPost - no record identifier is left: the table's last "
            "identifier is 2147483647.");
      if (blobs) {
        // A required BLOB is checked by its value below.
        for (const Slot& slot : slots) {
          if (!slot.blob || IsFieldNull(fl, image, slot.from)) continue;
          from->ReadBLOBValue(&stream, slot.from, pos);
          if (stream.Size() == 0) SetFieldNull(tl, buffer.data(), slot.to, true);
        }
      }
      if (required) CheckRequiredTableFields(buffer.data());
      // A repeated identifier gets the next one (CheckUniqueKeys); one above
      // every identifier of the table cannot repeat.
      if (!blobs && !otherUnique && static_cast<std::int32_t>(id) > last) {
        block.insert(block.end(), buffer.data(), buffer.data() + imageSize);
        blockRowNumbers.push_back(i);
        last = static_cast<std::int32_t>(id);
        if (static_cast<std::int32_t>(blockRowNumbers.size()) >= blockRows) storeBlock();
        continue;
      }
      storeBlock();
      if (otherUnique || static_cast<std::int32_t>(id) <= last)
        to->CheckUniqueKeys(buffer.data(), true, "TKivoDataSet.InternalPost");
      if (!blobs) {
        to->InsertRecord(buffer.data(), 0);
      } else {
        to->DisableAutoFlush();
        try {
          to->InsertRecord(buffer.data(), 0);
          const std::int32_t at = to->RecordCount() - 1;
          for (const Slot& slot : slots) {
            if (!slot.blob || IsFieldNull(tl, buffer.data(), slot.to)) continue;
            from->ReadBLOBValue(&stream, slot.from, pos);
            to->WriteBLOBValue(&stream, slot.to, at);
          }
        } catch (...) {
          to->EnableAutoFlush(false);
          throw;
        }
        to->EnableAutoFlush(true);
      }
    } catch (const std::exception&) {
      failed(i);
    }
    last = std::max(last, to->LastAutoInc());
  }
  storeBlock();
  return true;
}

void TKivoDataset::CopyRows(TDataSet& source, TRowCopy& copy) {
  // The rows go to the table manager directly, as a run of inserts: the
  // visible list is rebuilt once afterwards rather than kept in step row by
  // row, and indexes that no key check needs are sorted once at the end.
  BeginAppendRun();
  struct RunScope {
    TKivoDataset& d;
    ~RunScope() { d.LeaveAppendRun(); }
  } run{*this};
  if (auto* table = dynamic_cast<TKivoDataset*>(&source); table && CopyRowImages(*table, copy)) {
    EndAppendRun();
    if (OnProgress) OnProgress(*this, 100, copy.process);
    return;
  }
  const bool savedAllow = allow_id_assign_;
  double percent = 0;
  auto report = [&](double value) {
    if (OnProgress) OnProgress(*this, value, copy.process);
  };
  std::vector<std::uint8_t> bytes;
  Insert();
  try {
    source.First();
    while (!source.Eof()) {
      report(percent);
      std::uint8_t* buffer = TDataSet::ActiveBuffer();
      try {
        InternalInitRecord(buffer);
        FreeBlobSlots();
        for (const TRowCopy::Pair& pair : copy.pairs) {
          TField& from = *pair.from;
          TField& to = *pair.to;
          if (from.IsNull()) continue;
          switch (pair.kind) {
            case TCopyKind::kString:
              to.SetAsString(from.AsString());
              break;
            case TCopyKind::kWideString:
              to.SetAsWideString(from.AsWideString());
              break;
            case TCopyKind::kInteger:
              to.SetAsInteger(from.AsInteger());
              break;
            case TCopyKind::kLargeInt:
              to.SetAsLargeInt(from.AsLargeInt());
              break;
            case TCopyKind::kBoolean:
              to.SetAsBoolean(from.AsBoolean());
              break;
            case TCopyKind::kFloat:
              to.SetAsFloat(from.AsFloat());
              break;
            case TCopyKind::kDateTime:
              to.SetAsDateTime(from.AsDateTime());
              break;
            case TCopyKind::kBytes: {
              bytes.assign(static_cast<std::size_t>(std::max(from.DataSize(), to.DataSize())), 0);
              from.GetData(bytes.data());
              to.SetData(bytes.data());
              break;
            }
            case TCopyKind::kIdentifier: {
              // A source identifier is kept unless the new table has it
              // already (CheckUniqueKeys then gives the next one).
              const std::int32_t id = from.AsInteger();
              if (id <= 0) break;
              allow_id_assign_ = true;
              to.SetAsInteger(id);
              allow_id_assign_ = savedAllow;
              break;
            }
            case TCopyKind::kBlob: {
              std::unique_ptr<TStream> in = source.CreateBlobStream(&from, kBlobRead);
              std::unique_ptr<TStream> out = CreateBlobStream(&to, kBlobWrite);
              std::vector<std::uint8_t> chunk(static_cast<std::size_t>(in->Size()));
              in->Seek(0, TStream::kFromBeginning);
              if (!chunk.empty()) {
                in->Read(chunk.data(), static_cast<std::int32_t>(chunk.size()));
                out->Write(chunk.data(), static_cast<std::int32_t>(chunk.size()));
              }
              break;
            }
            case TCopyKind::kNone:
              break;
          }
        }
        StoreRunRecord(buffer);
        FreeBlobSlots();
      } catch (const std::exception&) {
        allow_id_assign_ = savedAllow;
        FreeBlobSlots();
        if (!copy.log) throw;
        copy.success = false;
        *copy.log +=
            "Insert records error, record number = !" + std::to_string(source.RecNo()) + "\r\n";
      }
      percent += 100.0 / copy.divisor;
      source.Next();
    }
  } catch (...) {
    allow_id_assign_ = savedAllow;
    Cancel();
    throw;
  }
  Cancel();
  EndAppendRun();
  report(100);
}

}  // namespace kivo
