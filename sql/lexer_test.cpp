#include "sql/lexer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::NativeErrorOf;

// Every statement's tokens, each as "<kind>:<text>".
std::vector<std::vector<std::string>> Lex(const std::string& text,
                                          const TParams* params = nullptr) {
  TKivoLexer lexer(text, params);
  std::vector<std::vector<std::string>> out;
  for (int c = 0; c < lexer.CommandCount(); ++c) {
    std::vector<std::string> tokens;
    for (int i = 0; i < lexer.TokenCount(c); ++i) {
      const TToken t = lexer.TokenAt(c, i);
      tokens.push_back(std::to_string(static_cast<int>(t.TokenType)) + ":" + std::string(t.Text));
    }
    out.push_back(tokens);
  }
  return out;
}

// The tokens of a text that must hold exactly one statement.
std::vector<std::string> One(const std::string& text, const TParams* params = nullptr) {
  auto all = Lex(text, params);
  EXPECT_EQ(all.size(), 1u) << text;
  return all.empty() ? std::vector<std::string>{} : all[0];
}

std::string S(TTokenType kind, const std::string& text) {
  return std::to_string(static_cast<int>(kind)) + ":" + text;
}

// A lexer and the tokens of its first statement (which view the lexer).
struct Lexed {
  explicit Lexed(const std::string& text, const TParams* params = nullptr) : lexer(text, params) {
    for (int i = 0; i < lexer.TokenCount(0); ++i) tokens.push_back(lexer.TokenAt(0, i));
  }
  TKivoLexer lexer;
  std::vector<TToken> tokens;
};

TEST(LexerTest, StatementsAreSeparatedBySemicolonsAndNeverEmpty) {
  EXPECT_EQ(Lex("SELECT a FROM t; SELECT b FROM u").size(), 2u);
  EXPECT_EQ(Lex("SELECT 1;;").size(), 1u);
  EXPECT_EQ(Lex("").size(), 0u);
  EXPECT_EQ(Lex(" ;; ; \n").size(), 0u);
  EXPECT_EQ(Lex("-- only a comment\n/* and another */").size(), 0u);
  EXPECT_EQ(One("a;"), (std::vector<std::string>{S(tktString, "a")}));
}

TEST(LexerTest, QuotedStringsAndBracketedNames) {
  EXPECT_EQ(One("'It''s'"), (std::vector<std::string>{S(tktQuotedString, "It's")}));
  EXPECT_EQ(One("\"say \"\"hi\"\"\""),
            (std::vector<std::string>{S(tktQuotedString, "say \"hi\"")}));
  EXPECT_EQ(One("[Order Details]"),
            (std::vector<std::string>{S(tktBracketedString, "Order Details")}));
  EXPECT_EQ(One("[a]]b]"), (std::vector<std::string>{S(tktBracketedString, "a]b")}));
  EXPECT_EQ(One("''"), (std::vector<std::string>{S(tktQuotedString, "")}));
  // Quotes of the other kind, semicolons and comment starts are plain text inside.
  EXPECT_EQ(One("'a\"b;--c/*d'"), (std::vector<std::string>{S(tktQuotedString, "a\"b;--c/*d")}));
  EXPECT_EQ(One("x='y'"), (std::vector<std::string>{S(tktString, "x"), S(tktString, "="),
                                                    S(tktQuotedString, "y")}));
  // A reserved word in brackets or quotes is a name.
  EXPECT_EQ(One("[select]"), (std::vector<std::string>{S(tktBracketedString, "select")}));
  EXPECT_EQ(One("'ORDER'"), (std::vector<std::string>{S(tktQuotedString, "ORDER")}));
}

