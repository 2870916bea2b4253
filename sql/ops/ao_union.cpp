// UNION, INTERSECT and EXCEPT: pairing the inputs' fields, ordering the
// inputs for the merge, and the cursor.
#include "sql/ops/ao_union.h"

#include <algorithm>
#include <utility>

#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/ops/ao_keys.h"
#include "sql/ops/ao_table.h"

namespace kivo {

namespace {

[[noreturn]] void Raise(int code, const std::vector<FormatArg>& args = {}) {
  throw ZorException::CreateFmt(code, {}, args);
}

// The fields an input shows, by name: those its result table shows, or all.
std::vector<std::string> ShownFields(const TZorTable& table) {
  if (!table.VisibleFields().empty()) return table.VisibleFields();
  std::vector<std::string> names;
  for (int n = 0; n < table.FieldCount(); ++n) names.push_back(table.FieldName(n));
  return names;
}

// The position of `name` in `names` (case ignored), or -1.
int IndexOf(const std::vector<std::string>& names, const std::string& name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (AnsiSameText(names[i], name)) return static_cast<int>(i);
  }
  return -1;
}

int FieldNoOf(const TZorTable& table, const std::string& name) {
  for (int n = 0; n < table.FieldCount(); ++n) {
    if (AnsiSameText(table.FieldName(n), name)) return n;
  }
  return -1;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) {
    if (!list.empty()) list += ';';
    list += name;
  }
  return list;
}

// Whether an index on values of type `a` and one on values of type `b`
// order the values the way a comparison in their comparison type does.
bool OrderAlike(std::uint8_t a, std::uint8_t b) {
  return a == b || (IsNumericType(a) && IsNumericType(b)) || (IsDateType(a) && IsDateType(b));
}

// An input field to order on converted to `Type`; `Key` receives the name
// of the field that holds the converted value.
struct Conversion {
  std::string Field;
  std::uint8_t Type = 0;
  std::string* Key = nullptr;
};

// Replaces `side` by a materialized projection of it that holds every field
// of the input's rows and, for each conversion, the converted value.
void AddOrderKeys(const TZorRunContext& run, std::unique_ptr<TKivoAO>& side,
                  const std::vector<Conversion>& conversions) {
  auto projection = std::make_unique<TKivoAOTableExpr>(run, std::move(side));
  const TKivoAO& input = *projection->Left;
  for (int n = 0; n < projection->LinkCount(); ++n) {
    projection->Links[static_cast<std::size_t>(n)].Hidden =
        input.Links[static_cast<std::size_t>(n)].SourceDataset == nullptr;
  }
  for (const Conversion& conversion : conversions) {
    auto cast = std::make_unique<TZorExprNodeCast>(conversion.Type);
    cast->AddChild(std::make_unique<TZorExprNodeField>("", conversion.Field));
    auto expression = std::make_unique<TZorExpression>(std::move(cast));
    projection->BindExpression(*expression);
    std::string name = "ORDERKEY";
    auto taken = [&] {
      return std::any_of(
          projection->Links.begin(), projection->Links.end(),
          [&](const TZorFieldLink& link) { return AnsiSameText(link.FieldName, name); });
    };
    while (taken()) name += '_';
    TZorFieldLink link;
    link.FieldName = name;
    link.DataType = conversion.Type;
    link.Size = expression->GetResultSize();
    link.Hidden = false;
    link.OwnsExpression = true;
    link.Expression = std::move(expression);
    projection->Links.push_back(std::move(link));
    *conversion.Key = name;
  }
  projection->Materialize();
  side = std::move(projection);
}

}  // namespace

