// Filter texts: the search operation (one field, one operator, one value),
// the parser that turns a filter text into a list of operations and logical
// items, and its two evaluations — set-wise over the whole table, and on one
// record image.
//
// The language: conditions `field operator value` joined by `and`, `or`,
// `not` and parentheses. Keywords are matched ignoring case and ignoring
// blanks both in the text and in the keyword, with no word-boundary test
// (so "a n d" is `and`, and a field called notes must be written [notes]).
//
// The parser owns no data: a TSearchHost (the data set) resolves field
// names, prepares each condition's value buffer, and answers a condition
// over the whole table or on one record. Both evaluations walk the same
// items with the same precedence, so a record is matched per record exactly
// when the set-wise result marks it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dataset/filter_options.h"
#include "engine/bits_array.h"

namespace kivo {

enum TSearchItemKind : std::uint8_t {
  sikCondition = 0,
  sikNot = 1,
  sikAnd = 2,
  sikOr = 3,
  sikOpen = 4,
  sikClose = 5,
};

// Operators, in the order the parser tries their texts.
enum TSearchOperator : std::uint8_t {
  soEqual = 0,      // "="
  soNotEqual = 1,   // "<>"
  soAtMost = 2,     // "<="
  soAtLeast = 3,    // ">="
  soLess = 4,       // "<"
  soGreater = 5,    // ">"
  soLike = 6,       // "like"
  soNotLike = 7,    // "not like"
  soIsNull = 8,     // "is null" (the value buffer rewrites it to "=" with a null value)
  soIsNotNull = 9,  // "is not null" (likewise "<>" with a null value)
};
constexpr int kSearchOperatorCount = 10;
// The operator's text as written in a filter.
const char* SearchOperatorText(std::uint8_t op);

// How a condition's value was written.
enum TSearchValueKind : std::uint8_t {
  svkNone = 0,  // is null / is not null
  svkString = 1,
  svkBoolean = 2,
  svkNumber = 3,
};

// One item of a parsed filter; for a condition, the operation itself.
struct TSearchOperation {
  std::uint8_t ItemKind = sikCondition;
  std::int32_t FieldNo = 0;  // -1: the record identifier
  std::string FieldName;     // as written
  std::uint8_t Operator = soEqual;
  bool PartialCompare = false;  // strings compare by the value's length
  std::uint8_t ValueKind = svkNone;
  // The value as written (quotes removed, doubled quotes single, a trailing
  // "*" of a partial comparison removed), whole: a pattern or string value
  // is never cut to the field's slot.
  std::string ValueText;
  // The value of a wide string condition given as UTF-16 (a master link's
  // value); when empty, ValueText converted from Windows-1250 is used.
  std::u16string WideValueText;
  // The value in the record layout, filled by TSearchHost::PrepareOperation.
  std::vector<std::uint8_t> ValueBuffer;
};

// What the parser needs of the data set it filters.
class TSearchHost {
 public:
  // The field number of a name (-1 for the identifier); raises the data
  // set's error for a name that is no field.
  virtual std::int32_t SearchFieldNo(const std::string& name) = 0;
  // Fills op.ValueBuffer from op.ValueText (and may rewrite op.Operator).
  virtual void PrepareOperation(TSearchOperation& op, TFilterOptions options) = 0;
  // The number of record positions a set-wise evaluation covers.
  virtual std::int32_t SearchRecordCount() = 0;
  // Sets the flag of every record position the condition matches; the
  // flags arrive clear and sized to SearchRecordCount().
  virtual void MatchOperationOverTable(const TSearchOperation& op, TFilterOptions options,
                                       TBitsArray& bits) = 0;
  // Whether one record image matches the condition.
  virtual bool IsRecordMatches(const TSearchOperation& op, TFilterOptions options,
                               const std::uint8_t* record) = 0;

 protected:
  ~TSearchHost() = default;
};

class TSearchParser {
 public:
  // Parentheses and `not`s nested deeper than this are refused with a parse
  // error rather than recursing without bound.
  static constexpr int kMaxDepth = 256;

  explicit TSearchParser(TSearchHost& host) : host_(host) {}

  TFilterOptions Options() const { return options_; }
  void SetOptions(TFilterOptions options) { options_ = options; }

  // Parses `text` into items; an all-blank text leaves none. Raises the
  // parse errors (and the host's errors for unknown fields) with the items
  // left undefined until the next SetText.
  void SetText(const std::string& text);
  const std::string& Text() const { return text_; }
  const std::vector<TSearchOperation>& Items() const { return items_; }

  // Set-wise evaluation over every record position; raises
  // "TSearchParser.Parse - Expression is blank." when there are no items.
  const TBitsArray& Parse();
  // Per-record evaluation of one record image (false without items).
  bool Matches(const std::uint8_t* record);

 private:
  class Reader;
  // Stack entry `level`, created on first use.
  TBitsArray& Level(int level);

  TSearchHost& host_;
  TFilterOptions options_ = 0;
  std::string text_;
  std::vector<TSearchOperation> items_;
  // The evaluation stack: entry 0 holds the result of Parse.
  std::vector<TBitsArray> stack_;
};

}  // namespace kivo