TEST(LexerTest, Numbers) {
  EXPECT_EQ(One("$FF"), (std::vector<std::string>{S(tktInt, "255")}));
  EXPECT_EQ(One("0xff"), (std::vector<std::string>{S(tktInt, "255")}));
  EXPECT_EQ(One("$1E"), (std::vector<std::string>{S(tktInt, "30")}));
  EXPECT_EQ(One("$7FFFFFFFFFFFFFFF"), (std::vector<std::string>{S(tktInt, "9223372036854775807")}));
  for (const char* f : {"1.5", ".5", "1e5", "2E-3", "1e+5", "3.25e-10"}) {
    EXPECT_EQ(One(f), (std::vector<std::string>{S(tktFloat, f)})) << f;
  }
  EXPECT_EQ(One("12"), (std::vector<std::string>{S(tktInt, "12")}));
  // A sign after a digit is an operator; after an exponent letter it is not.
  EXPECT_EQ(One("1-2"),
            (std::vector<std::string>{S(tktInt, "1"), S(tktString, "-"), S(tktInt, "2")}));
  EXPECT_EQ(One("a+1"),
            (std::vector<std::string>{S(tktString, "a"), S(tktString, "+"), S(tktInt, "1")}));
}

TEST(LexerTest, HexLiteralsEndAtSignsAndRejectOtherCharacters) {
  using V = std::vector<std::string>;
  // A sign ends a hexadecimal literal; "E" is a digit there, not an exponent.
  EXPECT_EQ(One("$1E+5"), (V{S(tktInt, "30"), S(tktString, "+"), S(tktInt, "5")}));
  EXPECT_EQ(One("0x1e-1"), (V{S(tktInt, "30"), S(tktString, "-"), S(tktInt, "1")}));
  EXPECT_EQ(One("$ff*0x10"), (V{S(tktInt, "255"), S(tktString, "*"), S(tktInt, "16")}));
  EXPECT_EQ(One("($a)"),
            (V{S(tktLeftParenthesis, "("), S(tktInt, "10"), S(tktRightParenthesis, ")")}));
  EXPECT_EQ(One("$FFFFFFFFFFFFFFFF"), (V{S(tktInt, "-1")}));
  // Decimal exponents keep their sign.
  EXPECT_EQ(One("1E+5-2"), (V{S(tktFloat, "1E+5"), S(tktString, "-"), S(tktInt, "2")}));

  EXPECT_EQ(MessageOf([] { TKivoLexer l("$1.5"); }),
            "Invalid numeric symbol '.' at line 1, column 3 - Native error: 00044");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("x = 0x1g"); }),
            "Invalid numeric symbol 'g' at line 1, column 8 - Native error: 00044");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("0x1x2"); }),
            "Invalid numeric symbol 'x' at line 1, column 4 - Native error: 00044");
  // Only a lone 0 makes "x" a hexadecimal marker.
  EXPECT_EQ(MessageOf([] { TKivoLexer l("12x5"); }),
            "Invalid numeric symbol 'x' at line 1, column 3 - Native error: 00044");
  // A marker without digits names the character after it, or itself at the end.
  EXPECT_EQ(MessageOf([] { TKivoLexer l("$"); }),
            "Invalid numeric symbol '$' at line 1, column 1 - Native error: 00044");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("a\n 0x"); }),
            "Invalid numeric symbol 'x' at line 2, column 3 - Native error: 00044");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("$ 1"); }),
            "Invalid numeric symbol ' ' at line 1, column 2 - Native error: 00044");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("f(0x)"); }),
            "Invalid numeric symbol ')' at line 1, column 5 - Native error: 00044");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("$;"); }),
            "Invalid numeric symbol ';' at line 1, column 2 - Native error: 00044");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("$-1"); }),
            "Invalid numeric symbol '-' at line 1, column 2 - Native error: 00044");
}

TEST(LexerTest, EveryReservedWordIsFoundInAnyCase) {
  for (std::size_t i = 0; i < kReservedWords.size(); ++i) {
    const std::string word(kReservedWords[i]);
    EXPECT_EQ(ReservedWordNumber(word), i) << word;
    EXPECT_EQ(ReservedWordNumber(AnsiLowerCase(word)), i) << word;
    EXPECT_EQ(ReservedWordNumber(word + "_X"), kNoReservedWord) << word;
  }
  EXPECT_EQ(ReservedWordNumber(""), kNoReservedWord);
  EXPECT_EQ(ReservedWordNumber("BLOBCOMPRESSIONLEVELS"), kNoReservedWord);
  EXPECT_EQ(ReservedWordNumber("s\xE9lect"), kNoReservedWord);
}

