#include "sql/lexer.h"

#include <gtest/gtest.h>

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
  for (const TSQLCommand& cmd : lexer.Commands()) {
    std::vector<std::string> tokens;
    for (const TToken& t : cmd.Tokens) {
      tokens.push_back(std::to_string(static_cast<int>(t.TokenType)) + ":" + t.Text);
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

std::vector<TToken> TokensOf(const std::string& text) {
  TKivoLexer lexer(text);
  return lexer.Commands().at(0).Tokens;
}

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
  EXPECT_EQ(One("$"), (std::vector<std::string>{S(tktInt, "0")}));
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
    const TToken t = TokensOf(text).at(0);
    EXPECT_EQ(t.TokenType, tktReservedWord) << text;
    EXPECT_EQ(t.ReservedWord, select) << text;
    EXPECT_EQ(t.Text, text);
    EXPECT_TRUE(TKivoLexer::IsReservedWord(t, select));
    EXPECT_TRUE(TKivoLexer::IsReservedWord(t, kAnyReservedWord));
    EXPECT_FALSE(TKivoLexer::IsReservedWord(t, ReservedWordNumber("FROM")));
  }
  const TToken name = TokensOf("customer").at(0);
  EXPECT_EQ(name.TokenType, tktString);
  EXPECT_EQ(name.ReservedWord, kNoReservedWord);
  EXPECT_FALSE(TKivoLexer::IsReservedWord(name, kAnyReservedWord));
}

TEST(LexerTest, LinesAndColumnsAcrossLinesCommentsAndStrings) {
  auto at = [](const TToken& t) { return std::to_string(t.Line) + ":" + std::to_string(t.Column); };
  EXPECT_EQ(at(TokensOf("-- note\nSELECT").at(0)), "2:1");
  // Tabs count one column; carriage returns none.
  auto tokens = TokensOf("SELECT\r\n\ta,  b\nFROM t");
  ASSERT_EQ(tokens.size(), 6u);
  EXPECT_EQ(at(tokens[1]), "2:2");
  EXPECT_EQ(at(tokens[2]), "2:3");
  EXPECT_EQ(at(tokens[3]), "2:6");
  EXPECT_EQ(at(tokens[4]), "3:1");
  EXPECT_EQ(at(tokens[5]), "3:6");
  // Line feeds inside strings and block comments count.
  tokens = TokensOf("'a\nbc' /* x\ny */ z");
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].Text, "a\nbc");
  EXPECT_EQ(at(tokens[0]), "1:1");
  EXPECT_EQ(at(tokens[1]), "3:6");
  // Two-character operators and doubled quotes take two columns.
  tokens = TokensOf("a<=b 'x''y' c");
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
  EXPECT_EQ(One(":b", &params).at(0).substr(0, 2), S(tktString, ""));
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
  const TToken w = wide.Commands().at(0).Tokens.at(0);
  EXPECT_EQ(w.TokenType, tktQuotedString);
  EXPECT_EQ(w.WideText, u"\u0150z");
  EXPECT_EQ(w.Text, Utf16ToCp1250(u"\u0150z"));

  EXPECT_EQ(MessageOf([&] { TKivoLexer l("a = :missing", &params); }),
            "Parameter 'missing' not found");
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
