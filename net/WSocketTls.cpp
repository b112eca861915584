// The TLS layer: a client-side TLS engine between the socket's handle and
// its events, fed and drained through memory buffers, so that the
// readiness loop, the send queue and the events stay what they are.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/SslContext.h"
#include "net/WSocket.h"

using namespace winsock;

namespace {

// Largest piece read from the system or from the engine at once: one
// full record and its overhead.
constexpr int RecordChunk = 16384 + 512;
// A receive takes at most this many record bytes from the system before it
// decrypts, so one busy connection cannot hold the thread.
constexpr int ReadAhead = 4 * RecordChunk;
// The send queue's block size while TLS is on: a block goes out in one
// send, so a full record (or several) must fit in one.
constexpr int RecordBlockSize = 65536;

// Sets up the check of the server's identity on a new engine: an address
// (read by the resolver's own reader, so the address checked is the one
// connected to) against the certificate's IP addresses, a name against its
// DNS names and sent as SNI. Empty when it is set up; otherwise why not,
// and the handshake must not go on: it would verify any certificate an
// authority vouches for, for whatever server.
std::string SetUpIdentityCheck(SSL* ssl, const std::string& serverName)
{
    if (serverName.empty())
        return "no server name or address to check the certificate against";
    const THostText host = WSocketReadHost(serverName);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    switch (host.form) {
    case THostForm::Refused: return "cannot check the server's identity: " + host.why;
    case THostForm::IPv4:
    case THostForm::IPv6:
        // No SNI: RFC 6066 allows only names there.
        if (X509_VERIFY_PARAM_set1_ip(param, host.bytes, host.length) != 1)
            return "cannot check the server's identity: the address " + host.text + " was not taken";
        return {};
    case THostForm::Name: {
        // A fully qualified name ("ftp.example.org.") is the same name
        // without the root's dot, as SNI (RFC 6066) and certificates
        // write it.
        std::string name = host.text;
        if (name.size() > 1 && name.back() == '.')
            name.pop_back();
        if (SSL_set_tlsext_host_name(ssl, name.c_str()) != 1)
            return "cannot send the server name " + name + " (SNI)";
        if (X509_VERIFY_PARAM_set1_host(param, name.data(), name.size()) != 1)
            return "cannot check the server's identity: the name " + name + " was not taken";
        return {};
    }
    }
    return "cannot check the server's identity";
}

// A distinguished name on one line, as the user may see it: OpenSSL's
// one-line form in UTF-8 (a value with ',', '+', '"', ';' or the like in
// quotes, a quote inside escaped, every backslash doubled), then every
// character that could break the line or hide text escaped visibly
// (SslVisibleText): the certificate is written by whoever runs the
// server, and its texts end up in the trust question.
std::string NameText(X509_NAME* name)
{
    if (!name)
        return {};
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB & ~ASN1_STRFLGS_ESC_CTRL);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(len > 0 ? len : 0));
    BIO_free(bio);
    return SslVisibleText(text);
}

std::string TimeText(const ASN1_TIME* time)
{
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

void ReadPeer(SSL* ssl, TSslPeerInfo& peer)
{
    peer = TSslPeerInfo{};
    peer.protocol = SSL_get_version(ssl);
    peer.cipher = SSL_get_cipher_name(ssl);
    peer.resumed = SSL_session_reused(ssl) == 1;
    X509* cert = SSL_get1_peer_certificate(ssl);
    if (!cert) {
        peer.verifyError = "the server sent no certificate";
        return;
    }
    peer.subject = NameText(X509_get_subject_name(cert));
    peer.issuer = NameText(X509_get_issuer_name(cert));
    peer.notBefore = TimeText(X509_get0_notBefore(cert));
    peer.notAfter = TimeText(X509_get0_notAfter(cert));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (X509_digest(cert, EVP_sha256(), md, &mdLen) == 1) {
        static const char Hex[] = "0123456789abcdef";
        for (unsigned int i = 0; i < mdLen; ++i) {
            peer.fingerprint += Hex[md[i] >> 4];
            peer.fingerprint += Hex[md[i] & 15];
        }
    }
    X509_free(cert);
    const long result = SSL_get_verify_result(ssl);
    peer.verified = result == X509_V_OK;
    if (!peer.verified)
        peer.verifyError = X509_verify_cert_error_string(result);
}

// Where an engine finds its socket, for the new-session callback.
int SocketIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The handshake goes on whatever the certificate check finds: the check's
// verdict is read afterwards and the owner decides.
int KeepGoing(int, X509_STORE_CTX*)
{
    return 1;
}

} // namespace

