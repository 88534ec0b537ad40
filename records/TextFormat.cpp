#include "records/TextFormat.h"

#include <cstdio>

std::string FormatTextV(const char* format, std::va_list args) {
  char small[512];
  std::va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, static_cast<std::size_t>(needed));
  std::string result(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(result.data(), result.size(), format, args);
  result.resize(static_cast<std::size_t>(needed));
  return result;
}

std::string FormatText(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string result = FormatTextV(format, args);
  va_end(args);
  return result;
}
