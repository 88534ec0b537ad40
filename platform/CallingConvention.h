#pragma once

// The calling convention of the Windows API and of the driver libraries
// (__stdcall on x86; the only convention on x64 and elsewhere).
#if defined(_WIN32)
#define VX_WINAPI __stdcall
#else
#define VX_WINAPI
#endif
