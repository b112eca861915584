// The FTP client's vocabulary: its states, request types, options,
// exception, addresses, session identity and event types (ftp/Ftpcli.h
// holds the client itself).
#pragma once

#include "net/SslContext.h"
#include "net/WSocket.h"

#include <cstdint>
#include <functional>
#include <string>

// State of the request engine. Value 6 is not used.
enum TFtpClientState : std::uint8_t {
    ftpStClosed = 0,
    ftpStReady = 1,
    ftpStStepReady = 2,
    ftpStResolving = 3,
    ftpStGreeted = 4,
    ftpStAborting = 5,
    ftpStConnecting = 7,
    ftpStAwaitingReply = 8,
};
const char* ToString(TFtpClientState state);

// The request type reported with OnRequestDone.
enum TFtpRequest : std::uint8_t {
    ftpNone = 0,
    ftpOpenAsync = 1,
    ftpUserAsync = 2,
    ftpPassAsync = 3,
    ftpCwdAsync = 4,
    ftpConnectAsync = 5,
    ftpReceiveAsync = 6,
    ftpDirAsync = 7,
    ftpLsAsync = 8,
    ftpPortAsync = 9,
    ftpGetAsync = 10,
    ftpDirectoryAsync = 11,
    ftpListAsync = 12,
    ftpSystemAsync = 13,
    ftpSystAsync = 14,
    ftpQuitAsync = 15,
    ftpSizeAsync = 16,
    ftpPutAsync = 17,
    ftpAppendAsync = 18,
    ftpMkdAsync = 21,
    ftpRmdAsync = 22,
    ftpRenameAsync = 23,
    ftpDeleAsync = 24,
    ftpRenAsync = 25,
    ftpRenToAsync = 26,
    ftpRenFromAsync = 27,
    ftpDeleteAsync = 28,
    ftpMkdirAsync = 29,
    ftpRmdirAsync = 30,
    ftpPwdAsync = 31,
    ftpQuoteAsync = 32,
    ftpCDupAsync = 33,
    ftpDoQuoteAsync = 34,
    ftpTransmitAsync = 35,
    ftpTypeSetAsync = 36,
    ftpRestAsync = 37,
    ftpRestartGetAsync = 38,
    ftpRestartReceiveAsync = 39,
};
const char* ToString(TFtpRequest request);

// How the local file of a transfer is shared with other programs while it
// is open; the values are the stored sharing flags.
enum TFtpShareMode : std::uint8_t {
    ftpShareCompat = 0,
    ftpShareExclusive = 16,
    ftpShareDenyWrite = 32,
    ftpShareDenyRead = 48,
    ftpShareDenyNone = 64,
};

enum TFtpOption : std::uint8_t { ftpAcceptLF = 1 };
// A set of TFtpOption values.
using TFtpOptions = std::uint8_t;

// Raised when a request is started in the wrong state or with a missing or
// unusable property; nothing has been sent then.
class FtpException : public Exception {
public:
    explicit FtpException(const std::string& msg) : Exception(msg) { }
    const char* ClassName() const override { return "FtpException"; }
};

// How the control connection is secured, from the address's prefix:
// "ftpes://" explicit TLS (AUTH TLS after the greeting), "ftps://" implicit
// TLS (from the first byte), "ftp://" or none: no TLS.
enum class TFtpSecurity : std::uint8_t { None, Explicit, Implicit };
struct TFtpAddress {
    TFtpSecurity security = TFtpSecurity::None;
    std::string host; // without the prefix and a trailing '/'
};
// Reads the prefix (in any case) off an address as the user typed it.
[[nodiscard]] TFtpAddress FtpSplitAddress(const std::string& Text);

// What a session is made for: where its control connection goes, how it
// is secured and who is logged in on it. An open session serves only the
// settings it was made for; settings that shape transfers alone (passive
// mode, the type, the time-out) are not part of it.
struct TFtpSessionIdentity {
    TFtpSecurity security = TFtpSecurity::None;
    std::string host; // as dialled: the address without its prefix
    std::string port;
    std::string user;
    std::string password;
    // The control socket's SOCKS settings (empty in Parcelo).
    std::string socksServer;
    std::string socksPort;
    std::string socksLevel;
    std::string socksUsercode;
    std::string socksPassword;
    bool socksAuthentication = false;
    // A secured session only (empty otherwise): the authorities that verify
    // the certificate, and the fingerprint (64 lowercase hex digits when it
    // is one) it is trusted by.
    std::string tlsCaFile;
    std::string tlsFingerprint;

    bool operator==(const TFtpSessionIdentity&) const = default;
};

// What the client asks when a server's certificate is not verified.
struct TFtpCertificateQuestion {
    std::string host;  // the name the certificate was checked against
    TSslPeerInfo peer; // the certificate and why it failed the check
    // Not empty: a different certificate was trusted for this server
    // before (its fingerprint); the new one may be an impostor's.
    std::string rememberedFingerprint;
};
// Trust = true accepts the certificate (the client then remembers its
// fingerprint in TlsFingerprint); false fails the log-in.
using TFtpVerifyCertificate =
    std::function<void(TObject* Sender, const TFtpCertificateQuestion& Question, bool& Trust)>;

using TFtpDisplay = std::function<void(TObject* Sender, std::string& Msg)>;
using TFtpCommand = std::function<void(TObject* Sender, std::string& Cmd)>;
using TFtpRequestDone = std::function<void(TObject* Sender, TFtpRequest RqType, std::uint16_t Error)>;
// Count is the position in the file: bytes moved plus the resume offset.
using TFtpProgress = std::function<void(TObject* Sender, std::int64_t Count, bool& Abort)>;
using TFtpReadyToTransmit = std::function<void(TObject* Sender, bool& bCancel)>;
