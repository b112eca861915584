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

private:
    int fd_;
    void* ctx_;
    void* ssl_ = nullptr;
};

class Server {
public:
    using Script = std::function<void(Connection&)>;
    // Listens at once; the script runs for each of `connections` accepted
    // connections in turn, with the identity's certificate.
    Server(const Identity& identity, Script script, int connections = 1);
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
