#pragma once

// What a scenario describes: the devices, their faults and the clock.
// Internal to vxsim.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vxsim {

enum class TFaultKind {
  NoAnswer,     // the request is carried out, its answer lost
  ShortAnswer,  // the answer is cut to `Value` bytes (13 by default)
  WrongSector,  // the answer echoes sector + 1
  WrongOffset,  // the answer echoes offset + 512
  Damaged,      // byte `Value` of the answer (its last by default) is inverted
  Late,         // the answer arrives `Value` ms later than it would
  Unplug,       // the device leaves the bus on this request; back after `Value` ms (0: stays away)
  ShortWrite,   // the driver reports one byte fewer written than given
  LostRequest,  // the request arrives damaged: dropped unanswered, not carried out (a BadRequest)
  ListDropout,  // the device is missing from its library's list for `Value` ms; its link keeps working
  WriteFault,   // the D2XX library faults (access violation) inside this driver write
};

// Applies to requests with this code (0: any; text commands count as code 0
// only), after `Skip` of them have passed, to `Times` of them.
struct TFault {
  TFaultKind Kind = TFaultKind::NoAnswer;
  std::uint16_t Code = 0;
  std::uint32_t Skip = 0;
  std::uint32_t Times = 1;
  std::uint32_t Value = 0;
};

struct TDeviceConfig {
  int Library = 0;  // VXSIM_FTDI or VXSIM_VXUSB
  std::string Serial = "1";
  std::string Description = "Velmar";
  std::uint16_t DeviceCode = 0x0101;
  bool BootLoader = true;
  std::string FirmwareVersion = "VXCR-1.8";
  std::string LoaderVersion = "VXBL-1.05";
  std::uint32_t ProcessorId = 0x26013F37;
  std::string SectorMap = "auto";  // auto: by ProcessorId
  std::set<int> Protected;
  bool Locked = false;
  std::uint32_t Latency = 0;        // ms from a request to its answer
  std::uint8_t FlashFill = 0xFF;
  bool AnswerStart = true;          // false: no answer to START_BOOT_LOADER
  std::string StartAnswer = "STARTED";
  std::uint32_t LeaveDelay = 10;    // ms from the STARTED answer to leaving the bus
  std::uint32_t RestartDelay = 1000;  // ms off the bus before it comes back in its boot loader
  std::uint32_t RefuseOpen = 0;     // the next N opens fail
  std::uint32_t RefuseOpenSkip = 0;  // ... after this many opens have succeeded
  std::uint32_t EmptyDescription = 0;  // the next N listings show an empty description
  bool OpenElsewhere = false;       // another program holds it open (D2XX): listed by its flag only, not opened
  std::uint32_t FrameGap = 50;      // ms after which a partial request is dropped
  bool Plugged = true;
  std::uint32_t PlugAt = 0;  // ms from the load until it is plugged in; 0: as `Plugged` says
  std::vector<TFault> Faults;
};

struct TScenario {
  bool SetClock = false;
  bool VirtualClock = false;
  std::uint32_t ClockStart = 0;
  std::uint32_t FailList[2][2] = {{0, 0}, {0, 0}};  // [library][first list call, second]
  std::vector<TDeviceConfig> Devices;
};

// Parses a scenario text; on failure returns the 1-based number of the bad
// line and sets `error`.
int ParseScenario(const std::string& text, TScenario& out, std::string& error);

// Adds the scenario to the model's state: its devices join the bus.
void ApplyScenario(const TScenario& scenario);

// Loads the file named by VXSIM_SCENARIO, once per process, if it is set.
void LoadEnvironmentScenario();

// When VXSIM_DUMP names a directory, each device's state and flash are
// written there as the process ends (device<N>.state, device<N>.flash).
void ArmStateDump();

}  // namespace vxsim
