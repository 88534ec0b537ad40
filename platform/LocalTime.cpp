#include "platform/LocalTime.h"

#include <mutex>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/time.h>
#include <time.h>
#endif

namespace {

std::mutex sourceMutex;
TLocalTimeSource& Source() {
  static TLocalTimeSource source;
  return source;
}

TLocalTime SystemLocalTime() {
  TLocalTime t;
#ifdef _WIN32
  SYSTEMTIME st;
  GetLocalTime(&st);
  t = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
#else
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm parts{};
  localtime_r(&tv.tv_sec, &parts);
  t = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
       static_cast<int>(tv.tv_usec / 1000)};
#endif
  return t;
}

}  // namespace

TLocalTime LocalTimeNow() {
  TLocalTimeSource source;
  {
    std::lock_guard lock(sourceMutex);
    source = Source();
  }
  return source ? source() : SystemLocalTime();
}

void SetLocalTimeSource(TLocalTimeSource source) {
  std::lock_guard lock(sourceMutex);
  Source() = std::move(source);
}
