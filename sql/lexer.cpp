#include "sql/lexer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

// clang-format off
const std::array<std::string_view, kReservedWordCount> kReservedWords = {
    "ABSOLUTE", "ACTION", "ADD", "ALL", "ALLOCATE", "ALTER", "AND", "ANY", "ARE", "AS", "ASC",
    "ASSERTION", "AT", "AUTHORIZATION", "AVG", "BEGIN", "BETWEEN", "BIT", "BIT_LENGTH", "BOTH",
    "BY", "CASCADE", "CASCADED", "CASE", "CAST", "CATALOG", "CHAR", "CHARACTER", "CHAR_LENGTH",
    "CHARACTER_LENGTH", "CHECK", "CLOSE", "COALESCE", "COLLATE", "COLLATION", "COLUMN", "COMMIT",
    "CONNECT", "CONNECTION", "CONSTRAINT", "CONSTRAINTS", "CONTINUE", "CONVERT", "CORRESPONDING",
    "COUNT", "CREATE", "CROSS", "CURRENT", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP",
    "CURRENT_USER", "CURSOR", "DATE", "DAY", "DEALLOCATE", "DEC", "DECIMAL", "DECLARE", "DEFAULT",
    "DEFERRABLE", "DEFERRED", "DELETE", "DESC", "DESCRIBE", "DESCRIPTOR", "DIAGNOSTICS",
    "DISCONNECT", "DISTINCT", "DOMAIN", "DOUBLE", "DROP", "ELSE", "END", "END-EXEC", "ESCAPE",
    "EXCEPT", "EXCEPTION", "EXEC", "EXECUTE", "EXISTS", "EXTERNAL", "EXTRACT", "FALSE", "FETCH",
    "FIRST", "FLOAT", "FOR", "FOREIGN", "FOUND", "FROM", "FULL", "GET", "GLOBAL", "GO", "GOTO",
    "GRANT", "GROUP", "HAVING", "HOUR", "IDENTITY", "IMMEDIATE", "IN", "INDICATOR", "INITIALLY",
    "INNER", "INPUT", "INSENSITIVE", "INSERT", "INT", "INTEGER", "INTERSECT", "INTERVAL", "INTO",
    "IS", "ISNULL", "ISOLATION", "JOIN", "KEY", "LANGUAGE", "LAST", "LEADING", "LEFT", "LEVEL",
    "LIKE", "LOCAL", "LOWER", "MATCH", "MAX", "MEMORY", "MIN", "MINUS", "MINUTE", "MODULE", "MONTH",
    "NAMES", "NATIONAL", "NATURAL", "NCHAR", "NEXT", "NO", "NOT", "NULL", "NULLIF", "NUMERIC",
    "OCTET_LENGTH", "OF", "ON", "ONLY", "OPEN", "OPTION", "OR", "ORDER", "OUTER", "OUTPUT",
    "OVERLAPS", "PAD", "PARTIAL", "POSITION", "PRECISION", "PREPARE", "PRESERVE", "PRIMARY",
    "PRIOR", "PRIVILEGES", "PROCEDURE", "PUBLIC", "READ", "REAL", "REFERENCES", "RELATIVE",
    "RESTRICT", "REVOKE", "RIGHT", "ROLLBACK", "ROWS", "SCHEMA", "SCROLL", "SECOND", "SECTION",
    "SELECT", "SESSION", "SESSION_USER", "SET", "SIZE", "SMALLINT", "SOME", "SPACE", "SQL",
    "SQLCODE", "SQLERROR", "SQLSTATE", "SUBSTRING", "SUM", "SYSTEM_USER", "TABLE", "TEMPORARY",
    "THEN", "TIME", "TIMESTAMP", "TIMEZONE_HOUR", "TIMEZONE_MINUTE", "TO", "TOP", "TRAILING",
    "TRANSACTION", "TRANSLATE", "TRANSLATION", "TRIM", "TRUE", "UNION", "UNIQUE", "UNKNOWN",
    "UPDATE", "UPPER", "USAGE", "USER", "USING", "VALUE", "VALUES", "VARCHAR", "VARYING", "VIEW",
    "WHEN", "WHENEVER", "WHERE", "WITH", "WORK", "WRITE", "YEAR", "ZONE", "PASSWORD",
    "BLOBCOMPRESSIONLEVEL", "BLOBBLOCKSIZE", "LASTAUTOINC", "MODIFY", "NEW", "INDEX", "NOCASE",
    "LTRIM", "RTRIM", "POS", "LENGTH", "SYSDATE", "NOW", "TODATE", "TOSTRING", "AUTOINDEXES",
    "NOAUTOINDEXES", "QUARTER", "WEEKDAY", "DAYOFWEEK", "DAYNAME", "MONTHNAME", "MSECOND", "ABS",
    "CEILING", "CEIL", "FLOOR", "MOD", "POWER", "POW", "RANDOM", "RAND", "ROUND", "SIGN",
    "TRUNCATE", "TRUNC", "SHL", "SHR", "XOR", "HEX",
};
// clang-format on

