#include "sql/stmt/union_parse.h"

#include <algorithm>
#include <utility>

#include "sql/stmt/keywords.h"

namespace kivo {

using stmt_detail::W;

namespace {

namespace err {
constexpr int kCloseParenthesis = 1007;   // "Unexpected token ..." (no ")")
constexpr int kCorrespondingName = 1009;  // "Field name expected ..."
constexpr int kCorrespondingOpen = 1060;  // "Token '(' expected ..."
constexpr int kSelect = 1061;             // "Token 'SELECT' expected ..."
}  // namespace err

}  // namespace

TKivoSQLUnion::TKivoSQLUnion(TKivoLexer& lexer) : TKivoSQLCursorCommand(lexer) { Parse(); }

void TKivoSQLUnion::Parse() {
  LoadToken();
  int height = 0;
  root_ = Expression(height);
  if (root_->Kind == qkSelect) {
    into_table_name_ = root_->Select->IntoTableName();
    into_database_file_name_ = root_->Select->IntoDatabaseFileName();
    into_memory_ = root_->Select->IntoMemory();
  }
}

std::unique_ptr<TZorQueryExprNode> TKivoSQLUnion::Expression(int& height) {
  std::unique_ptr<TZorQueryExprNode> tree = Term(height);
  for (;;) {
    std::uint8_t kind = 0;
    if (IsReserved(W().UNION)) {
      kind = qkUnion;
    } else if (IsReserved(W().EXCEPT) || IsReserved(W().MINUS)) {
      kind = qkExcept;
    } else {
      return tree;
    }
    tree = Combine(std::move(tree), kind, height, [this](int& h) { return Term(h); });
  }
}

std::unique_ptr<TZorQueryExprNode> TKivoSQLUnion::Term(int& height) {
  std::unique_ptr<TZorQueryExprNode> tree = Primary(height);
  while (IsReserved(W().INTERSECT)) {
    tree = Combine(std::move(tree), qkIntersect, height, [this](int& h) { return Primary(h); });
  }
  return tree;
}

template <class Operand>
std::unique_ptr<TZorQueryExprNode> TKivoSQLUnion::Combine(std::unique_ptr<TZorQueryExprNode> left,
                                                          std::uint8_t kind, int& height,
                                                          Operand operand) {
  auto node = std::make_unique<TZorQueryExprNode>();
  node->Kind = kind;
  node->LeftNode = std::move(left);
  NextToken();
  if (IsReserved(W().ALL)) {
    node->All = true;
    NextToken();
  }
  if (IsReserved(W().CORRESPONDING)) {
    node->Corresponding = true;
    NextToken();
    if (IsReserved(W().BY)) {
      NextToken();
      if (!IsLeftParenthesis()) RaiseAtToken(err::kCorrespondingOpen, {std::string("(")});
      do {
        NextToken();
        if (!IsNameToken()) RaiseAtToken(err::kCorrespondingName);
        node->CorrespondingFields.emplace_back(token_.Text);
        NextToken();
      } while (IsComma());
      Close(err::kCloseParenthesis);
    }
  }
  int rightHeight = 0;
  node->RightNode = operand(rightHeight);
  height = 1 + std::max(height, rightHeight);
  CheckHeight(height);
  return node;
}

std::unique_ptr<TZorQueryExprNode> TKivoSQLUnion::Primary(int& height) {
  if (IsLeftParenthesis()) {
    Nested level(*this);
    NextToken();
    std::unique_ptr<TZorQueryExprNode> inner = Expression(height);
    Close(err::kCloseParenthesis);
    return inner;
  }
  if (!IsReserved(W().SELECT)) RaiseAtToken(err::kSelect, {std::string("SELECT")});
  auto node = std::make_unique<TZorQueryExprNode>();
  node->Select = std::make_unique<TKivoSQLSelect>(*lexer_);
  LoadToken();
  height = 1;
  return node;
}

}  // namespace kivo
