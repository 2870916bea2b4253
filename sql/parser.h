// The SQL expression parser.
//
// TKivoParser is the base of every parser over a lexer's current statement:
// it keeps the current token and moves through the statement's tokens.
// TZorExpression parses one search condition (WHERE, HAVING, ON) or value
// expression (select items, SET and INSERT values, ORDER BY and GROUP BY
// items) into a tree of TZorExprNode, starting at the lexer's read position
// and leaving it on the first token it did not consume.
//
// The grammar is recursive descent that tries alternatives in a fixed order
// and rewinds between tries. Results of the rules that several alternatives
// read at the same position are remembered by position, so nesting never
// costs more than once per level. Nesting of parentheses (and of the calls,
// CASTs and sub-queries written with them) is limited to kMaxNesting
// levels and a tree to kMaxTreeHeight levels; deeper input raises
// ZorException kNestingTooDeep ("Expression nested too deeply ...").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/expr_nodes.h"
#include "sql/lexer.h"

namespace kivo {

class TKivoParser {
 public:
  // `lexer` is not owned; it may be null for a parser that only holds a
  // result (the position operations need one).
  explicit TKivoParser(TKivoLexer* lexer);
  virtual ~TKivoParser() = default;

  TKivoLexer* Lexer() const { return lexer_; }
  const TToken& CurrentToken() const { return token_; }

 protected:
  // The lexer read position, and a return to it (reloading the token).
  int SavePosition() const { return lexer_->GetPosition(); }
  void RestorePosition(int position) { lexer_->SetPosition(position, token_); }
  // Moves to the next token; false past the end of the statement.
  bool NextToken() { return lexer_->GetNextToken(token_); }
  // Reloads the token at the read position.
  bool LoadToken() { return lexer_->GetCurrentToken(token_); }

  bool AtEnd() const { return token_.TokenType == tktNone; }
  bool IsReserved(std::uint16_t word) const { return TKivoLexer::IsReservedWord(token_, word); }
  // An operator sign or other bare token with exactly this text.
  bool IsSign(std::string_view text) const {
    return token_.TokenType == tktString && token_.Text == text;
  }
  bool IsLeftParenthesis() const { return token_.TokenType == tktLeftParenthesis; }
  bool IsRightParenthesis() const { return token_.TokenType == tktRightParenthesis; }
  bool IsComma() const { return token_.TokenType == tktComma; }

  // Raises ZorException `code` with the current token's text, line and
  // column as the last three arguments, after `leading` ones.
  [[noreturn]] void RaiseAtToken(int code, std::vector<FormatArg> leading = {}) const;

  TKivoLexer* lexer_;
  TToken token_;
};

class TZorExpression : public TKivoParser {
 public:
  static constexpr int kMaxNesting = 128;
  static constexpr int kMaxTreeHeight = 1024;

  // An expression to parse from the lexer's read position.
  explicit TZorExpression(TKivoLexer& lexer);
  // An expression around an existing tree (no lexer to parse from).
  explicit TZorExpression(TZorNodePtr root);
  ~TZorExpression() override;
  TZorExpression(const TZorExpression&) = delete;
  TZorExpression& operator=(const TZorExpression&) = delete;

  // Parse from the current token; none raises 1039 "Unexpected end of SQL
  // command found at line %d". A search condition whose root is AND takes
  // the operands of nested ANDs into the root, in place.
  void ParseSearchCondition();
  void ParseValueExpression();

  TZorExprNode* Root() const { return root_.get(); }
  TZorNodePtr TakeRoot() { return std::move(root_); }
  bool IsEmpty() const { return root_ == nullptr; }
  // True when the root is a field reference; GetFieldName gives its parts
  // (ZorException 1062 "Node is not field" otherwise).
  bool IsField() const;
  void GetFieldName(std::string& table, std::string& field) const;

  void Bind(const TZorFieldSource& source);
  std::string Dump() const;

  // The root's result for the current row (TZorExprNode::Evaluate); it may
  // borrow the row's memory and stays valid until the next evaluation.
  // ZorException 1070 "Cannot get expression value" without a root.
  const TZorValue& Evaluate(TZorEvalContext* context);
  void ResetAggregates();
  void Accumulate(TZorEvalContext* context);
  // 0 without a root.
  std::uint8_t GetResultType() const;
  std::int32_t GetResultSize() const;
  // False without a root.
  bool IsAggregated() const;
  bool IsFieldFree() const;

 private:
  class Grammar;

  TZorNodePtr root_;
};

}  // namespace kivo
