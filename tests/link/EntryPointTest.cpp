// Calls every entry point of the simulated libraries by its exported name. On
// 32-bit Windows each call goes through a probe that checks the callee took
// its arguments off the stack itself (__stdcall) and left every callee-saved
// register alone, so a wrong convention or a decorated name fails here.

#include <cstring>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "platform/DynamicLibrary.h"

#if defined(_WIN32) && defined(__i386__)
#define VX_STDCALL_PROBE 1
// Pushes `count` 32-bit arguments, calls `fn`, stores its eax in *result and
// returns how far esp ended up from where a __stdcall callee must leave it
// (0 when the callee popped exactly its arguments).
extern "C" int __cdecl VxCallStdcall(void* fn, int count, const std::uint32_t* args, std::uint32_t* result);
asm(R"(
  .text
  .globl _VxCallStdcall
_VxCallStdcall:
  push %ebp
  mov %esp, %ebp
  push %ebx
  push %esi
  push %edi
  mov 12(%ebp), %ecx
  mov 16(%ebp), %esi
1:
  test %ecx, %ecx
  jz 2f
  dec %ecx
  push (%esi,%ecx,4)
  jmp 1b
2:
  mov 12(%ebp), %ecx
  lea (%esp,%ecx,4), %ebx
  call *8(%ebp)
  mov 20(%ebp), %ecx
  mov %eax, (%ecx)
  mov %esp, %eax
  sub %ebx, %eax
  lea -12(%ebp), %esp
  pop %edi
  pop %esi
  pop %ebx
  pop %ebp
  ret
)");
#endif

namespace {

class EntryPoints : public SimTest {
protected:
  struct TProbe {
    TModuleHandle module;
    std::vector<std::string> called;

    std::uint32_t Call(const char* name, std::vector<std::uintptr_t> args) {
      void* fn = FindLibrarySymbol(module, name);
      EXPECT_NE(fn, nullptr) << name << " is not exported under its plain name";
      if (fn == nullptr) return 0xFFFFFFFFu;
      called.push_back(name);
#ifdef VX_STDCALL_PROBE
      std::vector<std::uint32_t> words(args.begin(), args.end());
      std::uint32_t result = 0;
      EXPECT_EQ(VxCallStdcall(fn, static_cast<int>(words.size()), words.data(), &result), 0)
          << name << " left the stack unbalanced";
      return result;
#else
      using W = std::uintptr_t;
      switch (args.size()) {
        case 0: return static_cast<std::uint32_t>(reinterpret_cast<W(VX_WINAPI*)()>(fn)());
        case 1: return static_cast<std::uint32_t>(reinterpret_cast<W(VX_WINAPI*)(W)>(fn)(args[0]));
        case 2: return static_cast<std::uint32_t>(reinterpret_cast<W(VX_WINAPI*)(W, W)>(fn)(args[0], args[1]));
        case 3:
          return static_cast<std::uint32_t>(reinterpret_cast<W(VX_WINAPI*)(W, W, W)>(fn)(args[0], args[1], args[2]));
        case 4:
          return static_cast<std::uint32_t>(
              reinterpret_cast<W(VX_WINAPI*)(W, W, W, W)>(fn)(args[0], args[1], args[2], args[3]));
        default:
          return static_cast<std::uint32_t>(reinterpret_cast<W(VX_WINAPI*)(W, W, W, W, W, W)>(fn)(
              args[0], args[1], args[2], args[3], args[4], args[5]));
      }
#endif
    }
  };