TEST(LexerTest, OperatorsAndPunctuation) {
  using V = std::vector<std::string>;
  EXPECT_EQ(One("a<=b"), (V{S(tktString, "a"), S(tktString, "<="), S(tktString, "b")}));
  EXPECT_EQ(One("a<>b"), (V{S(tktString, "a"), S(tktString, "<>"), S(tktString, "b")}));
  EXPECT_EQ(One("a>=b"), (V{S(tktString, "a"), S(tktString, ">="), S(tktString, "b")}));
  EXPECT_EQ(One("x||y"), (V{S(tktString, "x"), S(tktString, "||"), S(tktString, "y")}));
  EXPECT_EQ(One("a != b"), (V{S(tktString, "a"), S(tktString, "!="), S(tktString, "b")}));
  EXPECT_EQ(One("1<<2"), (V{S(tktInt, "1"), S(tktString, "<<"), S(tktInt, "2")}));
  EXPECT_EQ(One("1>>2"), (V{S(tktInt, "1"), S(tktString, ">>"), S(tktInt, "2")}));
  EXPECT_EQ(One("a==b"), (V{S(tktString, "a"), S(tktString, "=="), S(tktString, "b")}));
  EXPECT_EQ(One("a && b"), (V{S(tktString, "a"), S(tktString, "&&"), S(tktString, "b")}));
  EXPECT_EQ(One("~a"), (V{S(tktString, "~"), S(tktString, "a")}));
  EXPECT_EQ(One("!a"), (V{S(tktString, "!"), S(tktString, "a")}));
  EXPECT_EQ(One("a*-b/c"), (V{S(tktString, "a"), S(tktString, "*"), S(tktString, "-"),
                              S(tktString, "b"), S(tktString, "/"), S(tktString, "c")}));
  EXPECT_EQ(One("f(a,b)"), (V{S(tktString, "f"), S(tktLeftParenthesis, "("), S(tktString, "a"),
                              S(tktComma, ","), S(tktString, "b"), S(tktRightParenthesis, ")")}));
  EXPECT_EQ(One("t.f"), (V{S(tktString, "t"), S(tktDot, "."), S(tktString, "f")}));
  EXPECT_EQ(One("t.5"), (V{S(tktString, "t"), S(tktFloat, ".5")}));
  EXPECT_EQ(One("t.*"), (V{S(tktString, "t"), S(tktDot, "."), S(tktString, "*")}));
}

TEST(LexerTest, ReservedWordsIgnoreCase) {
  const std::uint16_t select = ReservedWordNumber("SELECT");
  ASSERT_EQ(select, 180);
  EXPECT_EQ(kReservedWords.front(), "ABSOLUTE");
  EXPECT_EQ(kReservedWords.back(), "HEX");
  EXPECT_EQ(ReservedWordNumber("ORDER"), 152);
  EXPECT_EQ(ReservedWordNumber("PASSWORD"), 231);
  EXPECT_EQ(ReservedWordNumber("customer"), kNoReservedWord);
  for (const char* text : {"select", "Select", "SELECT"}) {
    const Lexed lexed(text);
    const TToken t = lexed.tokens.at(0);
    EXPECT_EQ(t.TokenType, tktReservedWord) << text;
    EXPECT_EQ(t.ReservedWord, select) << text;
    EXPECT_EQ(t.Text, text);
    EXPECT_TRUE(TKivoLexer::IsReservedWord(t, select));
    EXPECT_TRUE(TKivoLexer::IsReservedWord(t, kAnyReservedWord));
    EXPECT_FALSE(TKivoLexer::IsReservedWord(t, ReservedWordNumber("FROM")));
  }
  const Lexed lexedName("customer");
  const TToken name = lexedName.tokens.at(0);
  EXPECT_EQ(name.TokenType, tktString);
  EXPECT_EQ(name.ReservedWord, kNoReservedWord);
  EXPECT_FALSE(TKivoLexer::IsReservedWord(name, kAnyReservedWord));
}

