#include "records/TextScan.h"

#include <climits>

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool ReadInteger(const char*& p, int& value) {
  while (IsSpace(*p)) ++p;
  const char* q = p;
  bool negative = false;
  if (*q == '+' || *q == '-') negative = *q++ == '-';
  if (!IsDigit(*q)) return false;
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; IsDigit(*q); ++q) {
    if (magnitude < limit) magnitude = magnitude * 10 + (*q - '0');
    if (magnitude > limit) magnitude = limit;
  }
  value = static_cast<int>(negative ? -magnitude : magnitude);
  p = q;
  return true;
}

}  // namespace

int ScanIntegers(const char* text, const char* pattern, int* values, int maxValues) {
  int count = 0;
  const char* p = text;
  for (const char* f = pattern; *f != '\0';) {
    if (f[0] == '%' && f[1] == 'd') {
      if (count >= maxValues || !ReadInteger(p, values[count])) break;
      ++count;
      f += 2;
    } else if (IsSpace(*f)) {
      while (IsSpace(*p)) ++p;
      ++f;
    } else {
      if (*p != *f) break;
      ++p;
      ++f;
    }
  }
  return count;
}