TCustomSslWSocket::TCustomSslWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) { }

TCustomSslWSocket::~TCustomSslWSocket()
{
    FreeSsl();
}

void TCustomSslWSocket::SetSslEnable(bool Value)
{
    if (Value == FSslEnable)
        return;
    if (FState != wsClosed) {
        RaiseSocketException("Cannot change SslEnable if not closed");
        return;
    }
    FSslEnable = Value;
}

TSslSession TCustomSslWSocket::SslSession() const
{
    if (FSslLatest)
        return FSslLatest;
    if (!FSsl)
        return nullptr;
    SSL_SESSION* session = SSL_get1_session(FSsl);
    if (!session)
        return nullptr;
    if (SSL_SESSION_is_resumable(session) != 1) {
        SSL_SESSION_free(session);
        return nullptr;
    }
    return TSslSession(session, SSL_SESSION_free);
}

// ---- starting and ending --------------------------------------------------------

void TCustomSslWSocket::BeginSsl(bool DeferConnected)
{
    FreeSsl();
    FSslPeer = TSslPeerInfo{};
    FSslErrorText.clear();
    FSslLatest.reset();
    FPeerCloseNotify = false;
    try {
        if (!FSslContext)
            FSslContext = std::make_shared<TSslContext>();
    } catch (const std::exception& e) {
        FSslState = SslState::Failed;
        FDeferConnected = DeferConnected;
        HandshakeFailed(e.what(), false);
        return;
    }
    FSsl = SSL_new(FSslContext->Handle());
    FSslIn = BIO_new(BIO_s_mem());
    FSslOut = BIO_new(BIO_s_mem());
    if (!FSsl || !FSslIn || !FSslOut) {
        BIO_free(FSslIn);
        BIO_free(FSslOut);
        FSslIn = FSslOut = nullptr;
        FDeferConnected = DeferConnected;
        HandshakeFailed(TakeErrorText("cannot make a TLS connection"), false);
        return;
    }
    BIO_set_mem_eof_return(FSslIn, -1);
    SSL_set_bio(FSsl, FSslIn, FSslOut);
    // Every session the server issues is caught as the engine reads it:
    // TLS 1.3 tickets come after the handshake, on data connections often
    // in the last records before the server's close.
    SSL_set_ex_data(FSsl, SocketIndex(), this);
    SSL_CTX_sess_set_new_cb(FSslContext->Handle(), NewSessionCallback);
    if (FAllSent) {
        // Records are larger than the plain block: the queue takes them in
        // blocks of their own size (after any plain bytes still queued).
        DeleteBufferedData();
    }
    FPlainBufSize = FBufSize;
    FBufSize = RecordBlockSize;
    SSL_set_connect_state(FSsl);
    SSL_set_verify(FSsl, SSL_VERIFY_PEER, KeepGoing);
    // Every connection checks an identity, or does not start.
    const std::string noCheck = SetUpIdentityCheck(FSsl, FSslServerName);
    if (!noCheck.empty()) {
        ERR_clear_error();
        FDeferConnected = DeferConnected;
        HandshakeFailed(noCheck, false);
        return;
    }
    if (FSslResume)
        SSL_set_session(FSsl, FSslResume.get());
    FSslState = SslState::Handshaking;
    FDeferConnected = DeferConnected;
    PumpHandshake();
}

int TCustomSslWSocket::NewSessionCallback(ssl_st* Ssl, ssl_session_st* Session)
{
    auto* socket = static_cast<TCustomSslWSocket*>(SSL_get_ex_data(Ssl, SocketIndex()));
    if (!socket || SSL_SESSION_is_resumable(Session) != 1)
        return 0; // not kept: OpenSSL frees it
    socket->FSslLatest = TSslSession(Session, SSL_SESSION_free);
    if (socket->OnSslNewSession)
        socket->OnSslNewSession(socket, socket->FSslLatest);
    return 1; // the reference is ours now
}

void TCustomSslWSocket::TakeLateTickets()
{
    if (!FSsl || !SslActive() || FHSocket == INVALID_SOCKET)
        return;
    if (!FRawEof)
        (void)ReadRecords();
    char junk[RecordChunk];
    for (int i = 0; i < 8 && BIO_pending(FSslIn) > 0; ++i)
        if (SSL_read(FSsl, junk, sizeof junk) <= 0)
            break;
    ERR_clear_error();
}

