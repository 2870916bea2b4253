// TKivoLexer: turns the text handed to the SQL processor (one statement or a
// script of statements separated by ";") into lists of tokens, in one pass
// at construction.
//
// Comments are dropped, quoted strings and bracketed names unquoted,
// hexadecimal literals ("$1F", "0x1F") turned into decimal text, reserved
// words recognised, and ":name" parameters replaced by the values of the
// attached parameter list (their text, and a copy of their typed value). Every token keeps the line
// and column (from 1) of its first character. Lexical errors are ZorExceptions raised from the
// constructor; no statement is available after one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/params.h"

namespace kivo {

enum TTokenType : std::uint8_t {
  tktNone = 0,             // no token (reading past the end of a statement)
  tktString = 1,           // identifier, non-reserved keyword, operator sign
  tktQuotedString = 2,     // text between ' ' or " ", quotes removed
  tktBracketedString = 3,  // text between [ and ], brackets removed
  tktInt = 4,              // integer literal, decimal text
  tktFloat = 5,            // literal with "." or an exponent
  tktReservedWord = 6,
  tktParam = 7,  // ":name" read without a parameter list; Text is the name
  tktLeftParenthesis = 8,
  tktRightParenthesis = 9,
  tktComma = 10,
  tktDot = 11,
};

// The reserved words; a word's number is its index here.
inline constexpr int kReservedWordCount = 272;
// ReservedWord of a token that is not a reserved word, and the wildcard
// "any reserved word" of IsReservedWord.
inline constexpr std::uint16_t kNoReservedWord = kReservedWordCount;
inline constexpr std::uint16_t kAnyReservedWord = kReservedWordCount;
extern const std::array<std::string_view, kReservedWordCount> kReservedWords;

// The number of a reserved word (case ignored), kNoReservedWord when the
// word is not reserved.
std::uint16_t ReservedWordNumber(std::string_view word);

// True when a tktString token's text is a bare word (an identifier or a
// keyword that is not reserved) rather than an operator sign: it starts with
// a letter, "_", "#", "@" or a byte of non-ASCII text.
inline bool IsWordText(std::string_view text) {
  if (text.empty()) return false;
  const auto c = static_cast<unsigned char>(text[0]);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '#' || c == '@' ||
         c >= 0x80;
}

// Text that stands for a BLOB parameter's value; the parameter's name follows it.
inline constexpr std::string_view kBlobMarker = "$Blob$Marker$";

// One token as the reading functions hand it out. Copying it is cheap: the
// text and the value stay in the lexer.
struct TToken {
  TTokenType TokenType = tktNone;
  std::uint16_t ReservedWord = kNoReservedWord;
  std::int32_t Line = 0;
  std::int32_t Column = 0;
  // The text as before (quoted content without delimiters, a number's decimal
  // text, a parameter's value as text); a view into storage the lexer owns,
  // valid while the lexer lives.
  std::string_view Text;
  // A substituted parameter's typed value (owned by the lexer), null for
  // every other token.
  const TZorValue* Value = nullptr;
};

// One statement: a run of the lexer's token list and the statement's read
// position (which may stand past its last token).
struct TSQLCommand {
  std::uint32_t First = 0;  // index of its first token in the lexer's list
  std::uint32_t Count = 0;  // number of tokens, at least 1
  int Position = 0;
};

// A place in a text: a byte offset with its line and column (from 1).
struct TLexPlace {
  std::size_t Offset = 0;
  std::int32_t Line = 1;
  std::int32_t Column = 1;
};

class TKivoLexer {
 public:
  // Tokenizes `text` (kept, not copied again). `params` may be null; it is
  // not owned and is read only here (parameters are substituted now: after a
  // value changes, the text must be tokenized again). Raises ZorException 1,
  // 2, 3 or 44 for a lexical error, EDatabaseError for a parameter not in
  // `params` and for a text of 2 GB or more.
  explicit TKivoLexer(std::string text, const TParams* params = nullptr);
  // Tokenizes a part of a shared text: from `from` (the start of a
  // statement) up to and with the `maxCommands`-th statement's ";", or to
  // the end. Positions are those of the whole text. A long script is read
  // this way in parts, so that its tokens are never all held at once.
  TKivoLexer(std::shared_ptr<const std::string> text, const TParams* params, TLexPlace from,
             int maxCommands);
  // Where tokenizing stopped: past the last statement read, or the end.
  const TLexPlace& End() const { return end_; }
  bool AtTextEnd() const { return end_.Offset >= text_.size(); }

  // Tokens view the lexer's own storage, so it stays where it was built.
  TKivoLexer(const TKivoLexer&) = delete;
  TKivoLexer& operator=(const TKivoLexer&) = delete;

  int CommandCount() const { return static_cast<int>(commands_.size()); }
  const std::vector<TSQLCommand>& Commands() const { return commands_; }
  int CurrentCommand() const { return current_; }

  // The tokens of statement `command`, whatever the read position. Raise
  // std::out_of_range for an index outside the statements or its tokens.
  int TokenCount(int command) const;
  TToken TokenAt(int command, int index) const;

  // Moves to the next statement (the first one on the first call); false
  // when there is none.
  bool NextCommand();
  // Goes back to before the first statement, every read position at its
  // statement's first token: the statements can be read again.
  void Rewind();

  // Copies the token at the read position of the current statement. Past
  // the last token (or with no current statement) returns false and sets
  // only token.TokenType to tktNone, leaving the rest of `token` as it was.
  bool GetCurrentToken(TToken& token) const;
  // The same for the token after the current one, without moving.
  bool LookAheadToken(TToken& token) const;
  // LookAheadToken, then advances the read position (also past the end).
  bool GetNextToken(TToken& token);

  int GetPosition() const;
  // Moves the read position to `index` and returns GetCurrentToken.
  bool SetPosition(int index, TToken& token);

  // True when the token is a reserved word and is `word`, or `word` is
  // kAnyReservedWord.
  static bool IsReservedWord(const TToken& token, std::uint16_t word);

 private:
  class Scanner;

  // A token as stored: 15 million of them (a 60 MB script) take 300 MB.
  // The text is a range of text_ or, when it is not written verbatim in the
  // source (collapsed doubled quotes, a hexadecimal literal's decimal text,
  // a parameter's value), of side_.
  struct TStoredToken {
    std::uint32_t Offset = 0;
    std::uint32_t Length = 0;
    std::int32_t Line = 0;
    std::int32_t Column = 0;
    std::uint16_t ReservedWord = kNoReservedWord;
    TTokenType TokenType = tktNone;
    std::uint8_t Flags = 0;  // kInSideText, kHasValue
  };
  static constexpr std::uint8_t kInSideText = 1;
  static constexpr std::uint8_t kHasValue = 2;

  // The public form of tokens_[index].
  TToken Expand(std::size_t index) const;
  // The token at `index` of the current statement, as GetCurrentToken.
  bool ReadToken(int index, TToken& token) const;

  // The text tokens point into: owned_, or the shared text.
  std::string owned_;
  std::shared_ptr<const std::string> shared_;
  std::string_view text_;
  TLexPlace end_;
  const TParams* params_;
  // Append-only while scanning; nothing views it before the scan ends.
  std::string side_;
  std::vector<TStoredToken> tokens_;
  // The values of substituted parameters, with the indexes in tokens_ of
  // their tokens (ascending).
  std::vector<TZorValue> values_;
  std::vector<std::uint32_t> value_tokens_;
  std::vector<TSQLCommand> commands_;
  int current_ = -1;
};

}  // namespace kivo