TEST(LexerTest, LinesAndColumnsAcrossLinesCommentsAndStrings) {
  auto at = [](const TToken& t) { return std::to_string(t.Line) + ":" + std::to_string(t.Column); };
  EXPECT_EQ(at(Lexed("-- note\nSELECT").tokens.at(0)), "2:1");
  // Tabs count one column; carriage returns none.
  const Lexed lines("SELECT\r\n\ta,  b\nFROM t");
  auto tokens = lines.tokens;
  ASSERT_EQ(tokens.size(), 6u);
  EXPECT_EQ(at(tokens[1]), "2:2");
  EXPECT_EQ(at(tokens[2]), "2:3");
  EXPECT_EQ(at(tokens[3]), "2:6");
  EXPECT_EQ(at(tokens[4]), "3:1");
  EXPECT_EQ(at(tokens[5]), "3:6");
  // Line feeds inside strings and block comments count.
  const Lexed strings("'a\nbc' /* x\ny */ z");
  tokens = strings.tokens;
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].Text, "a\nbc");
  EXPECT_EQ(at(tokens[0]), "1:1");
  EXPECT_EQ(at(tokens[1]), "3:6");
  // Two-character operators and doubled quotes take two columns.
  const Lexed operators("a<=b 'x''y' c");
  tokens = operators.tokens;
  ASSERT_EQ(tokens.size(), 5u);
  EXPECT_EQ(at(tokens[2]), "1:4");
  EXPECT_EQ(at(tokens[3]), "1:6");
  EXPECT_EQ(at(tokens[4]), "1:13");
}

TEST(LexerTest, CommentsSeparateTokens) {
  using V = std::vector<std::string>;
  EXPECT_EQ(One("a-- c\nFROM"), (V{S(tktString, "a"), S(tktReservedWord, "FROM")}));
  EXPECT_EQ(One("a/*c*/b"), (V{S(tktString, "a"), S(tktString, "b")}));
  EXPECT_EQ(One("a /* unterminated"), (V{S(tktString, "a")}));
  EXPECT_EQ(One("a /*/ b */ c"), (V{S(tktString, "a"), S(tktString, "c")}));
  EXPECT_EQ(One("a -- x; y"), (V{S(tktString, "a")}));
  EXPECT_EQ(Lex("a; -- x\n b").size(), 2u);
}

TEST(LexerTest, LexicalErrorsCarryTheirTextAndPosition) {
  EXPECT_EQ(MessageOf([] { TKivoLexer l("(a"); }),
            "Missing right parenthesis at line 1, column 1 - Native error: 00001");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("x\n  f((a)"); }),
            "Missing right parenthesis at line 2, column 5 - Native error: 00001");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("a)"); }),
            "Unexpected symbol ')' found at line 1, column 2 - Native error: 00002");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("a))"); }),
            "Unexpected symbol ')' found at line 1, column 3 - Native error: 00002");
  EXPECT_EQ(MessageOf([] { TKivoLexer l("x\n 'abc"); }),
            "Unterminated string at line 2, column 2 - Native error: 00003");
  EXPECT_EQ(NativeErrorOf([] { TKivoLexer l("[abc"); }), 3);
  EXPECT_EQ(MessageOf([] { TKivoLexer l("SELECT 12g"); }),
            "Invalid numeric symbol 'g' at line 1, column 10 - Native error: 00044");
  EXPECT_EQ(NativeErrorOf([] { TKivoLexer l("1'a'"); }), 44);
  EXPECT_EQ(NativeErrorOf([] { TKivoLexer l("0X1F"); }), 44);
  // Parentheses balance per statement.
  EXPECT_EQ(NativeErrorOf([] { TKivoLexer l("(a; b)"); }), 1);
  // A ")" before its "(" is reported even though the count comes out even.
  EXPECT_EQ(MessageOf([] { TKivoLexer l("a) (b"); }),
            "Unexpected symbol ')' found at line 1, column 2 - Native error: 00002");
  EXPECT_EQ(Lex("f(g(a), (b))").size(), 1u);
}