void TCustomSslWSocket::FreeSsl()
{
    if (FSsl)
        SSL_free(FSsl); // frees both memory buffers
    FSsl = nullptr;
    FSslIn = FSslOut = nullptr;
    FSslState = SslState::Off;
    if (FPlainBufSize > 0) {
        FBufSize = FPlainBufSize;
        FPlainBufSize = 0;
    }
    FDeferConnected = false;
    FSentCloseNotify = false;
    FRawEof = false;
    FReadStalled = false;
    FShutPending = -1;
    FPendingPayload.clear();
    FPayloadWritten = FPayloadAcked = 0;
    FRecordBytesMade = FRecordBytesHanded = 0;
    FMarks.clear();
    FMarksHead = 0;
}

void TCustomSslWSocket::StartSslHandshake()
{
    if (FState != wsConnected) {
        WSASetLastError(WSAENOTCONN);
        SocketError("StartSslHandshake");
        return;
    }
    if (FSsl) {
        RaiseSocketException("StartSslHandshake: TLS already started");
        return;
    }
    BeginSsl(false);
}

void TCustomSslWSocket::Dup(SOCKET NewHSocket)
{
    FreeSsl();
    if (!CallOut([&] { TCustomSocksWSocket::Dup(NewHSocket); }))
        return;
    // A taken-over connection has no connect notice to wait with: it is
    // connected now, and payload sent meanwhile waits for the handshake.
    if (FSslEnable && FState == wsConnected && !FSsl)
        BeginSsl(false);
}

void TCustomSslWSocket::InternalClose(bool bShut, WORD Error)
{
    if (FSsl && bShut && FHSocket != INVALID_SOCKET && SslActive() && !FSentCloseNotify && FAllSent) {
        // Best effort: a close_notify that the system does not take at once
        // is not waited for.
        SSL_shutdown(FSsl);
        char record[512];
        int n;
        while ((n = BIO_read(FSslOut, record, sizeof record)) > 0)
            (void)TCustomSocksWSocket::RealSend(record, n);
    }
    TakeLateTickets();
    // The handlers that the close calls may open a new connection: the
    // engine of this one is gone before they run.
    FreeSsl();
    TCustomSocksWSocket::InternalClose(bShut, Error);
}

void TCustomSslWSocket::ShutDown(int How)
{
    if (!FSsl || How == SD_RECEIVE || FHSocket == INVALID_SOCKET) {
        TCustomSocksWSocket::ShutDown(How);
        return;
    }
    if (FSslState == SslState::Active && !FSentCloseNotify) {
        SSL_shutdown(FSsl);
        FSentCloseNotify = true;
        FSslState = SslState::ShutSent;
        FlushRecords();
    }
    if (FSsl && !FAllSent) {
        // The system's half closes once the queue (close_notify last) is out.
        FShutPending = How;
        return;
    }
    TCustomSocksWSocket::ShutDown(How);
}

// ---- the handshake ----------------------------------------------------------------

std::string TCustomSslWSocket::TakeErrorText(const char* Otherwise)
{
    unsigned long code = ERR_get_error();
    std::string text;
    if (code != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        text = buf;
        // The reason alone reads better than OpenSSL's full code line.
        const char* reason = ERR_reason_error_string(code);
        if (reason)
            text = reason;
    }
    ERR_clear_error();
    return text.empty() ? Otherwise : text;
}

void TCustomSslWSocket::PumpHandshake()
{
    for (;;) {
        if (!FSsl || FSslState != SslState::Handshaking)
            return;
        const int r = SSL_do_handshake(FSsl);
        const int err = r == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, r);
        if (!CallOut(&TCustomSslWSocket::FlushRecords, this) || !FSsl)
            return;
        if (r == 1) {
            HandshakeComplete();
            return;
        }
        if (err == SSL_ERROR_WANT_READ) {
            if (FRawEof) {
                HandshakeFailed("the server closed the connection during the TLS handshake", false);
                return;
            }
            const std::size_t before = BIO_pending(FSslIn);
            if (!ReadRecords()) {
                HandshakeFailed(WSocketErrorDesc(WSAGetLastError()), false);
                return;
            }
            if (static_cast<std::size_t>(BIO_pending(FSslIn)) == before && !FRawEof)
                return; // more comes with the next read notice
            continue;
        }
        if (err == SSL_ERROR_WANT_WRITE)
            return;
        HandshakeFailed(TakeErrorText("the server broke off the TLS handshake"), false);
        return;
    }
}

