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

// A file the test will look for and not find says why here.
void Written(const std::string& path, bool ok) {
  if (!ok) std::fprintf(stderr, "vxsim: could not write %s\n", path.c_str());  // NOLINT(cert-err33-c)
}

void WriteDeviceFiles() {
  const std::string& dir = DumpDirectory();
  for (int i = 0; i < VxSim_DeviceCount(); ++i) {
    VxSimDeviceState s{};
    if (VxSim_GetDeviceState(i, &s) != 0) continue;
    const std::string base = dir + "/device" + std::to_string(i);
    const std::string state = base + ".state";
    std::FILE* f = std::fopen(state.c_str(), "w");
    bool ok = f != nullptr &&
              std::fprintf(f, "open %d\nboot_loader %d\nrequests %u\nbad_requests %u\nrefused_requests %u\n"
                              "finish_code %u\nplugs %u\n",
                           s.Open, s.BootLoader, s.Requests, s.BadRequests, s.RefusedRequests, s.FinishCode,
                           s.Plugs) > 0;
    if (f != nullptr) ok = std::fclose(f) == 0 && ok;
    Written(state, ok);
    std::string flash(s.FlashSize, '\0');
    if (VxSim_ReadFlash(i, 0, flash.data(), s.FlashSize) != s.FlashSize) continue;
    const std::string contents = base + ".flash";
    f = std::fopen(contents.c_str(), "wb");
    ok = f != nullptr && std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    if (f != nullptr) ok = std::fclose(f) == 0 && ok;
    Written(contents, ok);
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
      if (std::atexit(&WriteDeviceFiles) != 0) Written(DumpDirectory(), false);
    }
  });
}

}  // namespace vxsim
