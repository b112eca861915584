// What a session is made for, and whether an open session may serve the
// current settings: a session left open (by a listing, or a job that
// stopped at its directory) is used again only for the same server, port,
// user, password and security; anything else needs a log-in of its own.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"

#include "net/SslContext.h"

TFtpSessionIdentity TCustomFtpCli::SettingsIdentity() const
{
    TFtpSessionIdentity id;
    const TFtpAddress address = FtpSplitAddress(FHostName);
    id.security = address.security;
    id.host = address.host;
    id.port = FPort;
    id.user = FUserName;
    // A password edited since the log-in gets a log-in of its own: through
    // the old session a wrong one would go unnoticed, and be saved with the
    // profile after the upload.
    id.password = FPassWord;
    if (FControlSocket) {
        id.socksServer = FControlSocket->SocksServer();
        id.socksPort = FControlSocket->SocksPort();
        id.socksLevel = FControlSocket->SocksLevel();
        id.socksUsercode = FControlSocket->SocksUsercode();
        id.socksPassword = FControlSocket->SocksPassword();
        id.socksAuthentication = FControlSocket->SocksAuthentication();
    }
    // The trust settings mean nothing to a plain session.
    if (id.security != TFtpSecurity::None) {
        id.tlsCaFile = FTlsCaFile;
        if (!SslParseFingerprint(FTlsFingerprint, id.tlsFingerprint))
            id.tlsFingerprint = FTlsFingerprint;
    }
    return id;
}

TFtpSessionIdentity TCustomFtpCli::SessionIdentity() const
{
    TFtpSessionIdentity id = FEngine->OpenedFor;
    if (id.security != TFtpSecurity::None) {
        const TSslPeerInfo& peer = TlsPeer();
        if (!peer.verified && !peer.fingerprint.empty())
            id.tlsFingerprint = peer.fingerprint;
    }
    return id;
}

bool TCustomFtpCli::SessionServesSettings() const
{
    return Connected() && SessionIdentity() == SettingsIdentity();
}
