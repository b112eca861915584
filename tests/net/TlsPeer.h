// The server side of TLS connections in the socket's tests: certificates
// made in memory and a blocking OpenSSL server on 127.0.0.1 that runs a
// test's script on a thread of its own. Declares no Winsock names.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tlspeer {

struct Identity {
    std::string certPem;
    std::string keyPem;
    std::string fingerprint; // SHA-256 of the DER certificate, lowercase hex
};

// A test authority (written to caFile) and certificates for "localhost"
// and 127.0.0.1: one it signed, one self-signed. Made once per process.
struct Pki {
    std::string caFile;
    Identity signedByCa;
    Identity selfSigned;
    // Signed by the authority for another server: CN=other.example with
    // DNS:other.example, IP:177.0.0.1 and IP:::1 (not 127.0.0.1).
    Identity otherAddress;
    // Signed by the authority for localhost and 127.0.0.1, with an RSA key
    // (the others have P-256 keys): for suites with RSA authentication or
    // RSA key exchange.
    Identity rsaSignedByCa;
    // Signed by the authority for localhost and 127.0.0.1; its common name
    // is lineBreakingName, full of line breaks and other controls.
    Identity lineBreaking;
    std::string lineBreakingName;
};
const Pki& TestPki();

// One accepted connection: the descriptor and, after StartTls, its TLS
// state. Blocking calls; each returns false or -1 on failure.
class Connection {
public:
    explicit Connection(int fd, void* ctx) : fd_(fd), ctx_(ctx) { }
    ~Connection();
    int Fd() const { return fd_; }
    // Server side of the handshake.
    bool StartTls();
    bool Resumed() const;
    // Payload through TLS (or plain before StartTls).
    bool Write(const std::string& data);
    // Reads until close_notify or the end of the stream; cleanEnd tells
    // which one came.
    std::string ReadAll(bool* cleanEnd = nullptr);
    // Reads one line (LF-terminated) of plain text, before TLS.
    std::string ReadPlainLine();
    void SendCloseNotify();
    // Closes the descriptor (without close_notify unless sent before).
    void Close();
    // The server name the client sent (SNI) in the handshake, or "".
    std::string ServerName() const;

    // Server-initiated renegotiation (TLS 1.2 only): sends a HelloRequest
    // and would run a full new handshake that presents `with` (no
    // resumption), reading until the client's answer or `waitSeconds`
    // without one. What came of it:
    enum class Renegotiation {
        Completed,       // the client ran the new handshake
        RefusedByClient, // the client answered no_renegotiation
        Failed,          // anything else
    };
    Renegotiation Renegotiate(const Identity& with, int waitSeconds = 3);

private:
    int fd_;
    void* ctx_;
    void* ssl_ = nullptr;
};

// How a server's TLS is restricted (empty: OpenSSL's defaults).
struct ServerOptions {
    bool tls12Only = false; // at most TLS 1.2
    std::string ciphers;    // the TLS 1.2 suites it accepts (OpenSSL's cipher list)
};

class Server {
public:
    using Script = std::function<void(Connection&)>;
    // Listens at once; the script runs for each of `connections` accepted
    // connections in turn, with the identity's certificate.
    Server(const Identity& identity, Script script, int connections = 1);
    Server(const Identity& identity, Script script, int connections, const ServerOptions& options);
    ~Server();
    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    void Join();

private:
    int listener_ = -1;
    int port_ = 0;
    void* ctx_ = nullptr;
    std::thread thread_;
};

} // namespace tlspeer
