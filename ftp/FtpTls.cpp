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
const std::shared_ptr<TSslContext>& TCustomFtpCli::SslContextForUse()
{
    if (!FEngine->SslContext)
        FEngine->SslContext = std::make_shared<TSslContext>(FTlsCaFile);
    return FEngine->SslContext;
}

void TCustomFtpCli::StartAuthTls()
{
    StartCommand(ftpConnectAsync, StepAuth, "AUTH TLS", {234}, TFtpAwaitedReply::AuthTls);
}

void TCustomFtpCli::StartPbsz()
{
    // RFC 4217 8: PBSZ 0 must come before PROT, whatever the protection.
    StartCommand(ftpConnectAsync, StepPbsz, "PBSZ 0", {200});
}

void TCustomFtpCli::StartProt()
{
    // Private: the data connections are encrypted too.
    StartCommand(ftpConnectAsync, StepProt, "PROT P", {200});
}

// Ends a log-in that TLS cannot secure: nothing more is sent (above all no
// USER) and the control connection is closed, whose close completes the
// request with the failure.
void TCustomFtpCli::FailTlsLogIn(const std::string& Line, int Code, bool ShowLine)
{
    SetLocalFailure(Line, Code);
    DropRemainingSteps();
    if (ShowLine && !Display("! " + Line))
        return;
    if (FControlSocket && FControlSocket->State() != wsClosed && !CallOut(&TWSocket::Close, FControlSocket))
        return;
    FinishRequest(Code);
}

void TCustomFtpCli::AuthTlsReply()
{
    if (FStatusCode != 234) {
        // No fallback to clear text: the user asked for TLS.
        RecordError();
        if (!Display("! The server does not offer TLS (AUTH TLS refused); nothing was sent in clear"))
            return;
        FailTlsLogIn(FLastResponse, FStatusCode, false);
        return;
    }
    if (FEngine->ReceiveLength > 0) {
        // RFC 4217 and plain sense: whatever follows the 234 in clear could
        // be a forged reply that would be read as coming through TLS.
        FailTlsLogIn("534 Data in clear after the 234 reply to AUTH TLS; connection closed", 534);
        return;
    }
    // The next step (USER) runs once the handshake is done and the
    // certificate is trusted.
    AwaitReply(TFtpAwaitedReply::None);
    try {
        FControlSocket->StartSslHandshake();
    } catch (const std::exception& e) {
        FailTlsLogIn("534 TLS handshake failed: " + FtpExceptionText(e), 534);
    }
}

