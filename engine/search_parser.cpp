#include "engine/search_parser.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

namespace {

constexpr const char* kOperatorTexts[kSearchOperatorCount] = {
    "=", "<>", "<=", ">=", "<", ">", "like", "not like", "is null", "is not null"};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string Trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

}  // namespace

const char* SearchOperatorText(std::uint8_t op) {
  return op < kSearchOperatorCount ? kOperatorTexts[op] : "?";
}

// ---- Parsing ----

// Reads one filter text into items, by recursive descent over the text with
// a bounded depth. `pos_` is the 0-based current position.
class TSearchParser::Reader {
 public:
  Reader(const std::string& text, TSearchHost& host, TFilterOptions options,
         std::vector<TSearchOperation>& items)
      : text_(text), host_(host), options_(options), items_(items) {}

  void Run() {
    Expression(0);
    // A position on the last character or beyond ends parsing; one stray
    // character at the very end is thereby ignored.
    if (pos_ + 1 < text_.size())
      throw Exception("End of line expected, but \"" + Rest() + "\" found");
  }

 private:
  std::string Rest() const { return pos_ < text_.size() ? text_.substr(pos_) : std::string(); }
  void SkipBlanks() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
  }

  // Matches a keyword at the current position, ignoring case and blanks in
  // both the text and the keyword; the position after its last character.
  std::optional<std::size_t> Keyword(const char* keyword) const {
    std::size_t i = pos_;
    for (const char* k = keyword; *k != '\0'; ++k) {
      if (IsBlank(*k)) continue;
      while (i < text_.size() && IsBlank(text_[i])) ++i;
      if (i >= text_.size() || Lower(text_[i]) != Lower(*k)) return std::nullopt;
      ++i;
    }
    return i;
  }
  bool Accept(const char* keyword) {
    const std::optional<std::size_t> after = Keyword(keyword);
    if (after) pos_ = *after;
    return after.has_value();
  }

  void Push(std::uint8_t kind) {
    TSearchOperation item;
    item.ItemKind = kind;
    items_.push_back(std::move(item));
  }

  void Expression(int depth) {
    Term(depth);
    while (Accept("or")) {
      Push(sikOr);
      Term(depth);
    }
  }

  void Term(int depth) {
    Factor(depth);
    while (Accept("and")) {
      Push(sikAnd);
      Factor(depth);
    }
  }

  void Factor(int depth) {
    if (depth >= kMaxDepth)
      throw Exception("Filter expression nested deeper than " + std::to_string(kMaxDepth) +
                      " levels at \"" + Rest().substr(0, 40) + "\"");
    if (Accept("not")) {
      Push(sikNot);
      Factor(depth + 1);
      return;
    }
    if (Accept("(")) {
      const std::size_t open = items_.size();
      Push(sikOpen);
      Expression(depth + 1);
      if (!Accept(")"))
        throw Exception("Closing bracket \")\" expected, but \"" + Rest() + "\" found");
      // One condition in parentheses stands for itself.
      if (items_.size() == open + 2 && items_[open + 1].ItemKind == sikCondition)
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(open));
      else
        Push(sikClose);
      return;
    }
    Condition();
  }

  std::string FieldName() {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == '[') {
      const std::size_t close = text_.find(']', pos_ + 1);
      if (close == std::string::npos)
        throw Exception("Closing square bracket \"]\" expected, but not found in \"" + Rest() +
                        "\"");
      const std::string inner = text_.substr(pos_ + 1, close - pos_ - 1);
      const std::string name = Trimmed(inner);
      if (name.empty()) throw Exception("Invalid field name \"" + inner + "\"");
      pos_ = close + 1;
      return name;
    }
    const std::size_t start = pos_;
    while (pos_ < text_.size() && IsNameChar(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  void Condition() {
    TSearchOperation op;
    op.ItemKind = sikCondition;
    op.FieldName = FieldName();
    op.FieldNo = host_.SearchFieldNo(op.FieldName);
    int found = -1;
    for (int i = 0; i < kSearchOperatorCount && found < 0; ++i)
      if (Accept(kOperatorTexts[i])) found = i;
    if (found < 0) throw Exception("Operator expected, but \"" + Rest() + "\"  found");
    op.Operator = static_cast<std::uint8_t>(found);
    if (op.Operator != soIsNull && op.Operator != soIsNotNull) Value(op);
    host_.PrepareOperation(op, options_);
    items_.push_back(std::move(op));
  }

  void Value(TSearchOperation& op) {
    SkipBlanks();
    const char first = pos_ < text_.size() ? text_[pos_] : '\0';
    if (first == '\'' || first == '"') {
      StringValue(op);
    } else if (first == 't' || first == 'T' || first == 'f' || first == 'F') {
      op.ValueKind = svkBoolean;
      if (Lower(first) == 't' && Keyword("true") == pos_ + 4) {
        op.ValueText = "true";
        pos_ += 4;
      } else if (Lower(first) == 'f' && Keyword("false") == pos_ + 5) {
        op.ValueText = "false";
        pos_ += 5;
      } else {
        throw Exception("Unexpected meet of \"" + Rest() + "\"  found");
      }
    } else {
      const char separator = DefaultDecimalSeparator();
      const std::size_t start = pos_;
      while (pos_ < text_.size()) {
        const char c = text_[pos_];
        if (!((c >= '0' && c <= '9') || c == separator || c == '+' || c == '-')) break;
        ++pos_;
      }
      if (pos_ == start) throw Exception("Number expected, but \"" + Rest() + "\"  found");
      op.ValueKind = svkNumber;
      op.ValueText = text_.substr(start, pos_ - start);
    }
  }

  void StringValue(TSearchOperation& op) {
    const char quote = text_[pos_];
    const std::size_t opening = pos_;
    std::string value;
    std::size_t i = pos_ + 1;
    for (;;) {
      if (i >= text_.size())
        throw Exception("Unterminated string " + value + text_.substr(opening));
      if (text_[i] == quote) {
        if (i + 1 < text_.size() && text_[i + 1] == quote) {
          value += quote;
          i += 2;
          continue;
        }
        break;
      }
      value += text_[i++];
    }
    // A string closing at the very end leaves the position on its quote.
    pos_ = i + 1 == text_.size() ? i : i + 1;
    op.ValueKind = svkString;
    if ((options_ & foNoPartialCompare) == 0) {
      op.PartialCompare = true;
      if (!value.empty() && value.back() == '*') value.pop_back();
      if (value.empty() && op.Operator == soEqual) op.Operator = soIsNull;
      if (value.empty() && op.Operator == soNotEqual) op.Operator = soIsNotNull;
    }
    op.ValueText = std::move(value);
  }

  const std::string& text_;
  TSearchHost& host_;
  TFilterOptions options_;
  std::vector<TSearchOperation>& items_;
  std::size_t pos_ = 0;
};

void TSearchParser::SetText(const std::string& text) {
  text_ = text;
  items_.clear();
  if (Trimmed(text).empty()) return;
  Reader(text_, host_, options_, items_).Run();
}

// ---- Evaluation ----

namespace {

// Walks the items of a parsed filter with the grammar's precedence (the
// items are in source order), handing conditions and operators to an
// evaluator. The items come from the parser, so their nesting is bounded.
//   Ev::Condition(op, level)  evaluates a condition into slot `level`;
//   Ev::Not(level), Ev::And(level, right), Ev::Or(level, right);
//   Ev::Decided(level, kind)  whether the left operand already decides.
template <class Ev>
class TItemWalker {
 public:
  TItemWalker(const std::vector<TSearchOperation>& items, Ev& ev) : items_(items), ev_(ev) {}

  std::size_t Expression(std::size_t at, int level, bool evaluate) {
    at = Term(at, level, evaluate);
    while (Is(at, sikOr)) {
      const bool right = evaluate && !ev_.Decided(level, sikOr);
      at = Term(at + 1, level + 1, right);
      if (right) ev_.Or(level, level + 1);
    }
    return at;
  }

 private:
  bool Is(std::size_t at, std::uint8_t kind) const {
    return at < items_.size() && items_[at].ItemKind == kind;
  }

  std::size_t Term(std::size_t at, int level, bool evaluate) {
    at = Factor(at, level, evaluate);
    while (Is(at, sikAnd)) {
      const bool right = evaluate && !ev_.Decided(level, sikAnd);
      at = Factor(at + 1, level + 1, right);
      if (right) ev_.And(level, level + 1);
    }
    return at;
  }

  std::size_t Factor(std::size_t at, int level, bool evaluate) {
    if (at >= items_.size()) throw Exception("TSearchParser - incomplete filter items");
    const TSearchOperation& item = items_[at];
    switch (item.ItemKind) {
      case sikNot:
        at = Factor(at + 1, level, evaluate);
        if (evaluate) ev_.Not(level);
        return at;
      case sikOpen:
        at = Expression(at + 1, level, evaluate);
        if (!Is(at, sikClose)) throw Exception("TSearchParser - unbalanced filter items");
        return at + 1;
      case sikCondition:
        if (evaluate) ev_.Condition(item, level);
        return at + 1;
      default:
        throw Exception("TSearchParser - unexpected filter item " + std::to_string(item.ItemKind));
    }
  }

  const std::vector<TSearchOperation>& items_;
  Ev& ev_;
};

}  // namespace

TBitsArray& TSearchParser::Level(int level) {
  if (static_cast<std::size_t>(level) >= stack_.size())
    stack_.resize(static_cast<std::size_t>(level) + 1);
  return stack_[static_cast<std::size_t>(level)];
}

const TBitsArray& TSearchParser::Parse() {
  if (items_.empty()) throw Exception("TSearchParser.Parse - Expression is blank.");
  struct SetEvaluator {
    TSearchParser& p;
    std::int32_t count;
    TBitsArray& At(int level) {
      TBitsArray& bits = p.Level(level);
      if (bits.Length() != count) bits = TBitsArray(count);
      return bits;
    }
    void Condition(const TSearchOperation& op, int level) {
      TBitsArray& bits = At(level);
      bits.Fill(false);
      p.host_.MatchOperationOverTable(op, p.options_, bits);
    }
    void Not(int level) { At(level).Not(); }
    void And(int level, int right) { At(level).And(At(right)); }
    void Or(int level, int right) { At(level).Or(At(right)); }
    bool Decided(int, std::uint8_t) { return false; }  // every record needs both sides
  } ev{*this, std::max(host_.SearchRecordCount(), 0)};
  TItemWalker<SetEvaluator> walker(items_, ev);
  if (walker.Expression(0, 0, true) != items_.size())
    throw Exception("TSearchParser - unbalanced filter items");
  return ev.At(0);
}

bool TSearchParser::Matches(const std::uint8_t* record) {
  if (items_.empty()) return false;
  struct RecordEvaluator {
    TSearchParser& p;
    const std::uint8_t* record;
    std::vector<char> value;
    char& At(int level) {
      if (static_cast<std::size_t>(level) >= value.size())
        value.resize(static_cast<std::size_t>(level) + 1, 0);
      return value[static_cast<std::size_t>(level)];
    }
    void Condition(const TSearchOperation& op, int level) {
      At(level) = p.host_.IsRecordMatches(op, p.options_, record) ? 1 : 0;
    }
    void Not(int level) { At(level) = At(level) ? 0 : 1; }
    void And(int level, int right) { At(level) = At(level) && At(right); }
    void Or(int level, int right) { At(level) = At(level) || At(right); }
    // The left operand decides an `and` when false and an `or` when true;
    // the right one's items are then passed over unevaluated.
    bool Decided(int level, std::uint8_t kind) { return (At(level) != 0) == (kind == sikOr); }
  } ev{*this, record, {}};
  TItemWalker<RecordEvaluator> walker(items_, ev);
  if (walker.Expression(0, 0, true) != items_.size())
    throw Exception("TSearchParser - unbalanced filter items");
  return ev.At(0) != 0;
}

}  // namespace kivo
