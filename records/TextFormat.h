#pragma once

#include <cstdarg>
#include <string>

#if defined(__GNUC__)
#define VX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VX_PRINTF(fmt, args)
#endif

// printf-style formatting into a text that grows to whatever the result needs,
// so that a long argument is never cut or overflowed.
std::string FormatText(const char* format, ...) VX_PRINTF(1, 2);
std::string FormatTextV(const char* format, std::va_list args);
