// The local file of a transfer (private to the FTP client).
#pragma once

#include "ftp/Ftpcli.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

// The local file of a transfer. Reads go through a buffer so that the
// pieces of 1514 bytes do not each cost a system call; the sharing mode
// is honoured with advisory locks (see docs/ftp-client.md).
class TCustomFtpCli::LocalFile {
public:
    ~LocalFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Only a regular file is read: a folder opens but reads fail, and a
    // pipe or device may block or never end. O_NONBLOCK keeps the open
    // itself from waiting on a pipe with no writer.
    static std::unique_ptr<LocalFile> OpenRead(const std::string& path, TFtpShareMode mode)
    {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return nullptr;
        struct stat st { };
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, O_RDONLY) != 0) {
            ::close(fd);
            return nullptr;
        }
        return Lock(fd, mode);
    }

    // Opens for writing without emptying the file first, so that a file
    // another transfer has locked is left alone; Truncate empties it once
    // the lock is held.
    static std::unique_ptr<LocalFile> OpenWrite(const std::string& path, TFtpShareMode mode)
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        return Lock(fd, mode);
    }

    bool Truncate() { return ::ftruncate(fd_, 0) == 0; }
    bool Seek(std::int64_t pos)
    {
        buffered_ = used_ = 0;
        eof_ = false;
        return ::lseek(fd_, static_cast<off_t>(pos), SEEK_SET) == static_cast<off_t>(pos);
    }

    // Up to len bytes; 0 at the end of the file, -1 on an error. A piece is
    // short only at the end of the file: the unread tail of the buffer is
    // kept and topped up first, so a 64 KiB read boundary does not cost an
    // extra, short send.
    int Read(char* out, int len)
    {
        if (len <= 0)
            return 0;
        if (buffered_ - used_ < static_cast<size_t>(len) && !eof_ && !Refill())
            return -1;
        size_t n = std::min(static_cast<size_t>(len), buffered_ - used_);
        std::memcpy(out, buffer_.data() + used_, n);
        used_ += n;
        return static_cast<int>(n);
    }

    bool Write(const char* data, int len)
    {
        while (len > 0) {
            ssize_t w = ::write(fd_, data, static_cast<size_t>(len));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            data += w;
            len -= static_cast<int>(w);
        }
        return true;
    }

private:
    static constexpr size_t BufferSize = 64 * 1024;

    explicit LocalFile(int fd) : fd_(fd) { }

    bool Refill()
    {
        if (buffer_.empty())
            buffer_.resize(BufferSize);
        size_t left = buffered_ - used_;
        std::memmove(buffer_.data(), buffer_.data() + used_, left);
        buffered_ = left;
        used_ = 0;
        ssize_t r;
        do
            r = ::read(fd_, buffer_.data() + buffered_, buffer_.size() - buffered_);
        while (r < 0 && errno == EINTR);
        if (r < 0)
            return false;
        if (r == 0)
            eof_ = true;
        buffered_ += static_cast<size_t>(r);
        return true;
    }

    static std::unique_ptr<LocalFile> Lock(int fd, TFtpShareMode mode)
    {
        if (fd < 0)
            return nullptr;
        int op = 0;
        switch (mode) {
        case ftpShareExclusive:
        case ftpShareDenyRead: op = LOCK_EX; break;
        case ftpShareDenyWrite: op = LOCK_SH; break;
        case ftpShareCompat:
        case ftpShareDenyNone: op = 0; break;
        }
        if (op != 0 && ::flock(fd, op | LOCK_NB) != 0) {
            ::close(fd);
            return nullptr;
        }
        return std::unique_ptr<LocalFile>(new LocalFile(fd));
    }

    int fd_ = -1;
    std::vector<char> buffer_;
    size_t buffered_ = 0;
    size_t used_ = 0;
    bool eof_ = false;
};
