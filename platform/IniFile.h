#pragma once

#include <string>
#include <vector>

// A Windows INI file read and written value by value, every write going
// through to the file at once, with the rules of the Windows profile-string
// functions: section and key names are compared without regard to letter case, white
// space around names and values is dropped, a value enclosed in one pair of
// quotation marks loses them, and lines begin with ";" for comments.
class TIniFile {
public:
  explicit TIniFile(std::string path) : path_(std::move(path)) {}

  [[nodiscard]] const std::string& FileName() const { return path_; }

  [[nodiscard]] std::string ReadString(const std::string& section, const std::string& key,
                                       const std::string& defaultValue) const;

  // Names of the section's keys in the order they stand in the file.
  [[nodiscard]] std::vector<std::string> ReadSectionKeys(const std::string& section) const;

  // Creates the file, the section or the key as needed. False when the file
  // cannot be written (a read-only file among them); it is then unchanged.
  [[nodiscard]] bool WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
  std::string path_;
};
