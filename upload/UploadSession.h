// One session with a server, whatever the protocol: what the upload
// sequence (and the directory picker) need from a connection. The FTP
// client and the SFTP client each stand behind it (FtpSession.h,
// SftpSession.h). Each call blocks, pumping the message queue, until its
// request is done; the events fire while it waits.
#pragma once

#include "ftp/Ftpcli.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class UploadProtocol : std::uint8_t { Ftp, Sftp };

// "sftp://..." (in any case) is SFTP; everything else (a bare host,
// "ftp://", "ftpes://", "ftps://") is FTP.
[[nodiscard]] UploadProtocol ProtocolOfAddress(const std::string& address);

// Where a session goes and who logs in: the address as typed (its prefix
// says the protocol and, for FTP, the security), the port, the user and
// the password.
struct UploadLogin {
    std::string address;
    std::string port;
    std::string user;
    std::string password;
};

// A question about trusting what a server presented, asked during the
// log-in. Yes (true) lets the log-in go on; no fails it.
struct UploadTrustQuestion {
    enum class Kind : std::uint8_t {
        TlsCertificate, // FTP over TLS: a certificate that failed verification
        SshHostKey,     // SFTP: a host key not known yet, or changed
    };
    Kind kind = Kind::TlsCertificate;
    std::string host;        // the host it was presented by
    std::string fingerprint; // what the server presented (TLS: 64 hex digits; SSH: "SHA256:...")
    // Not empty: something else was trusted for this host before (its
    // fingerprint); the new one may be an impostor's.
    std::string rememberedFingerprint;
    std::string keyType; // SSH: "ED25519", "ECDSA", "RSA"
    // TLS: the client's whole question (subject, issuer, dates, why).
    const TFtpCertificateQuestion* certificate = nullptr;
};

// What a server says of a file (UploadSession::StatFile).
inline constexpr std::uint64_t UploadUnknownSize = ~std::uint64_t{0};

struct UploadRemoteFile {
    // The server answered: `exists` and, when it exists, `size` hold. False:
    // it cannot tell (FTP: SIZE refused as unknown or not allowed).
    bool known = false;
    bool exists = false;
    // UploadUnknownSize: it exists, but the server would not give its size
    // (FTP in ascii mode).
    std::uint64_t size = 0;
    // The modification time (seconds since 1970, UTC); 0: unknown or not asked.
    std::int64_t mtime = 0;
};

struct UploadSessionEvents {
    // A line of the dialogue with the server (commands, replies, notes).
    std::function<void(const std::string& line)> display;
    // The bytes of the file being stored that the server has taken.
    std::function<void(std::uint64_t count)> progress;
    // Unset: every question is answered no.
    std::function<bool(const UploadTrustQuestion& question)> trust;
};

class UploadSession {
public:
    virtual ~UploadSession() = default;
    UploadSession() = default;
    UploadSession(const UploadSession&) = delete;
    UploadSession& operator=(const UploadSession&) = delete;

    [[nodiscard]] virtual UploadProtocol Protocol() const = 0;
    // The settings the next log-in uses (an open session keeps its own).
    virtual void SetLogin(const UploadLogin& login) = 0;

    // A session is open (or being opened).
    [[nodiscard]] virtual bool Connected() const = 0;
    // A session is open and was made for exactly the current settings:
    // host, port, user, password and security (for FTP the TLS trust, for
    // SFTP the host keys it trusts and how ssh is run).
    [[nodiscard]] virtual bool ServesSettings() const = 0;

    [[nodiscard]] virtual bool LogIn() = 0;
    // `dir` relative to the current directory, or absolute; several levels
    // are one step.
    [[nodiscard]] virtual bool ChangeDir(const std::string& dir) = 0;
    [[nodiscard]] virtual bool MakeDir(const std::string& dir) = 0;
    // The sub-directories of `dir` (relative to the current directory;
    // empty: the current one), as the server names them (bytes), without
    // names starting with '.' (hidden ones, "." and ".."). The
    // current directory is where it was afterwards (FTP: a step back that
    // fails drops the session).
    [[nodiscard]] virtual bool ListDirs(const std::string& dir, std::vector<std::string>& names) = 0;

    // Whether the protocol has a text (ascii) transfer type beside the
    // binary one. Only then do the two calls below mean anything.
    [[nodiscard]] virtual bool HasTextMode() const = 0;
    // The type the next store goes in: true ascii, false binary.
    [[nodiscard]] virtual bool SendsAscii() const { return false; }
    [[nodiscard]] virtual bool SetType(bool ascii) { return !ascii; }

    // Stores the local file under `remoteName` in the current directory,
    // reporting progress.
    [[nodiscard]] virtual bool Store(const std::string& localPath, const std::string& remoteName) = 0;
    // The same from `offset` on: the server keeps its first `offset` bytes
    // of `remoteName` and the local bytes from `offset` on follow them
    // (FTP: REST offset + STOR, APPE where REST is refused; SFTP: open
    // without emptying, writes from the offset). Progress counts from the
    // start of the file. Offset 0 is Store.
    [[nodiscard]] virtual bool StoreFrom(const std::string& localPath, const std::string& remoteName,
                                         std::uint64_t offset)
    {
        return offset == 0 && Store(localPath, remoteName);
    }
    // What the server has under `name` in the current directory: its size
    // (FTP: SIZE, meaningful in binary mode; SFTP: stat) and, when
    // `withTime`, its modification time (FTP: MDTM). False when the session
    // is gone.
    [[nodiscard]] virtual bool StatFile(const std::string& name, bool withTime, UploadRemoteFile& file)
    {
        (void)name;
        (void)withTime;
        file = {};
        return Connected();
    }
    // Renames `from` to `to` in the current directory, replacing `to` when
    // it exists (FTP: RNFR/RNTO, and where that is refused DELE of `to` and
    // RNFR/RNTO again; SFTP: posix-rename@openssh.com where offered, else
    // remove and rename).
    [[nodiscard]] virtual bool Rename(const std::string& from, const std::string& to)
    {
        (void)from;
        (void)to;
        return false;
    }
    // Sets the modification time of `name` (seconds since 1970, UTC). False
    // when the server does not offer it (FTP: FEAT lists no MFMT; nothing
    // is sent then) or refused it.
    [[nodiscard]] virtual bool SetFileTime(const std::string& name, std::int64_t mtime)
    {
        (void)name;
        (void)mtime;
        return false;
    }
    // Whether the last failed call failed because the connection broke or
    // timed out (control or data; a log-in whose connection was refused,
    // reset or unreachable), so that trying again may succeed. False for a
    // refusal that stays: a log-in refused (530), permission denied (550),
    // no space (452, 552), a certificate or host key not trusted, a local
    // file that cannot be read.
    [[nodiscard]] virtual bool LinkBroken() const { return !Connected(); }

    // Ends the session politely (FTP: QUIT).
    [[nodiscard]] virtual bool Quit() = 0;
    // Ends the session at once, without a word to the server (a QUIT could
    // wait the whole time-out on a server that has gone).
    virtual void Drop() = 0;

    // Why the last call failed, as the client says it.
    [[nodiscard]] virtual std::string ErrorMessage() const = 0;

    UploadSessionEvents events;

    // Shows a line of Parcelo's own in the dialogue.
    void Note(const std::string& line)
    {
        if (events.display)
            events.display(line);
    }
};

// A session for the address's protocol, owning its client.
[[nodiscard]] std::unique_ptr<UploadSession> MakeUploadSession(const std::string& address);
