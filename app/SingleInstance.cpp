#include "app/SingleInstance.h"

#include <QSocketNotifier>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char Magic[] = "PCL1";
constexpr int MagicSize = 4;
// A hand-over larger than this is no hand-over of ours.
constexpr qsizetype MaxMessage = 64 * 1024 * 1024;
constexpr char Answer = 'K';
// How long a sender waits for the window's answer: only a window that hangs
// makes it wait that long; one that ends closes the connection at once.
constexpr int AnswerWaitMs = 20000;

void PutNumber(QByteArray& out, quint32 n)
{
    const char bytes[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    out.append(bytes, 4);
}

// Reads a number at `at`; false when the bytes end before it.
bool TakeNumber(const QByteArray& in, qsizetype& at, quint32& n)
{
    if (in.size() - at < 4)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(in.constData() + at);
    n = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    at += 4;
    return true;
}

// Display names become part of a file name: only letters, digits, '.', '-'
// and '_' stay.
std::string DisplayTag()
{
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    std::string display = wayland && *wayland ? std::string("wayland-") + wayland
                          : x11 && *x11       ? std::string("x11-") + x11
                                              : std::string("none");
    for (char& c : display)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
            c = '_';
    return display;
}

bool FitsSocketAddress(const std::string& path)
{
    return path.size() < sizeof(sockaddr_un::sun_path);
}

sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A connected socket to `path`, or -1 (errno tells why).
int ConnectTo(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_un address = AddressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

bool IsPrivateFolder(const std::string& dir)
{
    struct stat st { };
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

HandOverPlace HandOverSocketPlace()
{
    HandOverPlace place;
    std::string dir;
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg == '/') {
        dir = xdg;
    } else {
        dir = "/tmp/parcelo-" + std::to_string(::geteuid());
        // Made for this user alone; one made by someone else fails the check below.
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            place.refused = dir + ": " + std::strerror(errno);
            return place;
        }
    }
    if (!IsPrivateFolder(dir)) {
        place.refused = dir + " is not a folder of this user's alone";
        return place;
    }
    const std::string socket = dir + "/parcelo-" + DisplayTag() + ".socket";
    if (!FitsSocketAddress(socket)) {
        place.refused = socket + " is too long for a socket address";
        return place;
    }
    place.socket = socket;
    return place;
}

QByteArray EncodeHandOver(const QByteArray& workingDir, const QList<QByteArray>& paths)
{
    QByteArray out(Magic, MagicSize);
    PutNumber(out, static_cast<quint32>(workingDir.size()));
    out += workingDir;
    PutNumber(out, static_cast<quint32>(paths.size()));
    for (const QByteArray& path : paths) {
        PutNumber(out, static_cast<quint32>(path.size()));
        out += path;
    }
    return out;
}

HandOverParse DecodeHandOver(const QByteArray& bytes, QByteArray& workingDir, QList<QByteArray>& paths)
{
    if (bytes.size() > MaxMessage)
        return HandOverParse::Bad;
    if (bytes.left(MagicSize) != QByteArray(Magic, MagicSize).left(bytes.size()))
        return HandOverParse::Bad;
    qsizetype at = MagicSize;
    auto text = [&](QByteArray& out) {
        quint32 size = 0;
        if (!TakeNumber(bytes, at, size) || bytes.size() - at < static_cast<qsizetype>(size))
            return false;
        out = bytes.mid(at, size);
        at += size;
        return true;
    };
    QByteArray dir;
    quint32 count = 0;
    if (!text(dir) || !TakeNumber(bytes, at, count))
        return HandOverParse::Partial;
    QList<QByteArray> list;
    for (quint32 i = 0; i < count; ++i) {
        QByteArray path;
        if (!text(path))
            return HandOverParse::Partial;
        list << path;
    }
    if (at != bytes.size())
        return HandOverParse::Bad;
    workingDir = dir;
    paths = list;
    return HandOverParse::Complete;
}

QByteArray AbsolutePath(const QByteArray& path, const QByteArray& workingDir)
{
    if (path.isEmpty())
        return {};
    const QByteArray whole = path.startsWith('/') ? path : workingDir + '/' + path;
    QList<QByteArray> parts;
    for (const QByteArray& part : whole.split('/')) {
        // ".." stays: after a link to a folder it leads elsewhere than the
        // text before it says.
        if (!part.isEmpty() && part != ".")
            parts << part;
    }
    return '/' + parts.join('/');
}

QByteArray WorkingDirectoryBytes()
{
    std::string buffer(4096, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    return QByteArray(buffer.c_str());
}

bool HandOver(const std::string& socketPath, const QByteArray& workingDir, const QList<QByteArray>& paths)
{
    if (socketPath.empty() || !FitsSocketAddress(socketPath))
        return false;
    const int fd = ConnectTo(socketPath);
    if (fd < 0)
        return false;
    bool answered = false;
    if (WriteAll(fd, EncodeHandOver(workingDir, paths))) {
        pollfd wait{fd, POLLIN, 0};
        int ready = 0;
        do
            ready = ::poll(&wait, 1, AnswerWaitMs);
        while (ready < 0 && errno == EINTR);
        char answer = 0;
        answered = ready > 0 && ::recv(fd, &answer, 1, 0) == 1 && answer == Answer;
    }
    ::close(fd);
    return answered;
}

HandOverServer::HandOverServer() = default;

HandOverServer::~HandOverServer()
{
    for (auto& [fd, connection] : connections_) {
        delete connection.notifier;
        ::close(fd);
    }
    delete acceptNotifier_;
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        // Removed only while it is still the socket this window made: a
        // window started after it may have replaced it.
        struct stat st { };
        if (::lstat(path_.c_str(), &st) == 0 && static_cast<unsigned long long>(st.st_ino) == inode_)
            ::unlink(path_.c_str());
    }
}

bool HandOverServer::Listen(const std::string& socketPath)
{
    if (listenFd_ >= 0 || !FitsSocketAddress(socketPath))
        return false;
    // Two starts at once must not both find the socket stale and remove
    // each other's: the test and the replacement happen under a lock.
    const std::string lockPath = socketPath + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0)
        return false;
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) { }

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_un address = AddressOf(socketPath);
    bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0 && !bound && errno == EADDRINUSE) {
        const int probe = ConnectTo(socketPath);
        if (probe >= 0) {
            ::close(probe); // another window answers there
        } else if (errno == ECONNREFUSED) {
            // Nobody listens: left by a program that ended without removing it.
            struct stat st { };
            if (::lstat(socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid())
                ::unlink(socketPath.c_str());
            bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        }
    }
    struct stat made { };
    const bool listening = bound && ::listen(fd, SOMAXCONN) == 0 && ::lstat(socketPath.c_str(), &made) == 0;
    ::close(lock);
    if (!listening) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    listenFd_ = fd;
    path_ = socketPath;
    inode_ = static_cast<unsigned long long>(made.st_ino);
    acceptNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(acceptNotifier_, &QSocketNotifier::activated, this, [this] { AcceptAll(); });
    return true;
}

