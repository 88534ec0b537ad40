#include "firmware/FirmwareSource.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RecordingLog.h"
#include "TempDir.h"
#include "TestImages.h"
#include "firmware/FirmwareImage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "TestFiles.h"

namespace {

using ::testing::ElementsAre;

std::vector<std::uint8_t> Image(std::size_t payload, const char* version = "ZARU-3.04") {
  std::vector<std::uint8_t> bytes(payload, 0x3C), image;
  std::string error;
  EXPECT_TRUE(BuildFirmwareImage(version, std::string("01.02.2020 10:20:30"), bytes.data(), bytes.size(), image,
                                 error));
  return image;
}

// Holds a file open with no sharing, as another program might.
class ExclusiveHolder {
public:
  explicit ExclusiveHolder(const std::string& path) {
#ifdef _WIN32
    handle_ = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ok_ = handle_ != INVALID_HANDLE_VALUE;
#else
    fd_ = open(path.c_str(), O_RDONLY);
    ok_ = fd_ >= 0 && flock(fd_, LOCK_EX) == 0;
#endif
  }
  ~ExclusiveHolder() {
#ifdef _WIN32
    if (ok_) CloseHandle(handle_);
#else
    if (fd_ >= 0) close(fd_);
#endif
  }
  bool ok() const { return ok_; }

private:
  bool ok_ = false;
#ifdef _WIN32
  HANDLE handle_;
#else
  int fd_ = -1;
#endif
};

TEST(FirmwareSource, EmbeddedImage) {
  TFirmwareSources sources;
  RecordingLog log;
  TFirmwareBlockList blocks;
  TFirmwareVersion version;
  std::vector<std::string> shown;
  ASSERT_TRUE(sources.LoadFirmware("ignored.eraw", blocks, version, log,
                                   [&](const TFirmwareVersion& v) { shown = {v.VersionText(), v.DateText()}; }));
  EXPECT_TRUE(sources.FResourceFirmwareLoaded);
  EXPECT_THAT(log.Texts(), ElementsAre("Загружена прошивка из ресурсов", "Версия прошивки \"VXCR-1.9\"",
                                       "Дата компиляции \"18-03-2014 11:01:30\""));
  EXPECT_THAT(shown, ElementsAre("VXCR-1.9", "18-03-2014 11:01:30"));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0]->Size, 131072u);
  /* a second load replaces the blocks instead of adding to them */
  ASSERT_TRUE(sources.LoadFirmware("", blocks, version, log, nullptr));
  EXPECT_EQ(blocks.size(), 1u);
  /* the file loader refuses in default mode without touching anything */
  RecordingLog quiet;
  EXPECT_FALSE(sources.LoadFirmwareFromFile("x.eraw", blocks, version, quiet));
  EXPECT_TRUE(quiet.lines.empty());
}