TEST(LexerTest, ParametersWithoutAListStayParameters) {
  EXPECT_EQ(One("a = :p"),
            (std::vector<std::string>{S(tktString, "a"), S(tktString, "="), S(tktParam, "p")}));
  EXPECT_EQ(One(":a:b"), (std::vector<std::string>{S(tktParam, "a"), S(tktParam, "b")}));
  // A parameter named like a reserved word is still a parameter.
  EXPECT_EQ(One(":select"), (std::vector<std::string>{S(tktParam, "select")}));
}

TEST(LexerTest, ParametersAreReplacedByTheirValues) {
  TParams params;
  params.Add("p").SetAsInteger(7);
  params.Add("Big").SetAsLargeInt(-9000000000);
  params.Add("f").SetAsFloat(2.5);
  params.Add("c").SetAsFloat(1.25, ftCurrency);
  params.Add("s").SetAsString("It's");
  params.Add("w").SetAsWideString(u"\u0150z");
  params.Add("b").SetAsBoolean(true);
  params.Add("blob").SetAsBlob("\x01\x02", ftGraphic);
  params.Add("n", ftInteger);

  EXPECT_EQ(One(":p", &params), (std::vector<std::string>{S(tktInt, "7")}));
  EXPECT_EQ(One(":P", &params), (std::vector<std::string>{S(tktInt, "7")}));
  EXPECT_EQ(One(":big", &params), (std::vector<std::string>{S(tktInt, "-9000000000")}));
  EXPECT_EQ(One(":s", &params), (std::vector<std::string>{S(tktQuotedString, "It's")}));
  EXPECT_EQ(One(":blob", &params),
            (std::vector<std::string>{S(tktQuotedString, "$Blob$Marker$blob")}));
  EXPECT_EQ(One(":n", &params), (std::vector<std::string>{S(tktInt, "")}));

  // Floats use "." whatever the process's decimal separator is.
  const FormatSettings saved = DefaultFormatSettings();
  FormatSettings comma = saved;
  comma.DecimalSeparator = ',';
  SetDefaultFormatSettings(comma);
  const auto floats = One(":f :c", &params);
  SetDefaultFormatSettings(saved);
  EXPECT_EQ(floats, (std::vector<std::string>{S(tktFloat, "2.5"), S(tktFloat, "1.25")}));
  EXPECT_EQ(DefaultFormatSettings().DecimalSeparator, saved.DecimalSeparator);

  TKivoLexer wide(":w", &params);
  const TToken w = wide.TokenAt(0, 0);
  EXPECT_EQ(w.TokenType, tktQuotedString);
  ASSERT_NE(w.Value, nullptr);
  EXPECT_EQ(w.Value->AsWideString(), u"\u0150z");
  EXPECT_EQ(w.Text, Utf16ToCp1250(u"\u0150z"));

  EXPECT_EQ(MessageOf([&] { TKivoLexer l("a = :missing", &params); }),
            "Parameter 'missing' not found");
}

