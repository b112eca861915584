// Throwaway real FTP servers for tests and benchmarks: Debian's vsftpd and
// pyftpdlib, each started on 127.0.0.1 on a port of its own with a
// temporary root, and stopped (with the root removed) when the object goes.
#pragma once

#include "support/TlsTestCerts.h"

#include <memory>
#include <string>
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

// Each returns nullptr with a reason when the server cannot be started
// (for instance when the package is not installed).
// vsftpd with TLS demands that each data connection resumes the control
// connection's TLS session (its require_ssl_reuse, left at its default).
std::unique_ptr<FtpRealServer> StartVsftpd(std::string& whyNot, const FtpServerTls& tls = {});
// With readLimit (bytes per second) pyftpdlib reads uploads no faster than
// that and keeps a small receive buffer: a server behind a slow link.
std::unique_ptr<FtpRealServer> StartPyftpdlib(std::string& whyNot, int readLimit = 0, const FtpServerTls& tls = {});

class FtpRealServer {
public:
    virtual ~FtpRealServer();
    FtpRealServer(const FtpRealServer&) = delete;
    FtpRealServer& operator=(const FtpRealServer&) = delete;

    const std::string& Name() const { return name_; }
    // How the server speaks TLS (as asked of StartVsftpd / StartPyftpdlib).
    FtpTlsMode TlsMode() const { return tlsMode_; }
    std::string Host() const { return "127.0.0.1"; }
    std::string PortText() const { return std::to_string(port_); }
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    // Remote directory, relative to the log-in directory, that takes uploads.
    const std::string& UploadDir() const { return uploadDir_; }
    // Local path of the file the server stores as UploadDir()/name.
    std::string StoredPath(const std::string& name) const;
    // Local path of the log-in directory.
    const std::string& Root() const { return root_; }

private:
    friend std::unique_ptr<FtpRealServer> StartVsftpd(std::string& whyNot, const FtpServerTls& tls);
    friend std::unique_ptr<FtpRealServer> StartPyftpdlib(std::string& whyNot, int readLimit, const FtpServerTls& tls);
    FtpRealServer() = default;
    std::string name_, user_, password_, uploadDir_, root_, tempDir_;
    int port_ = 0;
    pid_t pid_ = -1;
    FtpTlsMode tlsMode_ = FtpTlsMode::None;
};
