#include "sql/stmt/command.h"

#include <cstdint>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

namespace {

constexpr int kTableName = 1012;  // "Table name expected, but '%s' found ..."

}  // namespace

std::vector<int> ShownFieldNumbers(const TZorTable& table) {
  std::vector<int> fields;
  if (table.VisibleFields().empty()) {
    for (int n = 0; n < table.FieldCount(); ++n) fields.push_back(n);
    return fields;
  }
  for (const std::string& name : table.VisibleFields()) {
    for (int n = 0; n < table.FieldCount(); ++n) {
      if (AnsiSameText(table.FieldName(n), name)) {
        fields.push_back(n);
        break;
      }
    }
  }
  return fields;
}

void CopyRows(TZorTable& from, const std::vector<int>& fields, TZorTable& to) {
  TZorValue value;
  TZorAppendRun run(to);
  for (from.First(); !from.Eof(); from.Next()) {
    to.Append();
    try {
      for (std::size_t k = 0; k < fields.size(); ++k) {
        from.ReadField(fields[k], value);
        to.WriteField(static_cast<int>(k), value);
      }
      to.Post();
    } catch (...) {
      to.Cancel();
      throw;
    }
  }
  run.End();
}

bool TKivoSQLCommand::IsSafeTableName(std::string_view name) {
  if (name.empty() || name.find("..") != std::string_view::npos) return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

bool TKivoSQLCommand::IsWordToken() const {
  return token_.TokenType == tktBracketedString ||
         (token_.TokenType == tktString && IsWordText(token_.Text));
}

bool TKivoSQLCommand::IsNameToken() const {
  return IsWordToken() || token_.TokenType == tktQuotedString;
}

bool TKivoSQLCommand::IsTableNameToken() const {
  return IsNameToken() || token_.TokenType == tktReservedWord;
}

std::string TKivoSQLCommand::ReadTableName(int missing) {
  if (!IsTableNameToken()) RaiseAtToken(missing);
  if (!IsSafeTableName(token_.Text)) RaiseAtToken(kTableName);
  std::string name(token_.Text);
  NextToken();
  return name;
}

void TKivoSQLCommand::NextReserved(int code) {
  NextToken();
  if (token_.TokenType != tktReservedWord) RaiseAtToken(code);
}

void TKivoSQLCommand::Close(int code) {
  if (!IsRightParenthesis()) RaiseAtToken(code);
  NextToken();
}

void TKivoSQLCommand::RaiseNesting(int limit) const {
  throw ZorException::CreateFmt(
      native_error::kNestingTooDeep, {},
      {std::int64_t{limit}, std::int64_t{token_.Line}, std::int64_t{token_.Column}});
}

void TKivoSQLCommand::CheckHeight(int height) const {
  if (height > TZorExpression::kMaxTreeHeight) RaiseNesting(TZorExpression::kMaxTreeHeight);
}

}  // namespace kivo