namespace {

constexpr std::size_t kLongestReservedWord = 20;  // BLOBCOMPRESSIONLEVEL

// The reserved words with their numbers, grouped by length and first
// letter: every word of a script is looked up, and a group holds a few
// words at most, compared whole.
struct TWordNumber {
  std::string_view Word;
  std::uint16_t Number;
};
using TWordGroups = std::array<std::array<std::vector<TWordNumber>, 27>, kLongestReservedWord + 1>;

std::size_t LetterSlot(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<std::size_t>(c - 'A') : 26;
}

const TWordGroups& ReservedWordGroups() {
  static const TWordGroups groups = [] {
    TWordGroups g;
    for (std::size_t i = 0; i < kReservedWords.size(); ++i) {
      const std::string_view w = kReservedWords[i];
      g[w.size()][LetterSlot(w.front())].push_back({w, static_cast<std::uint16_t>(i)});
    }
    return g;
  }();
  return groups;
}

}  // namespace

std::uint16_t ReservedWordNumber(std::string_view word) {
  if (word.size() > kLongestReservedWord) return kNoReservedWord;
  // Reserved words are ASCII, and no other letter upper-cases to ASCII, so
  // upper-casing ASCII letters in place is enough.
  char upper[kLongestReservedWord];
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char c = word[i];
    if (static_cast<unsigned char>(c) >= 0x80) return kNoReservedWord;
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  if (word.empty()) return kNoReservedWord;
  const std::string_view key(upper, word.size());
  for (const TWordNumber& entry : ReservedWordGroups()[word.size()][LetterSlot(upper[0])])
    if (entry.Word == key) return entry.Number;
  return kNoReservedWord;
}

