#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "records/FlashRecord.h"
#include "records/OperationLog.h"

// Appends the rows of the record of flashes on a thread of its own, so that
// neither the window thread nor any flash waits while another program holds
// the file (a spreadsheet can hold it for minutes). Rows are written in the
// order they came; a row that cannot be written stays first in the queue and
// is tried again until the file is free, the rows behind it waiting.
// Lines about the file go to the log on the window thread.
class TFlashRecordWriter {
public:
  // `log` receives the lines (on the window thread, handed over).
  explicit TFlashRecordWriter(TOperationLog& log);
  // Stops the thread; call Finish first to write what is queued.
  ~TFlashRecordWriter();
  TFlashRecordWriter(const TFlashRecordWriter&) = delete;
  TFlashRecordWriter& operator=(const TFlashRecordWriter&) = delete;

  // Queues a row for the file at `path`; never waits for the file.
  void Add(const std::string& path, const TFlashRecord& record);

  // Window thread, at the end: waits up to `waitMs` for the queue to be
  // written, serving hand-overs meanwhile, then stops the thread. Rows still
  // not written are named, with their count, in one error line. Nothing is
  // added after this.
  void Finish(std::uint32_t waitMs);

  // Rows not written yet.
  [[nodiscard]] std::size_t Pending() const;

private:
  struct TRow {
    std::string Path;
    TFlashRecord Record;
  };
  void Run();
  void Tell(TMessageKind kind, int serial, const std::string& text);

  TOperationLog& FLog;
  mutable std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<TRow> FQueue;
  bool FWriting = false;  // the thread holds the first row in an attempt
  bool FStop = false;
  std::thread FThread;
};

// How long a program waits at its end for queued rows, and between two tries
// at a file that could not be written.
inline constexpr std::uint32_t kRecordFinishWaitMs = 3000;
inline constexpr std::uint32_t kRecordRetryMs = 1000;
