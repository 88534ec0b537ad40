#include "records/FirmwareVersion.h"

#include <gtest/gtest.h>

#include <cmath>

#include "records/TextScan.h"

namespace {

struct VersionRow {
  const char* text;
  bool ok;
  const char* name;
  int version;
  const char* suffix;
  const char* shown;
};

// Every row starts from a new record.
const VersionRow kRows[] = {
    {"VXCR-1.9", true, "VXCR", 109, "", "VXCR-1.9"},
    {"VXCR-1.09", true, "VXCR", 109, "", "VXCR-1.9"},
    {"VXCR-1.10", true, "VXCR", 110, "", "VXCR-1.10"},
    {"VXCR-1.9b", true, "VXCR", 109, "b", "VXCR-1.9b"},
    {"VXCR-2.3 test", true, "VXCR", 203, "test", "VXCR-2.3test"},
    {"VXCR-1.9.5", true, "VXCR", 109, "", "VXCR-1.9"},
    {"VXCR-1.150", true, "VXCR", 250, "", "VXCR-2.50"},
    {"Unknown", true, "unk", 1, "", "Empty"},
    {"VXCR-1", false, "VXCR", 0, "", "?????"},
    {"VXCR1.9", false, "", 0, "", "?????"},
    {"VX-CR-1.9", false, "VX", 0, "", "?????"},
    // A device's own bytes keep their value in the record and show escaped.
    {"\x1B[2JVXCR-1.9 a\r\nb\\c", true, "\x1B[2JVXCR", 109, "a\r\nb\\c", "\\x1B[2JVXCR-1.9a\\x0D\\x0Ab\\\\c"},
};

TEST(FirmwareVersion, ParseTableFromNewRecord) {
  for (const VersionRow& row : kRows) {
    SCOPED_TRACE(row.text);
    TFirmwareVersion v;
    EXPECT_EQ(v.Parse(row.text), row.ok);
    EXPECT_EQ(v.Name, row.name);
    EXPECT_EQ(v.Version, row.version);
    EXPECT_EQ(v.Suffix, row.suffix);
    EXPECT_EQ(v.VersionText(), row.shown);
    EXPECT_EQ(v.Date, 0);
  }
}

TEST(FirmwareVersion, ParseFromEarlierState) {
  /* the successful rows give the same result after another text was parsed */
  for (int i = 0; i < 7; ++i) {
    TFirmwareVersion v;
    ASSERT_TRUE(v.Parse("KOLV-7.77"));
    v.Date = 41716.5;
    ASSERT_TRUE(v.Parse(kRows[i].text));
    EXPECT_EQ(v.Name, kRows[i].name);
    EXPECT_EQ(v.Version, kRows[i].version);
    EXPECT_EQ(v.VersionText(), kRows[i].shown);
    EXPECT_EQ(v.Date, 41716.5) << "Parse never touches Date";
  }
  /* a new number does not keep the suffix of an earlier text */
  TFirmwareVersion v;
  ASSERT_TRUE(v.Parse("VXCR-1.9b"));
  ASSERT_TRUE(v.Parse("VXCR-2.0"));
  EXPECT_EQ(v.Suffix, "");
  EXPECT_EQ(v.VersionText(), "VXCR-2.0");
  /* a failed parse after a good one keeps Version and Suffix but may replace Name */
  ASSERT_TRUE(v.Parse("VXCR-1.9b"));
  EXPECT_FALSE(v.Parse("ZARU-x"));
  EXPECT_EQ(v.Name, "ZARU");
  EXPECT_EQ(v.Version, 109);
  EXPECT_EQ(v.Suffix, "b");
  EXPECT_FALSE(v.Parse("-1.5"));
  EXPECT_EQ(v.Name, "");
  EXPECT_EQ(v.Version, 109);
  /* "Unknown" leaves Suffix as it was */
  ASSERT_TRUE(v.Parse("Unknown"));
  EXPECT_EQ(v.Suffix, "b");
  EXPECT_EQ(v.VersionText(), "Empty");
}

TEST(FirmwareVersion, ParseEdgeCases) {
  TFirmwareVersion v;
  /* only the exact letter case is "Unknown" */
  EXPECT_FALSE(v.Parse("unknown"));
  EXPECT_EQ(v.Name, "");
  /* a tag "unk" always shows as Empty */
  EXPECT_TRUE(v.Parse("unk-1.5"));
  EXPECT_EQ(v.Version, 105);
  EXPECT_EQ(v.VersionText(), "Empty");
  /* white space and control characters around the suffix go, inside it stay */
  EXPECT_TRUE(v.Parse("VXCR-3.1\t rc 2 \r\n"));
  EXPECT_EQ(v.Suffix, "rc 2");
  /* letters of Windows-1251 are not trimmed */
  EXPECT_TRUE(v.Parse("VXCR-3.1 ПП"));
  EXPECT_EQ(v.Suffix, "ПП");
  EXPECT_EQ(v.VersionText(), "VXCR-3.1ПП");
  /* 16-bit wrap of major * 100 + minor, and huge numbers without overflow */
  EXPECT_TRUE(v.Parse("VXCR-655.36"));
  EXPECT_EQ(v.Version, 0);
  EXPECT_EQ(v.VersionText(), "?????");
  EXPECT_TRUE(v.Parse("VXCR-99999999999999999999.1"));
  EXPECT_EQ(v.Version, static_cast<std::uint16_t>(2147483647u * 100u + 1u));
  /* a sign and white space before a number are taken, as by formatted input */
  EXPECT_TRUE(v.Parse("VXCR- 1.-2"));
  EXPECT_EQ(v.Version, 98);
  /* the "." must follow the first number directly */
  EXPECT_FALSE(v.Parse("VXCR-1 .9"));
  /* empty text */
  TFirmwareVersion empty;
  EXPECT_FALSE(empty.Parse(""));
  EXPECT_EQ(empty.VersionText(), "?????");
}

TEST(FirmwareVersion, NewRecordAndClear) {
  TFirmwareVersion v;
  EXPECT_EQ(v.VersionText(), "?????");
  EXPECT_EQ(v.DateText(), "неизвестна");
  ASSERT_TRUE(v.Parse("VXCR-1.9b"));
  v.Date = 41716.45937;
  v.Clear();
  EXPECT_EQ(v.Name, "");
  EXPECT_EQ(v.Suffix, "");
  EXPECT_EQ(v.Date, 0);
  EXPECT_EQ(v.Version, 0);
}

TEST(FirmwareVersion, DateText) {
  TFirmwareVersion v;
  ASSERT_TRUE(TryEncodeDateTime(2014, 3, 18, 11, 1, 30, 0, v.Date));
  EXPECT_EQ(v.DateText(), "18-03-2014 11:01:30");
  /* anything between -1 and 1 exclusive has no date */
  for (double d : {0.0, 0.999, -0.5, 0.0001}) {
    v.Date = d;
    EXPECT_EQ(v.DateText(), "неизвестна") << d;
  }
  v.Date = 1.0;
  EXPECT_EQ(v.DateText(), "31-12-1899 00:00:00");
  v.Date = -1.25;
  EXPECT_EQ(v.DateText(), "29-12-1899 06:00:00");
  ASSERT_TRUE(TryEncodeDateTime(1, 1, 1, 23, 59, 59, 0, v.Date));
  EXPECT_EQ(v.DateText(), "01-01-0001 23:59:59");
  ASSERT_TRUE(TryEncodeDateTime(9999, 12, 31, 0, 0, 1, 0, v.Date));
  EXPECT_EQ(v.DateText(), "31-12-9999 00:00:01");
}

TEST(DateTime, EncodeDecode) {
  TDateTime d = 0;
  /* day counts of known dates */
  ASSERT_TRUE(TryEncodeDateTime(1899, 12, 30, 0, 0, 0, 0, d));
  EXPECT_EQ(d, 0);
  ASSERT_TRUE(TryEncodeDateTime(2014, 3, 18, 12, 0, 0, 0, d));
  EXPECT_DOUBLE_EQ(d, 41716.5);
  ASSERT_TRUE(TryEncodeDateTime(1900, 3, 1, 0, 0, 0, 0, d));
  EXPECT_EQ(d, 61);
  /* invalid parts are refused and leave the value alone */
  d = 7;
  EXPECT_FALSE(TryEncodeDateTime(2014, 2, 29, 0, 0, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(1900, 2, 29, 0, 0, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(0, 1, 1, 0, 0, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(10000, 1, 1, 0, 0, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(2014, 13, 1, 0, 0, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(2014, 4, 31, 0, 0, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(2014, 1, 1, 24, 0, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(2014, 1, 1, 0, 60, 0, 0, d));
  EXPECT_FALSE(TryEncodeDateTime(2014, 1, 1, 0, 0, 60, 0, d));
  EXPECT_EQ(d, 7);
  EXPECT_TRUE(TryEncodeDateTime(2000, 2, 29, 0, 0, 0, 0, d));
  /* every second of a day survives the round trip, on both sides of day 0 */
  for (int year : {1, 1899, 2014, 9999}) {
    for (int s = 0; s < 86400; s += 37) {
      ASSERT_TRUE(TryEncodeDateTime(year, 12, 29, s / 3600, s / 60 % 60, s % 60, 0, d));
      const TDateTimeParts p = DecodeDateTime(d);
      ASSERT_EQ(p.Year, year);
      ASSERT_EQ(p.Month, 12);
      ASSERT_EQ(p.Day, 29);
      ASSERT_EQ(p.Hour * 3600 + p.Minute * 60 + p.Second, s) << year;
      ASSERT_EQ(p.Millisecond, 0);
    }
  }
}

TEST(TextScan, FormattedInputRules) {
  int n[6] = {};
  EXPECT_EQ(ScanIntegers("18.03.2014 11:01:30", "%d.%d.%d %d:%d:%d", n, 6), 6);
  EXPECT_EQ(n[0], 18);
  EXPECT_EQ(n[2], 2014);
  EXPECT_EQ(n[5], 30);
  /* a blank in the pattern matches any white space, also none */
  EXPECT_EQ(ScanIntegers("1.2.3\t\n4:5:6", "%d.%d.%d %d:%d:%d", n, 6), 6);
  EXPECT_EQ(ScanIntegers("1.2.34:5:6", "%d.%d.%d %d:%d:%d", n, 6), 3);
  EXPECT_EQ(n[2], 34);
  /* stops at the first mismatch */
  EXPECT_EQ(ScanIntegers("1.2.3 4-5:6", "%d.%d.%d %d:%d:%d", n, 6), 4);
  EXPECT_EQ(ScanIntegers("x", "%d", n, 1), 0);
  EXPECT_EQ(ScanIntegers("-", "%d", n, 1), 0);
  EXPECT_EQ(ScanIntegers("", "%d", n, 1), 0);
  /* sign and clamping */
  EXPECT_EQ(ScanIntegers("+7.-8", "%d.%d", n, 2), 2);
  EXPECT_EQ(n[0], 7);
  EXPECT_EQ(n[1], -8);
  EXPECT_EQ(ScanIntegers("-99999999999.2147483648", "%d.%d", n, 2), 2);
  EXPECT_EQ(n[0], INT_MIN);
  EXPECT_EQ(n[1], INT_MAX);
  /* never more numbers than there is room for */
  EXPECT_EQ(ScanIntegers("1.2", "%d.%d", n, 1), 1);
}

}  // namespace
