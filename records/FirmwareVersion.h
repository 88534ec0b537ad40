#pragma once

#include <cstdint>
#include <string>

#include "records/DateTime.h"

// A firmware or boot-loader version: family tag, number and suffix, and for
// firmware images the build time. Texts are Windows-1251.
class TFirmwareVersion {
public:
  std::string Name;         // family tag, "unk" for the text "Unknown"
  std::string Suffix;       // text after the number, trimmed
  TDateTime Date = 0;       // build time of an image, 0 when none
  std::uint16_t Version = 0;  // major * 100 + minor; 0 unknown, 1 "Unknown"

  TFirmwareVersion() { Clear(); }

  void Clear();

  // Parses a version text such as "VXCR-1.9b". Some fields change even when it
  // fails (see the implementation); callers rely on that.
  bool Parse(const char* text);

  // The version as every front end shows it, "VXCR-1.9b"; the tag and the
  // suffix keep their bytes here but are shown escaped (EscapedText).
  [[nodiscard]] std::string VersionText() const;
  [[nodiscard]] std::string DateText() const;
};
