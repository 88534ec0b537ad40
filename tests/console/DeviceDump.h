#pragma once

// What a simulated device left behind when the program that drove it ended
// (VXSIM_DUMP): its state and its flash, held against the embedded image.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "FlashCheck.h"

// Device `device`'s files in the dump folder `dump`.
class TDeviceDump {
public:
  TDeviceDump(std::string dump, int device) : FBase(std::move(dump) + "/device" + std::to_string(device)), FDevice(device) {}

  [[nodiscard]] std::map<std::string, long long> State() const {
    std::map<std::string, long long> state;
    std::ifstream in(FBase + ".state");
    std::string key;
    long long value = 0;
    while (in >> key >> value) state[key] = value;
    EXPECT_FALSE(state.empty()) << "no state of device " << FDevice;
    return state;
  }
  [[nodiscard]] std::string Flash() const {
    std::ifstream in(FBase + ".flash", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The device holds the embedded image from its first application sector
  // on and nothing anywhere else, and the flash ended with its finishing
  // request; its link is closed.
  void ExpectFlashedWithImage() const {
    const std::vector<std::uint8_t> payload = ImagePayload(ReadBinaryFile(VX_DEFAULT_IMAGE_PATH));
    ASSERT_FALSE(payload.empty());
    const std::uint32_t start = DeviceSectors(0x26013F37, "VXBL-1.05").at(10).Offset;
    const std::string flash = Flash();
    ASSERT_GE(flash.size(), start + payload.size());
    EXPECT_EQ(flash.substr(0, start), std::string(start, '\xFF')) << "device " << FDevice;
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin() + start,
                           [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
        << "device " << FDevice;
    const std::size_t after = start + payload.size();
    EXPECT_EQ(flash.substr(after), std::string(flash.size() - after, '\xFF')) << "device " << FDevice;
    const auto state = State();
    EXPECT_EQ(state.at("finish_code"), 11) << "device " << FDevice;
    EXPECT_EQ(state.at("open"), 0) << "device " << FDevice;
  }
  void ExpectUntouched() const {
    const std::string flash = Flash();
    EXPECT_EQ(flash, std::string(flash.size(), '\xFF')) << "device " << FDevice;
    EXPECT_EQ(State().at("finish_code"), 0) << "device " << FDevice;
  }

private:
  std::string FBase;
  int FDevice;
};