TKivoAOUnion::TKivoAOUnion(const TZorRunContext& run, std::unique_ptr<TKivoAO> left,
                           std::unique_ptr<TKivoAO> right, std::uint8_t unionType, bool distinct,
                           bool corresponding, std::vector<std::string> correspondingFields)
    : TKivoAO(run), UnionType(unionType), Distinct(distinct) {
  if (unionType > kExcept) Raise(40, {std::int64_t{unionType}});
  Left = std::move(left);
  Right = std::move(right);
  Left->Prepare(false);
  Right->Prepare(false);

  // 1. The pairs of field names.
  const std::vector<std::string> leftNames = ShownFields(*Left->Result());
  const std::vector<std::string> rightNames = ShownFields(*Right->Result());
  std::vector<std::pair<std::string, std::string>> named;
  if (corresponding && !correspondingFields.empty()) {
    std::int64_t onLeft = 0;
    std::int64_t onRight = 0;
    std::vector<std::string> listed;
    for (const std::string& name : correspondingFields) {
      if (IndexOf(listed, name) >= 0) continue;
      listed.push_back(name);
      const int l = IndexOf(leftNames, name);
      const int r = IndexOf(rightNames, name);
      onLeft += l >= 0 ? 1 : 0;
      onRight += r >= 0 ? 1 : 0;
      if (l >= 0 && r >= 0) {
        named.emplace_back(leftNames[static_cast<std::size_t>(l)],
                           rightNames[static_cast<std::size_t>(r)]);
      }
    }
    if (onLeft != onRight) Raise(35, {onLeft, onRight});
    if (named.empty()) Raise(37, {std::int64_t{0}});
  } else if (corresponding) {
    for (const std::string& name : leftNames) {
      const int r = IndexOf(rightNames, name);
      if (r >= 0) named.emplace_back(name, rightNames[static_cast<std::size_t>(r)]);
    }
  } else {
    if (leftNames.size() != rightNames.size()) {
      Raise(35, {static_cast<std::int64_t>(leftNames.size()),
                 static_cast<std::int64_t>(rightNames.size())});
    }
    for (std::size_t i = 0; i < leftNames.size(); ++i) {
      named.emplace_back(leftNames[i], rightNames[i]);
    }
  }

  // 2. The pairs kept: a common type and, where rows are ordered or made
  // distinct, a left type that can be indexed.
  const bool ordered = distinct || unionType != kUnion;
  std::vector<std::pair<std::string, std::string>> kept;
  std::vector<std::uint8_t> leftTypes;
  std::vector<std::uint8_t> rightTypes;
  std::vector<std::int32_t> sizes;
  for (auto& [leftName, rightName] : named) {
    const TZorTable& l = *Left->Result();
    const TZorTable& r = *Right->Result();
    const int lf = FieldNoOf(l, leftName);
    const int rf = FieldNoOf(r, rightName);
    if (lf < 0 || rf < 0) continue;
    const std::uint8_t lt = l.FieldType(lf);
    const std::uint8_t rt = r.FieldType(rf);
    if (TZorValue::CommonType(lt, rt) == ftUnknown) continue;
    if (ordered && !IsOrderableType(lt)) continue;
    kept.emplace_back(std::move(leftName), std::move(rightName));
    leftTypes.push_back(lt);
    rightTypes.push_back(rt);
    sizes.push_back(std::max(l.FieldSize(lf), r.FieldSize(rf)));
  }
  if (kept.empty()) Raise(36, {std::int64_t{0}});

  // 3. INTERSECT and EXCEPT: both inputs ordered by all pairs, in the type
  // each pair compares in.
  std::vector<std::string> leftKeys;
  std::vector<std::string> rightKeys;
  for (const auto& [leftName, rightName] : kept) {
    leftKeys.push_back(leftName);
    rightKeys.push_back(rightName);
  }
  if (unionType != kUnion) {
    std::vector<Conversion> leftConversions;
    std::vector<Conversion> rightConversions;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (OrderAlike(leftTypes[i], rightTypes[i])) continue;
      const std::uint8_t type = TZorValue::ComparisonType(leftTypes[i], rightTypes[i]);
      if (leftTypes[i] != type) leftConversions.push_back({kept[i].first, type, &leftKeys[i]});
      if (rightTypes[i] != type) rightConversions.push_back({kept[i].second, type, &rightKeys[i]});
    }
    if (!leftConversions.empty()) AddOrderKeys(run_, Left, leftConversions);
    if (!rightConversions.empty()) AddOrderKeys(run_, Right, rightConversions);
    Left->Result()->SelectOrCreateIndex(JoinNames(leftKeys), "", "");
    Right->Result()->SelectOrCreateIndex(JoinNames(rightKeys), "", "");
  }

  // 4. One link per pair, reading the left result table.
  std::vector<std::string> outputNames;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    Pair pair;
    pair.LeftField = FieldNoOf(*Left->Result(), kept[i].first);
    pair.RightField = FieldNoOf(*Right->Result(), kept[i].second);
    pair.LeftKey = FieldNoOf(*Left->Result(), leftKeys[i]);
    pair.RightKey = FieldNoOf(*Right->Result(), rightKeys[i]);
    pair.RightName = kept[i].second;
    pairs_.push_back(std::move(pair));
    TZorFieldLink link;
    link.FieldName = kept[i].first;
    link.DataType = leftTypes[i];
    link.Size = sizes[i];
    link.Hidden = false;
    Links.push_back(std::move(link));
    outputNames.push_back(kept[i].first);
  }
  ReadFrom(false);
  if (distinct) OutputFieldList = JoinNames(outputNames);
}

