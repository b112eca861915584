// TLS on the control and data connections: the context, AUTH TLS, PBSZ
// and PROT, the trust decision, the data connections' TLS set-up and
// checks, and the sessions they resume.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"

void TCustomFtpCli::SetTlsCaFile(const std::string& v)
{
    FTlsCaFile = v;
    FEngine->SslContext.reset();
}

const TSslPeerInfo& TCustomFtpCli::TlsPeer() const
{
    static const TSslPeerInfo none;
    return FControlSocket ? FControlSocket->SslPeer() : none;
}

// The context shared by the control and data connections, made on first
// use; throws ESocketException when it cannot be made.
const std::shared_ptr<TSslContext>& TCustomFtpCli::TEngine::SslContextForUse()
{
    if (!SslContext)
        SslContext = std::make_shared<TSslContext>(Cli.FTlsCaFile);
    return SslContext;
}

void TCustomFtpCli::TEngine::StartAuthTls()
{
    StartCommand(ftpConnectAsync, StepAuth, "AUTH TLS", {234}, TFtpAwaitedReply::AuthTls);
}

void TCustomFtpCli::TEngine::StartPbsz()
{
    // RFC 4217 8: PBSZ 0 must come before PROT, whatever the protection.
    StartCommand(ftpConnectAsync, StepPbsz, "PBSZ 0", {200});
}

void TCustomFtpCli::TEngine::StartProt()
{
    // Private: the data connections are encrypted too.
    StartCommand(ftpConnectAsync, StepProt, "PROT P", {200});
}

// Ends a log-in that TLS cannot secure: nothing more is sent (above all no
// USER) and the control connection is closed, whose close completes the
// request with the failure.
void TCustomFtpCli::TEngine::FailTlsLogIn(const std::string& Line, int Code, bool ShowLine)
{
    SetLocalFailure(Line, Code);
    DropRemainingSteps();
    if (ShowLine && !Display("! " + Line))
        return;
    if (Cli.FControlSocket && Cli.FControlSocket->State() != wsClosed &&
        !Cli.CallOut(&TWSocket::Close, Cli.FControlSocket))
        return;
    Cli.FinishRequest(Code);
}

void TCustomFtpCli::TEngine::AuthTlsReply()
{
    if (Cli.FStatusCode != 234) {
        // No fallback to clear text: the user asked for TLS.
        RecordError();
        if (!Display("! The server does not offer TLS (AUTH TLS refused); nothing was sent in clear"))
            return;
        FailTlsLogIn(Cli.FLastResponse, Cli.FStatusCode, false);
        return;
    }
    if (ReceiveLength > 0) {
        // RFC 4217 and plain sense: whatever follows the 234 in clear could
        // be a forged reply that would be read as coming through TLS.
        FailTlsLogIn("534 Data in clear after the 234 reply to AUTH TLS; connection closed", 534);
        return;
    }
    // The next step (USER) runs once the handshake is done and the
    // certificate is trusted.
    AwaitReply(TFtpAwaitedReply::None);
    try {
        Cli.FControlSocket->StartSslHandshake();
    } catch (const std::exception& e) {
        FailTlsLogIn("534 TLS handshake failed: " + FtpExceptionText(e), 534);
    }
}

