// A scripted FTP server for exact dialogues.
//
// It listens on 127.0.0.1 on a port the system chooses and serves one
// control connection on a thread of its own with blocking sockets. The test
// writes the server's side of the dialogue as a function: send these bytes,
// read the next command, open the data connection, and so on. Every command
// line the client sent is recorded, so the test can assert the exact
// sequence afterwards. The client under test runs on the test's own thread.
//
// The server can speak TLS (RFC 4217) too, with OpenSSL on blocking
// sockets: on the control connection after the script answered AUTH TLS
// (or at once, for implicit TLS), and on data connections. Control and data
// share one TLS context with a session cache, so a client can resume the
// control connection's session on its data connections.
#pragma once

#include "support/TlsTestCerts.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

// OpenSSL's SSL and SSL_CTX (kept out of the tests' includes).
struct ssl_st;
struct ssl_ctx_st;

class FtpScriptSession {
public:
    // Sends raw bytes on the control connection (no line end added).
    void Send(const std::string& bytes);
    // Sends Text + CR LF.
    void Reply(const std::string& text);
    // Reads the next command line (CR LF or LF stripped) and records it.
    // Returns false when the client closed the connection or after the
    // read time-out.
    bool ReadCommand(std::string& line);
    // Reads the next command and replies to it; returns the command.
    std::string Answer(const std::string& reply);
    // Waits until the client closes the control connection (or the read
    // time-out passes). Returns true when the close came.
    bool WaitForClose();
    // Closes the control connection from the server's side. Over TLS it
    // first sends the close_notify alert, unless closeNotify is false.
    void CloseControl(bool closeNotify = true);

    // Passive mode: opens a listener on 127.0.0.1:0 and returns the text of
    // a 227 reply that names it. A receiveBuffer above 0 sets the receive
    // buffer of the data connection (SO_RCVBUF), so that the server's
    // system holds little of what it has not read yet.
    std::string OpenPassive(int receiveBuffer = 0);
    // Extended passive mode (RFC 2428): opens a listener on the control
    // connection's loopback address (::1 for a server on IPv6) and returns
    // the text of a 229 reply that names its port.
    std::string OpenExtendedPassive();
    // Like OpenPassive, but the listener's queue is full and never served:
    // the client's data connect stays pending (its SYN is dropped).
    std::string OpenStalledPassive();
    // Accepts the client's data connection on the passive listener.
    bool AcceptData();
    // Active mode: connects to the address of a "PORT h1,h2,h3,h4,p1,p2"
    // command (to 127.0.0.1), or of an "EPRT |2|::1|port|" command (to the
    // loopback address it names).
    bool ConnectActive(const std::string& portCommand);
    // Reads the data connection to its end and returns what came.
    std::string ReceiveAllData();
    // The same, reading at most bytesPerSecond; received follows the count
    // read so far (the test's thread may look at it meanwhile).
    std::string ReceiveAllDataSlowly(std::int64_t bytesPerSecond, std::atomic<std::int64_t>& received);
    // Active mode from another local address (say 127.0.0.2): connects to
    // the port of a PORT or EPRT command and returns the descriptor, which
    // the caller owns; -1 on failure. From an IPv4 address the connection
    // goes to 127.0.0.1 (for EPRT too: a listener on :: takes it as a
    // v4-mapped address).
    static int ConnectFrom(const std::string& portCommand, const std::string& fromAddress);
    // Reads fd to its end (or the read time-out) and returns what came.
    std::string ReadToEnd(int fd);
    void SendData(const std::string& bytes);
    // Closes the data connection. On a TLS data connection it first sends
    // the TLS close_notify alert, unless closeNotify is false (then the
    // connection just ends, as a truncation attack would end it). A plain
    // data connection is closed either way.
    void CloseData(bool closeNotify = true);

    // Server side of a TLS handshake on the control connection (after the
    // script sent "234 ..." to AUTH TLS, or at once for implicit TLS),
    // presenting cert; false when it failed (the connection is closed
    // then). From then on Send, Reply, ReadCommand, Answer and WaitForClose
    // go through TLS. Bytes the client sent after its AUTH line, before the
    // script called this, fail the handshake: a client must wait for 234.
    [[nodiscard]] bool StartTlsControl(const TlsCertPair& cert);
    // Reads what the client sent first (its ClientHello) and closes the
    // control connection without answering: a handshake cut halfway.
    void CutHandshake();
    // Data connections made after this call (AcceptData / ConnectActive)
    // start with a server-side TLS handshake presenting cert (a client may
    // resume the control connection's session); ReceiveAllData,
    // ReceiveAllDataSlowly and SendData then go through TLS. AcceptData and
    // ConnectActive return false when the handshake fails. The handshake
    // waits for the client's ClientHello: for a client that starts TLS on
    // the data connection only after the 150 reply, the script sends 150
    // before AcceptData / ConnectActive. As with vsftpd and pyftpdlib, a
    // TLS 1.3 handshake ends with a session ticket to the client: a client
    // that closes an upload's data connection without having read it
    // resets the connection, and the upload's tail may never arrive here.
    void SetDataTls(const TlsCertPair& cert);
    // Whether the last TLS data connection's handshake resumed the control
    // connection's session.
    bool DataSessionResumed() const { return dataResumed_; }
    // Whether the client ended the last TLS data connection with the
    // close_notify alert (rather than a bare TCP close) before
    // ReceiveAllData saw its end.
    bool DataCloseNotifyReceived() const { return dataCloseNotify_; }

