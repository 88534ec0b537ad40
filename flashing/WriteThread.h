#pragma once

#include <cstdint>

#include "platform/Thread.h"
#include "records/DevEntry.h"

// The flashing thread of one device in its boot loader (WriteProcess.cpp).
class TWriteThread : public TThread {
public:
  TDevEntry* FDevice = nullptr;  // not owned; set before the thread starts
  std::int32_t FResult = 0;
  std::int32_t FLastAnswer = 0;
  std::int32_t FElapsed = 0;

protected:
  void Execute() override;
};
