// The updater's entry point: one running instance per machine; a second copy
// hands over to the first one's window and ends.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "app/Signature.h"
#include "crash/ReportBuffer.h"
#include "crash/win32/CrashHandler.h"
#include "gui/Controls.h"
#include "platform/CodePage.h"
#include "platform/ThreadTags.h"
#include "ui/MainForm.h"

namespace {

constexpr const char* kInstanceMutexName = "VXUSBFirmwareLoaderBaseMutex";
constexpr DWORD kInstanceWait = 50;

std::wstring Wide(const char* text) {
  const std::u16string u = Cp1251ToUtf16(text);
  return std::wstring(u.begin(), u.end());
}

void ShowError(const char* message) {
  if (MainForm != nullptr) Application.ShowException(message);
  else MessageBoxW(nullptr, Wide(message).c_str(), Wide(kMessageCaption).c_str(), MB_OK | MB_ICONERROR);
}

// Creating the window and running the loop; errors that escape are shown in
// the standard error box.
void RunInstance() {
  try {
    Application.Initialize();
    Application.MainFormOnTaskbar = true;
    Application.Title = kMessageCaption;
    MainForm = new TMainForm(nullptr);
    Application.MainForm = MainForm;
#ifndef VX_VERIFY_SIGNATURE
    MainForm->LogFmt(mkInfo, "Сборка для разработки: цифровая подпись программы не проверяется");
#endif
    Application.Run();
  } catch (const std::exception& e) {
    ShowError(e.what());
  } catch (...) {
    ShowError("");
  }
}

void DestroyMainWindow() {
  try {
    delete MainForm;  // FormDestroy: settings, devices
  } catch (const std::exception& e) {
    ShowError(e.what());
  } catch (...) {
    ShowError("");
  }
  MainForm = nullptr;
}

// ---- crash reports ----

#ifdef VX_VERIFY_SIGNATURE
constexpr const char* kBuildKind = "выпуск, " VX_BUILD_ARCH;
#else
constexpr const char* kBuildKind = "сборка для разработки, " VX_BUILD_ARCH;
#endif

HWND CrashMainWindow() {
  TMainForm* form = MainForm;
  return form != nullptr ? static_cast<HWND>(form->Handle()) : nullptr;
}

void DescribeDevices(TReportBuffer& out) {
  TMainForm* form = MainForm;
  if (form == nullptr) {
    out.Append("  (главного окна нет)\r\n");
    return;
  }
  AppendDeviceList(out, form->FDevices);
}

void InstallCrashReports() {
  TCrashSetup setup;
  setup.ProgramVersion = VX_PROGRAM_VERSION;
  setup.BuildKind = kBuildKind;
  setup.DialogCaption = kMessageCaption;
  setup.MainWindow = CrashMainWindow;
  setup.DescribeDevices = DescribeDevices;
  (void)InstallCrashHandler(setup);
#ifndef VX_VERIFY_SIGNATURE
  // Development builds can be made to crash on purpose; release builds never.
  // Read once at start-up, before any other thread exists.
  InstallCrashTests(std::getenv("VX_CRASH_TEST"));  // NOLINT(concurrency-mt-unsafe)
#endif
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const TThreadTag windowThread(TThreadKind::Window);
  InstallCrashReports();
#ifdef VX_VERIFY_SIGNATURE
  if (!OwnSignatureIsValid()) {
    MessageBoxW(nullptr,
                Wide("Цифровая подпись программы отсутствует или повреждена. Программа не может быть запущена.").c_str(),
                Wide(kMessageCaption).c_str(), MB_OK | MB_ICONERROR);
    return 0;
  }
#endif
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutexName);
  const DWORD wait = mutex != nullptr ? WaitForSingleObject(mutex, kInstanceWait) : WAIT_FAILED;
  if (wait == WAIT_OBJECT_0) {
    RunInstance();
    ReleaseMutex(mutex);  // before the window is destroyed: a new copy may start meanwhile
    DestroyMainWindow();
    return 0;
  }
  // Another copy runs. The caption is compared as UTF-16 converted from
  // Windows-1251, as the window set it, so that the search works whatever the
  // system's code page.
  if (HWND first = FindWindowW(Wide(kMainFormClassName).c_str(), Wide(kMainFormCaption).c_str())) {
    PostMessageW(first, WM_RESTORE_INSTANCE, 0, 0);
    PostMessageW(first, WM_SETFOCUS, 0, 0);
  }
  return 0;
}
