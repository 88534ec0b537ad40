#include "records/FirmwareVersion.h"

#include <cmath>
#include <cstring>

#include "records/EscapedText.h"
#include "records/TextFormat.h"
#include "records/TextScan.h"

void TFirmwareVersion::Clear() {
  Name.clear();
  Suffix.clear();
  Date = 0;
  Version = 0;
}

bool TFirmwareVersion::Parse(const char* text) {
  if (std::strcmp(text, "Unknown") == 0) {
    Name = "unk";
    Version = 1;
    return true;
  }

  // The family tag ends at the first "-"; without one there is no tag.
  const char* dash = std::strchr(text, '-');
  const char* rest = dash != nullptr ? dash + 1 : text + std::strlen(text);
  Name.assign(text, dash != nullptr ? static_cast<std::size_t>(dash - text) : 0);
  if (Name.empty()) return false;

  int numbers[2];
  if (ScanIntegers(rest, "%d.%d", numbers, 2) < 2) return false;
  Version = static_cast<std::uint16_t>(static_cast<unsigned>(numbers[0]) * 100u + static_cast<unsigned>(numbers[1]));

  // A new number never keeps the suffix of an earlier text: a record that is
  // parsed again (the window's image record at every load) would otherwise
  // show a stale suffix.
  Suffix.clear();
  while (*rest != '\0' && ((*rest >= '0' && *rest <= '9') || *rest == '.')) ++rest;
  if (*rest != '\0') {
    const char* begin = rest;
    const char* end = rest + std::strlen(rest);
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    while (begin < end && isBlank(*begin)) ++begin;
    while (end > begin && isBlank(end[-1])) --end;
    Suffix.assign(begin, end);
  }
  return true;
}

std::string TFirmwareVersion::VersionText() const {
  if (Name == "unk") return "Empty";
  if (Version == 0) return "?????";
  const unsigned major = Version / 100u;
  const unsigned minor = Version % 100u;
  // The tag and the suffix are the device's or the image file's own bytes:
  // this is where they become a text to show.
  return EscapedText(FormatText("%s-%u.%u%s", Name.c_str(), major, minor, Suffix.c_str()));
}

std::string TFirmwareVersion::DateText() const {
  if (std::trunc(Date) == 0) return "неизвестна";
  const TDateTimeParts p = DecodeDateTime(Date);
  return FormatText("%02d-%02d-%04d %02d:%02d:%02d", p.Day, p.Month, p.Year, p.Hour, p.Minute, p.Second);
}