void TCustomSslWSocket::HandshakeComplete()
{
    FSslState = SslState::Active;
    ReadPeer(FSsl, FSslPeer);
    const std::uint64_t closes = FCloseCount;
    if (!CallOut(&TCustomSslWSocket::CallHandshakeDone, this, 0) || FCloseCount != closes ||
        FSslState != SslState::Active)
        return;
    if (FDeferConnected) {
        FDeferConnected = false;
        if (!CallOut([this] { TCustomSocksWSocket::TriggerSessionConnected(0); }) || FCloseCount != closes ||
            FSslState != SslState::Active)
            return;
    }
    if (!FPendingPayload.empty()) {
        std::string pending;
        pending.swap(FPendingPayload);
        // False also when a handler destroyed the socket.
        if (!WritePayload(pending.data(), static_cast<int>(pending.size())) ||
            !CallOut(&TCustomSslWSocket::TryToSend, this))
            return;
    }
    // Payload that came with the end of the handshake, and a drained queue,
    // are announced as the system would.
    if (FHSocket != INVALID_SOCKET && LayerHasData())
        PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), MAKELPARAM(FD_READ, 0));
    if (FHSocket != INVALID_SOCKET && FAllSent)
        PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), MAKELPARAM(FD_WRITE, 0));
}

void TCustomSslWSocket::HandshakeFailed(const std::string& Why, bool FromClose)
{
    FSslState = SslState::Failed;
    FSslErrorText = Why;
    FPendingPayload.clear();
    const std::uint64_t closes = FCloseCount;
    if (!CallOut(&TCustomSslWSocket::CallHandshakeDone, this, WSocketSslHandshakeFailed) || FCloseCount != closes)
        return;
    if (FDeferConnected) {
        FDeferConnected = false;
        if (!CallOut([this] { TCustomSocksWSocket::TriggerSessionConnected(WSocketSslHandshakeFailed); }) ||
            FCloseCount != closes)
            return;
    }
    // A connection whose handshake failed carries nothing: it is closed,
    // unless the peer's close is being reported already.
    if (!FromClose && FState != wsClosed)
        InternalClose(false, WSocketSslHandshakeFailed);
}

void TCustomSslWSocket::CallHandshakeDone(WORD Error)
{
    if (!OnSslHandshakeDone)
        return;
    const std::uint64_t closes = FCloseCount;
    const bool hold = !FPaused && FHSocket != INVALID_SOCKET;
    if (hold)
        Pause();
    if (!CallOut(&TCustomSslWSocket::TriggerSslHandshakeDone, this, Error))
        return;
    if (hold && FPaused && FCloseCount == closes)
        Resume();
}

void TCustomSslWSocket::TriggerSslHandshakeDone(WORD Error)
{
    if (OnSslHandshakeDone)
        OnSslHandshakeDone(this, Error);
}

// ---- records in and out ----------------------------------------------------------

bool TCustomSslWSocket::ReadRecords()
{
    char chunk[RecordChunk];
    int total = 0;
    while (total < ReadAhead) {
        const int n = TCustomSocksWSocket::DoRecv(chunk, sizeof chunk, 0);
        if (n == 0) {
            FRawEof = true;
            break;
        }
        if (n < 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK)
                break;
            return false;
        }
        BIO_write(FSslIn, chunk, n);
        FReadStalled = false;
        total += n;
        if (n < static_cast<int>(sizeof chunk))
            break;
    }
    return true;
}

void TCustomSslWSocket::FlushRecords()
{
    if (!FSslOut || BIO_pending(FSslOut) <= 0)
        return;
    // Straight from the engine's buffer into the queue's blocks.
    char* records = nullptr;
    const long n = BIO_get_mem_data(FSslOut, &records);
    if (n > 0) {
        PutDataInSendBuffer(records, static_cast<int>(n));
        FRecordBytesMade += n;
    }
    (void)BIO_reset(FSslOut);
    FAllSent = false;
    FMarks.push_back({FRecordBytesMade, FPayloadWritten});
    TryToSend();
}