// Whether the control connection's certificate is accepted; how tells the
// display line in what way (Accepted) or why not (Refused). Gone: the
// handler asked destroyed the client or ended the request (an abort).
TCustomFtpCli::TEngine::TlsTrust TCustomFtpCli::TEngine::DecideTrust(std::string& how)
{
    const TSslPeerInfo& peer = Cli.FControlSocket->SslPeer();
    std::string remembered, presented;
    const bool sameFingerprint = SslParseFingerprint(Cli.FTlsFingerprint, remembered) &&
                                 SslParseFingerprint(peer.fingerprint, presented) && remembered == presented;
    if (Cli.FTlsFingerprintPinned && !Cli.FTlsFingerprint.empty()) {
        // Pinned: the fingerprint decides alone, whoever vouches for the
        // certificate, and nobody is asked.
        if (sameFingerprint) {
            how = peer.verified ? "certificate verified and matches the pinned fingerprint"
                                : "certificate matches the pinned fingerprint";
            return TlsTrust::Accepted;
        }
        how = "its SHA-256 fingerprint is not the pinned one";
        return TlsTrust::Refused;
    }
    if (peer.verified) {
        how = "certificate verified";
        return TlsTrust::Accepted;
    }
    if (sameFingerprint) {
        how = "certificate trusted by its remembered fingerprint";
        return TlsTrust::Accepted;
    }
    how = peer.verifyError;
    if (!Cli.OnVerifyCertificate)
        return TlsTrust::Refused;
    TFtpCertificateQuestion question;
    question.host = Cli.FControlSocket->SslServerName();
    question.peer = peer;
    question.rememberedFingerprint = Cli.FTlsFingerprint;
    bool trust = false;
    const TFtpClientState state = Cli.FState;
    if (!Cli.CallOut(Cli.OnVerifyCertificate, &Cli, question, trust))
        return TlsTrust::Gone;
    Cli.UserAnswered();
    // The handler may have run the message loop and the request ended
    // meanwhile (an abort): then there is nothing left to decide.
    if (Cli.FState != state || !Cli.FControlSocket || Cli.FControlSocket->State() != wsConnected)
        return TlsTrust::Gone;
    if (!trust)
        return TlsTrust::Refused;
    Cli.FTlsFingerprint = question.peer.fingerprint;
    how = "certificate trusted by the user";
    return TlsTrust::Accepted;
}

void TCustomFtpCli::TEngine::ControlSocketSslHandshakeDone(TObject*, std::uint16_t Error)
{
    // Explicit TLS: the handshake that follows the 234 to AUTH TLS.
    // Implicit TLS: the one that opens the connection, before the greeting.
    const bool upgrading = Cli.FState == ftpStAwaitingReply && CurrentStep == StepAuth;
    const bool opening = Cli.FState == ftpStConnecting && Cli.FSecurity == TFtpSecurity::Implicit;
    if (!upgrading && !opening)
        return;
    if (Error != 0) {
        std::string why = Cli.FControlSocket->SslErrorText();
        if (why.empty())
            why = WSocketErrorDesc(Error);
        TlsFailure = "534 TLS handshake failed: " + why;
        if (!Display("! " + TlsFailure))
            return;
        // Implicit TLS: the connect event that follows reports the failure.
        if (upgrading)
            FailTlsLogIn(TlsFailure, 534, false);
        return;
    }
    std::string how;
    const TlsTrust trust = DecideTrust(how);
    if (trust == TlsTrust::Gone)
        return;
    if (trust == TlsTrust::Refused) {
        const TSslPeerInfo& peer = Cli.FControlSocket->SslPeer();
        if (!Display("! Certificate of " + Cli.FControlSocket->SslServerName() + " not trusted: " + how +
                     " (SHA-256 fingerprint " + SslFingerprintDisplay(peer.fingerprint) + ")"))
            return;
        TlsFailure = "534 Certificate not trusted: " + how;
        FailTlsLogIn(TlsFailure, 534, false);
        return;
    }
    const TSslPeerInfo& peer = Cli.FControlSocket->SslPeer();
    if (!Display("! TLS: " + peer.protocol + ", " + peer.cipher + ", " + how))
        return;
    // Implicit TLS: the greeting comes next, after the connect event.
    if (upgrading)
        Cli.FinishRequest(0);
}

// --- TLS on data connections ----------------------------------------------

// Sets the data socket up for the session's security before it is
// connected or handed an accepted connection.
void TCustomFtpCli::TEngine::PrepareDataTls()
{
    if (Cli.FSecurity == TFtpSecurity::None) {
        Cli.FDataSocket->SetSslEnable(false);
        return;
    }
    // This side is the TLS client in both modes (RFC 4217 7), and the data
    // connection resumes a session of this log-in (TlsSessionPool).
    Cli.FDataSocket->SetSslEnable(true);
    Cli.FDataSocket->SetSslContext(SslContext);
    Cli.FDataSocket->SetSslServerName(Cli.FControlSocket->SslServerName());
    TSslSession session = TlsSessions.Next();
    Cli.FDataSocket->SetSslResumeSession(session ? std::move(session) : Cli.FControlSocket->SslSession());
    // A taken-over connection has no connect event: its handshake reports
    // alone. A connected one reports through the connect event that follows.
    if (Cli.FPassive)
        Cli.FDataSocket->OnSslHandshakeDone = nullptr;
    else
        Cli.FDataSocket->OnSslHandshakeDone = [this](TObject* s, std::uint16_t e) { ActiveDataTlsHandshakeDone(s, e); };
}

