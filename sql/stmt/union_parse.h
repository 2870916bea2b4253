// TKivoSQLUnion: a query statement, one SELECT or a set expression of them.
//
//   expression = term { (UNION | EXCEPT | MINUS) options term }
//   term       = primary { INTERSECT options primary }
//   primary    = "(" expression ")" | SELECT ...
//   options    = [ALL] [CORRESPONDING [BY "(" name {, name} ")"]]
//
// Both operator levels are left-associative; INTERSECT binds tighter. Every
// statement that starts with SELECT or "(" is read by this class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql/stmt/command.h"
#include "sql/stmt/select_parse.h"

namespace kivo {

enum TZorQueryKind : std::uint8_t {
  qkSelect = 0,
  qkUnion = 1,
  qkExcept = 2,  // EXCEPT or MINUS
  qkIntersect = 3,
};

// A node of a set expression: a SELECT (Kind qkSelect, Select set) or a set
// operation over its two operands.
struct TZorQueryExprNode {
  std::uint8_t Kind = qkSelect;
  std::unique_ptr<TZorQueryExprNode> LeftNode;
  std::unique_ptr<TZorQueryExprNode> RightNode;
  bool All = false;
  bool Corresponding = false;
  std::vector<std::string> CorrespondingFields;  // the BY list; may be empty
  std::unique_ptr<TKivoSQLSelect> Select;
};

class TKivoSQLUnion : public TKivoSQLCursorCommand {
 public:
  // Parses at once, leaving the read position on the first token after the
  // statement. A statement that is one SELECT takes over its INTO
  // destination.
  explicit TKivoSQLUnion(TKivoLexer& lexer);

  const TZorQueryExprNode& Root() const { return *root_; }

  // Plans every SELECT and combines them bottom-up with set operators.
  std::unique_ptr<TKivoAO> BuildOperatorTree(const TZorRunContext& run) override;

 protected:
  void Parse() override;

 private:
  // Each sets `height` to the height of the tree it returns.
  std::unique_ptr<TZorQueryExprNode> Expression(int& height);
  std::unique_ptr<TZorQueryExprNode> Term(int& height);
  std::unique_ptr<TZorQueryExprNode> Primary(int& height);
  std::unique_ptr<TKivoAO> BuildNode(const TZorQueryExprNode& node, const TZorRunContext& run);
  // The operator word is current: reads it and the options into a new node
  // over `left` of kind `kind`, then its right operand with `operand`.
  template <class Operand>
  std::unique_ptr<TZorQueryExprNode> Combine(std::unique_ptr<TZorQueryExprNode> left,
                                             std::uint8_t kind, int& height, Operand operand);

  std::unique_ptr<TZorQueryExprNode> root_;
};

}  // namespace kivo
