#pragma once
// File queries the front end needs: the size of a file opened for reading,
// its last-write time, the program's own folder, and the texts of file
// errors.

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>

// A file operation failed. `ErrorCode` is the system's error number
// (errno); the message is the text the user sees for it.
class EInOutError : public std::runtime_error {
public:
    explicit EInOutError(int errorCode);
    int ErrorCode;
};

// The user's text for a file error: "File not found", "File access denied"
// or "I/O error <n>" with the system error number.
std::string InOutErrorText(int errorCode);

// Opens `path` for reading only, the way the upload will read it, and
// returns its size in bytes. Others may go on reading and writing the file.
// Never blocks on a named pipe. Throws EInOutError when it cannot be opened.
[[nodiscard]] std::int64_t ReadFileSize(const std::string& path);

// The last-write time of `path` (following symbolic links). Throws
// EInOutError when the path cannot be examined.
[[nodiscard]] std::time_t LastWriteTime(const std::string& path);

// The full path of the running executable.
[[nodiscard]] std::string ProgramPath();

// The folder of the running executable, ending with "/".
[[nodiscard]] std::string ProgramFolder();
