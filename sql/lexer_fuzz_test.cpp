// Random texts: the lexer either tokenizes them or raises one of its own
// errors, and never crashes, hangs or reads past the text.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/errors.h"
#include "sql/lexer.h"

namespace kivo {
namespace {

bool IsLexicalError(int code) { return code == 1 || code == 2 || code == 3 || code == 44; }

// Checks the invariants of a successful run.
void CheckTokens(const TKivoLexer& lexer, const std::string& text) {
  for (int c = 0; c < lexer.CommandCount(); ++c) {
    ASSERT_GT(lexer.TokenCount(c), 0) << "empty statement";
    std::int32_t line = 0;
    std::int32_t column = 0;
    for (int i = 0; i < lexer.TokenCount(c); ++i) {
      const TToken t = lexer.TokenAt(c, i);
      ASSERT_NE(t.TokenType, tktNone);
      ASSERT_GE(t.Line, 1);
      ASSERT_GE(t.Column, 1);
      // Tokens come in text order (a carriage return takes no column, so
      // two tokens may share a position).
      ASSERT_TRUE(t.Line > line || (t.Line == line && t.Column >= column))
          << ::testing::PrintToString(text);
      line = t.Line;
      column = t.Column;
      if (t.TokenType == tktReservedWord) {
        ASSERT_LT(t.ReservedWord, kReservedWordCount);
      } else {
        ASSERT_EQ(t.ReservedWord, kNoReservedWord);
      }
    }
  }
}

void RunCases(std::mt19937& rng, const std::string& alphabet, int cases, int maxLength) {
  std::uniform_int_distribution<int> length(0, maxLength);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (int i = 0; i < cases; ++i) {
    std::string text(static_cast<std::size_t>(length(rng)), ' ');
    for (char& c : text) c = alphabet[pick(rng)];
    try {
      TKivoLexer lexer(text);
      CheckTokens(lexer, text);
      TKivoLexer again(text);
      ASSERT_EQ(again.CommandCount(), lexer.CommandCount());
    } catch (const ZorException& e) {
      ASSERT_TRUE(IsLexicalError(e.NativeError())) << e.Message();
    }
  }
}

TEST(LexerFuzzTest, RandomBytesTokenizeOrRaiseALexicalError) {
  std::mt19937 rng(20261210);
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  RunCases(rng, bytes, 2000, 64);
}

TEST(LexerFuzzTest, RandomSqlLikeTextTokenizesOrRaisesALexicalError) {
  std::mt19937 rng(7);
  RunCases(rng, "aeEx0159$.:;()[]'\",+-*/=<>|&!~ \n\t\r", 4000, 40);
}

TEST(LexerFuzzTest, ParametersInRandomTextAreFoundOrReported) {
  TParams params;
  params.Add("a").SetAsInteger(1);
  params.Add("e").SetAsString("x");
  std::mt19937 rng(99);
  const std::string alphabet = "ae:;() '";
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (int i = 0; i < 2000; ++i) {
    std::string text(12, ' ');
    for (char& c : text) c = alphabet[pick(rng)];
    try {
      TKivoLexer lexer(text, &params);
      for (int c = 0; c < lexer.CommandCount(); ++c) {
        for (int k = 0; k < lexer.TokenCount(c); ++k) {
          ASSERT_NE(lexer.TokenAt(c, k).TokenType, tktParam) << text;
        }
      }
    } catch (const ZorException& e) {
      ASSERT_TRUE(IsLexicalError(e.NativeError())) << e.Message();
    } catch (const EDatabaseError& e) {
      ASSERT_NE(e.Message().find("not found"), std::string::npos) << e.Message();
    }
  }
}

}  // namespace
}  // namespace kivo
