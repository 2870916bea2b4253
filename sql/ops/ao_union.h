// UNION, INTERSECT and EXCEPT of two queries.
//
// Both inputs are prepared and materialized when the operator is made, so
// that their result tables can be paired field by field: by a CORRESPONDING
// BY list, by name (CORRESPONDING) or by position. Each kept pair is one
// output link, named after the left field, with the left type and the
// larger of the two sizes.
//
// UNION reads the left rows, then the right rows. INTERSECT and EXCEPT
// merge the two inputs ordered by all paired fields: a left row is produced
// when an equal right row exists (INTERSECT) or when none does (EXCEPT).
// Without ALL the result table keeps one row of each run of equal rows.
//
// A pair whose two types do not order alike (not the same type, not both
// numbers, not both dates or times) is compared in its comparison type;
// each side whose type differs from it is then ordered on its value
// converted to that type (a computed key field added to that input), so
// that both inputs arrive in the order the merge compares in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql/ops/ao.h"

namespace kivo {

class TKivoAOUnion : public TKivoAO {
 public:
  enum : std::uint8_t { kUnion = 0, kIntersect = 1, kExcept = 2 };

  // Native 40 for an unknown type; 35 when the inputs' field lists differ
  // in length (by position, or names of a BY list found on one side only);
  // 37 when no name of a BY list is found on both sides; 36 when no pair
  // is left.
  TKivoAOUnion(const TZorRunContext& run, std::unique_ptr<TKivoAO> left,
               std::unique_ptr<TKivoAO> right, std::uint8_t unionType, bool distinct,
               bool corresponding, std::vector<std::string> correspondingFields);

  void DoFirst() override;
  void DoNext() override;
  bool DoEof() override;
  std::int32_t DoRecordCount() override;
  // "*" means every link: they are this operator's own fields.
  int FindFields(std::string_view name, std::string_view qualifier, std::vector<int>& out,
                 bool makeVisible) override;
  // The inputs were prepared when the operator was made.
  void Prepare(bool live) override;

  const std::uint8_t UnionType;
  const bool Distinct;

 private:
  // One output field: where it is read on each side, and the field each
  // side's merge key is read from (the field itself or its converted copy).
  struct Pair {
    int LeftField = -1;
    int RightField = -1;
    int LeftKey = -1;
    int RightKey = -1;
    std::string RightName;  // for messages
  };

  // Points every link at the left (false) or right (true) result table.
  void ReadFrom(bool right);
  // The -1, 0 or 1 of the current left row against the current right row.
  int CompareRows();
  // INTERSECT and EXCEPT: moves the left input on to the next row that is
  // produced.
  void SeekMatch();

  std::vector<Pair> pairs_;
  bool onRight_ = false;
};

}  // namespace kivo