// Whether the control connection's certificate is accepted; how tells the
// display line in what way (Accepted) or why not (Refused). Gone: the
// handler asked destroyed the client or ended the request (an abort).
TCustomFtpCli::TlsTrust TCustomFtpCli::DecideTrust(std::string& how)
{
    const TSslPeerInfo& peer = FControlSocket->SslPeer();
    std::string remembered, presented;
    const bool sameFingerprint = SslParseFingerprint(FTlsFingerprint, remembered) &&
                                 SslParseFingerprint(peer.fingerprint, presented) && remembered == presented;
    if (FTlsFingerprintPinned && !FTlsFingerprint.empty()) {
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
    if (!OnVerifyCertificate)
        return TlsTrust::Refused;
    TFtpCertificateQuestion question;
    question.host = FControlSocket->SslServerName();
    question.peer = peer;
    question.rememberedFingerprint = FTlsFingerprint;
    bool trust = false;
    const TFtpClientState state = FState;
    if (!CallOut(OnVerifyCertificate, this, question, trust))
        return TlsTrust::Gone;
    UserAnswered();
    // The handler may have run the message loop and the request ended
    // meanwhile (an abort): then there is nothing left to decide.
    if (FState != state || !FControlSocket || FControlSocket->State() != wsConnected)
        return TlsTrust::Gone;
    if (!trust)
        return TlsTrust::Refused;
    FTlsFingerprint = question.peer.fingerprint;
    how = "certificate trusted by the user";
    return TlsTrust::Accepted;
}

void TCustomFtpCli::ControlSocketSslHandshakeDone(TObject*, std::uint16_t Error)
{
    // Explicit TLS: the handshake that follows the 234 to AUTH TLS.
    // Implicit TLS: the one that opens the connection, before the greeting.
    const bool upgrading = FState == ftpStAwaitingReply && FEngine->CurrentStep == StepAuth;
    const bool opening = FState == ftpStConnecting && FSecurity == TFtpSecurity::Implicit;
    if (!upgrading && !opening)
        return;
    if (Error != 0) {
        std::string why = FControlSocket->SslErrorText();
        if (why.empty())
            why = WSocketErrorDesc(Error);
        FEngine->TlsFailure = "534 TLS handshake failed: " + why;
        if (!Display("! " + FEngine->TlsFailure))
            return;
        // Implicit TLS: the connect event that follows reports the failure.
        if (upgrading)
            FailTlsLogIn(FEngine->TlsFailure, 534, false);
        return;
    }
    std::string how;
    const TlsTrust trust = DecideTrust(how);
    if (trust == TlsTrust::Gone)
        return;
    if (trust == TlsTrust::Refused) {
        const TSslPeerInfo& peer = FControlSocket->SslPeer();
        if (!Display("! Certificate of " + FControlSocket->SslServerName() + " not trusted: " + how +
                     " (SHA-256 fingerprint " + SslFingerprintDisplay(peer.fingerprint) + ")"))
            return;
        FEngine->TlsFailure = "534 Certificate not trusted: " + how;
        FailTlsLogIn(FEngine->TlsFailure, 534, false);
        return;
    }
    const TSslPeerInfo& peer = FControlSocket->SslPeer();
    if (!Display("! TLS: " + peer.protocol + ", " + peer.cipher + ", " + how))
        return;
    // Implicit TLS: the greeting comes next, after the connect event.
    if (upgrading)
        FinishRequest(0);
}

// --- TLS on data connections ----------------------------------------------

// Sets the data socket up for the session's security before it is
// connected or handed an accepted connection.
void TCustomFtpCli::PrepareDataTls()
{
    if (FSecurity == TFtpSecurity::None) {
        FDataSocket->SetSslEnable(false);
        return;
    }
    // This side is the TLS client in both modes (RFC 4217 7), and the data
    // connection resumes a session of this log-in (TlsSessionPool).
    FDataSocket->SetSslEnable(true);
    FDataSocket->SetSslContext(FEngine->SslContext);
    FDataSocket->SetSslServerName(FControlSocket->SslServerName());
    TSslSession session = FEngine->TlsSessions.Next();
    FDataSocket->SetSslResumeSession(session ? std::move(session) : FControlSocket->SslSession());
    // A taken-over connection has no connect event: its handshake reports
    // alone. A connected one reports through the connect event that follows.
    if (FPassive)
        FDataSocket->OnSslHandshakeDone = nullptr;
    else
        FDataSocket->OnSslHandshakeDone = [this](TObject* s, std::uint16_t e) { ActiveDataTlsHandshakeDone(s, e); };
}

// Why a data connection that has just been made (its handshake over)
// cannot carry the transfer; empty when it can.
std::string TCustomFtpCli::DataTlsProblem(std::uint16_t Error)
{
    if (FSecurity == TFtpSecurity::None || !FDataSocket)
        return {};
    if (Error >= WSocketSslHandshakeFailed && Error <= WSocketSslTruncated) {
        std::string why = FDataSocket->SslErrorText();
        if (why.empty())
            why = WSocketErrorDesc(Error);
        return "TLS handshake on the data connection failed: " + why;
    }
    if (Error != 0)
        return {};
    // The control connection's certificate was the one trusted; a data
    // connection must come from the same server.
    if (!FControlSocket || FDataSocket->SslPeer().fingerprint != FControlSocket->SslPeer().fingerprint)
        return "The data connection's certificate differs from the control connection's";
    return {};
}

// Active mode over TLS: the handshake that follows the accepted connection
// is done.
void TCustomFtpCli::ActiveDataTlsHandshakeDone(TObject*, std::uint16_t Error)
{
    const std::string problem = DataTlsProblem(Error);
    if (!problem.empty() || Error != 0) {
        const std::string failure =
            "426 " + (problem.empty() ? "Data connection failed, error #" + std::to_string(Error) : problem);
        if (FEngine->Transfer.Failure.empty())
            FEngine->Transfer.Failure = failure;
        if (FErrorMessage.empty())
            FErrorMessage = failure;
        if (!Display("! " + failure))
            return;
        // The close ends the transfer with the final reply, which the
        // server sends once it sees the connection fail.
        CloseDataSocket();
        return;
    }
    if (!FEngine->Transfer.Storing)
        return;
    FEngine->Transfer.DataConnected = true;
    CheckTransferStart();
}

// Whether a TLS data connection whose payload has ended is still open on
// the peer's side: it sent close_notify and waits for ours.
bool TCustomFtpCli::PeerAwaitsCloseNotify()
{
    // A receive that ends the payload over TLS is either the peer's
    // close_notify or the end of the stream. After close_notify the
    // connection is still open: the peer waits for ours. The end of the
    // stream is left to the close event, which tells a truncated transfer.
    return FSecurity != TFtpSecurity::None && FDataSocket && FDataSocket->SslPeerClosed() &&
           FDataSocket->State() == wsConnected;
}

// Keeps a session the server issued on the control or a data connection
// for the data connections to come.
void TCustomFtpCli::KeepTlsSession(const TSslSession& Session)
{
    // Only a session made with the certificate trusted for this log-in: a
    // data connection whose certificate is refused may still have issued
    // tickets, and resuming one would skip the check.
    if (FSecurity == TFtpSecurity::None || !FControlSocket || FControlSocket->SslPeer().fingerprint.empty() ||
        SslSessionFingerprint(Session) != FControlSocket->SslPeer().fingerprint)
        return;
    FEngine->TlsSessions.Add(Session);
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
bool TCustomFtpCli::TakeOverAfterOpening() const
{
    // A server that connected at PORT time may not take part in a TLS
    // handshake before it has the transfer command (pyftpdlib closes such
    // a connection): over TLS the connection is taken over once the
    // reply 125 or 150 says the transfer is open.
    return FSecurity != TFtpSecurity::None;
}