TEST(LexerTest, ParameterTokensCarryTypedValues) {
  double day = 0;
  double time = 0;
  ASSERT_TRUE(TryEncodeDate(2024, 3, 5, &day));
  ASSERT_TRUE(TryEncodeTime(12, 30, 15, 250, &time));
  TParams params;
  params.Add("i").SetAsInteger(7);
  params.Add("big").SetAsLargeInt(-9000000000);
  params.Add("yes").SetAsBoolean(true);
  params.Add("dt").SetAsDateTime(day + time);
  params.Add("d").SetAsDateTime(day + time, ftDate);
  params.Add("blob").SetAsBlob(std::string("\x01\0\x02", 3), ftGraphic);
  params.Add("ni", ftInteger);
  params.Add("nb", ftBCD);
  params.Add("ns", ftFixedChar);
  const Lexed lexed("SELECT :i, :big, :yes, :dt, :d, :blob, :ni, :nb, :ns, :i FROM t", &params);
  std::vector<TToken> values;
  for (const TToken& t : lexed.tokens) {
    if (t.Value != nullptr) values.push_back(t);
  }
  ASSERT_EQ(values.size(), 10u);
  EXPECT_EQ(lexed.tokens[0].Value, nullptr);  // SELECT
  EXPECT_EQ(lexed.tokens[2].Value, nullptr);  // a comma

  EXPECT_EQ(values[0].TokenType, tktInt);
  EXPECT_EQ(values[0].Value->DataType(), ftInteger);
  EXPECT_EQ(values[0].Value->AsInteger(), 7);
  // A LargeInt stays a LargeInt, not just a decimal text.
  EXPECT_EQ(values[1].Value->DataType(), ftLargeint);
  EXPECT_EQ(values[1].Value->AsLargeInt(), -9000000000);
  // A Boolean is a literal, never a name.
  EXPECT_EQ(values[2].TokenType, tktQuotedString);
  EXPECT_EQ(values[2].Text, "true");
  EXPECT_TRUE(values[2].Value->AsBoolean());
  // The milliseconds the text leaves out are in the value.
  EXPECT_EQ(values[3].TokenType, tktQuotedString);
  EXPECT_EQ(values[3].Value->DataType(), ftDateTime);
  EXPECT_EQ(values[3].Value->AsDateTime(), day + time);
  EXPECT_EQ(values[4].Value->DataType(), ftDate);
  EXPECT_EQ(values[4].Value->AsDateTime(), day);
  EXPECT_EQ(values[5].Text, "$Blob$Marker$blob");
  EXPECT_EQ(values[5].Value->AsString(), std::string("\x01\0\x02", 3));
  // NULL parameters give NULLs of their type.
  EXPECT_EQ(values[6].TokenType, tktInt);
  EXPECT_EQ(values[6].Text, "");
  EXPECT_TRUE(values[6].Value->IsNull());
  EXPECT_EQ(values[6].Value->DataType(), ftInteger);
  EXPECT_EQ(values[7].TokenType, tktFloat);
  EXPECT_TRUE(values[7].Value->IsNull());
  EXPECT_EQ(values[7].Value->DataType(), ftFloat);
  EXPECT_TRUE(values[8].Value->IsNull());
  EXPECT_EQ(values[8].Value->DataType(), ftString);
  // Each occurrence has its own copy.
  EXPECT_NE(values[9].Value, values[0].Value);
  EXPECT_EQ(values[9].Value->AsInteger(), 7);
}