namespace {

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The characters that always end the open token and start one of their own.
constexpr std::array<bool, 256> kDelimiters = [] {
  std::array<bool, 256> table{};
  for (const char c : std::string_view("><=(),/*:|")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexLetter(char c) { return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned HexDigitValue(char c) {
  if (IsDigit(c)) return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

// Token texts are stored as 32-bit offsets and lengths, and lines and
// columns are 32-bit signed numbers.
constexpr std::size_t kMaxTextLength = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void ThrowTooLong() {
  throw EDatabaseError("SQL text too long: 2 GB or more of text and parameter values");
}

}  // namespace

// One pass over the text, appending statements and tokens to the lexer.
//
// The open token is always the last of lexer.tokens_; its text is the run of
// the source from open_start_ to the scan position until it is finished.
class TKivoLexer::Scanner {
 public:
  Scanner(TKivoLexer& lexer, const TLexPlace& from, int maxCommands)
      : lexer_(lexer),
        text_(lexer.text_),
        max_commands_(maxCommands),
        pos_(from.Offset),
        line_(from.Line),
        column_(from.Column) {}

  void Run() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == ';') {
        EndStatement();
        Step();
        if (max_commands_ > 0 && lexer_.CommandCount() >= max_commands_) {
          lexer_.end_ = {pos_, line_, column_};
          return;
        }
        continue;
      }
      if ((c == '-' && Next() == '-') || (c == '/' && Next() == '*')) {
        // A comment separates tokens.
        if (open_) FinishToken();
        c == '-' ? SkipLineComment() : SkipBlockComment();
        prev_ = ' ';
        continue;
      }
      const bool white = IsWhite(c);
      const bool delimits = open_ ? Delimits(c) : !white;
      if (open_ && (white || delimits)) FinishToken();
      if (delimits) {
        StartToken(c);
      } else {
        if (!white) AppendToOpenToken(c);
        Step();
      }
      prev_ = c;
    }
    EndStatement();
    lexer_.end_ = {pos_, line_, column_};
  }

 private:
  static_assert(sizeof(TStoredToken) <= 24, "a stored token must stay a few machine words");

  // The character after the current one; a space at the end of the text.
  char Next() const { return pos_ + 1 < text_.size() ? text_[pos_ + 1] : ' '; }

  // Moves past the current character, counting lines and columns.
  void Step() {
    const char c = text_[pos_++];
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else if (c != '\r') {
      ++column_;
    }
  }

  TStoredToken& Open() { return lexer_.tokens_.back(); }

  bool Delimits(char c) const {
    if (kDelimiters[static_cast<unsigned char>(c)]) return true;
    const TTokenType kind = lexer_.tokens_.back().TokenType;
    if (c == '.' && kind != tktInt) return true;
    if (kind == tktDot && !IsDigit(c)) return true;
    if (c == '+' || c == '-') {
      if (kind == tktString) return true;
      // A hexadecimal literal has no exponent: a sign always ends it.
      if (kind == tktInt && (hex_ || (prev_ != 'e' && prev_ != 'E'))) return true;
    }
    return false;
  }

  [[noreturn]] void ThrowInvalidNumeric(char c, std::int32_t line, std::int32_t column) const {
    throw ZorException::CreateFmt(native_error::kInvalidNumericSymbol, {},
                                  {std::string(1, c), std::int64_t{line}, std::int64_t{column}});
  }

  // Appends the character at the scan position to the open token (its text
  // is the source run up to the scan position, so only the kind changes).
  void AppendToOpenToken(char c) {
    TStoredToken& t = Open();
    if (t.TokenType == tktInt) {
      if (hex_) {
        if (!IsDigit(c) && !IsHexLetter(c)) ThrowInvalidNumeric(c, line_, column_);
        return;
      }
      if (!IsDigit(c) && !IsHexLetter(c) && c != '.' && c != '+' && c != '-' && c != 'x') {
        ThrowInvalidNumeric(c, line_, column_);
      }
      if (c == 'x') {
        // 0x1F: the digits after the "x" are hexadecimal. Only a lone 0 may
        // stand before it.
        if (pos_ != open_start_ + 1 || text_[open_start_] != '0') {
          ThrowInvalidNumeric(c, line_, column_);
        }
        StartHexDigits(pos_ + 1);
      }
    } else if (t.TokenType == tktDot) {
      t.TokenType = tktInt;  // .5 is a number
    }
  }

  // The open token is a hexadecimal literal whose digits start at `from`;
  // the marker ("$" or the "x" of "0x") is at the scan position.
  void StartHexDigits(std::size_t from) {
    hex_ = true;
    hex_digits_ = from;
    hex_line_ = line_;
    hex_column_ = column_;
  }

  // Called after stepping over a token's first character: takes the
  // character that follows into the token when it is one of `chars`.
  bool TakeNextIf(std::string_view chars) {
    if (pos_ >= text_.size()) return false;
    if (chars.find(text_[pos_]) == std::string_view::npos) return false;
    Step();
    return true;
  }

  void StartToken(char c) {
    if (!statement_open_) {
      TSQLCommand cmd;
      cmd.First = static_cast<std::uint32_t>(lexer_.tokens_.size());
      lexer_.commands_.push_back(cmd);
      statement_open_ = true;
      depth_ = 0;
      unmatched_close_ = false;
      unterminated_ = false;
    }
    TStoredToken t;
    t.Line = line_;
    t.Column = column_;
    lexer_.tokens_.push_back(t);
    open_ = true;
    open_start_ = pos_;
    hex_ = false;
    TStoredToken& tok = Open();

    switch (c) {
      case '\'':
      case '"':
      case '[':
        ReadQuoted(c);
        return;
      case '$':
        tok.TokenType = tktInt;
        StartHexDigits(pos_ + 1);
        Step();
        return;
      case '!':
        tok.TokenType = tktString;
        Step();
        TakeNextIf("=");
        FinishToken();
        return;
      case '~':
        tok.TokenType = tktString;
        Step();
        FinishToken();
        return;
      case '(':
        tok.TokenType = tktLeftParenthesis;
        ++depth_;
        open_line_ = line_;
        open_column_ = column_;
        Step();
        FinishToken();
        return;
      case ')':
        tok.TokenType = tktRightParenthesis;
        if (--depth_ < 0 && !unmatched_close_) {
          unmatched_close_ = true;
          unmatched_line_ = line_;
          unmatched_column_ = column_;
        }
        close_line_ = line_;
        close_column_ = column_;
        Step();
        FinishToken();
        return;
      case ',':
        tok.TokenType = tktComma;
        Step();
        FinishToken();
        return;
      case '.':
        tok.TokenType = tktDot;
        Step();
        return;
      default:
        break;
    }
    if (IsDigit(c)) {
      tok.TokenType = tktInt;
      Step();
      return;
    }
    tok.TokenType = tktString;
    Step();
    switch (c) {
      case '-':
      case '+':
      case '*':
      case '/':
        FinishToken();
        break;
      case '=':
        TakeNextIf("=");
        FinishToken();
        break;
      case '|':
        TakeNextIf("|");
        FinishToken();
        break;
      case '<':
        TakeNextIf("=><");
        FinishToken();
        break;
      case '>':
        TakeNextIf("=>");
        FinishToken();
        break;
      case '&':
        TakeNextIf("&");  // stays open
        break;
      default:
        break;
    }
  }

  // A quoted string or bracketed name starting at the current character. A
  // doubled closing character stands for one; at the end of the text the
  // string is left unterminated (reported when the statement ends). The text
  // is the source run between the delimiters unless a doubled closing
  // character has to be collapsed.
  void ReadQuoted(char quote) {
    TStoredToken& t = Open();
    t.TokenType = quote == '[' ? tktBracketedString : tktQuotedString;
    const char close = quote == '[' ? ']' : quote;
    quote_line_ = line_;
    quote_column_ = column_;
    unterminated_ = true;
    Step();
    const std::size_t begin = pos_;
    std::size_t end = text_.size();
    bool doubled = false;
    while (pos_ < text_.size()) {
      if (text_[pos_] == close) {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == close) {
          doubled = true;
          Step();
          Step();
          continue;
        }
        end = pos_;
        unterminated_ = false;
        Step();
        break;
      }
      Step();
    }
    if (!doubled) {
      SetSourceText(t, begin, end);
    } else {
      std::string& side = lexer_.side_;
      const std::size_t at = side.size();
      for (std::size_t i = begin; i < end; ++i) {
        side += text_[i];
        if (text_[i] == close) ++i;  // the second of a pair
      }
      SetSideText(t, at);
    }
    open_ = false;
  }

