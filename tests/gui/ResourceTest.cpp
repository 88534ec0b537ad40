// The programs' resources read back from the built executables: icon sizes,
// version fields and the manifest; and, in this program, which carries the
// same manifest and icon, what they do to the real window.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <memory>
#include <set>
#include <string>
#include <type_traits>

#include "MainFormDesign.h"
#include "Win32Pump.h"
#include "platform/MainThread.h"

namespace {

struct TModuleCloser {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};
using TModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, TModuleCloser>;

// A resource's bytes, or an empty text when the module has none.
std::string ResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type) {
  HRSRC info = FindResourceW(module, name, type);
  if (info == nullptr) return {};
  HGLOBAL data = LoadResource(module, info);
  const auto* bytes = static_cast<const char*>(LockResource(data));
  return bytes == nullptr ? std::string() : std::string(bytes, SizeofResource(module, info));
}

std::wstring VersionString(const std::wstring& file, const wchar_t* field) {
  DWORD ignored = 0;
  std::string block(GetFileVersionInfoSizeW(file.c_str(), &ignored), '\0');
  if (block.empty() || !GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data())) return {};
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + field;
  if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || length == 0) return {};
  return value;
}

#pragma pack(push, 2)
struct TIconDirEntry {
  BYTE Width, Height, Colors, Reserved;
  WORD Planes, BitCount;
  DWORD BytesInRes;
  WORD Id;
};
#pragma pack(pop)

}  // namespace

TEST(ProgramResources, BothProgramsCarryTheirIconVersionAndManifest) {
  const struct {
    std::wstring path;
    const char* file;
    const char* description;
  } programs[] = {
      {WindowsPath(VX_APP_DIR) + L"\\vxfwloader.exe", "vxfwloader.exe", "Velmar firmware updater"},
      {WindowsPath(VX_FLASH_PATH), "vxflash.exe", "Velmar console firmware flasher"},
  };
  for (const auto& program : programs) {
    SCOPED_TRACE(program.file);
    const TModule module(LoadLibraryExW(program.path.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_NE(module, nullptr) << GetLastError();

    /* the icon: 16, 24, 32, 48 and 256 px in 32 bits, the largest as PNG */
    const std::string group = ResourceBytes(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
    ASSERT_GE(group.size(), 6u);
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, 2);
    ASSERT_EQ(group.size(), 6u + count * sizeof(TIconDirEntry));
    std::set<int> sizes;
    for (WORD i = 0; i < count; ++i) {
      TIconDirEntry e{};
      std::memcpy(&e, group.data() + 6 + i * sizeof e, sizeof e);
      const int size = e.Width == 0 ? 256 : e.Width;
      SCOPED_TRACE(size);
      sizes.insert(size);
      EXPECT_EQ(e.Height, e.Width);
      const std::string image = ResourceBytes(module.get(), MAKEINTRESOURCEW(e.Id), MAKEINTRESOURCEW(3));
      ASSERT_EQ(image.size(), e.BytesInRes);
      if (size == 256) {
        EXPECT_EQ(image.substr(1, 3), "PNG");
      } else {
        BITMAPINFOHEADER h{};
        ASSERT_GE(image.size(), sizeof h);
        std::memcpy(&h, image.data(), sizeof h);
        EXPECT_EQ(h.biWidth, size);
        EXPECT_EQ(h.biHeight, 2 * size);  // the colour picture and its mask
        EXPECT_EQ(h.biBitCount, 32);
      }
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 256}));

    /* the version: the project's, as numbers and as texts */
    DWORD ignored = 0;
    std::string block(GetFileVersionInfoSizeW(program.path.c_str(), &ignored), '\0');
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(program.path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, (VX_VERSION_MAJOR << 16u) | VX_VERSION_MINOR);
    EXPECT_EQ(fixed->dwFileVersionLS, VX_VERSION_PATCH << 16u);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(VersionString(program.path, L"FileVersion"), W(VX_PROJECT_VERSION));
    EXPECT_EQ(VersionString(program.path, L"ProductVersion"), W(VX_PROJECT_VERSION));
    EXPECT_EQ(VersionString(program.path, L"ProductName"), L"Velmar Firmware Loader");
    EXPECT_EQ(VersionString(program.path, L"FileDescription"), W(program.description));
    EXPECT_EQ(VersionString(program.path, L"OriginalFilename"), W(program.file));
    EXPECT_EQ(VersionString(program.path, L"CompanyName"), L"Velmar");
    EXPECT_NE(VersionString(program.path, L"LegalCopyright").find(L"Velmar"), std::wstring::npos);

    /* the manifest, as the loader reads it (resource 1 of type 24) */
    const std::string manifest = ResourceBytes(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    for (const char* part : {
             R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)",
             R"(<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>)",  // 7
             R"(<supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>)",  // 8
             R"(<supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>)",  // 8.1
             R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)",  // 10 and 11
             R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>)",
             R"(<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">system</dpiAwareness>)",
             R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
         })
      EXPECT_NE(manifest.find(part), std::string::npos) << part;
  }
}

TEST(ProgramResources, TheWindowHasTheIconVisualStylesAndTheDisplayScale) {
  SetMainThread();
  std::unique_ptr<TMainForm> form;
  TMainForm& f = CreateMainForm(form);
  f.DevTimer.SetEnabled(false);
  const HWND main = static_cast<HWND>(f.Handle());
  ASSERT_NE(main, nullptr);

  /* the title bar and the taskbar button show the executable's icon */
  const auto icon = [](int cx, int cy) {
    return reinterpret_cast<ULONG_PTR>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                  GetSystemMetrics(cx), GetSystemMetrics(cy), LR_SHARED));
  };
  EXPECT_NE(icon(SM_CXICON, SM_CYICON), 0u);
  EXPECT_EQ(GetClassLongPtrW(main, GCLP_HICON), icon(SM_CXICON, SM_CYICON));
  EXPECT_EQ(GetClassLongPtrW(main, GCLP_HICONSM), icon(SM_CXSMICON, SM_CYSMICON));

  /* the manifest brought version 6 of the common controls (visual
     styles): its library from the side-by-side store, and buttons that
     answer a message of version 6 only */
  HMODULE controls = GetModuleHandleW(L"comctl32.dll");
  ASSERT_NE(controls, nullptr);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(controls, path, MAX_PATH);
  std::wstring lower(path);
  for (wchar_t& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
  EXPECT_NE(lower.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6.0."), std::wstring::npos) << path;
  SIZE ideal{};
  EXPECT_TRUE(SendMessageW(static_cast<HWND>(f.btnFwLoad.Handle()), BCM_GETIDEALSIZE, 0,
                           reinterpret_cast<LPARAM>(&ideal)));
  EXPECT_GT(ideal.cx, 0);

  /* and awareness of the display scale: the system does not stretch it */
  using TIsAware = BOOL(WINAPI*)();
  const auto isAware = reinterpret_cast<TIsAware>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "IsProcessDPIAware")));
  ASSERT_NE(isAware, nullptr);
  EXPECT_TRUE(isAware());
  DestroyMainForm(form);
}
