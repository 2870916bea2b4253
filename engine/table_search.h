// Search conditions over one open table: turning a condition's value text
// into a value buffer (a record image holding the value in the field's
// slot), and answering a condition over the whole table, through a fitting
// index or by a scan, or on one record image.
//
// TkrTableSearch is the search host a filter parser uses. Memo conditions
// read the memo's text through a reader that the owner supplies, so that a
// data set can answer for a record it is still editing; by default the text
// is read from the table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/bits_array.h"
#include "engine/record_match.h"
#include "engine/search_parser.h"
#include "platform/locale.h"

namespace kivo {

class TKivoDataManager;

// Fills `valueBuffer` (resized to the table's record size) for a condition
// on field `fieldNo` (-1: the identifier) from `valueText`:
// - a non-empty text first initialises the buffer as a new record;
// - "is null", or "=" with an empty text, becomes "=" with every null bit
//   set; "is not null", or "<>" with an empty text, becomes "<>" likewise;
//   otherwise the null bits are clear;
// - the text is converted by the field's type into its slot: strings cut to
//   the slot and terminated (the operation keeps the whole text in its
//   ValueText for the comparison), integers, booleans ("true" in any case),
//   floats in the settings' decimal form, dates and times through the
//   settings' date and time forms, wide strings as UTF-16, memos not at all
//   (a memo has no slot; its pattern stays in ValueText). Dates are stored
//   as day numbers, times as milliseconds of the day, date-times as day
//   number x kMsPerDay + milliseconds.
// Raises the data set's texts: "Error in TKivoDataSet.PrepareValueBuffer -
// 'like / not like' operation call with not string field!", "Error in
// TKivoDataSet.PrepareValueBuffer - unsupported field type!", and the
// conversion errors (EConvertError) of text that does not read as the
// field's type, "'abc' is not a valid integer value" and the like; an
// integer outside the field's range is refused with the same text rather
// than wrapped.
void PrepareValueBuffer(TKivoDataManager& m, std::int32_t fieldNo, std::uint8_t& op,
                        std::vector<std::uint8_t>& valueBuffer, const std::string& valueText,
                        const FormatSettings& settings);

class TkrTableSearch final : public TSearchHost {
 public:
  // The text of memo field `fieldNo` for `record`; `recPos` is the record's
  // position in the table, or -1 for an image that is not stored (a record
  // being inserted).
  using TMemoReader = std::function<std::string(std::int32_t fieldNo, std::int32_t recPos,
                                                const std::uint8_t* record)>;

  // REQUIRES: `m` is open and outlives the search.
  explicit TkrTableSearch(TKivoDataManager& m);

  void SetMemoReader(TMemoReader reader) { memo_reader_ = std::move(reader); }
  void SetFormatSettings(const FormatSettings& settings) { settings_ = settings; }

  // TSearchHost.
  std::int32_t SearchFieldNo(const std::string& name) override;
  void PrepareOperation(TSearchOperation& op, TFilterOptions options) override;
  std::int32_t SearchRecordCount() override;
  void MatchOperationOverTable(const TSearchOperation& op, TFilterOptions options,
                               TBitsArray& bits) override;
  bool IsRecordMatches(const TSearchOperation& op, TFilterOptions options,
                       const std::uint8_t* record) override;

  // The positions of every record matching `op` (through a fitting index in
  // its order, else in position order); `firstOnly` stops at the first.
  std::vector<std::int32_t> GetMatchedRecordsArray(const TSearchOperation& op,
                                                   TFilterOptions options, bool firstOnly);
  // Whether a condition on `op.FieldNo` can be answered through an index.
  bool HasFittingIndex(const TSearchOperation& op, TFilterOptions options);
  // The index that answers the condition (GetMatchedRecordsArray gives its
  // order), or -1.
  std::int32_t FittingIndex(const TSearchOperation& op, TFilterOptions options);

 private:
  bool IsMemoCondition(const TSearchOperation& op) const;
  // The memo's text through the owner's reader, else from the table.
  std::string MemoText(std::int32_t fieldNo, std::int32_t recPos, const std::uint8_t* record);
  bool MemoMatches(const TSearchOperation& op, TFilterOptions options,
                   const std::string& text) const;
  // The position of a record image found by its identifier through the
  // identifier index, or -1 when no stored record has it.
  std::int32_t StoredPosition(const std::uint8_t* record);

  // The matcher of a condition: building one costs more than matching a
  // record, and a condition is matched record after record, so the last few
  // are kept, each over its own copy of the condition.
  TkrRecordMatcher& MatcherFor(const TSearchOperation& op, TFilterOptions options);
  struct CachedMatcher {
    TSearchOperation op;
    TFilterOptions options = 0;
    std::unique_ptr<TkrRecordMatcher> matcher;
  };
  static constexpr std::size_t kCachedMatchers = 8;

  TKivoDataManager& m_;
  TMemoReader memo_reader_;  // empty: read from the table
  FormatSettings settings_;
  std::vector<std::unique_ptr<CachedMatcher>> matchers_;  // most recently used last
};

}  // namespace kivo