    // How many session tickets (TLS 1.3) the server issues after each
    // control and each data handshake; -1 keeps OpenSSL's default (two
    // after a full handshake, one after a resumption). Set before the
    // handshakes it is meant for.
    void SetTicketCounts(int control, int data);
    // Forgets every session and ticket issued so far (new ticket keys, an
    // empty cache): a data connection that offers one of them cannot
    // resume.
    void ForgetTlsSessions();
    // For each TLS data handshake so far, the ticket the client offered
    // (its identity bytes), or "" when it offered none.
    std::vector<std::string> OfferedTickets() const;
    // Raw bytes on the data or control connection, past TLS (a forged
    // record, an alert in clear, garbage).
    void SendRawData(const std::string& bytes);
    void SendRawControl(const std::string& bytes);

    // Seconds a read waits before it gives up (keeps a broken test from
    // hanging); 0 waits without limit.
    void SetReadTimeout(int seconds);

    // Handshakes with the client under test, which runs in this process:
    // each waits until the client is as named, and returns false when it
    // is not within the read time-out.
    // A condition the test's thread makes true (an atomic flag, say).
    bool WaitFor(const std::function<bool()>& done);
    // The client has read all that was sent on the control connection.
    bool WaitUntilClientRead();
    // The client has closed its end of the data connection made last.
    bool WaitUntilClientClosedData();
    // Reads one piece of what the client sends on the data connection
    // (empty at its end): the upload is under way.
    std::string ReceiveSomeData();

    ~FtpScriptSession();
    FtpScriptSession(const FtpScriptSession&) = delete;
    FtpScriptSession& operator=(const FtpScriptSession&) = delete;

private:
    friend class FtpScriptServer;
    explicit FtpScriptSession(class FtpScriptServer& server, int control);
    void Record(const std::string& line);
    // Reads what is there on fd, through tls when it is set: the count
    // read, 0 at the end of the stream, -1 on an error or time-out.
    long ReadSome(int fd, ssl_st* tls, char* buf, std::size_t size);
    void WriteAll(int fd, ssl_st* tls, const char* p, std::size_t n);
    // The server side of a handshake on fd, or null when it failed.
    ssl_st* AcceptTls(int fd, const TlsCertPair& cert);
    // Runs the data connection's handshake when data TLS is set; closes
    // the connection and returns false when it fails.
    bool StartDataTls();
    void CloseTls(ssl_st*& tls, int& fd, bool closeNotify);

    FtpScriptServer& server_;
    int control_ = -1;
    // The TLS state (null while the connection is plain). One context
    // serves control and data, so its session cache lets data resume.
    ssl_ctx_st* tlsContext_ = nullptr;
    std::string contextCertFile_;
    ssl_st* controlTls_ = nullptr;
    ssl_st* dataTls_ = nullptr;
    bool dataTlsWanted_ = false;
    TlsCertPair dataCert_;
    bool dataResumed_ = false;
    int controlTickets_ = -1;
    int dataTickets_ = -1;
    std::vector<std::string> offeredTickets_;
    static int ClientHelloSeen(ssl_st* tls, int* alert, void* session);
    bool dataCloseNotify_ = false;
    int dataListener_ = -1;
    int data_ = -1;
    // The addresses of the data connection made last, seen from here.
    struct Ends {
        sockaddr_storage local{}, peer{};
        socklen_t localLength = 0, peerLength = 0;
    };
    Ends dataEnds_;
    static Ends EndsOf(int fd);
    // The client's descriptor of the connection whose ends are seen from
    // here as ends, or -1 when the client holds none.
    static int ClientEnd(const Ends& ends);
    int stalledFiller_ = -1;
    std::string pending_;
    int readTimeout_ = 20;
};

class FtpScriptServer {
public:
    using Script = std::function<void(FtpScriptSession&)>;

    // Where the server listens: 127.0.0.1, or ::1 only.
    enum class Family { IPv4, IPv6 };

    // Starts listening at once; the script runs for the first connection.
    explicit FtpScriptServer(Script script, Family family = Family::IPv4);
    // Serves one connection per script, one after the other: the first
    // connection gets the first script, and so on.
    explicit FtpScriptServer(std::vector<Script> scripts, Family family = Family::IPv4);
    ~FtpScriptServer();
    FtpScriptServer(const FtpScriptServer&) = delete;
    FtpScriptServer& operator=(const FtpScriptServer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // Waits for the script to end and returns the commands received.
    std::vector<std::string> Join();
    // Ends the serving at once, for a test whose client has gone: a read
    // of the script and the wait for a connection still to come give up.
    // Returns when the serving thread has ended.
    void Stop();
    // The commands received so far.
    std::vector<std::string> Commands() const;
    // The commands received on the connection served by script `index`
    // (none when it never came).
    std::vector<std::string> SessionCommands(std::size_t index) const;
    // Whether the script ran to its end.
    bool Finished() const { return finished_; }

private:
    friend class FtpScriptSession;
    void Run();

    std::vector<Script> scripts_;
    Family family_ = Family::IPv4;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::vector<std::vector<std::string>> sessionCommands_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> stopping_{false};
};

// The port number of a 227 reply or of a PORT command's last two numbers,
// or of an EPRT command ("EPRT |2|::1|port|"), or 0 when the text has
// neither.
std::uint16_t FtpPortFromNumbers(const std::string& text);

// The server's side of a log-in: the greeting, then 331 to USER and 230 to
// PASS.
void LogIn(FtpScriptSession& s, const std::string& greeting = "220 Scripted server ready");