void TKivoAOUnion::ReadFrom(bool right) {
  onRight_ = right;
  TZorTable* table = right ? Right->Result() : Left->Result();
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    Links[i].SourceDataset = table;
    Links[i].SourceFieldNo = right ? pairs_[i].RightField : pairs_[i].LeftField;
  }
}

int TKivoAOUnion::CompareRows() {
  TZorValue a;
  TZorValue b;
  for (std::size_t i = 0; i < pairs_.size(); ++i) {
    Left->Result()->ReadField(pairs_[i].LeftKey, a);
    Right->Result()->ReadField(pairs_[i].RightKey, b);
    const int order = CompareKeyValues(a, b, 38, 39, Links[i].FieldName, pairs_[i].RightName);
    if (order != 0) return order;
  }
  return 0;
}

void TKivoAOUnion::SeekMatch() {
  const bool wantMatch = UnionType == kIntersect;
  for (; !Left->Eof(); Left->Next()) {
    // Right rows below the left row match neither it nor any later one.
    bool matched = false;
    while (!Right->Eof()) {
      const int order = CompareRows();
      if (order <= 0) {
        matched = order == 0;
        break;
      }
      Right->Next();
    }
    if (matched == wantMatch) return;
  }
}

void TKivoAOUnion::DoFirst() {
  ReadFrom(false);
  Left->First();
  if (UnionType == kUnion) {
    if (Left->Eof()) {
      ReadFrom(true);
      Right->First();
    }
    return;
  }
  Right->First();
  SeekMatch();
}

void TKivoAOUnion::DoNext() {
  if (UnionType != kUnion) {
    Left->Next();
    SeekMatch();
    return;
  }
  if (onRight_) {
    Right->Next();
    return;
  }
  Left->Next();
  if (Left->Eof()) {
    ReadFrom(true);
    Right->First();
  }
}

bool TKivoAOUnion::DoEof() {
  if (UnionType == kUnion) return onRight_ && Right->Eof();
  return Left->Eof();
}

std::int32_t TKivoAOUnion::DoRecordCount() {
  if (UnionType == kUnion && Left && Right) return Left->RecordCount() + Right->RecordCount();
  return TKivoAO::DoRecordCount();
}

int TKivoAOUnion::FindFields(std::string_view name, std::string_view qualifier,
                             std::vector<int>& out, bool makeVisible) {
  if (name != "*") return TKivoAO::FindFields(name, qualifier, out, makeVisible);
  if (!qualifier.empty() && !AnsiSameText(qualifier, TableName) &&
      !AnsiSameText(qualifier, Alias)) {
    return static_cast<int>(out.size());
  }
  for (int n = 0; n < LinkCount(); ++n) {
    if (std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
    if (makeVisible) Links[static_cast<std::size_t>(n)].Hidden = false;
  }
  return static_cast<int>(out.size());
}

void TKivoAOUnion::Prepare(bool live) {
  Live = live;
  if (Condition && !Materialized) BindExpression(*Condition);
  if (!Materialized) Materialize();
  ApplyOrder();
}

}  // namespace kivo
