// The devices' state written out when the process ends, for tests that run a
// program against the simulated devices as a process of its own and then
// check what each device holds.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "sim/SimApi.h"
#include "sim/Scenario.h"

namespace vxsim {

namespace {

std::string& DumpDirectory() {
  static std::string dir;
  return dir;
}

void WriteDeviceFiles() {
  const std::string& dir = DumpDirectory();
  for (int i = 0; i < VxSim_DeviceCount(); ++i) {
    VxSimDeviceState s{};
    if (VxSim_GetDeviceState(i, &s) != 0) continue;
    const std::string base = dir + "/device" + std::to_string(i);
    if (std::FILE* f = std::fopen((base + ".state").c_str(), "w")) {
      std::fprintf(f, "open %d\nboot_loader %d\nrequests %u\nbad_requests %u\nrefused_requests %u\nfinish_code %u\nplugs %u\n",
                   s.Open, s.BootLoader, s.Requests, s.BadRequests, s.RefusedRequests, s.FinishCode, s.Plugs);
      std::fclose(f);
    }
    std::string flash(s.FlashSize, '\0');
    if (VxSim_ReadFlash(i, 0, flash.data(), s.FlashSize) != s.FlashSize) continue;
    if (std::FILE* f = std::fopen((base + ".flash").c_str(), "wb")) {
      std::fwrite(flash.data(), 1, flash.size(), f);
      std::fclose(f);
    }
  }
}

}  // namespace

void ArmStateDump() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Read once; nothing in a process that loads the simulator sets the environment.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    if (const char* dir = std::getenv("VXSIM_DUMP"); dir != nullptr && *dir != '\0') {
      DumpDirectory() = dir;
      std::atexit(&WriteDeviceFiles);
    }
  });
}

}  // namespace vxsim