  void SkipLineComment() {
    while (pos_ < text_.size() && text_[pos_] != '\n') Step();
    if (pos_ < text_.size()) Step();
  }

  void SkipBlockComment() {
    Step();
    Step();
    while (pos_ < text_.size()) {
      if (text_[pos_] == '*' && Next() == '/' && pos_ + 1 < text_.size()) {
        Step();
        Step();
        return;
      }
      Step();
    }
  }

  static void SetSourceText(TStoredToken& t, std::size_t begin, std::size_t end) {
    t.Offset = static_cast<std::uint32_t>(begin);
    t.Length = static_cast<std::uint32_t>(end - begin);
    t.Flags &= static_cast<std::uint8_t>(~kInSideText);
  }

  // The text of `t` is what side_ holds from `at` to its end.
  void SetSideText(TStoredToken& t, std::size_t at) {
    if (lexer_.side_.size() > kMaxTextLength) ThrowTooLong();
    t.Offset = static_cast<std::uint32_t>(at);
    t.Length = static_cast<std::uint32_t>(lexer_.side_.size() - at);
    t.Flags |= kInSideText;
  }

  // Finishes the open token, which ends at the scan position.
  void FinishToken() {
    TStoredToken& t = Open();
    open_ = false;
    SetSourceText(t, open_start_, pos_);
    if (t.TokenType == tktInt) {
      if (hex_) {
        FinishHex(t);
      } else if (std::string_view(text_.data() + t.Offset, t.Length).find_first_of(".eE") !=
                 std::string_view::npos) {
        t.TokenType = tktFloat;
      }
    } else if (t.TokenType == tktString) {
      const std::string_view word(text_.data() + t.Offset, t.Length);
      if (!word.empty() && word[0] == ':') {
        t.TokenType = tktParam;
        SetSourceText(t, open_start_ + 1, pos_);
        if (lexer_.params_ != nullptr) Substitute(t, lexer_.params_->ParamByName(word.substr(1)));
      } else {
        t.ReservedWord = ReservedWordNumber(word);
        if (t.ReservedWord != kNoReservedWord) t.TokenType = tktReservedWord;
      }
    }
  }

