// What the window tells when a log-in fails: "Cannot connect to HOST" and,
// on a line of its own, why, in words (for SFTP: as the client says it).

#include <QRegularExpression>

#include "app/Main.h"
#include "ftp/Ftpcli.h"
#include "net/WSocket.h"
#include "platform/Winsock.h"
#include "upload/SftpSession.h"

namespace {

using namespace winsock;

// The socket error a local failure line carries ("500 Connection refused
// (Winsock error #10061)", "500 Host name not found: NAME (error #11001)"),
// or 0.
int SocketErrorOf(const QString& line)
{
    static const QRegularExpression number(QStringLiteral("\\((?:Winsock )?error #(\\d+)\\)"));
    const QRegularExpressionMatch match = number.match(line);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString SocketFailureWords(int error)
{
    switch (error) {
    case WSAHOST_NOT_FOUND: return QStringLiteral("host name not found");
    case WSATRY_AGAIN: return QStringLiteral("host name could not be looked up just now");
    case WSANO_DATA: return QStringLiteral("host name has no address");
    case WSANO_RECOVERY: return QStringLiteral("host name look-up failed");
    case WSAECONNREFUSED: return QStringLiteral("connection refused (is the port right?)");
    case WSAETIMEDOUT: return QStringLiteral("no answer from the host");
    case WSAEHOSTUNREACH: return QStringLiteral("host unreachable");
    case WSAENETUNREACH: return QStringLiteral("network unreachable");
    case WSAECONNRESET: return QStringLiteral("connection reset by the server");
    default: return QString::fromStdString(WSocketErrorDesc(error)).toLower();
    }
}

} // namespace

QString TForm1::LoginFailureReason() const
{
    const QString failure = QString::fromStdString(FTP->ErrorMessage()).simplified();
    // The name look-up or the connect failed: the socket's error, in words,
    // then its number. Never a TLS matter, even on a secured address.
    if (const int error = SocketErrorOf(failure); error != 0)
        return SocketFailureWords(error) + QStringLiteral(" (error %1)").arg(error);
    if (failure.startsWith(QStringLiteral("426 Timeout")))
        return QStringLiteral("no answer within %1 s").arg(FTP->Timeout());
    if (failure.isEmpty())
        return QStringLiteral("the server closed the connection");
    // Refused after the connection was up. On a secured connection that is
    // the TLS log-in's failure (AUTH TLS refused, a certificate not trusted,
    // a failed handshake), unless the server said "530 not logged in": a
    // wrong user name or password, as on a plain connection.
    const bool refusedLogIn = failure.startsWith(QStringLiteral("530"));
    if (FTP->Security() != TFtpSecurity::None && !refusedLogIn)
        return QStringLiteral("The secure (TLS) log-in failed: ") + failure;
    return QStringLiteral("The server refused the log-in: ") + failure;
}

QString TForm1::LoginFailureText(bool oneLine) const
{
    // SFTP: the client words the reason itself ("Cannot log in: ..." with
    // ssh's last line, the host key refused or changed).
    if (connectProtocol_ == UploadProtocol::Sftp && SFTP)
        return QStringLiteral("Cannot connect to ") + QString::fromStdString(SFTP->Client().Host) +
               (oneLine ? QStringLiteral(": ") : QStringLiteral("\n")) +
               QString::fromStdString(SFTP->ErrorMessage()).simplified();
    return QStringLiteral("Cannot connect to ") + QString::fromStdString(FTP->HostName()) +
           (oneLine ? QStringLiteral(": ") : QStringLiteral("\n")) + LoginFailureReason();
}
