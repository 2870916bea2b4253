// Date-format patterns of TOSTRING and TODATE: a pattern such as
// 'DD.MM.YYYY HH24:NN' is split into tokens once, and the tokens then turn
// date-time numbers into text and text back into date-time numbers.
//
// The pattern language is our own and does not follow the locale's format
// strings; only the month and day names come from the FormatSettings.
//
// Token names (matched case-insensitively, the longest name first):
//   YYYY YY YEAR        year (YY reads 00-29 as 2000-2029, 30-99 as 1930-1999)
//   Q                   quarter 1-4 (reads as its first month)
//   MONTH MON           long and short month name
//   MM M                month with and without a leading zero
//   RM                  month as a Roman numeral I ... XII
//   DDD                 day of the year
//   DD D                day of the month with and without a leading zero
//   DAY DY              long and short day name
//   DW                  day of the week, Monday = 1 ... Sunday = 7
//   HH24 H24            hour 0-23 with and without a leading zero
//   HH12 HH H12 H       hour modulo 12 with and without a leading zero
//   NN N SS S           minute and second with and without a leading zero
//   ZZZ Z               millisecond with and without leading zeros
//   AMPM                "AM" or "PM"
// Text in apostrophes or double quotes, and any text that starts no token,
// is literal: written as it stands, and skipped by its length when reading.
// When reading, MONTH and MON take a month name (case ignored; a run of
// letters that names no month is not a valid date). Day names, DDD and DW
// give nothing: the name or number written there is skipped (a text that
// holds none skips the token's own length).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/locale.h"

namespace kivo {

// The kinds of format token, in the order of their numbers.
enum TDateFormatType : std::uint8_t {
  dfYYYY,
  dfYY,
  dfYEAR,
  dfQ,
  dfMONTH,
  dfMON,
  dfMM,
  dfM,
  dfRM,
  dfDDD,
  dfDD,
  dfDAY,
  dfDY,
  dfDW,
  dfD,
  dfHH12,
  dfHH24,
  dfHH,
  dfH12,
  dfH24,
  dfH,
  dfNN,
  dfN,
  dfSS,
  dfS,
  dfZZZ,
  dfZ,
  dfAMPM,
  dfLiteral,
};

struct TDateFormatToken {
  std::uint8_t Kind = dfLiteral;
  // The pattern text that produced the token, or the literal text.
  std::string Text;
  bool operator==(const TDateFormatToken&) const = default;
};

class TDateFormater {
 public:
  // Tokenizes `pattern`; names of months and days come from `settings`.
  explicit TDateFormater(std::string_view pattern,
                         const FormatSettings& settings = DefaultFormatSettings());
  // A formater over tokens built elsewhere (a kind above dfLiteral raises
  // "Unknown DateFormatType" when used).
  TDateFormater(std::vector<TDateFormatToken> tokens, const FormatSettings& settings);

  const std::vector<TDateFormatToken>& Tokens() const { return tokens_; }

  // The text of a date-time number. EConvertError when the number lies
  // outside years 1 to 9999.
  std::string FormatDate(double dateTime) const;

  // The date-time number that `text` gives: each token reads its part in
  // turn; when the pattern gives no year, month or day the date is
  // 30 December 1899. Errors: a number expected but not found raises
  // EConvertError "'x' is not a valid integer value"; an AM/PM token that
  // finds neither word raises ZorException 2146; an impossible date or time
  // raises EConvertError "'text' is not a valid date" (or "time").
  double ParseDate(std::string_view text) const;

  // An upper bound of the length of any text FormatDate gives.
  int MaxLength() const;

 private:
  std::vector<TDateFormatToken> tokens_;
  FormatSettings settings_;
};

}  // namespace kivo
