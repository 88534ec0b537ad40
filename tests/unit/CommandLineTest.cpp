#include "ui/CommandLine.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/CodePage.h"

namespace {

TEST(CommandLine, Switches) {
  for (const char* on : {"/externfirmware", "-externfirmware", "externfirmware", "/EXTERNFIRMWARE", "-ExternFirmware"})
    EXPECT_TRUE(ReadCommandLine({on}).ExternalFirmware) << on;
  for (const char* off : {"--externfirmware", "/extern", "x", "", "//externfirmware"})
    EXPECT_FALSE(ReadCommandLine({off}).ExternalFirmware) << off;
  EXPECT_FALSE(ReadCommandLine({}).ExternalFirmware);
  EXPECT_TRUE(ReadCommandLine({"", "-externfirmware"}).FirmwareFile.empty());
}

TEST(CommandLine, FirmwareFiles) {
  TempDir dir;
  dir.Write("fw.eraw", "x");
  dir.Write("fw.raw", "x");
  dir.Write("second.eraw", "x");
  // Names relative to the current directory: a leading "/" is a switch
  // prefix, so absolute POSIX paths cannot be given.
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.Dir());
  const std::string eraw = "fw.eraw";
  TCommandLineChoice c = ReadCommandLine({"FW.ERAW"});
  EXPECT_TRUE(c.ExternalFirmware);
  EXPECT_EQ(c.FirmwareFile, eraw);
  /* an existing ".raw" file, a missing ".eraw" file: ignored */
  EXPECT_FALSE(ReadCommandLine({"fw.raw"}).ExternalFirmware);
  EXPECT_FALSE(ReadCommandLine({"missing.eraw"}).ExternalFirmware);
  /* a missing file with the switch: external mode, no file */
  c = ReadCommandLine({"missing.eraw", "/externfirmware"});
  EXPECT_TRUE(c.ExternalFirmware);
  EXPECT_TRUE(c.FirmwareFile.empty());
  /* the later file wins; a "-" in front is dropped */
  c = ReadCommandLine({eraw, "-Second.eraw"});
  EXPECT_EQ(c.FirmwareFile, "second.eraw");
  /* a "." in a directory name is no extension */
  std::filesystem::create_directories(dir.File("d.eraw"));
  dir.Write("d.eraw/noext", "x");
  EXPECT_FALSE(ReadCommandLine({"d.eraw/noext"}).ExternalFirmware);
  EXPECT_FALSE(ReadCommandLine({"d.eraw"}).ExternalFirmware);  // a directory is no file
  std::filesystem::current_path(before);
}

TEST(CommandLine, LowerCase) {
  EXPECT_EQ(AnsiLowerCase("C:\\FW\\Прошивка ЁЖ.ERAW"), "c:\\fw\\прошивка ёж.eraw");
  EXPECT_EQ(AnsiLowerCase("ЂЃЉЊЌЋЏЎЈҐЄЇІЅ"), "ђѓљњќћџўјґєїіѕ");
}

}  // namespace
