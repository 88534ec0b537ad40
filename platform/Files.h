#pragma once

#include <cstdint>
#include <string>
#include <vector>

// File operations with the sharing rules the updater relies on. Paths are
// 8-bit Windows-1251 text; on Windows they are converted to UTF-16 with
// Windows-1251 and go to the wide functions, so that a name with Cyrillic
// letters means the same file whatever the system's code page.

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Directory of the running executable, with its trailing separator ("\" on
// Windows, "/" elsewhere). On Windows a directory whose name Windows-1251
// cannot hold is given by its short (8.3) name when the volume has one.
[[nodiscard]] std::string ExecutableDirectory();

#ifdef _WIN32
// A Windows-1251 path as the wide text the W file functions take, the same on
// every system code page.
[[nodiscard]] std::wstring WidePath(const std::string& path);
#endif

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

enum class TFileRead { Done, CannotOpen, TooLarge, Incomplete };

// ReadWholeFileExclusive for files that have a size limit: a file larger
// than `limit` bytes is refused by its size (TooLarge) before any memory is
// taken for it. `size` is the file's size whenever it could be opened.
[[nodiscard]] TFileRead ReadWholeFileExclusive(const std::string& path, std::uint64_t limit,
                                               std::vector<std::uint8_t>& data, std::uint64_t& size);

// Appends in one write to the end of a file that others may keep reading,
// appending to or deleting (see TSharedAppendFile), created when missing, and
// closed again. False when it cannot be opened or written.
[[nodiscard]] bool AppendToSharedFile(const std::string& path, const std::string& bytes);

// Appends one line to a file that several programs and threads append to at
// the same time, so that lines never interleave and none is lost: the file is
// opened with read, write and delete sharing, an exclusive lock (one byte far
// past any data, so readers are never held up) is taken, and `header`, when
// the file is still empty, and `line` go in one write at its end. A file
// another program holds without write sharing, or whose lock is held, is
// tried again for up to `waitMs` milliseconds of the system clock. A write
// that fails part way is cut off again, leaving the file as it was. False when
// the line could not be written.
[[nodiscard]] bool AppendLineLocked(const std::string& path, const std::string& header, const std::string& line,
                                    std::uint32_t waitMs);

// Reads a whole file that other programs may have open meanwhile. False when
// it cannot be opened or read whole.
[[nodiscard]] bool ReadWholeFileShared(const std::string& path, std::string& data);

// Replaces a file's contents in one step: the bytes are written to a new file
// beside it, which is then moved over it, so that a failed write never leaves
// half a file behind. A read-only file is left as it is. False when the file
// could not be replaced (it keeps its old contents then).
[[nodiscard]] bool ReplaceFileContents(const std::string& path, const std::string& bytes);
