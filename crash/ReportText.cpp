#include "crash/ReportText.h"

#include <cstdio>
#include <cstring>

#include "crash/ReportBuffer.h"

std::uint32_t CrashExitCode(std::uint32_t code) { return code > 3 ? code : kCrashLowCode; }

bool ReportFolderName(const TLocalTime& now, int attempt, char* out, std::size_t size) {
  int n = 0;
  if (attempt > 1)
    n = std::snprintf(out, size, "crash-%04d%02d%02d-%02d%02d%02d-%d", now.Year, now.Month, now.Day, now.Hour,
                      now.Minute, now.Second, attempt);
  else
    n = std::snprintf(out, size, "crash-%04d%02d%02d-%02d%02d%02d", now.Year, now.Month, now.Day, now.Hour,
                      now.Minute, now.Second);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

namespace {

struct TCodeName {
  std::uint32_t Code;
  const char* Name;
  const char* Description;
};

constexpr TCodeName kCodes[] = {
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "обращение к недоступной памяти"},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW", "переполнение стека"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO", "целочисленное деление на ноль"},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW", "целочисленное переполнение"},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION", "недопустимая команда процессора"},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION", "привилегированная команда процессора"},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR", "ошибка чтения страницы памяти"},
    {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT", "невыровненный доступ к данным"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED", "выход за границы массива"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO", "деление на ноль с плавающей точкой"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION", "недопустимая операция с плавающей точкой"},
    {0xC0000374, "STATUS_HEAP_CORRUPTION", "повреждение кучи"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN", "переполнение буфера в стеке"},
    {0xC0000417, "STATUS_INVALID_CRUNTIME_PARAMETER", "недопустимый параметр функции библиотеки C"},
    {0x80000003, "EXCEPTION_BREAKPOINT", "точка останова"},
    {kCrashTerminate, "std::terminate", "необработанное исключение C++ или вызов std::terminate"},
    {kCrashPureCall, "pure virtual call", "вызов чисто виртуальной функции"},
    {kCrashInvalidParameter, "invalid parameter", "недопустимый параметр функции библиотеки C"},
};

const TCodeName* FindCode(std::uint32_t code) {
  for (const TCodeName& c : kCodes)
    if (c.Code == code) return &c;
  return nullptr;
}

}  // namespace

const char* ExceptionCodeName(std::uint32_t code) {
  const TCodeName* c = FindCode(code);
  return c != nullptr ? c->Name : nullptr;
}

const char* ExceptionCodeDescription(std::uint32_t code) {
  const TCodeName* c = FindCode(code);
  return c != nullptr ? c->Description : "неизвестное исключение";
}

void AppendCodeAddress(TReportBuffer& out, std::uint64_t address, const char* moduleName, std::uint64_t moduleBase) {
  if (moduleName != nullptr && *moduleName != '\0' && address >= moduleBase)
    out.AppendFormat("%s+0x%llx", moduleName, static_cast<unsigned long long>(address - moduleBase));
  else
    out.AppendFormat("0x%llx", static_cast<unsigned long long>(address));
}

void AppendAccessViolation(TReportBuffer& out, std::uint64_t kind, std::uint64_t address) {
  const char* what = kind == 0 ? "чтение" : kind == 1 ? "запись" : kind == 8 ? "выполнение" : "доступ";
  out.AppendFormat("%s по адресу 0x%llx", what, static_cast<unsigned long long>(address));
}

void AppendThreadDescription(TReportBuffer& out, std::uint64_t thread, const TThreadTagInfo* tag) {
  out.AppendFormat("поток %llu", static_cast<unsigned long long>(thread));
  const TThreadKind kind = tag != nullptr ? tag->Kind : TThreadKind::Unknown;
  out.AppendFormat(" (%s)", ThreadKindName(kind));
  if (tag != nullptr && tag->Serial != 0) out.AppendFormat(", прибор %d", static_cast<int>(tag->Serial));
}

bool ParseCrashTest(const char* text, TCrashTest& test) {
  test = TCrashTest{};
  if (text == nullptr) return false;
  static constexpr struct {
    const char* Name;
    TCrashTestKind Kind;
  } kKinds[] = {
      {"av", TCrashTestKind::AccessViolation},       {"cpp", TCrashTestKind::CppException},
      {"stack", TCrashTestKind::StackOverflow},      {"terminate", TCrashTestKind::Terminate},
      {"purecall", TCrashTestKind::PureCall},        {"invalidparam", TCrashTestKind::InvalidParameter},
      {"divzero", TCrashTestKind::DivideByZero},     {"illegal", TCrashTestKind::IllegalInstruction},
  };
  const char* colon = std::strchr(text, ':');
  const std::size_t nameLength = colon != nullptr ? static_cast<std::size_t>(colon - text) : std::strlen(text);
  TCrashTestKind kind = TCrashTestKind::None;
  for (const auto& k : kKinds)
    if (std::strlen(k.Name) == nameLength && std::strncmp(k.Name, text, nameLength) == 0) kind = k.Kind;
  if (kind == TCrashTestKind::None) return false;
  if (colon != nullptr) {
    const char* where = colon + 1;
    const char* second = std::strchr(where, ':');
    const std::size_t whereLength = second != nullptr ? static_cast<std::size_t>(second - where) : std::strlen(where);
    const auto is = [](const char* s, std::size_t n, const char* name) {
      return std::strlen(name) == n && std::strncmp(s, name, n) == 0;
    };
    if (!is(where, whereLength, "window") && !is(where, whereLength, "flash")) return false;
    std::snprintf(test.Where, sizeof test.Where, "%.*s", static_cast<int>(whereLength), where);
    if (second != nullptr) {
      const char* name = second + 1;
      const std::size_t n = std::strlen(name);
      if (is(name, n, "report-fault")) test.Trouble = TReportTrouble::SectionFault;
      else if (is(name, n, "report-hang")) test.Trouble = TReportTrouble::SectionHang;
      else if (is(name, n, "dialog-hang")) test.Trouble = TReportTrouble::DialogHang;
      else {
        test = TCrashTest{};
        return false;
      }
    }
  }
  test.Kind = kind;
  return true;
}

void AppendDeviceList(TReportBuffer& out, const TDeviceList& devices) {
  if (!DeviceListLock.TryEnter()) {
    out.Append("  (список приборов занят другим потоком и не прочитан)\r\n");
    return;
  }
  for (const std::unique_ptr<TDevEntry>& entry : devices) {
    const TDevEntry& e = *entry;
    const TFirmwareVersion& fw = e.FirmwareVersion;
    out.AppendFormat("  прибор %d: %s, %s, процессор 0x%08X, прошивка %s-%u.%u%s", static_cast<int>(e.Serial),
                     e.Backend == lbFtdi ? "FTDI" : "RQ", e.InBootLoader ? "загрузчик" : "прошивка",
                     static_cast<unsigned>(e.ProcessorId), fw.Name.c_str(), fw.Version / 100u, fw.Version % 100u,
                     fw.Suffix.c_str());
    if (e.InBootLoader)
      out.AppendFormat(", загрузчик %s-%u.%u", e.LoaderVersion.Name.c_str(), e.LoaderVersion.Version / 100u,
                       e.LoaderVersion.Version % 100u);
    if (e.WriteThread.load() != nullptr) out.Append(", прошивается");
    if (e.Vanished.load()) out.Append(", отключен");
    out.Append("\r\n");
  }
  if (devices.empty()) out.Append("  (нет)\r\n");
  DeviceListLock.Leave();
}