  // A hexadecimal literal's digits (all checked when appended) as decimal
  // text; the arithmetic wraps at 64 bits. A marker with no digits is an
  // invalid number, named by the character that ended it (or the marker
  // itself at the end of the text).
  void FinishHex(TStoredToken& t) {
    if (hex_digits_ >= pos_) {
      if (pos_ < text_.size()) ThrowInvalidNumeric(text_[pos_], line_, column_);
      ThrowInvalidNumeric(text_[hex_digits_ - 1], hex_line_, hex_column_);
    }
    std::uint64_t v = 0;
    for (std::size_t i = hex_digits_; i < pos_; ++i) v = v * 16 + HexDigitValue(text_[i]);
    const std::size_t at = lexer_.side_.size();
    lexer_.side_ += std::to_string(static_cast<std::int64_t>(v));
    SetSideText(t, at);
  }

  // Puts a parameter's value in place of its name: its text, and a copy of
  // its typed value.
  void Substitute(TStoredToken& t, const TParam& p) {
    const FormatSettings fs = DefaultFormatSettings();
    const std::size_t at = lexer_.side_.size();
    switch (p.DataType()) {
      case ftBlob:
      case ftMemo:
      case ftGraphic:
      case ftFmtMemo:
        // The text names the parameter, whose bytes can be fetched by name
        // when the statement runs.
        t.TokenType = tktQuotedString;
        lexer_.side_ += kBlobMarker;
        lexer_.side_ += p.Name();
        break;
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftAutoInc:
      case ftLargeint:
        t.TokenType = tktInt;
        lexer_.side_ += p.AsText(fs);
        break;
      case ftFloat:
      case ftCurrency:
      case ftBCD:
        t.TokenType = tktFloat;
        lexer_.side_ += p.AsText(fs);
        break;
      default:
        // Strings, dates, and every other type (Boolean among them): a
        // literal, never a name.
        t.TokenType = tktQuotedString;
        lexer_.side_ += p.AsText(fs);
        break;
    }
    SetSideText(t, at);
    t.Flags |= kHasValue;
    lexer_.value_tokens_.push_back(static_cast<std::uint32_t>(lexer_.tokens_.size() - 1));
    lexer_.values_.push_back(p.TypedValue());
  }

  void EndStatement() {
    if (open_) FinishToken();
    prev_ = ' ';
    if (!statement_open_) return;
    statement_open_ = false;
    TSQLCommand& cmd = lexer_.commands_.back();
    cmd.Count = static_cast<std::uint32_t>(lexer_.tokens_.size() - cmd.First);
    if (depth_ > 0) Raise(native_error::kMissingRightParenthesis, open_line_, open_column_);
    if (depth_ < 0) Raise(native_error::kUnexpectedRightParenthesis, close_line_, close_column_);
    // ") (" balances the count but is as wrong as a lone ")".
    if (unmatched_close_)
      Raise(native_error::kUnexpectedRightParenthesis, unmatched_line_, unmatched_column_);
    if (unterminated_) Raise(native_error::kUnterminatedString, quote_line_, quote_column_);
  }

  [[noreturn]] static void Raise(int code, std::int32_t line, std::int32_t column) {
    throw ZorException::CreateFmt(code, {}, {std::int64_t{line}, std::int64_t{column}});
  }

  TKivoLexer& lexer_;
  std::string_view text_;
  int max_commands_ = 0;  // 0: no limit

  std::size_t pos_ = 0;
  std::int32_t line_ = 1;
  std::int32_t column_ = 1;
  char prev_ = ' ';
  bool open_ = false;
  std::size_t open_start_ = 0;
  // The open token is a hexadecimal literal: its digits start at
  // hex_digits_, its marker stands at hex_line_, hex_column_.
  bool hex_ = false;
  std::size_t hex_digits_ = 0;
  std::int32_t hex_line_ = 0, hex_column_ = 0;
  bool statement_open_ = false;
  int depth_ = 0;
  std::int32_t open_line_ = 0, open_column_ = 0;
  std::int32_t close_line_ = 0, close_column_ = 0;
  bool unmatched_close_ = false;
  std::int32_t unmatched_line_ = 0, unmatched_column_ = 0;
  bool unterminated_ = false;
  std::int32_t quote_line_ = 0, quote_column_ = 0;
};

