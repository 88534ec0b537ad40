#pragma once

#include <cstdint>
#include <string>
#include <vector>

// File operations with the sharing rules the updater relies on. Paths are
// 8-bit Windows-1251 text; on Windows they go to the ANSI functions.

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Directory of the running executable, with its trailing separator ("\" on
// Windows, "/" elsewhere).
[[nodiscard]] std::string ExecutableDirectory();

// Tests give the updater another directory (its settings file and logs live
// there); an empty text restores the real one.
void SetExecutableDirectory(std::string directory);

[[nodiscard]] bool FileExists(const std::string& path);

// Creates the directory and every missing parent; true when it exists after.
[[nodiscard]] bool CreateDirectories(const std::string& path);

// Reads a whole file opened without sharing (no other program may have it
// open, and none may open it meanwhile). False when it cannot be opened or
// fewer bytes arrive than its size.
[[nodiscard]] bool ReadWholeFileExclusive(const std::string& path, std::vector<std::uint8_t>& data);

// Appends in one write to a file opened for writing only while others may
// keep reading or deleting it, created when missing, and closed again.
// False when it cannot be opened or written.
[[nodiscard]] bool AppendToSharedFile(const std::string& path, const std::string& bytes);
