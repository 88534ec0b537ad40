// The identification exchange with one new device: boot loader or firmware,
// its versions, its processor, and for a device that runs its firmware the
// request to restart into the boot loader.
#include <cstring>

#include "discovery/ReadVersion.h"
#include "records/EscapedText.h"
#include "link/DeviceLink.h"
#include "link/Packets.h"

namespace {

// The text version query of a device that runs its firmware.
constexpr int kTextQueryAttempts = 4;
constexpr std::uint32_t kTextAnswerMax = 100;
constexpr std::uint32_t kTextAnswerTimeout = 2000;
constexpr int kTextAnswerMinimum = 8;

constexpr std::uint32_t kStartAnswerMax = 1024;
constexpr std::uint32_t kStartAnswerTimeout = 1000;
constexpr char kStarted[] = "STARTED";
constexpr char kStartError[] = "START ERROR";

bool BeginsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Closes the link however the exchange ends, an exception included.
class TOpenLink {
public:
  explicit TOpenLink(TDevEntry& entry) : FEntry(entry) {}
  ~TOpenLink() { LinkClose(FEntry); }
  TOpenLink(const TOpenLink&) = delete;
  TOpenLink& operator=(const TOpenLink&) = delete;

private:
  TDevEntry& FEntry;
};

}  // namespace

bool TReadVersion::IdentifyDevice(TDevEntry& entry) {
  if (!LinkOpen(entry)) {
    FResult = rvOpenFailed;
    return false;
  }
  {
    const TOpenLink link(entry);
    if (QueryLoaderFirmwareVersion(entry))
      entry.InBootLoader = true;
    else if (!ReadFirmwareVersionText(entry))
      FResult = rvNoVersion;
    // Once any device of the run has failed, the later ones are only asked
    // for their version.
    if (FResult == rvSuccess) {
      if (entry.InBootLoader)
        ReadLoaderInfo(entry);
      else if (FOwner.RestartIntoBootLoader(entry))
        (void)StartBootLoader(entry);  // its outcome is in RestartRequested and the log
    }
  }
  return FResult == rvSuccess;
}

void TReadVersion::IdentifyEachDeviceAlone() {
  for (auto it = FNewDevices.begin(); it != FNewDevices.end();) {
    FResult = rvSuccess;
    FLastAnswer = 0;
    if (IdentifyDevice(**it)) {
      ++it;
      continue;
    }
    FUnidentified.push_back({std::move(*it), FResult, FLastAnswer});
    it = FNewDevices.erase(it);
  }
}

int TReadVersion::Query(TDevEntry& entry, std::uint16_t code, std::uint32_t timeoutMs, TQueryAnswer& answer) {
  answer.Clear();
  std::uint8_t request[kPacketHeaderSize];
  BuildRequest(request, code);
  if (!LinkSend(entry, request, sizeof request)) return -1;
  const int received = LinkRead(entry, answer.Bytes, timeoutMs, kQueryAnswerMax);
  if (received >= static_cast<int>(kPacketHeaderSize)) FLastAnswer = ReadPacketHeader(answer.Bytes).Code;
  return received;
}

bool TReadVersion::QueryLoaderFirmwareVersion(TDevEntry& entry) {
  TQueryAnswer answer;
  const int received = Query(entry, cmReadFirmwareVersion, kVersionQueryTimeout, answer);
  if (received < 0 || !AcceptQueryAnswer(answer.Bytes, received)) return false;
  // A boot loader whatever its text says: the parse keeps what it could read.
  (void)entry.FirmwareVersion.Parse(answer.Text().c_str());
  return true;
}

bool TReadVersion::ReadFirmwareVersionText(TDevEntry& entry) {
  for (int attempt = 0; attempt < kTextQueryAttempts; ++attempt) {
    // A send that failed shows as no answer.
    (void)LinkSend(entry, kReadVersionText, kReadVersionTextLength);
    char text[kTextAnswerMax + 1] = {};
    const int received = LinkRead(entry, text, kTextAnswerTimeout, kTextAnswerMax);
    if (received < kTextAnswerMinimum) continue;
    text[received] = '\0';
    // "Unknown" parses to Version 1 and so counts as an answer.
    (void)entry.FirmwareVersion.Parse(text);
    if (entry.FirmwareVersion.Version != 0) return true;
  }
  return false;
}

void TReadVersion::ReadLoaderInfo(TDevEntry& entry) {
  TQueryAnswer answer;
  int received = Query(entry, cmReadLoaderVersion, kVersionQueryTimeout, answer);
  if (received >= 0 && AcceptQueryAnswer(answer.Bytes, received))
    (void)entry.LoaderVersion.Parse(answer.Text().c_str());

  received = Query(entry, cmReadProcessorId, kProcessorIdTimeout, answer);
  if (received < 0) return;
  if (received < static_cast<int>(kPacketHeaderSize)) {
    PostLog(mkError, 0, "нет ответа на запрос идентификатора");
    return;
  }
  if (AcceptQueryAnswer(answer.Bytes, received)) entry.ProcessorId = answer.Number();
}

bool TReadVersion::StartBootLoader(TDevEntry& entry) {
  entry.RestartRequested = false;
  PostLog(mkInfo, entry.Serial, "Отправляем команду запуска загрузчика");
  if (!LinkSend(entry, kStartBootLoaderText, kStartBootLoaderTextLength)) {
    PostLog(mkError, entry.Serial, "Ошибка драйвера.");
    return false;
  }
  char text[kStartAnswerMax + 1] = {};
  const int received = LinkRead(entry, text, kStartAnswerTimeout, kStartAnswerMax);
  if (received <= 0) {
    PostLog(mkError, entry.Serial, "Прибор не ответил на команду запуска загрузчика.");
    return false;
  }
  text[received] = '\0';
  if (BeginsWith(text, kStarted)) {
    PostLog(mkInfo, entry.Serial, "Команда запуска загрузчика обработана. Переподключите устройство.");
    entry.RestartRequested = true;
    return true;
  }
  if (BeginsWith(text, kStartError))
    PostLog(mkError, entry.Serial, "Ошибка запуска загрузчика");
  else
    PostLog(mkError, entry.Serial, "Неизвестный ответ прибора: %s", EscapedText(text).c_str());
  return false;
}