// Why a data connection that has just been made (its handshake over)
// cannot carry the transfer; empty when it can.
std::string TCustomFtpCli::TEngine::DataTlsProblem(std::uint16_t Error)
{
    if (Cli.FSecurity == TFtpSecurity::None || !Cli.FDataSocket)
        return {};
    if (Error >= WSocketSslHandshakeFailed && Error <= WSocketSslTruncated) {
        std::string why = Cli.FDataSocket->SslErrorText();
        if (why.empty())
            why = WSocketErrorDesc(Error);
        return "TLS handshake on the data connection failed: " + why;
    }
    if (Error != 0)
        return {};
    // The control connection's certificate was the one trusted; a data
    // connection must come from the same server.
    if (!Cli.FControlSocket || Cli.FDataSocket->SslPeer().fingerprint != Cli.FControlSocket->SslPeer().fingerprint)
        return "The data connection's certificate differs from the control connection's";
    return {};
}

// Active mode over TLS: the handshake that follows the accepted connection
// is done.
void TCustomFtpCli::TEngine::ActiveDataTlsHandshakeDone(TObject*, std::uint16_t Error)
{
    const std::string problem = DataTlsProblem(Error);
    if (!problem.empty() || Error != 0) {
        const std::string failure =
            "426 " + (problem.empty() ? "Data connection failed, error #" + std::to_string(Error) : problem);
        if (Transfer.Failure.empty())
            Transfer.Failure = failure;
        if (Cli.FErrorMessage.empty())
            Cli.FErrorMessage = failure;
        if (!Display("! " + failure))
            return;
        // The close ends the transfer with the final reply, which the
        // server sends once it sees the connection fail.
        CloseDataSocket();
        return;
    }
    if (!Transfer.Storing)
        return;
    Transfer.DataConnected = true;
    CheckTransferStart();
}

// Whether a TLS data connection whose payload has ended is still open on
// the peer's side: it sent close_notify and waits for ours.
bool TCustomFtpCli::TEngine::PeerAwaitsCloseNotify()
{
    // A receive that ends the payload over TLS is either the peer's
    // close_notify or the end of the stream. After close_notify the
    // connection is still open: the peer waits for ours. The end of the
    // stream is left to the close event, which tells a truncated transfer.
    return Cli.FSecurity != TFtpSecurity::None && Cli.FDataSocket && Cli.FDataSocket->SslPeerClosed() &&
           Cli.FDataSocket->State() == wsConnected;
}

// Keeps a session the server issued on the control or a data connection
// for the data connections to come.
void TCustomFtpCli::TEngine::KeepTlsSession(const TSslSession& Session)
{
    // Only a session made with the certificate trusted for this log-in: a
    // data connection whose certificate is refused may still have issued
    // tickets, and resuming one would skip the check.
    if (Cli.FSecurity == TFtpSecurity::None || !Cli.FControlSocket ||
        Cli.FControlSocket->SslPeer().fingerprint.empty() ||
        SslSessionFingerprint(Session) != Cli.FControlSocket->SslPeer().fingerprint)
        return;
    TlsSessions.Add(Session);
}

void TlsSessionPool::Clear()
{
    FUnused.clear();
    FOffered.reset();
}

void TlsSessionPool::Add(TSslSession Session)
{
    if (!Session)
        return;
    if (FUnused.size() == Limit)
        FUnused.erase(FUnused.begin());
    FUnused.push_back(std::move(Session));
}

TSslSession TlsSessionPool::Next()
{
    if (!FUnused.empty()) {
        FOffered = std::move(FUnused.back());
        FUnused.pop_back();
    }
    return SslSessionCopy(FOffered);
}

// Whether a data connection the server made at PORT time waits for the
// transfer's opening reply before it is taken over.
bool TCustomFtpCli::TEngine::TakeOverAfterOpening() const
{
    // A server that connected at PORT time may not take part in a TLS
    // handshake before it has the transfer command (pyftpdlib closes such
    // a connection): over TLS the connection is taken over once the
    // reply 125 or 150 says the transfer is open.
    return Cli.FSecurity != TFtpSecurity::None;
}
