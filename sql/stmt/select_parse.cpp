#include "sql/stmt/select_parse.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/value_text.h"
#include "sql/stmt/keywords.h"

namespace kivo {

using stmt_detail::W;

namespace {

// Native error numbers of the SELECT grammar.
namespace err {
constexpr int kBlank = 1004;           // "Blank SQL command"
constexpr int kNotSelect = 1005;       // "SQL token expected ..."
constexpr int kPseudonym = 1010;       // "Field pseudonym expected ..." (after AS)
constexpr int kIntoTable = 1012;       // "Table name expected ..."
constexpr int kFrom = 1014;            // "FROM expected ..."
constexpr int kFirstTable = 1015;      // "Table name expected ..."
constexpr int kNextTable = 1016;       //
constexpr int kFirstItem = 1017;       // "Field list expected ..."
constexpr int kTableAlias = 1018;      // "Field pseudonym expected ..." (after AS)
constexpr int kMemoryTable = 1019;     // "Table name expected ..." (after MEMORY)
constexpr int kDottedTable = 1020;     // "Table name expected ..." (after "db.")
constexpr int kNextItem = 1021;        // "Field name expected ..."
constexpr int kInnerReference = 1022;  // "Field name expected ..." (after "(")
constexpr int kReferenceClose = 1023;  // "Unexpected token ..." (no ")")
constexpr int kJoin = 1024;            // "Token 'JOIN' expected ..."
constexpr int kAfterNatural = 1025;    // "Unexpected token ..."
constexpr int kAfterCross = 1026;
constexpr int kAfterInner = 1027;
constexpr int kAfterLeft = 1028;
constexpr int kAfterRight = 1029;
constexpr int kAfterFull = 1030;
constexpr int kAfterOuter = 1031;
constexpr int kJoinedTable = 1032;  // "Table name expected ..."
constexpr int kUsingOpen = 1033;    // "Token '(' expected ..."
constexpr int kUsingClose = 1034;   // "Unexpected token ..."
constexpr int kUsingFirst = 1035;   // "Field name expected ..."
constexpr int kUsingNext = 1036;
constexpr int kEndOfCommand = 1039;  // "Unexpected end of SQL command found at line %d"
constexpr int kOrderBy = 1045;       // "Token 'BY' expected ..."
constexpr int kNextSort = 1047;      // "Sort specification expected ..."
constexpr int kFirstSort = 1048;
constexpr int kSortName = 1049;    // "Field name expected ..."
constexpr int kSortDotted = 1050;  // "Unexpected token ..."
constexpr int kPassword = 1058;    // "Quoted password expected ..."
constexpr int kGroupBy = 1063;     // "Token 'BY' expected ..."
constexpr int kNextGroup = 1064;   // "Field name expected ..."
constexpr int kFirstGroup = 1065;
constexpr int kGroupNotField = 1066;
constexpr int kExpression = 1090;  // "Expression expected ..."
constexpr int kTopCount = 1091;    // "Integer expected ..."
constexpr int kTopFirstRow = 1092;
}  // namespace err

}  // namespace

TKivoSQLSelect::TKivoSQLSelect(TKivoLexer& lexer) : TKivoSQLCursorCommand(lexer) { Parse(); }

void TKivoSQLSelect::Parse() {
  LoadToken();
  if (AtEnd()) throw ZorException::Create(err::kBlank);
  if (!IsReserved(W().SELECT)) RaiseAtToken(err::kNotSelect);
  NextToken();
  if (IsReserved(W().ALL)) {
    NextToken();
  } else if (IsReserved(W().DISTINCT)) {
    distinct_ = true;
    NextToken();
  }
  if (IsReserved(W().TOP)) ParseTop();
  ParseSelectList();
  if (IsReserved(W().INTO)) ParseInto();
  ParseFrom();
  ParseClauses();
}

TKivoSQLSelect::TKivoSQLSelect(TKivoLexer& lexer, std::vector<TZorSelectListItem> items,
                               std::unique_ptr<TZorTableReference> from)
    : TKivoSQLCursorCommand(lexer), items_(std::move(items)) {
  select_all_ = items_.empty();
  LoadToken();
  if (from) {
    from_.push_back(std::move(from));
  } else {
    if (IsReserved(W().INTO)) ParseInto();
    ParseFrom();
  }
  ParseClauses();
}

bool TKivoSQLSelect::ReadsOneTable() const {
  if (from_.size() != 1 || from_.front()->IsJoin || group_by_.Count() > 0) return false;
  if (select_all_) return true;
  return std::none_of(items_.begin(), items_.end(),
                      [](const TZorSelectListItem& item) { return item.IsExpression; });
}

void TKivoSQLSelect::ParseClauses() {
  if (IsReserved(W().WHERE)) {
    NextToken();
    where_ = Condition();
  }
  if (IsReserved(W().GROUP)) ParseGroupBy();
  if (IsReserved(W().HAVING)) {
    NextToken();
    having_ = Condition();
  }
  if (IsReserved(W().ORDER)) ParseOrderBy();
}

void TKivoSQLSelect::ParseTop() {
  auto integer = [this](int code) {
    std::int64_t v = 0;
    if (token_.TokenType != tktInt) RaiseAtToken(code);
    if (!TryTextToInt(token_.Text, 32, false, &v)) {
      throw EConvertError("'" + std::string(token_.Text) + "' is not a valid integer value");
    }
    NextToken();
    return static_cast<std::int32_t>(v);
  };
  NextToken();
  top_count_ = integer(err::kTopCount);
  if (IsComma()) {
    NextToken();
    top_first_row_ = integer(err::kTopFirstRow);
  }
}

void TKivoSQLSelect::ParseSelectList() {
  if (IsSign("*")) {
    select_all_ = true;
    NextToken();
    return;
  }
  ParseSelectItem(err::kFirstItem);
  while (IsComma()) {
    NextToken();
    ParseSelectItem(err::kNextItem);
  }
}

// A value expression and its alias. The item is missing (`missing`) at the
// end of the statement and at the clause words that follow the list.
void TKivoSQLSelect::ParseSelectItem(int missing) {
  if (AtEnd() || IsReserved(W().FROM) || IsReserved(W().INTO)) RaiseAtToken(missing);
  TZorExpression parsed(*lexer_);
  parsed.ParseValueExpression();
  LoadToken();
  if (parsed.IsEmpty()) RaiseAtToken(err::kExpression);
  TZorSelectListItem item;
  if (parsed.IsField()) {
    parsed.GetFieldName(item.TableName, item.FieldName);
    item.IsStar = item.FieldName == "*";
  } else {
    item.IsExpression = true;
    item.Expression = std::make_unique<TZorExpression>(parsed.TakeRoot());
  }
  if (IsReserved(W().AS)) {
    NextToken();
    if (!IsNameToken()) RaiseAtToken(err::kPseudonym);
    item.Pseudonym = std::string(token_.Text);
    NextToken();
  } else if (IsNameToken()) {
    item.Pseudonym = std::string(token_.Text);
    NextToken();
  }
  items_.push_back(std::move(item));
}

void TKivoSQLSelect::ParseInto() {
  NextToken();
  if (IsReserved(W().MEMORY)) {
    into_memory_ = true;
    NextToken();
  }
  into_table_name_ = ReadTableName(err::kIntoTable);
  if (token_.TokenType == tktDot) {
    NextToken();
    into_database_file_name_ = std::move(into_table_name_);
    into_table_name_ = ReadTableName(err::kIntoTable);
  }
}

void TKivoSQLSelect::ParseFrom() {
  if (!IsReserved(W().FROM)) RaiseAtToken(err::kFrom);
  NextToken();
  int height = 0;
  std::unique_ptr<TZorTableReference> first = TableReference(height);
  if (!first) RaiseAtToken(err::kFirstTable);
  from_.push_back(std::move(first));
  while (IsComma()) {
    NextToken();
    std::unique_ptr<TZorTableReference> next = TableReference(height);
    if (!next) RaiseAtToken(err::kNextTable);
    from_.push_back(std::move(next));
  }
}

std::unique_ptr<TZorTableReference> TKivoSQLSelect::TableReference(int& height) {
  std::unique_ptr<TZorTableReference> tree = TablePrimary(height);
  if (!tree) return nullptr;
  bool natural = false;
  std::uint8_t type = jtInner;
  while (JoinWords(natural, type)) {
    int rightHeight = 0;
    std::unique_ptr<TZorTableReference> right = TablePrimary(rightHeight);
    if (!right) RaiseAtToken(err::kJoinedTable);
    height = 1 + std::max(height, rightHeight);
    CheckHeight(height);
    auto join = std::make_unique<TZorTableReference>();
    join->IsJoin = true;
    join->Natural = natural;
    join->JoinType = type;
    join->LeftRef = std::move(tree);
    join->RightRef = std::move(right);
    if (IsReserved(W().ON)) {
      NextToken();
      join->OnCondition = Condition();
    } else if (IsReserved(W().USING)) {
      ParseUsing(*join);
    }
    tree = std::move(join);
  }
  return tree;
}

std::unique_ptr<TZorTableReference> TKivoSQLSelect::TablePrimary(int& height) {
  if (IsLeftParenthesis()) {
    Nested level(*this);
    NextToken();
    std::unique_ptr<TZorTableReference> inner = TableReference(height);
    if (!inner) RaiseAtToken(err::kInnerReference);
    Close(err::kReferenceClose);
    return inner;
  }
  auto ref = std::make_unique<TZorTableReference>();
  if (IsReserved(W().MEMORY)) {
    ref->InMemory = true;
    NextToken();
    if (!IsTableNameToken()) RaiseAtToken(err::kMemoryTable);
  }
  if (!IsTableNameToken()) return nullptr;
  height = 1;
  ref->TableName = ReadTableName(err::kFirstTable);
  if (token_.TokenType == tktDot) {
    NextToken();
    ref->DatabaseName = std::move(ref->TableName);
    ref->TableName = ReadTableName(err::kDottedTable);
  }
  if (IsReserved(W().AS)) {
    NextToken();
    if (!IsNameToken()) RaiseAtToken(err::kTableAlias);
    ref->Alias = std::string(token_.Text);
    NextToken();
  } else if (IsWordToken()) {
    ref->Alias = std::string(token_.Text);
    NextToken();
  }
  if (IsReserved(W().PASSWORD)) {
    NextToken();
    if (token_.TokenType != tktQuotedString) RaiseAtToken(err::kPassword);
    ref->Password = std::string(token_.Text);
    NextToken();
  }
  return ref;
}

bool TKivoSQLSelect::JoinWords(bool& natural, std::uint8_t& type) {
  natural = false;
  type = jtInner;
  bool written = false;
  if (IsReserved(W().NATURAL)) {
    natural = written = true;
    NextReserved(err::kAfterNatural);
  }
  const struct {
    std::uint16_t word;
    std::uint8_t type;
    int after;
    bool outer;
  } kinds[] = {
      {W().CROSS, jtCross, err::kAfterCross, false},
      {W().INNER, jtInner, err::kAfterInner, false},
      {W().LEFT, jtLeftOuter, err::kAfterLeft, true},
      {W().RIGHT, jtRightOuter, err::kAfterRight, true},
      {W().FULL, jtFullOuter, err::kAfterFull, true},
  };
  for (const auto& kind : kinds) {
    if (!IsReserved(kind.word)) continue;
    written = true;
    type = kind.type;
    NextReserved(kind.after);
    if (kind.outer && IsReserved(W().OUTER)) NextReserved(err::kAfterOuter);
    break;
  }
  if (!IsReserved(W().JOIN)) {
    if (written) RaiseAtToken(err::kJoin, {std::string("JOIN")});
    return false;
  }
  NextToken();
  return true;
}

// USING "(" name {, name} ")".
void TKivoSQLSelect::ParseUsing(TZorTableReference& join) {
  NextToken();
  if (!IsLeftParenthesis()) RaiseAtToken(err::kUsingOpen, {std::string("(")});
  NextToken();
  int missing = err::kUsingFirst;
  for (;;) {
    if (!IsNameToken()) RaiseAtToken(missing);
    join.UsingFields.emplace_back(token_.Text);
    NextToken();
    if (!IsComma()) break;
    NextToken();
    missing = err::kUsingNext;
  }
  Close(err::kUsingClose);
}

std::unique_ptr<TZorExpression> TKivoSQLSelect::Condition() {
  // The expression parser starts with a token of its own and would report
  // an end here at line 0; the line of the statement's last token is meant.
  if (AtEnd()) throw ZorException::CreateFmt(err::kEndOfCommand, {}, {std::int64_t{token_.Line}});
  TZorExpression parsed(*lexer_);
  parsed.ParseSearchCondition();
  LoadToken();
  auto condition = std::make_unique<TZorExpression>(parsed.TakeRoot());
  if (!select_all_ && condition->Root() != nullptr) condition->Root()->ResolveAliases(items_);
  return condition;
}

// GROUP BY field {, field}: each item a plain field reference.
void TKivoSQLSelect::ParseGroupBy() {
  NextToken();
  if (!IsReserved(W().BY)) RaiseAtToken(err::kGroupBy, {std::string("BY")});
  NextToken();
  int missing = err::kFirstGroup;
  for (;;) {
    if (AtEnd()) RaiseAtToken(missing);
    const int start = SavePosition();
    TZorExpression parsed(*lexer_);
    parsed.ParseValueExpression();
    LoadToken();
    if (parsed.IsEmpty()) RaiseAtToken(missing);
    TZorSelectListItem field;
    if (parsed.IsField()) parsed.GetFieldName(field.TableName, field.FieldName);
    if (!parsed.IsField() || field.FieldName == "*") {
      RestorePosition(start);
      RaiseAtToken(err::kGroupNotField);
    }
    group_by_.Add(field);
    if (!IsComma()) break;
    NextToken();
    missing = err::kNextGroup;
  }
}

// ORDER BY [qualifier .] name [ASC | DESC] {, ...}.
void TKivoSQLSelect::ParseOrderBy() {
  NextToken();
  if (!IsReserved(W().BY)) RaiseAtToken(err::kOrderBy, {std::string("BY")});
  NextToken();
  int missing = err::kFirstSort;
  for (;;) {
    if (AtEnd()) RaiseAtToken(missing);
    if (!IsNameToken()) RaiseAtToken(err::kSortName);
    TZorSortSpecification sort;
    sort.FieldName = std::string(token_.Text);
    NextToken();
    if (token_.TokenType == tktDot) {
      NextToken();
      if (!IsNameToken()) RaiseAtToken(err::kSortDotted);
      sort.TableName = std::move(sort.FieldName);
      sort.FieldName = std::string(token_.Text);
      NextToken();
    }
    if (IsReserved(W().ASC)) {
      NextToken();
    } else if (IsReserved(W().DESC)) {
      sort.Descending = true;
      NextToken();
    }
    order_by_.push_back(std::move(sort));
    if (!IsComma()) break;
    NextToken();
    missing = err::kNextSort;
  }
}

}  // namespace kivo
