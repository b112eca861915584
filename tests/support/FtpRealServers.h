// Throwaway real FTP servers for tests and benchmarks: Debian's vsftpd and
// pyftpdlib, and pure-ftpd and proftpd from the tree unpacked by
// scripts/install-test-servers.sh, each started on 127.0.0.1 on a port of
// its own with a temporary root, and stopped (with the root removed) when
// the object goes.
#pragma once

#include "support/TlsTestCerts.h"

#include <memory>
#include <string>
#include <vector>
#include <csignal>
#include <sys/types.h>

class FtpRealServer;

// How a server speaks FTP over TLS (RFC 4217).
enum class FtpTlsMode {
    None,     // plain FTP
    Explicit, // plain connect, then AUTH TLS; PBSZ 0 and PROT P protect the data
    Implicit, // the TLS handshake starts on the control connection's first byte
};

// A server's TLS set-up. With a mode other than None the server presents
// `cert` and refuses a log-in or a data transfer that is not protected by
// TLS; both passive and active data connections use TLS.
struct FtpServerTls {
    FtpTlsMode mode = FtpTlsMode::None;
    TlsCertPair cert;
};

// Where a server listens: 127.0.0.1, or ::1 only (the control connection
// and the passive data ports alike).
enum class FtpListen { IPv4, IPv6 };

// Each returns nullptr with a reason when the server cannot be started
// (for instance when the package is not installed).
// vsftpd with TLS demands that each data connection resumes the control
// connection's TLS session (its require_ssl_reuse, left at its default).
std::unique_ptr<FtpRealServer> StartVsftpd(std::string& whyNot, const FtpServerTls& tls = {},
                                           FtpListen listen = FtpListen::IPv4);
// With readLimit (bytes per second) pyftpdlib reads uploads no faster than
// that and keeps a small receive buffer: a server behind a slow link.
std::unique_ptr<FtpRealServer> StartPyftpdlib(std::string& whyNot, int readLimit = 0, const FtpServerTls& tls = {},
                                              FtpListen listen = FtpListen::IPv4);
// pure-ftpd 1.0.50 with a virtual user of its own (puredb). It offers
// explicit TLS only (asked for implicit TLS, it returns nullptr) and lets a
// data connection start a fresh TLS session.
std::unique_ptr<FtpRealServer> StartPureFtpd(std::string& whyNot, const FtpServerTls& tls = {});
// proftpd 1.3.8 with a user of its own (AuthUserFile) and, for TLS,
// mod_tls at its defaults: like vsftpd, it refuses a data connection that
// does not resume the control connection's TLS session. Implicit TLS is
// mod_tls's "TLSOptions UseImplicitSSL".
std::unique_ptr<FtpRealServer> StartProftpd(std::string& whyNot, const FtpServerTls& tls = {});

// Where scripts/install-test-servers.sh unpacks pure-ftpd and proftpd:
// $PARCELO_TEST_SERVERS when set, else /opt/parcelo-test-servers.
std::string UnpackedServersDir();

class FtpRealServer {
public:
    virtual ~FtpRealServer();
    FtpRealServer(const FtpRealServer&) = delete;
    FtpRealServer& operator=(const FtpRealServer&) = delete;

    const std::string& Name() const { return name_; }
    // How the server speaks TLS (as asked of its Start function).
    FtpTlsMode TlsMode() const { return tlsMode_; }
    // The address it listens on: "127.0.0.1" or "::1".
    std::string Host() const { return listen_ == FtpListen::IPv6 ? "::1" : "127.0.0.1"; }
    std::string PortText() const { return std::to_string(port_); }
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    // Remote directory, relative to the log-in directory, that takes uploads.
    const std::string& UploadDir() const { return uploadDir_; }
    // Local path of the file the server stores as UploadDir()/name.
    std::string StoredPath(const std::string& name) const;
    // Local path of the log-in directory.
    const std::string& Root() const { return root_; }
    // What the server has logged so far (proftpd's system and TLS logs),
    // for failure messages; empty for servers that keep no log here.
    std::string Log() const;

private:
    friend std::unique_ptr<FtpRealServer> StartVsftpd(std::string& whyNot, const FtpServerTls& tls, FtpListen listen);
    friend std::unique_ptr<FtpRealServer> StartPyftpdlib(std::string& whyNot, int readLimit, const FtpServerTls& tls,
                                                         FtpListen listen);
    friend std::unique_ptr<FtpRealServer> StartPureFtpd(std::string& whyNot, const FtpServerTls& tls);
    friend std::unique_ptr<FtpRealServer> StartProftpd(std::string& whyNot, const FtpServerTls& tls);
    FtpRealServer() = default;
    std::string name_, user_, password_, uploadDir_, root_, tempDir_;
    std::vector<std::string> logFiles_;
    int port_ = 0;
    pid_t pid_ = -1;
    // What stops it: proftpd takes about two seconds to end on SIGTERM,
    // and a throwaway server has nothing to save.
    int stopSignal_ = SIGTERM;
    FtpTlsMode tlsMode_ = FtpTlsMode::None;
    FtpListen listen_ = FtpListen::IPv4;
};