TEST(FirmwareSource, ExternalFile) {
  TempDir dir;
  TFirmwareSources sources;
  sources.FExternalFirmware = true;
  TFirmwareBlockList blocks;
  TFirmwareVersion version;
  int shownCount = 0;
  auto shown = [&](const TFirmwareVersion&) { ++shownCount; };

  /* a good file */
  dir.Write("fw.eraw", Image(600));
  RecordingLog log;
  ASSERT_TRUE(sources.LoadFirmware(dir.File("fw.eraw"), blocks, version, log, shown));
  EXPECT_THAT(log.Texts(), ElementsAre("Загружена прошивка из файла \"" + dir.File("fw.eraw") + "\"",
                                       "Версия прошивки \"ZARU-3.4\"", "Дата компиляции \"01-02-2020 10:20:30\""));
  EXPECT_EQ(shownCount, 1);
  EXPECT_FALSE(sources.FResourceFirmwareLoaded);
  /* the resource loader refuses in external mode and leaves its flag */
  sources.FResourceFirmwareLoaded = true;
  EXPECT_FALSE(sources.LoadFirmwareFromResource(blocks, version, log));
  EXPECT_TRUE(sources.FResourceFirmwareLoaded);

  /* a missing file: both error lines, nothing shown */
  log.lines.clear();
  EXPECT_FALSE(sources.LoadFirmware(dir.File("none.eraw"), blocks, version, log, shown));
  EXPECT_THAT(log.Texts(), ElementsAre("Загрузка прошивки: Файл " + dir.File("none.eraw") + " не найден",
                                       "Ошибка загрузки прошивки"));
  EXPECT_EQ(log.lines[0].kind, mkError);
  EXPECT_EQ(log.lines[1].kind, mkError);
  EXPECT_TRUE(blocks.empty());
  EXPECT_EQ(shownCount, 1);

  /* a file held open exclusively by another program */
  {
    ExclusiveHolder holder(dir.File("fw.eraw"));
    ASSERT_TRUE(holder.ok());
    log.lines.clear();
    EXPECT_FALSE(sources.LoadFirmware(dir.File("fw.eraw"), blocks, version, log, shown));
    EXPECT_THAT(log.Texts(), ElementsAre("Ошибка загрузки прошивки"));
  }

  /* any extension, but it must be an image */
  dir.Write("plain.raw", std::string("not an image at all"));
  log.lines.clear();
  EXPECT_FALSE(sources.LoadFirmware(dir.File("plain.raw"), blocks, version, log, shown));
  EXPECT_THAT(log.Texts(), ElementsAre("Не верный размер файла прошивки", "Ошибка загрузки прошивки"));
  dir.Write("good.raw", Image(4));
  EXPECT_TRUE(sources.LoadFirmware(dir.File("good.raw"), blocks, version, log, shown));

  /* a payload over the limit raises the block's error; no line, nothing shown */
  dir.Write("big.eraw", OversizedImage());
  log.lines.clear();
  shownCount = 0;
  EXPECT_THROW((void)sources.LoadFirmware(dir.File("big.eraw"), blocks, version, log, shown), Exception);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(shownCount, 0);
}

TEST(FirmwareSource, FilesBeyondTheImageLimitAreRefusedByTheirSizeUnread) {
  TempDir dir;
  TFirmwareSources sources;
  sources.FExternalFirmware = true;
  TFirmwareBlockList blocks;
  TFirmwareVersion version;
  RecordingLog log;
  const std::string limit = std::to_string(kMaxFirmwareImageSize);
  EXPECT_EQ(kMaxFirmwareImageSize, 2228232u);

  /* several gigabytes, chosen by mistake: beyond 4 GiB, so that a size taken
     to 32 bits (37 bytes here) would be read instead */
  const std::uint64_t huge = (std::uint64_t{1} << 32) + 37;
  ASSERT_TRUE(MakeSparseFile(dir.File("disk.img"), huge));
  EXPECT_FALSE(sources.LoadFirmware(dir.File("disk.img"), blocks, version, log, nullptr));
  EXPECT_THAT(log.Texts(), ElementsAre("Загрузка прошивки: Файл " + dir.File("disk.img") + " слишком большой (" +
                                           std::to_string(huge) + " байт), образ прошивки не больше " + limit +
                                           " байт",
                                       "Ошибка загрузки прошивки"));
  EXPECT_EQ(log.lines[0].kind, mkError);
  EXPECT_TRUE(blocks.empty());

  /* one byte over the limit is refused the same way */
  log.lines.clear();
  ASSERT_TRUE(MakeSparseFile(dir.File("over.eraw"), kMaxFirmwareImageSize + 1));
  EXPECT_FALSE(sources.LoadFirmware(dir.File("over.eraw"), blocks, version, log, nullptr));
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_THAT(log.lines[0].text, ::testing::HasSubstr("слишком большой (2228233 байт)"));

  /* a file at the limit is read and judged by the parser (its zero size word
     does not match) */
  log.lines.clear();
  ASSERT_TRUE(MakeSparseFile(dir.File("at.eraw"), kMaxFirmwareImageSize));
  EXPECT_FALSE(sources.LoadFirmware(dir.File("at.eraw"), blocks, version, log, nullptr));
  EXPECT_THAT(log.Texts(), ElementsAre("Не верный размер файла прошивки", "Ошибка загрузки прошивки"));
}

}  // namespace
