#include "app/Signature.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <string>

bool OwnSignatureIsValid() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return false;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  // Loaded here only, from System32: no check, no start.
  HMODULE wintrust = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (wintrust == nullptr) return false;
  using TVerify = LONG(WINAPI*)(HWND, GUID*, LPVOID);
  const auto verify =
      reinterpret_cast<TVerify>(reinterpret_cast<void (*)()>(GetProcAddress(wintrust, "WinVerifyTrust")));
  if (verify == nullptr) return false;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return status == ERROR_SUCCESS;
}
