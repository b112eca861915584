#include "platform/Files.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

EInOutError::EInOutError(int errorCode) : std::runtime_error(InOutErrorText(errorCode)), ErrorCode(errorCode) { }

std::string InOutErrorText(int errorCode)
{
    switch (errorCode) {
    case ENOENT: return "File not found";
    case EACCES:
    case EPERM: return "File access denied";
    default: return "I/O error " + std::to_string(errorCode);
    }
}

std::int64_t ReadFileSize(const std::string& path)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
    // and freeze the window. It does not change how a regular file is read.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw EInOutError(errno);
    struct stat st { };
    int rc = ::fstat(fd, &st);
    int err = errno;
    ::close(fd);
    if (rc != 0)
        throw EInOutError(err);
    return static_cast<std::int64_t>(st.st_size);
}

std::time_t LastWriteTime(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        throw EInOutError(errno);
    return st.st_mtime;
}

std::string ProgramPath()
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof buf))
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramFolder()
{
    std::string exe = ProgramPath();
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}
