// Image tool: packs a payload, a version text and a build time into a firmware
// image, and shows what an image holds.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.h"
#include "platform/CodePage.h"
#include "records/EscapedText.h"

namespace {

// Images hold at most 2 MiB of payload and a header of at most 128 KiB; a
// file far above that is not an image and is not read into memory.
constexpr std::uintmax_t kMaxFileSize = std::uintmax_t{64} * 1024 * 1024;

const char* const kUsage =
    "usage:\n"
    "  vximage pack --payload FILE --version TEXT [--build-time \"dd.mm.yyyy hh:mm:ss\"] --output FILE\n"
    "  vximage info FILE\n"
    "  vximage random --seed N --size N --output FILE\n"
    "\n"
    "pack    writes an image of the payload with the version text, the optional build\n"
    "        time and the header checksum\n"
    "info    prints what an image holds and whether the updater accepts it;\n"
    "        exit status 0 when it is accepted, 1 when it is not\n"
    "random  writes SIZE deterministic pseudo-random bytes (xorshift32 from SEED)\n";

// Texts of the format are Windows-1251; the terminal of a non-Windows system
// is UTF-8.
std::string Shown(const std::string& cp1251) {
#ifdef _WIN32
  return cp1251;
#else
  return Cp1251ToUtf8(cp1251);
#endif
}
std::string FromArgument(const char* arg) {
#ifdef _WIN32
  return arg;
#else
  return Utf8ToCp1251(arg);
#endif
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vximage: %s\n", message.c_str());
  return 2;
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& data, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): one thread
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) {
    error = "cannot read " + path;
    return false;
  }
  if (static_cast<std::uintmax_t>(size) > kMaxFileSize) {
    error = path + " is " + std::to_string(size) + " bytes, far larger than any image";
    return false;
  }
  in.seekg(0, std::ios::beg);
  data.resize(static_cast<std::size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size))) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data, std::string& error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (out) out.close();
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

// Options of the form --name VALUE after the command word.
struct Options {
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<std::string> positional;
  std::string error;

  const std::string* Get(const char* name) const {
    for (const auto& [key, value] : values)
      if (key == name) return &value;
    return nullptr;
  }
};

Options ParseOptions(int argc, char** argv, std::initializer_list<const char*> known) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      o.positional.push_back(arg);
      continue;
    }
    bool isKnown = false;
    for (const char* k : known) isKnown = isKnown || arg == std::string("--") + k;
    if (!isKnown) {
      o.error = "unknown option " + arg;
      return o;
    }
    if (i + 1 >= argc) {
      o.error = "option " + arg + " needs a value";
      return o;
    }
    o.values.emplace_back(arg.substr(2), argv[++i]);
  }
  return o;
}

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
  value = v;
  return true;
}

int Pack(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv, {"payload", "version", "build-time", "output"});
  if (!o.error.empty()) return Fail(o.error);
  const std::string* payloadPath = o.Get("payload");
  const std::string* versionArg = o.Get("version");
  const std::string* output = o.Get("output");
  if (payloadPath == nullptr || versionArg == nullptr || output == nullptr || !o.positional.empty())
    return Fail("pack needs --payload, --version and --output\n" + std::string(kUsage));

  const std::string version = FromArgument(versionArg->c_str());
  TFirmwareVersion parsed;
  if (!parsed.Parse(version.c_str()))
    return Fail("version text \"" + *versionArg + "\" is not of the form NAME-MAJOR.MINOR[SUFFIX]");

  std::optional<std::string> buildTime;
  if (const std::string* t = o.Get("build-time")) {
    TDateTime date;
    if (!DecodeBuildTime(t->c_str(), date))
      return Fail("build time \"" + *t + "\" is not a valid \"dd.mm.yyyy hh:mm:ss\"");
    buildTime = *t;
  }

  std::vector<std::uint8_t> payload;
  std::string error;
  if (!ReadFile(*payloadPath, payload, error)) return Fail(error);
  std::vector<std::uint8_t> image;
  if (!BuildFirmwareImage(version, buildTime, payload.data(), payload.size(), image, error)) return Fail(error);
  if (!WriteFile(*output, image, error)) return Fail(error);
  std::printf("%s: %zu bytes, version %s, payload %zu bytes, checksum 0x%04X\n", output->c_str(), image.size(),
              Shown(parsed.VersionText()).c_str(), payload.size(), image[4] | image[5] << 8);
  return 0;
}

// Collects the parser's log lines instead of showing them in a window.
class CollectingLog : public TOperationLog {
public:
  std::vector<std::string> lines;
  void DeviceLog(TMessageKind, int, const char* text) override { lines.emplace_back(text); }
};