bool TCustomSslWSocket::WritePayload(const char* Data, int Len)
{
    if (Len <= 0)
        return true;
    const int r = SSL_write(FSsl, Data, Len);
    if (r <= 0) {
        FSslErrorText = TakeErrorText("TLS write failed");
        WSASetLastError(WSocketSslProtocolError);
        FLastError = WSocketSslProtocolError;
        return false;
    }
    FPayloadWritten += r;
    return CallOut(&TCustomSslWSocket::FlushRecords, this);
}

int TCustomSslWSocket::RealSend(const void* Data, int Len)
{
    const int r = TCustomSocksWSocket::RealSend(Data, Len);
    if (FSsl && r > 0)
        FRecordBytesHanded += r;
    return r;
}

int TCustomSslWSocket::Send(const void* Data, int Len)
{
    if (!FSsl)
        return TCustomSocksWSocket::Send(Data, Len);
    if (FState != wsConnected) {
        WSASetLastError(WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    if (FSslState == SslState::Handshaking) {
        if (Len > 0)
            FPendingPayload.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
        FAllSent = false;
        return Len;
    }
    if (FSslState != SslState::Active) {
        WSASetLastError(FSslState == SslState::ShutSent ? WSAESHUTDOWN : WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    FAllSent = false;
    bool written = false;
    if (!CallOut([&] { written = WritePayload(static_cast<const char*>(Data), Len); }))
        return written ? Len : -1;
    if (!written) {
        SocketError("Send");
        return -1;
    }
    if (BufList.empty() || FAllSent) {
        FAllSent = true;
        if (FHSocket != INVALID_SOCKET)
            PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                        MAKELPARAM(static_cast<WORD>(FD_WRITE), 0));
    }
    return Len;
}

int TCustomSslWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    if (!FSsl)
        return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
    if (BufferSize <= 0)
        return 0;
    if (FSslState == SslState::Handshaking) {
        PumpHandshake();
        if (FSslState != SslState::Active) {
            WSASetLastError(WSAEWOULDBLOCK);
            return -1;
        }
    }
    if (!FSsl || FSslState == SslState::Failed) {
        WSASetLastError(WSAECONNABORTED);
        return -1;
    }
    // Counts as a receive: the handler took something, even from the
    // engine's buffer.
    ++RecvCalls;
    if (SSL_pending(FSsl) < BufferSize && !FRawEof && !ReadRecords())
        return -1;
    const int r = SSL_read(FSsl, Buffer, BufferSize);
    const int err = r > 0 ? SSL_ERROR_NONE : SSL_get_error(FSsl, r);
    // Replies the engine owes the peer (a key update) go out now; a send
    // error there may close the connection and run its handlers.
    const bool lives = CallOut(&TCustomSslWSocket::FlushRecords, this);
    if (r > 0)
        return r;
    if (!lives || !FSsl) {
        WSASetLastError(WSAECONNABORTED);
        return -1;
    }
    switch (err) {
    case SSL_ERROR_ZERO_RETURN:
        if (!FPeerCloseNotify) {
            // The system will not report an end (the peer waits for our
            // close_notify before it closes): the layer reports it.
            FPeerCloseNotify = true;
            PostMessage(FWindowHandle, WM_SSL_PEER_CLOSED, static_cast<WPARAM>(FCloseCount), 0);
        }
        return 0;
    case SSL_ERROR_WANT_READ:
        if (FRawEof)
            return 0;
        FReadStalled = BIO_pending(FSslIn) > 0;
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_WANT_WRITE: WSASetLastError(WSAEWOULDBLOCK); return -1;
    default:
        FSslErrorText = TakeErrorText("TLS protocol error");
        FSslState = SslState::Failed;
        WSASetLastError(WSocketSslProtocolError);
        return -1;
    }
}

bool TCustomSslWSocket::LayerHasData()
{
    if (!FSsl || (FSslState != SslState::Active && FSslState != SslState::ShutSent))
        return false;
    return SSL_pending(FSsl) > 0 || (BIO_pending(FSslIn) > 0 && !FReadStalled);
}

int TCustomSslWSocket::GetRcvdCount()
{
    if (!FSsl || !SslActive())
        return TCustomSocksWSocket::GetRcvdCount();
    if (SSL_pending(FSsl) == 0) {
        // Decrypt the next record to know its size.
        if (!FRawEof && !ReadRecords())
            return -1;
        char probe;
        (void)SSL_peek(FSsl, &probe, 1);
        ERR_clear_error();
    }
    return SSL_pending(FSsl);
}

std::int64_t TCustomSslWSocket::UnackedSendBytes()
{
    if (!FSsl)
        return TCustomSocksWSocket::UnackedSendBytes();
    const std::int64_t pending = static_cast<std::int64_t>(FPendingPayload.size());
    if (FHSocket == INVALID_SOCKET)
        return FPayloadWritten - FPayloadAcked + pending;
    winsock::u_long queued = 0;
    if (QueuedSendBytes(FHSocket, &queued) != 0)
        return -1;
    // Records the peer acknowledged: those handed to the system that it no
    // longer queues. A record's payload counts once the whole record is in.
    const std::int64_t acked = FRecordBytesHanded - static_cast<std::int64_t>(queued);
    while (FMarksHead < FMarks.size() && FMarks[FMarksHead].recordEnd <= acked) {
        FPayloadAcked = FMarks[FMarksHead].payloadEnd;
        ++FMarksHead;
    }
    if (FMarksHead > 1024 && FMarksHead * 2 > FMarks.size()) {
        FMarks.erase(FMarks.begin(), FMarks.begin() + static_cast<std::ptrdiff_t>(FMarksHead));
        FMarksHead = 0;
    }
    return FPayloadWritten - FPayloadAcked + pending;
}

// ---- notices ------------------------------------------------------------------------

LRESULT TCustomSslWSocket::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_SSL_PEER_CLOSED) {
        // Only for the connection it was posted on, and only if nobody has
        // closed it since: then it ends as if the system had said so.
        if (static_cast<std::uint64_t>(wParam) == FCloseCount && FSsl && FPeerCloseNotify && FState == wsConnected &&
            FHSocket != INVALID_SOCKET)
            return TCustomSocksWSocket::WndProc(WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                                                MAKELPARAM(static_cast<WORD>(FD_CLOSE), 0));
        return 0;
    }
    return TCustomSocksWSocket::WndProc(Msg, wParam, lParam);
}

