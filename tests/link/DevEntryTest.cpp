#include <gtest/gtest.h>

#include "records/DevEntry.h"

namespace {

TEST(DevEntry, SerialTextToNumber) {
  const struct {
    const char* text;
    std::int32_t serial;
  } cases[] = {
      {"00012345", 12345}, {"0055", 55},          {"12AB", -1},           {"", -1},
      {" 5", -1},          {"5 ", -1},            {"-", -1},              {"+7", 7},
      {"-5", -5},          {"2147483647", 2147483647}, {"2147483648", -1}, {"-2147483648", INT32_MIN},
      {"-2147483649", -1}, {"99999999999999999999", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(SerialFromText(c.text), c.serial) << '"' << c.text << '"';
  EXPECT_EQ(SerialFromText(nullptr), -1);

  const TDevEntry entry("00012345", 0x0203, lbVxUsb);
  EXPECT_EQ(entry.Serial, 12345);
  EXPECT_EQ(entry.DeviceCode, 0x0203);
  EXPECT_EQ(entry.Backend, lbVxUsb);
  EXPECT_EQ(entry.FtHandle, nullptr);
  EXPECT_EQ(entry.VxHandle, nullptr);
}

TEST(DevEntry, FindTakesTheFirstMatchInListOrderAndRemovalTakesThatVeryEntry) {
  TDeviceList list;
  list.push_back(std::make_unique<TDevEntry>("12AB", kFtdiDeviceCode, lbFtdi));
  list.push_back(std::make_unique<TDevEntry>("7", kFtdiDeviceCode, lbFtdi));
  list.push_back(std::make_unique<TDevEntry>("XYZ", 0x0101, lbVxUsb));  // shares the key -1
  list.push_back(std::make_unique<TDevEntry>("0007", 0x0101, lbVxUsb));  // same number on the other library

  /* two texts that fail to convert are one number */
  EXPECT_EQ(FindDevice(list, -1), list[0].get());
  EXPECT_EQ(FindDevice(list, 7), list[1].get());
  EXPECT_EQ(FindDevice(list, 8), nullptr);

  /* the same serial on the other library is another device */
  const TDevEntry vx7("7", 0x0101, lbVxUsb);
  EXPECT_EQ(FindSameDevice(list, vx7), list[3].get());
  EXPECT_EQ(FindSameDevice(list, *list[1]), list[1].get());
  EXPECT_FALSE(SameDevice(*list[1], vx7));

  /* removal takes the entry given, not the first with its serial */
  TDevEntry* ftdi7 = list[1].get();
  RemoveDevice(list, list[3].get());
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(FindDevice(list, 7), ftdi7);
  EXPECT_EQ(FindSameDevice(list, vx7), nullptr);

  /* nothing to remove */
  RemoveDevice(list, &vx7);
  EXPECT_EQ(list.size(), 3u);
}

std::vector<TFWLoaderDevGroup*> deletedPanels;

TEST(DevEntry, DestructorDeletesThePanelThroughTheInstalledDeleter) {
  InstallPanelDeleter([](TFWLoaderDevGroup* panel) { deletedPanels.push_back(panel); });
  auto* panel = reinterpret_cast<TFWLoaderDevGroup*>(&deletedPanels);  // only compared, never used
  {
    TDeviceList list;
    list.push_back(std::make_unique<TDevEntry>("1", kFtdiDeviceCode, lbFtdi));
    list.push_back(std::make_unique<TDevEntry>("2", kFtdiDeviceCode, lbFtdi));
    list[1]->Panel = panel;
    RemoveDevice(list, list[0].get());  // no panel: the deleter is not called
    EXPECT_TRUE(deletedPanels.empty());
    RemoveDevice(list, list[0].get());
  }
  ASSERT_EQ(deletedPanels.size(), 1u);
  EXPECT_EQ(deletedPanels[0], panel);
  InstallPanelDeleter(nullptr);
}

}  // namespace