void HandOverServer::AcceptAll()
{
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return; // EAGAIN: all taken
        }
        // The folder keeps others out; the peer's own user is checked as well.
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
            ++strangersRefused;
            ::close(fd);
            continue;
        }
        Connection& connection = connections_[fd];
        connection.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(connection.notifier, &QSocketNotifier::activated, this, [this, fd] { ReadFrom(fd); });
        ReadFrom(fd);
    }
}

void HandOverServer::ReadFrom(int fd)
{
    auto it = connections_.find(fd);
    if (it == connections_.end())
        return;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            Close(fd); // gone before the message was whole
            return;
        }
        it->second.bytes.append(buffer, n);
        if (it->second.bytes.size() > MaxMessage)
            break;
    }
    QByteArray workingDir;
    QList<QByteArray> paths;
    switch (DecodeHandOver(it->second.bytes, workingDir, paths)) {
    case HandOverParse::Partial: return;
    case HandOverParse::Bad: Close(fd); return;
    case HandOverParse::Complete: break;
    }
    // Answered once the files are in the list: the sender may end then.
    it->second.notifier->setEnabled(false);
    if (received && received(workingDir, paths)) {
        const char answer = Answer;
        (void)::send(fd, &answer, 1, MSG_NOSIGNAL);
    }
    Close(fd);
}

void HandOverServer::Close(int fd)
{
    auto it = connections_.find(fd);
    if (it == connections_.end())
        return;
    it->second.notifier->setEnabled(false);
    it->second.notifier->deleteLater();
    connections_.erase(it);
    ::close(fd);
}