TEST(LexerTest, RewrittenTextsStayValidWhileTheLexerLives) {
  // Collapsed quotes, hexadecimal literals and parameter values are kept
  // apart from the source; thousands more of them after the first must not
  // move the first ones.
  TParams params;
  params.Add("s").SetAsString("value");
  std::string script = "SELECT 'It''s', [a]]b], \"q\"\"\", $FF, :s, 'plain', [name]";
  for (int i = 0; i < 20000; ++i) {
    script += "; SELECT 'x''" + std::to_string(i) + "', $" + std::to_string(i % 10) + "A, :s";
  }
  TKivoLexer lexer(script, &params);
  ASSERT_EQ(lexer.CommandCount(), 20001);
  ASSERT_TRUE(lexer.NextCommand());
  std::vector<TToken> first;
  TToken t;
  for (bool more = lexer.GetCurrentToken(t); more; more = lexer.GetNextToken(t)) {
    first.push_back(t);
  }
  const std::vector<std::string> expected = {"SELECT", "It's",  ",",   "a]b", ",",
                                             "q\"",    ",",     "255", ",",   "value",
                                             ",",      "plain", ",",   "name"};
  ASSERT_EQ(first.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(first[i].Text, expected[i]) << i;
  while (lexer.NextCommand()) {
    if (lexer.CurrentCommand() % 1000 != 999) continue;
    const int n = lexer.CurrentCommand() - 1;
    EXPECT_EQ(lexer.TokenAt(lexer.CurrentCommand(), 1).Text, "x'" + std::to_string(n));
    EXPECT_EQ(lexer.TokenAt(lexer.CurrentCommand(), 3).Text, std::to_string(n % 10 * 16 + 10));
    EXPECT_EQ(lexer.TokenAt(lexer.CurrentCommand(), 5).Text, "value");
  }
  // The first statement's views are still what they were.
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(first[i].Text, expected[i]) << i;
  EXPECT_EQ(lexer.TokenCount(0), 14);
  EXPECT_THROW(lexer.TokenAt(0, 14), std::out_of_range);
  EXPECT_THROW(lexer.TokenAt(20001, 0), std::out_of_range);
}

TEST(LexerTest, DateParametersUseTheDateAndTimeFormats) {
  const FormatSettings saved = DefaultFormatSettings();
  FormatSettings fs;
  fs.DateSeparator = '-';
  fs.ShortDateFormat = "yyyy/mm/dd";
  fs.LongTimeFormat = "hh:nn:ss";
  SetDefaultFormatSettings(fs);
  double day = 0;
  double noon = 0;
  ASSERT_TRUE(TryEncodeDate(2024, 3, 5, &day));
  ASSERT_TRUE(TryEncodeTime(12, 30, 0, 0, &noon));
  TParams params;
  params.Add("d").SetAsDateTime(day + noon, ftDate);
  params.Add("t").SetAsDateTime(noon, ftTime);
  params.Add("dt").SetAsDateTime(day + noon);
  const auto tokens = One(":d :t :dt", &params);
  SetDefaultFormatSettings(saved);
  EXPECT_EQ(tokens, (std::vector<std::string>{S(tktQuotedString, "2024-03-05"),
                                              S(tktQuotedString, "12:30:00"),
                                              S(tktQuotedString, "2024-03-05 12:30:00")}));
}

TEST(LexerTest, ReadingTokensForwardAndBack) {
  TKivoLexer lexer("SELECT a; b");
  TToken t;
  EXPECT_FALSE(lexer.GetCurrentToken(t));  // before the first statement
  EXPECT_EQ(t.TokenType, tktNone);
  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.GetCurrentToken(t));
  EXPECT_EQ(t.Text, "SELECT");
  ASSERT_TRUE(lexer.LookAheadToken(t));
  EXPECT_EQ(t.Text, "a");
  EXPECT_EQ(lexer.GetPosition(), 0);
  ASSERT_TRUE(lexer.GetNextToken(t));
  EXPECT_EQ(lexer.GetPosition(), 1);
  // Past the end only the kind changes, so messages can quote the last token.
  EXPECT_FALSE(lexer.GetNextToken(t));
  EXPECT_EQ(t.TokenType, tktNone);
  EXPECT_EQ(t.Text, "a");
  EXPECT_EQ(t.Column, 8);
  EXPECT_EQ(lexer.GetPosition(), 2);
  ASSERT_TRUE(lexer.SetPosition(0, t));
  EXPECT_EQ(t.Text, "SELECT");
  EXPECT_FALSE(lexer.SetPosition(-1, t));
  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.GetCurrentToken(t));
  EXPECT_EQ(t.Text, "b");
  EXPECT_FALSE(lexer.NextCommand());
  EXPECT_FALSE(lexer.NextCommand());
  EXPECT_FALSE(lexer.GetCurrentToken(t));
}

TEST(ParamsTest, LookupIgnoresCaseAndMissingNamesRaise) {
  TParams params;
  params.Add("Alpha", ftString);
  params.Add("beta").SetAsInteger(3);
  EXPECT_EQ(params.Count(), 2);
  ASSERT_NE(params.FindParam("ALPHA"), nullptr);
  EXPECT_EQ(params.FindParam("alpha")->DataType(), ftString);
  EXPECT_TRUE(params.FindParam("alpha")->IsNull());
  EXPECT_EQ(params.ParamByName("BETA").Value().AsInteger(), 3);
  EXPECT_EQ(params.FindParam("gamma"), nullptr);
  EXPECT_EQ(MessageOf([&] { params.ParamByName("gamma"); }), "Parameter 'gamma' not found");
  params[1].Clear();
  EXPECT_TRUE(params[1].IsNull());
  EXPECT_EQ(params[1].DataType(), ftInteger);
  // A date out of range leaves the parameter as it was.
  EXPECT_ANY_THROW(params[1].SetAsDateTime(1e12, ftDate));
  EXPECT_EQ(params[1].DataType(), ftInteger);
}

}  // namespace
}  // namespace kivo
