// Reading the console's command line.
#include "console/command_line.h"

#include <gtest/gtest.h>

namespace kartova {
namespace {

TEST(CommandLine, PositionalParameters) {
  TCommandLine none = ParseCommandLine({});
  EXPECT_FALSE(none.has_database_parameter);
  EXPECT_EQ(none.database_file, "");
  EXPECT_EQ(none.script_file, "");

  TCommandLine empty = ParseCommandLine({""});
  EXPECT_TRUE(empty.has_database_parameter);
  EXPECT_EQ(empty.database_file, "");

  TCommandLine both = ParseCommandLine({"db.kvb", "s.sql"});
  EXPECT_EQ(both.database_file, "db.kvb");
  EXPECT_EQ(both.script_file, "s.sql");
  EXPECT_EQ(both.delimiter, ",");
  EXPECT_FALSE(both.batch_mode);
  EXPECT_FALSE(both.RunsUnattended());
}

TEST(CommandLine, OptionsAreReadOnlyFromTheThirdParameterOn) {
  // "-B" as parameter 1 or 2 is a file name, not an option.
  TCommandLine cl = ParseCommandLine({"-B", "-E"});
  EXPECT_EQ(cl.database_file, "-B");
  EXPECT_EQ(cl.script_file, "-E");
  EXPECT_FALSE(cl.batch_mode);
  EXPECT_EQ(cl.export_file, "");
}

TEST(CommandLine, LongAndShortWordsInAnyCase) {
  TCommandLine cl = ParseCommandLine({"db", "s.sql", "-exportname", "out.csv", "-o", "err.txt",
                                      "-Delimiter", ";", "-batch", "-fnl"});
  EXPECT_EQ(cl.export_file, "out.csv");
  EXPECT_EQ(cl.output_file, "err.txt");
  EXPECT_EQ(cl.delimiter, ";");
  EXPECT_TRUE(cl.batch_mode);
  EXPECT_TRUE(cl.field_names_in_first_line);

  TCommandLine words = ParseCommandLine({"db", "s.sql", "-E", "x.csv", "-OUTPUTNAME", "o.txt", "-d",
                                         "|", "-b", "fieldnamesinfirstlinecsv"});
  EXPECT_EQ(words.export_file, "x.csv");
  EXPECT_EQ(words.output_file, "o.txt");
  EXPECT_EQ(words.delimiter, "|");
  EXPECT_TRUE(words.batch_mode);
  EXPECT_TRUE(words.field_names_in_first_line);
}

TEST(CommandLine, ValueOptionInLastPositionIsIgnored) {
  TCommandLine d = ParseCommandLine({"db", "s.sql", "-B", "-D"});
  EXPECT_TRUE(d.batch_mode);
  EXPECT_EQ(d.delimiter, ",");

  TCommandLine e = ParseCommandLine({"db", "s.sql", "-E"});
  EXPECT_EQ(e.export_file, "");
  EXPECT_FALSE(e.RunsUnattended());

  TCommandLine o = ParseCommandLine({"db", "s.sql", "-b", "-o"});
  EXPECT_EQ(o.output_file, "");
  EXPECT_TRUE(o.RunsUnattended());
}

TEST(CommandLine, AValueIsTakenEvenWhenItLooksLikeAnOption) {
  TCommandLine cl = ParseCommandLine({"db", "s.sql", "-O", "-B"});
  EXPECT_EQ(cl.output_file, "-B");
  EXPECT_FALSE(cl.batch_mode);
}

TEST(CommandLine, UnknownWordsAreSkipped) {
  TCommandLine cl =
      ParseCommandLine({"db", "s.sql", "-X", "--batch", "-BB", "-b", "stray", "-fnlx"});
  EXPECT_TRUE(cl.batch_mode);
  EXPECT_FALSE(cl.field_names_in_first_line);
  EXPECT_EQ(cl.export_file, "");
  // Non-ASCII bytes never fold into an option word.
  TCommandLine accented = ParseCommandLine({"db", "s.sql", "-\xC3\xA9"});
  EXPECT_FALSE(accented.batch_mode);
}

TEST(CommandLine, UnattendedRunsNeedAnExportOrABatchScript) {
  EXPECT_TRUE(ParseCommandLine({"db", "", "-E", "x.csv"}).RunsUnattended());
  EXPECT_TRUE(ParseCommandLine({"db", "s.sql", "-B"}).RunsUnattended());
  EXPECT_FALSE(ParseCommandLine({"db", "", "-B"}).RunsUnattended());
}

TEST(CommandLine, HelpNamesEveryOption) {
  const std::string help = CommandLineHelp("kartova");
  for (const char* word : {"-E", "-EXPORTNAME", "-O", "-OUTPUTNAME", "-D", "-DELIMITER", "-B",
                           "-BATCH", "-FNL", "FieldNamesInFirstLineCSV", "DATABASE", "SCRIPT"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace kartova
