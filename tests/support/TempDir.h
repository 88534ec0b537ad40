#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// A fresh directory for one test, removed with everything in it afterwards.
class TempDir {
public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("vxtest-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory with a trailing separator, as the updater keeps its own.
  std::string Dir() const { return (path_ / "").string(); }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
  }
  void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::ofstream(path_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

private:
  std::filesystem::path path_;
};
