// Script text decoding, the editor-to-engine conversion, message texts and
// the lines of the delimited export.
#include <gtest/gtest.h>

#include "console/delimited_export.h"
#include "console/text_files.h"
#include "platform/errors.h"
#include "testing/test_support.h"

namespace kartova {
namespace {

TEST(Utf8Check, AcceptsWellFormedAndRejectsBrokenSequences) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("\xC3\xA1rv\xC3\xADz"));  // árvíz
  EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));     // 4-byte form
  EXPECT_FALSE(IsValidUtf8("\xE1rv\xEDz"));         // Windows-1250 árvíz
  EXPECT_FALSE(IsValidUtf8("\xC3"));                // cut short at the end
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));            // cut short at the end
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));            // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));        // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));    // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\x80"));                // stray continuation
}

TEST(ScriptDecoding, ChoosesTheEncodingAndNormalizesLineBreaks) {
  // Byte order mark: dropped.
  EXPECT_EQ(DecodeScriptText("\xEF\xBB\xBFSELECT '\xC3\xA1'\r\n"), "SELECT '\xC3\xA1'\n");
  // Valid UTF-8 with non-ASCII bytes.
  EXPECT_EQ(DecodeScriptText("'\xC5\x91'"), "'\xC5\x91'");
  // Windows-1250: ő is 0xF5, Š is 0x8A.
  EXPECT_EQ(DecodeScriptText("'\xF5\x8A'"), "'\xC5\x91\xC5\xA0'");
  // Plain ASCII, with every kind of line break.
  EXPECT_EQ(DecodeScriptText("a\r\nb\rc\nd"), "a\nb\nc\nd");
  // A byte order mark followed by bytes that are no UTF-8 still gives valid text.
  EXPECT_TRUE(IsValidUtf8(DecodeScriptText("\xEF\xBB\xBF\xE1")));
  EXPECT_EQ(DecodeScriptText(""), "");
}

TEST(ScriptDecoding, LoadsFilesAndReportsMissingOnes) {
  kivo::testing::TempDir dir;
  kivo::testing::WriteFileBytes(dir.file("s.sql"), "SELECT 1;\r\n-- \xE9rt\xE9k\r\n");
  EXPECT_EQ(LoadScriptFile(dir.file("s.sql")), "SELECT 1;\n-- \xC3\xA9rt\xC3\xA9k\n");
  EXPECT_THROW(LoadScriptFile(dir.file("missing.sql")), kivo::EInOutError);
  EXPECT_THROW(LoadScriptFile(dir.path()), kivo::EInOutError);
}

TEST(EditorText, BecomesWindows1250WithCrLf) {
  EXPECT_EQ(EditorTextToAnsi("SELECT '\xC3\xA1'\nFROM t"), "SELECT '\xE1'\r\nFROM t");
  EXPECT_EQ(EditorTextToAnsi("a\r\nb"), "a\r\nb");
}

TEST(EditorText, MessagesAreShownAsUtf8) {
  EXPECT_EQ(MessageToUtf8("Table '\xC3\xA1' missing"), "Table '\xC3\xA1' missing");
  EXPECT_EQ(MessageToUtf8("Table '\xE1' missing"), "Table '\xC3\xA1' missing");
}

TEST(WholeFile, WritesBytesAndFailsLoudly) {
  kivo::testing::TempDir dir;
  WriteWholeFile(dir.file("o.txt"), std::string("a\0b", 3));
  EXPECT_EQ(kivo::testing::ReadFileBytes(dir.file("o.txt")), std::string("a\0b", 3));
  WriteWholeFile(dir.file("o.txt"), "c");
  EXPECT_EQ(kivo::testing::ReadFileBytes(dir.file("o.txt")), "c");
  EXPECT_THROW(WriteWholeFile(dir.file("no/such/dir/o.txt"), "c"), kivo::EInOutError);
}

TEST(DelimitedExport, QuotesOnlyValuesHoldingTheDelimiter) {
  const auto line = [](std::initializer_list<const char*> values, const char* delimiter) {
    std::string text;
    for (const char* v : values) AppendDelimitedValue(text, v, delimiter), text += '|';
    return text;
  };
  EXPECT_EQ(line({"1", "A;\"B"}, ";"), "1|\"A;\"\"B\"|");
  EXPECT_EQ(line({"1", "A;\"B"}, ","), "1|A;\"B|");
  // A delimiter of several characters must appear whole to quote a value.
  EXPECT_EQ(line({"a::b", "a:b"}, "::"), "\"a::b\"|a:b|");
  EXPECT_EQ(line({"", "\""}, ","), "|\"|");
}

TEST(DelimitedExport, GridValuesAreCutBeforeCommasBecomeDots) {
  EXPECT_EQ(GridExportValue("Kiss, Anna"), "Kiss. Anna");
  EXPECT_EQ(GridExportValue(std::string(49, 'a') + ",bc"), std::string(49, 'a') + ".");
  EXPECT_EQ(GridExportValue(""), "");
}

TEST(DelimitedExport, ExportFileReportsWhereItCannotWrite) {
  kivo::testing::TempDir dir;
  {
    TExportFile file(dir.file("big.csv"));
    // More than one buffer's worth, and a single write larger than the buffer.
    const std::string chunk(300000, 'x');
    for (int i = 0; i < 5; ++i) file.Write(chunk);
    file.Write(std::string(3 << 20, 'y'));
    file.Close();
  }
  EXPECT_EQ(kivo::testing::ReadFileBytes(dir.file("big.csv")).size(), 1500000u + (3u << 20));
  EXPECT_THROW(TExportFile(dir.file("no/such/dir/x.csv")), kivo::EInOutError);
  if (std::FILE* full = std::fopen("/dev/full", "wb")) {
    std::fclose(full);
    TExportFile file("/dev/full");
    file.Write("abc");
    EXPECT_THROW(file.Close(), kivo::EInOutError);
  }
}

}  // namespace
}  // namespace kartova
