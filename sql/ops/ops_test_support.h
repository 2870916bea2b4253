// Shared set-up of the operator and SELECT tests: a directory database with
// tables written from text rows, a host and a run context over it, readers
// that turn an operator's or a table's rows into text, and select-list items
// built from text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/sql_host.h"
#include "sql/lexer.h"
#include "sql/ops/ao.h"
#include "testing/test_support.h"

namespace kivo::testing {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// "-" stands for NULL in rows written and read.
inline constexpr char kNull[] = "-";

// A parsed value expression (or search condition), kept with its lexer.
struct ParsedExpression {
  explicit ParsedExpression(const std::string& text, bool condition = false) : lexer(text) {
    lexer.NextCommand();
    expression = std::make_unique<TZorExpression>(lexer);
    condition ? expression->ParseSearchCondition() : expression->ParseValueExpression();
  }
  // A copy of the tree that does not need the lexer.
  std::unique_ptr<TZorExpression> Take() {
    return std::make_unique<TZorExpression>(expression->Root()->Clone());
  }
  TKivoLexer lexer;
  std::unique_ptr<TZorExpression> expression;
};

// A plain field item ("*" makes a star item).
inline TZorSelectListItem FieldItem(const std::string& qualifier, const std::string& name,
                                    const std::string& alias = {}) {
  TZorSelectListItem item;
  item.TableName = qualifier;
  item.FieldName = name;
  item.IsStar = name == "*";
  item.Pseudonym = alias;
  return item;
}

// A computed item.
inline TZorSelectListItem ExprItem(const std::string& text, const std::string& alias = {}) {
  TZorSelectListItem item;
  item.IsExpression = true;
  item.Expression = ParsedExpression(text).Take();
  item.Pseudonym = alias;
  return item;
}

class OperatorTest : public ::testing::Test {
 protected:
  // Table `name` with these fields and rows; each text is converted to its
  // field's type ("-" is NULL).
  void MakeTable(const std::string& name, const std::vector<TZorFieldDef>& fields,
                 const Rows& rows) {
    TZorTableAddress address;
    address.TableName = name;
    auto table = host_.CreateNamedTable(address, fields);
    for (const Row& row : rows) {
      table->Append();
      for (std::size_t i = 0; i < row.size(); ++i) {
        TZorValue value;
        if (row[i] != kNull) value.SetString(row[i]);
        table->WriteField(static_cast<int>(i), value);
      }
      table->Post();
    }
  }

  // The rows of a table's visible records, the fields it shows in order
  // (all fields when it names none).
  static Rows TableRows(TZorTable& table) {
    std::vector<int> fields;
    if (table.VisibleFields().empty()) {
      for (int n = 0; n < table.FieldCount(); ++n) fields.push_back(n);
    } else {
      for (const std::string& name : table.VisibleFields()) {
        for (int n = 0; n < table.FieldCount(); ++n) {
          if (AnsiSameText(table.FieldName(n), name)) {
            fields.push_back(n);
            break;
          }
        }
      }
    }
    Rows rows;
    TZorValue value;
    for (table.First(); !table.Eof(); table.Next()) {
      Row row;
      for (int n : fields) {
        table.ReadField(n, value);
        row.push_back(value.IsNull() ? kNull : value.AsString());
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  // The rows of an operator's cursor (prepared or not), reading `fields`
  // (all links when empty) with hidden reads allowed.
  static Rows OperatorRows(TKivoAO& op, std::vector<int> fields = {}) {
    if (fields.empty()) {
      for (int n = 0; n < op.LinkCount(); ++n) fields.push_back(n);
    }
    Rows rows;
    TZorValue value;
    for (op.First(); !op.Eof(); op.Next()) {
      Row row;
      for (int n : fields) {
        op.ReadField(value, n, true);
        row.push_back(value.IsNull() ? kNull : value.AsString());
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  TempDir dir_;
  TKivoSqlHost host_{"", dir_.path(), "", false};
  TZorHostContext eval_{host_};
  TZorRunContext run_{&host_, &eval_};
};

}  // namespace kivo::testing