bool TCustomSslWSocket::TriggerDataAvailable(WORD Error)
{
    if (FSslState == SslState::Handshaking) {
        PumpHandshake();
        return true;
    }
    if (FSslState == SslState::Failed) {
        // Nothing more is read from a broken connection.
        char junk[1024];
        (void)TCustomSocksWSocket::DoRecv(junk, sizeof junk, 0);
        return true;
    }
    return TCustomSocksWSocket::TriggerDataAvailable(Error);
}

void TCustomSslWSocket::TriggerSessionConnected(WORD Error)
{
    if (FSslEnable && Error == 0 && !FSsl) {
        BeginSsl(true);
        return;
    }
    TCustomSocksWSocket::TriggerSessionConnected(Error);
}

void TCustomSslWSocket::TriggerSessionClosed(WORD Error)
{
    if (FSsl && FSslState == SslState::Handshaking) {
        if (!CallOut(&TCustomSslWSocket::HandshakeFailed, this,
                     "the server closed the connection during the TLS handshake", true))
            return;
        TCustomSocksWSocket::TriggerSessionClosed(Error != 0 ? Error : WSocketSslHandshakeFailed);
        return;
    }
    // The peer's end without close_notify, while this side had not ended
    // its own: the payload may have been cut short.
    if (FSsl && FSslState == SslState::Active && !FPeerCloseNotify && Error == 0)
        Error = WSocketSslTruncated;
    // After a record that did not decrypt, or an alert, no end is a
    // normal one.
    if (FSsl && FSslState == SslState::Failed && Error == 0)
        Error = WSocketSslProtocolError;
    TCustomSocksWSocket::TriggerSessionClosed(Error);
}

void TCustomSslWSocket::TriggerDataSent(WORD Error)
{
    if (FSsl) {
        if (FSslState == SslState::Handshaking || !FPendingPayload.empty())
            return; // the payload has not even become records yet
        if (FShutPending >= 0 && FAllSent) {
            const int how = FShutPending;
            FShutPending = -1;
            TCustomSocksWSocket::ShutDown(how);
        }
    }
    TCustomSocksWSocket::TriggerDataSent(Error);
}

int TCustomSslWSocket::Resume()
{
    const int result = TCustomSocksWSocket::Resume();
    // Payload the engine holds is not announced by the system again.
    if (FHSocket != INVALID_SOCKET && LayerHasData())
        PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), MAKELPARAM(FD_READ, 0));
    return result;
}
