// GROUP BY and aggregates.
//
// The operator's links copy its input's and read it; the input is ordered
// by the grouping fields, so each group is a run of rows with equal
// grouping values (NULL equal to NULL). One cursor walks the input: the
// grouping values of a group's first row are kept, the rows that share
// them are accumulated into every aggregate (those of the computed links
// and of the HAVING condition), and the input is then moved back to the
// group's last row, which the plain fields and the other expressions read.
//
// Without grouping fields the whole input is one group, also when it is
// empty (COUNT gives 0, SUM NULL, and the fields read as NULL).
#pragma once

#include <memory>
#include <vector>

#include "sql/ops/ao.h"

namespace kivo {

class TKivoAOGroupBy : public TKivoAO {
 public:
  // Each grouping field must match exactly one field (native 46) of a type
  // that can be ordered (native 1095).
  TKivoAOGroupBy(const TZorRunContext& run, std::unique_ptr<TKivoAO> input,
                 const TZorFields& groupFields);

  // Every plain field item must be found (native 48) and be a grouping
  // field (native 49); then as the base.
  void DefineFields(std::vector<TZorSelectListItem>& items, bool distinct) override;

  void DoFirst() override;
  void DoNext() override;
  bool DoEof() override { return eof_; }

  // The links of the grouping fields, in grouping order.
  const std::vector<int>& GroupLinks() const { return groupLinks_; }

 private:
  // Collects the next group and leaves the input on its last row.
  void NextGroup();
  // Whether the input's current row has the kept grouping values.
  bool SameGroup();
  void ResetAggregates();
  void AccumulateRow();

  std::vector<int> groupLinks_;
  std::vector<TZorValue> key_;  // the grouping values of the current group
  bool produced_ = false;       // a group has been produced since First
  bool eof_ = true;
};

}  // namespace kivo