TKivoLexer::TKivoLexer(std::string text, const TParams* params)
    : owned_(std::move(text)), text_(owned_), params_(params) {
  if (text_.size() > kMaxTextLength) ThrowTooLong();
  // Dense SQL takes three to five characters a token. Capacity never used
  // costs address space, not memory, so a script of up to 64 million
  // tokens is stored without the vector growing.
  constexpr std::size_t kMostReserved = std::size_t{1} << 26;
  tokens_.reserve(std::min(text_.size() / 3 + 16, kMostReserved));
  Scanner(*this, TLexPlace{}, 0).Run();
}

TKivoLexer::TKivoLexer(std::shared_ptr<const std::string> text, const TParams* params,
                       TLexPlace from, int maxCommands)
    : shared_(std::move(text)), text_(*shared_), params_(params) {
  if (text_.size() > kMaxTextLength) ThrowTooLong();
  if (from.Offset > text_.size()) from.Offset = text_.size();
  Scanner(*this, from, maxCommands).Run();
}

TToken TKivoLexer::Expand(std::size_t index) const {
  const TStoredToken& s = tokens_[index];
  TToken t;
  t.TokenType = s.TokenType;
  t.ReservedWord = s.ReservedWord;
  t.Line = s.Line;
  t.Column = s.Column;
  const std::string_view store = (s.Flags & kInSideText) != 0 ? std::string_view(side_) : text_;
  t.Text = std::string_view(store.data() + s.Offset, s.Length);
  if ((s.Flags & kHasValue) != 0) {
    const auto found = std::lower_bound(value_tokens_.begin(), value_tokens_.end(),
                                        static_cast<std::uint32_t>(index));
    t.Value = &values_[static_cast<std::size_t>(found - value_tokens_.begin())];
  }
  return t;
}

int TKivoLexer::TokenCount(int command) const {
  return static_cast<int>(commands_.at(static_cast<std::size_t>(command)).Count);
}

TToken TKivoLexer::TokenAt(int command, int index) const {
  const TSQLCommand& cmd = commands_.at(static_cast<std::size_t>(command));
  if (index < 0 || static_cast<std::uint32_t>(index) >= cmd.Count) {
    throw std::out_of_range("TKivoLexer::TokenAt: no token " + std::to_string(index));
  }
  return Expand(cmd.First + static_cast<std::size_t>(index));
}

bool TKivoLexer::NextCommand() {
  if (current_ < CommandCount()) ++current_;
  return current_ < CommandCount();
}

void TKivoLexer::Rewind() {
  current_ = -1;
  for (TSQLCommand& command : commands_) command.Position = 0;
}

bool TKivoLexer::ReadToken(int index, TToken& token) const {
  if (current_ < 0 || current_ >= CommandCount()) {
    token.TokenType = tktNone;
    return false;
  }
  const TSQLCommand& cmd = commands_[static_cast<std::size_t>(current_)];
  if (index < 0 || static_cast<std::uint32_t>(index) >= cmd.Count) {
    token.TokenType = tktNone;
    return false;
  }
  token = Expand(cmd.First + static_cast<std::size_t>(index));
  return true;
}

bool TKivoLexer::GetCurrentToken(TToken& token) const { return ReadToken(GetPosition(), token); }

bool TKivoLexer::LookAheadToken(TToken& token) const { return ReadToken(GetPosition() + 1, token); }

bool TKivoLexer::GetNextToken(TToken& token) {
  const bool found = LookAheadToken(token);
  if (current_ >= 0 && current_ < CommandCount()) {
    ++commands_[static_cast<std::size_t>(current_)].Position;
  }
  return found;
}

int TKivoLexer::GetPosition() const {
  if (current_ < 0 || current_ >= CommandCount()) return 0;
  return commands_[static_cast<std::size_t>(current_)].Position;
}

bool TKivoLexer::SetPosition(int index, TToken& token) {
  if (current_ >= 0 && current_ < CommandCount()) {
    commands_[static_cast<std::size_t>(current_)].Position = index;
  }
  return GetCurrentToken(token);
}

bool TKivoLexer::IsReservedWord(const TToken& token, std::uint16_t word) {
  return token.TokenType == tktReservedWord &&
         (word == kAnyReservedWord || token.ReservedWord == word);
}

}  // namespace kivo
