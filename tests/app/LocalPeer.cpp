#include "LocalPeer.h"

#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

} // namespace

bool MakeStaleSocket(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = AddressOf(path);
    const bool made = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return made;
}

int HandOverAsAnotherUser(const std::string& path, const QByteArray& message)
{
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        return 10;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = AddressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return 11;
    (void)::send(fd, message.constData(), static_cast<size_t>(message.size()), MSG_NOSIGNAL);
    char answer = 0;
    return ::recv(fd, &answer, 1, 0) == 1 ? 12 : 0;
}
