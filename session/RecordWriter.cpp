#include "session/RecordWriter.h"

#include <chrono>

#include "platform/MainThread.h"
#include "platform/Ticks.h"
#include "records/TextFormat.h"

TFlashRecordWriter::TFlashRecordWriter(TOperationLog& log) : FLog(log), FThread([this] { Run(); }) {}

TFlashRecordWriter::~TFlashRecordWriter() {
  {
    std::lock_guard lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
}

void TFlashRecordWriter::Add(const std::string& path, const TFlashRecord& record) {
  {
    std::lock_guard lock(FMutex);
    FQueue.push_back({path, record});
  }
  FWake.notify_all();
}

std::size_t TFlashRecordWriter::Pending() const {
  std::lock_guard lock(FMutex);
  return FQueue.size();
}

void TFlashRecordWriter::Tell(TMessageKind kind, int serial, const std::string& text) {
  // The log belongs to the window thread; this thread waits there for its
  // line like any worker. A log that fails costs the line, not the rows.
  try {
    RunOnMainThread([&] { FLog.DeviceLog(kind, serial, text.c_str()); });
  } catch (...) {
  }
}

void TFlashRecordWriter::Run() {
  bool stalled = false;  // the first row failed and has been told of
  std::unique_lock lock(FMutex);
  for (;;) {
    FWake.wait(lock, [this] { return FStop || !FQueue.empty(); });
    if (FStop) return;
    const TRow row = FQueue.front();
    FWriting = true;
    lock.unlock();
    const bool written = AppendFlashRecord(row.Path, row.Record);
    if (!written && !stalled)
      Tell(mkError, row.Record.Serial, FormatText("Не удалось записать результат прошивки в файл %s", row.Path.c_str()));
    lock.lock();
    FWriting = false;
    if (written) {
      stalled = false;
      FQueue.pop_front();
      FWake.notify_all();
      continue;
    }
    stalled = true;
    FWake.notify_all();
    FWake.wait_for(lock, std::chrono::milliseconds(kRecordRetryMs), [this] { return FStop; });
  }
}

void TFlashRecordWriter::Finish(std::uint32_t waitMs) {
  const std::uint32_t start = SystemTickCount();
  while (Pending() > 0 && SystemTickCount() - start < waitMs) CheckSynchronize(10);
  {
    std::lock_guard lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  // An attempt under way ends within the file's own wait (about two seconds);
  // its line may need the window thread meanwhile.
  for (;;) {
    {
      std::lock_guard lock(FMutex);
      if (!FWriting) break;
    }
    CheckSynchronize(10);
  }
  if (FThread.joinable()) FThread.join();
  // Whatever is left is tried once more here, in order, up to the first
  // row that still cannot be written; that one and those behind it are named.
  std::deque<TRow> left;
  {
    std::lock_guard lock(FMutex);
    left.swap(FQueue);
  }
  while (!left.empty() && AppendFlashRecord(left.front().Path, left.front().Record)) left.pop_front();
  if (left.empty()) return;
  std::string serials;
  for (const TRow& row : left) serials += (serials.empty() ? "" : ", ") + std::to_string(row.Record.Serial);
  FLog.DeviceLogFmt(mkError, 0, "Не записаны в файл %s результаты прошивки (%d): приборы %s", left.front().Path.c_str(),
                    static_cast<int>(left.size()), serials.c_str());
}
