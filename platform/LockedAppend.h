#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What closes the last line of a file of CR LF lines that a program killed
// while writing left torn, given the whole file (read only then, once after
// a tear; a file beyond 256 MiB is given as empty); the result goes in front
// of the next line, in the same write.
using TTornLineEnd = std::string (*)(std::string_view file);

// AppendLineLocked (platform/Files.h) for a file whose last line may have
// been left torn: under the appenders' lock, a file that is not empty and
// does not end with CR LF gets `closeTorn` of its torn line first. The torn
// bytes stay as they are. Null `closeTorn`: the line is appended as it is.
[[nodiscard]] bool AppendLineClosingTorn(const std::string& path, const std::string& header, const std::string& line,
                                         std::uint32_t waitMs, TTornLineEnd closeTorn);
