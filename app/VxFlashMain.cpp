// The console flasher: the updater's core behind a command line.
#include <exception>
#include <string>
#include <vector>

#include "console/Arguments.h"
#include "console/ConsoleFlasher.h"
#include "console/ConsoleOutput.h"
#include "platform/CodePage.h"
#include "platform/ConsoleHost.h"
#include "platform/Process.h"
#include "platform/ThreadTags.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "console/Json.h"
#include "crash/ReportBuffer.h"
#include "crash/ReportText.h"
#include "crash/win32/CrashHandler.h"

namespace {

#ifdef VX_DEVELOPMENT_BUILD
constexpr const char* kBuildKind = "сборка для разработки, " VX_BUILD_ARCH;
#else
constexpr const char* kBuildKind = "выпуск, " VX_BUILD_ARCH;
#endif

// What the crash handler reads from its own thread: set on the main thread
// before the flasher's workers start, cleared before the flasher goes.
std::atomic<TConsoleFlasher*> crashFlasher{nullptr};
std::atomic<bool> crashJson{false};

void DescribeDevices(TReportBuffer& out) {
  TConsoleFlasher* flasher = crashFlasher.load();
  if (flasher == nullptr) {
    out.Append("  (нет)\r\n");
    return;
  }
  AppendDeviceList(out, flasher->Devices());
}

// Reserved here: the crashed thread may hold the heap's lock.
wchar_t wideScratch[8192];
char folderUtf8[4096];
char folderJson[8192];
char reasonUtf8[1024];
char reasonJson[2048];
char lineStorage[16384];

// Windows-1251 text as UTF-8, into `out`.
void Cp1251IntoUtf8(const char* cp1251, char* out, int size) {
  const int n = MultiByteToWideChar(1251, 0, cp1251, -1, wideScratch, sizeof wideScratch / sizeof *wideScratch);
  if (n <= 0 || WideCharToMultiByte(CP_UTF8, 0, wideScratch, -1, out, size, nullptr, nullptr) <= 0) out[0] = '\0';
}

// UTF-8 text on a standard stream: as UTF-16 on a console, as it is elsewhere.
void WriteStd(DWORD which, const char* utf8, std::size_t length) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || length == 0) return;
  DWORD mode = 0, written = 0;
  if (GetConsoleMode(handle, &mode) != 0) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(length), wideScratch,
                                      sizeof wideScratch / sizeof *wideScratch);
    if (n > 0) WriteConsoleW(handle, wideScratch, static_cast<DWORD>(n), &written, nullptr);
    return;
  }
  WriteFile(handle, utf8, static_cast<DWORD>(length), &written, nullptr);
}

// Instead of the dialog: where the report is, on standard error for a person
// and, with --json, as the last JSON line.
void AnnounceCrash(const wchar_t* folder, std::uint32_t code, const std::int32_t* unfinished, int unfinishedCount) {
  if (folder == nullptr || WideCharToMultiByte(CP_UTF8, 0, folder, -1, folderUtf8, sizeof folderUtf8, nullptr,
                                               nullptr) <= 0)
    folderUtf8[0] = '\0';
  Cp1251IntoUtf8(ExceptionCodeDescription(code), reasonUtf8, sizeof reasonUtf8);
  TReportBuffer line(lineStorage, sizeof lineStorage);
  line.AppendFormat("vxflash: crashed: %s (code 0x%08lX)\n", reasonUtf8, static_cast<unsigned long>(code));
  if (folder != nullptr)
    line.AppendFormat("vxflash: the crash report is in %s\n", folderUtf8);
  else
    line.Append("vxflash: no crash report could be written\n");
  for (int i = 0; i < unfinishedCount; ++i)
    line.AppendFormat("vxflash: the flash of %d was cut short: the device stays in its boot loader\n",
                      static_cast<int>(unfinished[i]));
  WriteStd(STD_ERROR_HANDLE, line.Text(), line.Length());
  if (!crashJson.load()) return;
  line.Clear();
  (void)JsonStringInto(reasonUtf8, reasonJson, sizeof reasonJson);
  line.AppendFormat("{\"event\":\"crash\",\"code\":%lu,\"reason\":%s,\"report\":", static_cast<unsigned long>(code),
                    reasonJson);
  if (folder != nullptr && JsonStringInto(folderUtf8, folderJson, sizeof folderJson))
    line.Append(folderJson);
  else
    line.Append("null");
  line.Append(",\"unfinished\":[");
  for (int i = 0; i < unfinishedCount; ++i) line.AppendFormat("%s%d", i > 0 ? "," : "", static_cast<int>(unfinished[i]));
  line.Append("]}\n");
  // A line cut short would not be JSON: then none.
  if (!line.Truncated()) WriteStd(STD_OUTPUT_HANDLE, line.Text(), line.Length());
}

void InstallCrashReports() {
  // No system error box on an unattended bench: every fault is reported here.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  TCrashSetup setup;
  setup.ProgramVersion = VX_PROGRAM_VERSION;
  setup.BuildKind = kBuildKind;
  setup.DialogCaption = "vxflash";
  setup.DescribeDevices = DescribeDevices;
  setup.Announce = AnnounceCrash;
  (void)InstallCrashHandler(setup);
#ifdef VX_DEVELOPMENT_BUILD
  // Read once at start-up, before any other thread exists.
  InstallCrashTests(std::getenv("VX_CRASH_TEST"));                     // NOLINT(concurrency-mt-unsafe)
  InstallConsoleCloseTest(std::getenv("VX_CONSOLE_CLOSE_TEST"));  // NOLINT(concurrency-mt-unsafe)
#endif
}

}  // namespace
#endif

int main(int argc, char** argv) {
  const TThreadTag mainThread(TThreadKind::Console);
#ifndef _WIN32
  SetCommandLineArguments(std::vector<std::string>(argv + 1, argv + argc));
#else
  (void)argc;
  (void)argv;
  InstallCrashReports();
#endif
  TConsoleOptions options;
  std::string error;
  std::vector<bool> exact;
  const std::vector<std::string> arguments = CommandLineArguments(exact);
  if (!ParseConsoleArguments(arguments, options, error, exact)) {
    (void)WriteStdText(TStdStream::Error, "vxflash: " + Cp1251ToUtf8(error) + "\n");
    return ceUsage;
  }
  if (options.Command == TConsoleCommand::Help) {
    (void)WriteStdText(TStdStream::Output, ConsoleUsage());
    return ceDone;
  }
  try {
    TConsoleOutput output(options.Json);
    TConsoleFlasher flasher(options, output);
#ifdef _WIN32
    crashJson.store(options.Json);
    crashFlasher.store(&flasher);
#endif
    InstallInterruptHandler(&flasher.FInterrupted);
    // Nothing refers to the flasher once it is done, however it ends.
    struct TFlasherDone {
      ~TFlasherDone() {
        InstallInterruptHandler(nullptr);
#ifdef _WIN32
        crashFlasher.store(nullptr);
#endif
      }
    } done;
    return flasher.Run();
  } catch (const std::exception& e) {
    (void)WriteStdText(TStdStream::Error, "vxflash: unexpected error: " + Cp1251ToUtf8(e.what()) + "\n");
  } catch (...) {
    (void)WriteStdText(TStdStream::Error, "vxflash: unexpected error\n");
  }
  return ceFailed;
}
