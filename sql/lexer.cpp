#include "sql/lexer.h"

#include <cstring>

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

std::uint16_t ReservedWordNumber(std::string_view word) {
  const std::string upper = AnsiUpperCase(word);
  for (std::size_t i = 0; i < kReservedWords.size(); ++i) {
    if (kReservedWords[i] == upper) return static_cast<std::uint16_t>(i);
  }
  return kNoReservedWord;
}

namespace {

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexLetter(char c) { return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A hexadecimal literal's digits as decimal text. Characters that are not
// hexadecimal digits count as 0; the arithmetic wraps at 64 bits.
std::string HexToDecimal(std::string_view digits) {
  std::uint64_t v = 0;
  for (char c : digits) {
    unsigned d = 0;
    if (IsDigit(c)) {
      d = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    }
    v = v * 16 + d;
  }
  return std::to_string(static_cast<std::int64_t>(v));
}

}  // namespace

// One pass over the text, appending statements and tokens to the lexer.
class TKivoLexer::Scanner {
 public:
  Scanner(std::string_view text, const TParams* params, std::vector<TSQLCommand>& commands)
      : text_(text), params_(params), commands_(commands) {}

  void Run() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == ';') {
        EndStatement();
        Step();
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
  }

 private:
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

  TToken& Open() { return commands_.back().Tokens.back(); }

  bool Delimits(char c) const {
    if (std::strchr("><=(),/*:|", c) != nullptr && c != '\0') return true;
    const TTokenType kind = commands_.back().Tokens.back().TokenType;
    if (c == '.' && kind != tktInt) return true;
    if (kind == tktDot && !IsDigit(c)) return true;
    if (c == '+' || c == '-') {
      if (kind == tktString) return true;
      if (kind == tktInt && prev_ != 'e' && prev_ != 'E') return true;
    }
    return false;
  }

  void AppendToOpenToken(char c) {
    TToken& t = Open();
    if (t.TokenType == tktInt) {
      if (!IsDigit(c) && !IsHexLetter(c) && c != '.' && c != '+' && c != '-' && c != 'x') {
        throw ZorException::CreateFmt(
            native_error::kInvalidNumericSymbol, {},
            {std::string(1, c), std::int64_t{line_}, std::int64_t{column_}});
      }
      if (c == 'x') {
        // 0x1F: the digits after the "x" are hexadecimal.
        t.Text.clear();
        hex_ = true;
        return;
      }
    } else if (t.TokenType == tktDot) {
      t.TokenType = tktInt;  // .5 is a number
    }
    t.Text += c;
  }

  // Called after stepping over a token's first character: takes the
  // character that follows into the token when it is one of `chars`.
  bool TakeNextIf(std::string_view chars) {
    if (pos_ >= text_.size()) return false;
    const char n = text_[pos_];
    if (chars.find(n) == std::string_view::npos) return false;
    Open().Text += n;
    Step();
    return true;
  }

  void StartToken(char c) {
    if (!statement_open_) {
      commands_.emplace_back();
      statement_open_ = true;
      depth_ = 0;
      unmatched_close_ = false;
      unterminated_ = false;
    }
    TToken t;
    t.Text.assign(1, c);
    t.Line = line_;
    t.Column = column_;
    commands_.back().Tokens.push_back(std::move(t));
    open_ = true;
    hex_ = false;
    TToken& tok = Open();

    switch (c) {
      case '\'':
      case '"':
      case '[':
        ReadQuoted(c);
        return;
      case '$':
        tok.TokenType = tktInt;
        tok.Text.clear();
        hex_ = true;
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
  // string is left unterminated (reported when the statement ends).
  void ReadQuoted(char quote) {
    TToken& t = Open();
    t.TokenType = quote == '[' ? tktBracketedString : tktQuotedString;
    t.Text.clear();
    const char close = quote == '[' ? ']' : quote;
    quote_line_ = line_;
    quote_column_ = column_;
    unterminated_ = true;
    Step();
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == close) {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == close) {
          t.Text += c;
          Step();
          Step();
          continue;
        }
        unterminated_ = false;
        Step();
        break;
      }
      t.Text += c;
      Step();
    }
    FinishToken();
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

  void FinishToken() {
    TToken& t = Open();
    open_ = false;
    if (t.TokenType == tktInt) {
      if (hex_) {
        t.Text = HexToDecimal(t.Text);
      } else if (t.Text.find_first_of(".eE") != std::string::npos) {
        t.TokenType = tktFloat;
      }
    } else if (t.TokenType == tktString) {
      if (!t.Text.empty() && t.Text[0] == ':') {
        t.Text.erase(0, 1);
        t.TokenType = tktParam;
        if (params_ != nullptr) Substitute(t, params_->ParamByName(t.Text));
      } else {
        t.ReservedWord = ReservedWordNumber(t.Text);
        if (t.ReservedWord != kNoReservedWord) t.TokenType = tktReservedWord;
      }
    }
  }

  // Writes a parameter's value in place of its name.
  void Substitute(TToken& t, const TParam& p) {
    const FormatSettings fs = DefaultFormatSettings();
    switch (p.DataType()) {
      case ftString:
      case ftFixedChar:
      case ftDate:
      case ftTime:
      case ftDateTime:
        t.TokenType = tktQuotedString;
        t.Text = p.AsText(fs);
        break;
      case ftBlob:
      case ftMemo:
      case ftGraphic:
      case ftFmtMemo:
        // The bytes are fetched by name when the statement runs.
        t.TokenType = tktQuotedString;
        t.Text = std::string(kBlobMarker) + p.Name();
        break;
      case ftWideString:
        t.TokenType = tktQuotedString;
        t.Text = p.AsText(fs);
        t.WideText = p.Value().AsWideString(&fs);
        break;
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftAutoInc:
      case ftLargeint:
        t.TokenType = tktInt;
        t.Text = p.AsText(fs);
        break;
      case ftFloat:
      case ftCurrency:
      case ftBCD:
        t.TokenType = tktFloat;
        t.Text = p.AsText(fs);
        break;
      default:
        t.TokenType = tktString;
        t.Text = p.AsText(fs);
        break;
    }
  }

  void EndStatement() {
    if (open_) FinishToken();
    prev_ = ' ';
    if (!statement_open_) return;
    statement_open_ = false;
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

  std::string_view text_;
  const TParams* params_;
  std::vector<TSQLCommand>& commands_;

  std::size_t pos_ = 0;
  std::int32_t line_ = 1;
  std::int32_t column_ = 1;
  char prev_ = ' ';
  bool open_ = false;
  bool hex_ = false;
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
    : text_(std::move(text)), params_(params) {
  Scanner(text_, params_, commands_).Run();
}

bool TKivoLexer::NextCommand() {
  if (current_ < CommandCount()) ++current_;
  return current_ < CommandCount();
}

bool TKivoLexer::TokenAt(int index, TToken& token) const {
  if (current_ < 0 || current_ >= CommandCount()) {
    token.TokenType = tktNone;
    return false;
  }
  const std::vector<TToken>& tokens = commands_[static_cast<std::size_t>(current_)].Tokens;
  if (index < 0 || index >= static_cast<int>(tokens.size())) {
    token.TokenType = tktNone;
    return false;
  }
  token = tokens[static_cast<std::size_t>(index)];
  return true;
}

bool TKivoLexer::GetCurrentToken(TToken& token) const { return TokenAt(GetPosition(), token); }

bool TKivoLexer::LookAheadToken(TToken& token) const { return TokenAt(GetPosition() + 1, token); }

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
