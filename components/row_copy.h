// What copying rows between tables shares with import and restructure:
// how a field's value is copied, and the field pairs of one copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "components/kivo_dataset.h"
#include "dataset/field_defs.h"

namespace kivo {

// How one field's value is copied.
enum class TCopyKind : std::uint8_t {
  kString,
  kWideString,
  kInteger,
  kLargeInt,
  kBoolean,
  kFloat,
  kDateTime,
  kBytes,
  kIdentifier,
  kBlob,
  kNone,
};

// How a value of a field of `type` is copied (kNone: it is not).
TCopyKind CopyKindOf(TFieldType type);
// Whether a source field of `type` holds BLOB values.
bool IsSourceBlob(TFieldType type);

// What CopyRows copies and how it reports: the field pairs, matched once.
struct TKivoDataset::TRowCopy {
  struct Pair {
    TField* from;
    TField* to;
    TCopyKind kind;
  };
  std::vector<Pair> pairs;
  TkrProgressProcess process = krppImport;
  double divisor = 1;
  // Import logs a failed row and goes on; restructure stops at the first.
  std::string* log = nullptr;
  bool success = true;
};

}  // namespace kivo