int Info(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv, {});
  if (!o.error.empty()) return Fail(o.error);
  if (o.positional.size() != 1) return Fail("info needs exactly one image file\n" + std::string(kUsage));
  const std::string& path = o.positional[0];

  std::vector<std::uint8_t> data;
  std::string error;
  if (!ReadFile(path, data, error)) return Fail(error);

  const TFirmwareImageHeader h = ReadFirmwareImageHeader(data.data(), data.size());
  std::printf("file:            %s (%zu bytes)\n", path.c_str(), data.size());
  if (h.SizeWord) {
    const std::uint32_t declared = *h.SizeWord & kImageLengthMask;
    std::printf("declared length: %u (%s the file)\n", declared, declared == data.size() ? "matches" : "differs from");
    std::printf("build-time flag: %s\n", (*h.SizeWord & kImageBuildTimeFlag) != 0 ? "set" : "clear");
  } else {
    std::printf("declared length: none (the file is shorter than the 4-byte size word)\n");
  }
  if (h.StoredChecksum && h.ComputedChecksum)
    std::printf("checksum:        stored 0x%04X, computed 0x%04X over %zu bytes (%s)\n", *h.StoredChecksum,
                *h.ComputedChecksum, data.size() & 0xFFFFu,
                *h.StoredChecksum == *h.ComputedChecksum ? "match" : "MISMATCH");
  if (h.VersionText) {
    TFirmwareVersion v;
    const bool ok = v.Parse(h.VersionText->c_str());
    std::printf("version text:    \"%s\" -> %s%s\n", Shown(EscapedText(*h.VersionText)).c_str(),
                Shown(v.VersionText()).c_str(),
                ok ? "" : " (not recognised)");
  }
  if (h.BuildTime) {
    TFirmwareVersion v;
    if (TDateTime date; DecodeBuildTime(h.BuildTime->c_str(), date)) v.Date = date;
    std::printf("build time:      \"%s\" -> %s\n", Shown(EscapedText(*h.BuildTime)).c_str(),
                Shown(v.DateText()).c_str());
  }
  if (h.PayloadOffset)
    std::printf("payload:         %zu bytes from offset %zu\n", data.size() - *h.PayloadOffset, *h.PayloadOffset);
  else
    std::printf("payload:         none (the header runs past the end of the file)\n");

  CollectingLog log;
  TFirmwareVersion version;
  TFirmwareBlockList blocks;
  bool accepted = false;
  std::string refusal;
  try {
    accepted = ParseFirmwareImage(log, data.data(), data.size(), version, blocks);
  } catch (const Exception& e) {
    refusal = e.what();
  }
  for (const std::string& line : log.lines)
    if (accepted) std::printf("logged:          %s\n", Shown(line).c_str());
  if (accepted) {
    std::printf("accepted:        yes\n");
    return 0;
  }
  if (refusal.empty() && !log.lines.empty()) refusal = log.lines.front();
  if (refusal.empty())
    std::printf("accepted:        no (the version text is not recognised; the updater logs no line of its own)\n");
  else
    std::printf("accepted:        no: %s\n", Shown(refusal).c_str());
  return 1;
}

int Random(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv, {"seed", "size", "output"});
  if (!o.error.empty()) return Fail(o.error);
  const std::string* seedArg = o.Get("seed");
  const std::string* sizeArg = o.Get("size");
  const std::string* output = o.Get("output");
  std::uint64_t seed = 0, size = 0;
  if (seedArg == nullptr || sizeArg == nullptr || output == nullptr || !o.positional.empty())
    return Fail("random needs --seed, --size and --output\n" + std::string(kUsage));
  if (!ParseNumber(*seedArg, 0xFFFFFFFFu, seed) || seed == 0) return Fail("--seed must be a number from 1 to 2^32-1");
  if (!ParseNumber(*sizeArg, kMaxFileSize, size)) return Fail("--size must be a number of bytes up to 64 MiB");

  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  auto x = static_cast<std::uint32_t>(seed);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % 4 == 0) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
    }
    bytes[i] = static_cast<std::uint8_t>(x >> (8 * (i % 4)));
  }
  std::string error;
  if (!WriteFile(*output, bytes, error)) return Fail(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("no command given\n" + std::string(kUsage));
  const std::string command = argv[1];
  if (command == "pack") return Pack(argc, argv);
  if (command == "info") return Info(argc, argv);
  if (command == "random") return Random(argc, argv);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return Fail("unknown command \"" + command + "\"\n" + std::string(kUsage));
}