  static std::uintptr_t P(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
};

TEST_F(EntryPoints, EveryD2xxEntryPointTakesItsArgumentsAsDeclared) {
  vxsim::LoadScenario("[device]\nlibrary = ftdi\nserial = 314\n");
  TProbe ft{LoadDynamicLibrary(kFtdiLibraryName), {}};
  ASSERT_NE(ft.module, nullptr);
  std::uint32_t count = 0, rx = 0, tx = 0, events = 0, type = 0, id = 0;
  void* handle = nullptr;
  char serial[16] = {}, description[64] = {};

  EXPECT_EQ(ft.Call("FT_ListDevices", {P(&count), 0, 0x80000000u}), 0u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(ft.Call("FT_Open", {0, P(&handle)}), 0u);
  EXPECT_EQ(ft.Call("FT_Close", {P(handle)}), 0u);
  EXPECT_EQ(ft.Call("FT_OpenEx", {P("314"), 1, P(&handle)}), 0u);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(ft.Call("FT_ResetDevice", {P(handle)}), 0u);
  EXPECT_EQ(ft.Call("FT_Purge", {P(handle), 3}), 0u);
  EXPECT_EQ(ft.Call("FT_SetDivisor", {P(handle), 26}), 0u);
  EXPECT_EQ(ft.Call("FT_SetTimeouts", {P(handle), 1000, 200}), 0u);
  EXPECT_EQ(ft.Call("FT_SetBaudRate", {P(handle), 115200}), 0u);
  EXPECT_EQ(ft.Call("FT_GetDeviceInfo", {P(handle), P(&type), P(&id), P(serial), P(description), 0}), 0u);
  EXPECT_STREQ(serial, "314");
  EXPECT_STREQ(description, "Velmar");
  std::uint8_t request[14];
  BuildRequest(request, cmReadProcessorId);
  std::uint32_t written = 0;
  EXPECT_EQ(ft.Call("FT_Write", {P(handle), P(request), 14, P(&written)}), 0u);
  EXPECT_EQ(written, 14u);
  EXPECT_EQ(ft.Call("FT_GetStatus", {P(handle), P(&rx), P(&tx), P(&events)}), 0u);
  EXPECT_EQ(rx, 18u);
  EXPECT_EQ(ft.Call("FT_GetQueueStatus", {P(handle), P(&rx)}), 0u);
  std::uint8_t answer[18] = {};
  std::uint32_t got = 0;
  EXPECT_EQ(ft.Call("FT_Read", {P(handle), P(answer), 18, P(&got)}), 0u);
  EXPECT_EQ(got, 18u);
  EXPECT_TRUE(AcceptQueryAnswer(answer, 18));
  EXPECT_EQ(ft.Call("FT_SetRts", {P(handle)}), 0u);
  EXPECT_EQ(ft.Call("FT_SetDataCharacteristics", {P(handle), 8, 0, 0}), 0u);
  EXPECT_EQ(ft.Call("FT_SetFlowControl", {P(handle), 0x100, 0x11, 0x13}), 0u);
  EXPECT_EQ(ft.Call("FT_SetLatencyTimer", {P(handle), 2}), 0u);
  EXPECT_EQ(ft.Call("FT_CreateDeviceInfoList", {P(&count)}), 0u);
  std::vector<std::uint8_t> nodes(count * sizeof(FT_DEVICE_LIST_INFO_NODE));
  EXPECT_EQ(ft.Call("FT_GetDeviceInfoList", {P(nodes.data()), P(&count)}), 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(nodes.data() + 16), "314");
  EXPECT_EQ(ft.Call("FT_Close", {P(handle)}), 0u);
  EXPECT_EQ(ft.Call("FT_Rescan", {}), 0u);
  EXPECT_EQ(ft.called.size(), 21u + 1u);  // FT_Close twice

  /* the arguments arrived where the driver expects them */
  const auto divisor = vxsim::Calls("FT_SetDivisor");
  ASSERT_EQ(divisor.size(), 1u);
  EXPECT_EQ(divisor[0].Info.Args[1], 26u);
  const auto flow = vxsim::Calls("FT_SetFlowControl");
  ASSERT_EQ(flow.size(), 1u);
  EXPECT_EQ(flow[0].Info.Args[1], 0x100u);
  EXPECT_EQ(flow[0].Info.Args[2], 0x11u);
  EXPECT_EQ(flow[0].Info.Args[3], 0x13u);
  FreeDynamicLibrary(ft.module);
}

TEST_F(EntryPoints, EveryEntryPointOfTheMakersLibraryTakesItsArgumentsAsDeclared) {
  vxsim::LoadScenario("[device]\nlibrary = vxusb\nserial = 2718\ncode = 0x1234\n");
  TProbe rq{LoadDynamicLibrary(kVxUsbLibraryName), {}};
  ASSERT_NE(rq.module, nullptr);
  std::uint32_t count = 5;
  EXPECT_EQ(rq.Call("RQ_GetListDevices", {0xFFFF, 0, P(&count)}), 0u);
  EXPECT_EQ(count, 1u);
  std::uint8_t record[25] = {};
  EXPECT_EQ(rq.Call("RQ_GetListDevices", {0xFFFF, P(record), P(&count)}), 0u);
  EXPECT_EQ(record[2] | record[3] << 8, 0x1234);
  void* handle = nullptr;
  EXPECT_EQ(rq.Call("RQ_OpenDevice", {0x1234, P("2718"), P(&handle)}), 0u);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(rq.Call("RQ_SetTimeouts", {P(handle), 500, 200}), 0u);
  std::uint8_t request[14];
  BuildRequest(request, cmReadFirmwareVersion);
  std::uint32_t written = 0, got = 0;
  EXPECT_EQ(rq.Call("RQ_Write", {P(handle), P(request), 14, P(&written)}), 0u);
  EXPECT_EQ(written, 14u);
  std::uint8_t answer[64] = {};
  EXPECT_EQ(rq.Call("RQ_ReadNotTimeOut", {P(handle), P(answer), sizeof answer, P(&got)}), 0u);
  EXPECT_EQ(got, 23u);
  EXPECT_EQ(rq.Call("RQ_Purge", {P(handle)}), 0u);
  EXPECT_EQ(rq.Call("RQ_CloseDevice", {P(&handle)}), 0u);
  EXPECT_EQ(rq.called.size(), 8u);
  const auto timeouts = vxsim::Calls("RQ_SetTimeouts");
  ASSERT_EQ(timeouts.size(), 1u);
  EXPECT_EQ(timeouts[0].Info.Args[1], 500u);
  EXPECT_EQ(timeouts[0].Info.Args[2], 200u);
  FreeDynamicLibrary(rq.module);
}

}  // namespace
