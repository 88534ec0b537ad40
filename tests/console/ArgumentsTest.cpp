// The console flasher's command line, in-process: what it refuses and why,
// and what it makes of what it takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/Arguments.h"

namespace {

std::string Shown(const std::vector<std::string>& arguments) {
  std::string shown;
  for (const std::string& a : arguments) shown += a + " ";
  return shown;
}

TEST(ConsoleArguments, RefusesWhatItCannotTakeAndSaysWhy) {
  struct TCase {
    std::vector<std::string> args;
    std::string says;
    std::vector<bool> exact = {};
  };
  const std::vector<TCase> cases = {
      {{}, "no command"},
      {{"erase"}, "unknown command \"erase\""},
      {{"flash"}, "--all or at least one --serial"},
      {{"flash", "--all", "--serial", "1001"}, "exclude each other"},
      {{"flash", "--serial"}, "option --serial needs a value"},
      {{"flash", "--serial", "12x"}, "--serial needs a serial number"},
      {{"flash", "--serial", "-5"}, "--serial needs a serial number"},
      {{"flash", "--all", "--timeout", "0"}, "--timeout needs"},
      {{"flash", "--all", "--expect", "many"}, "--expect needs"},
      {{"flash", "--serial", "1", "--expect", "2"}, "more than the 1 serial"},
      {{"flash", "--all", "--image"}, "option --image needs a value"},
      {{"flash", "--all", "--fast"}, "unknown option \"--fast\""},
      {{"list", "--all"}, "unknown option \"--all\" for list"},
      /* an option where a value belongs */
      {{"flash", "--all", "--image", "--json"}, "option --image needs a value, not the option \"--json\""},
      {{"flash", "--serial", "--all"}, "option --serial needs a value, not the option \"--all\""},
      {{"flash", "--all", "--timeout", "-h"}, "option --timeout needs a value, not the option \"-h\""},
      /* every option but --serial once */
      {{"flash", "--all", "--timeout", "5", "--timeout", "9"}, "--timeout may be given only once"},
      {{"flash", "--all", "--expect", "1", "--expect", "2"}, "--expect may be given only once"},
      {{"flash", "--all", "--image", "a.eraw", "--image", "b.eraw"}, "--image may be given only once"},
      {{"flash", "--all", "--all"}, "--all may be given only once"},
      {{"flash", "--all", "--skip-same", "--skip-same"}, "--skip-same may be given only once"},
      {{"list", "--json", "--json"}, "--json may be given only once"},
      /* a file name Windows-1251 cannot hold: named, not taken with "?" in it */
      {{"flash", "--all", "--image", "C:\\fw\\?.eraw"},
       "the image file name C:\\fw\\?.eraw holds letters that Windows-1251 has no place for",
       {true, true, true, false}},
  };
  for (const TCase& c : cases) {
    TConsoleOptions options;
    std::string error;
    EXPECT_FALSE(ParseConsoleArguments(c.args, options, error, c.exact)) << Shown(c.args);
    EXPECT_NE(error.find(c.says), std::string::npos) << Shown(c.args) << "-> " << error;
  }
}

TEST(ConsoleArguments, TakesWhatItUnderstands) {
  TConsoleOptions o;
  std::string error;
  /* defaults */
  ASSERT_TRUE(ParseConsoleArguments({"flash", "--all"}, o, error)) << error;
  EXPECT_EQ(o.Command, TConsoleCommand::Flash);
  EXPECT_TRUE(o.All);
  EXPECT_FALSE(o.Json);
  EXPECT_FALSE(o.SkipSame);
  EXPECT_EQ(o.ImageFile, "");
  EXPECT_EQ(o.Expect, -1);
  EXPECT_EQ(o.TimeoutSeconds, 60u);

  /* every option, a serial twice counted once, a "?" that was typed as one */
  ASSERT_TRUE(ParseConsoleArguments({"flash", "--serial", "7", "--image", "fw?.eraw", "--serial", "0012", "--serial",
                                     "7", "--expect", "2", "--timeout", "86400", "--skip-same", "--json"},
                                    o, error, std::vector<bool>(14, true)))
      << error;
  EXPECT_EQ(o.Serials, (std::vector<std::int32_t>{7, 12}));
  EXPECT_EQ(o.ImageFile, "fw?.eraw");
  EXPECT_EQ(o.Expect, 2);
  EXPECT_EQ(o.TimeoutSeconds, 86400u);
  EXPECT_TRUE(o.SkipSame);
  EXPECT_TRUE(o.Json);

  /* list, and help wherever it is asked for */
  ASSERT_TRUE(ParseConsoleArguments({"list", "--json"}, o, error));
  EXPECT_EQ(o.Command, TConsoleCommand::List);
  EXPECT_TRUE(o.Json);
  for (const std::vector<std::string>& help :
       {std::vector<std::string>{"--help"}, {"help"}, {"-h"}, {"flash", "--all", "-h"}, {"list", "--help"}}) {
    ASSERT_TRUE(ParseConsoleArguments(help, o, error)) << Shown(help);
    EXPECT_EQ(o.Command, TConsoleCommand::Help) << Shown(help);
  }
}

}  // namespace
