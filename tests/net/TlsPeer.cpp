#include "tests/net/TlsPeer.h"

#include <csignal>
#include <cstdio>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tests/net/PosixPeer.h"

namespace tlspeer {

namespace {

std::string Pem(EVP_PKEY* key)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(len));
    BIO_free(bio);
    return text;
}

std::string Pem(X509* cert)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(len));
    BIO_free(bio);
    return text;
}

std::string Fingerprint(X509* cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    X509_digest(cert, EVP_sha256(), md, &len);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

constexpr const char* LocalNames = "DNS:localhost,IP:127.0.0.1";

X509* MakeCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, bool ca, long serial,
               const char* altNames = LocalNames)
{
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 2 * 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Parcelo tests"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
    X509* signer = issuer ? issuer : cert;
    if (ca) {
        AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert, signer, NID_subject_alt_name, altNames);
    }
    X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256());
    return cert;
}

Pki MakePki()
{
    Pki pki;
    EVP_PKEY* caKey = EVP_EC_gen("P-256");
    X509* ca = MakeCert(caKey, "Parcelo test authority", nullptr, nullptr, true, 1);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* signedCert = MakeCert(key, "localhost", ca, caKey, false, 2);
    X509* selfCert = MakeCert(key, "localhost", nullptr, nullptr, false, 3);
    pki.signedByCa = {Pem(signedCert), Pem(key), Fingerprint(signedCert)};
    pki.selfSigned = {Pem(selfCert), Pem(key), Fingerprint(selfCert)};
    auto signedIdentity = [&](EVP_PKEY* leafKey, const char* cn, long serial, const char* altNames) {
        X509* cert = MakeCert(leafKey, cn, ca, caKey, false, serial, altNames);
        Identity identity{Pem(cert), Pem(leafKey), Fingerprint(cert)};
        X509_free(cert);
        return identity;
    };
    pki.otherAddress = signedIdentity(key, "other.example", 4, "DNS:other.example,IP:177.0.0.1,IP:::1");
    EVP_PKEY* rsaKey = EVP_RSA_gen(2048);
    pki.rsaSignedByCa = signedIdentity(rsaKey, "localhost", 5, LocalNames);
    EVP_PKEY_free(rsaKey);
    // Line and paragraph separators (U+2028, U+2029, U+0085), LF, CR, TAB,
    // DEL, a right-to-left override (U+202E) and a byte that OpenSSL must
    // escape itself (a backslash), around a forged line.
    // (A common name has at most 64 characters.)
    pki.lineBreakingName = "localhost\xe2\x80\xa8SHA-256: 00:11\xe2\x80\xa9Trust\xc2\x85it\nnow\rback\ttab\x7f"
                           "\xe2\x80\xae"
                           "evil\\end";
    pki.lineBreaking = signedIdentity(key, pki.lineBreakingName.c_str(), 6, LocalNames);
    char path[] = "/tmp/parcelo-tls-ca-XXXXXX";
    int fd = mkstemp(path);
    const std::string caPem = Pem(ca);
    if (fd < 0 || write(fd, caPem.data(), caPem.size()) != static_cast<ssize_t>(caPem.size()))
        throw std::runtime_error("cannot write the test authority");
    close(fd);
    pki.caFile = path;
    X509_free(ca);
    X509_free(signedCert);
    X509_free(selfCert);
    EVP_PKEY_free(caKey);
    EVP_PKEY_free(key);
    return pki;
}

} // namespace

const Pki& TestPki()
{
    static const Pki pki = MakePki();
    static const struct Cleanup {
        ~Cleanup() { unlink(pki.caFile.c_str()); }
    } cleanup;
    return pki;
}

Connection::~Connection()
{
    Close();
}

bool Connection::StartTls()
{
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
    SSL_set_fd(ssl, fd_);
    ssl_ = ssl;
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        return false;
    }
    return true;
}

bool Connection::Resumed() const
{
    return ssl_ && SSL_session_reused(static_cast<SSL*>(ssl_)) == 1;
}

bool Connection::Write(const std::string& data)
{
    if (!ssl_)
        return peer::SendAll(fd_, data);
    size_t done = 0;
    while (done < data.size()) {
        int n = SSL_write(static_cast<SSL*>(ssl_), data.data() + done, static_cast<int>(data.size() - done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string Connection::ReadAll(bool* cleanEnd)
{
    std::string out;
    if (!ssl_) {
        peer::ReadAll(fd_, &out);
        return out;
    }
    char buf[16384];
    for (;;) {
        int n = SSL_read(static_cast<SSL*>(ssl_), buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (cleanEnd)
            *cleanEnd = SSL_get_error(static_cast<SSL*>(ssl_), n) == SSL_ERROR_ZERO_RETURN;
        ERR_clear_error();
        return out;
    }
}

std::string Connection::ReadPlainLine()
{
    std::string line;
    char c;
    while (read(fd_, &c, 1) == 1) {
        line += c;
        if (c == '\n')
            break;
    }
    return line;
}

void Connection::SendCloseNotify()
{
    if (ssl_)
        SSL_shutdown(static_cast<SSL*>(ssl_));
}

void Connection::Close()
{
    if (ssl_) {
        SSL_free(static_cast<SSL*>(ssl_));
        ssl_ = nullptr;
    }
    if (fd_ >= 0) {
        peer::Close(fd_);
        fd_ = -1;
    }
}

std::string Connection::ServerName() const
{
    const char* name = ssl_ ? SSL_get_servername(static_cast<SSL*>(ssl_), TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

Connection::Renegotiation Connection::Renegotiate(const Identity& with, int waitSeconds)
{
    SSL* ssl = static_cast<SSL*>(ssl_);
    if (!ssl)
        return Renegotiation::Failed;
    BIO* certBio = BIO_new_mem_buf(with.certPem.data(), static_cast<int>(with.certPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    BIO* keyBio = BIO_new_mem_buf(with.keyPem.data(), static_cast<int>(with.keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    const bool loaded = cert && key && SSL_use_certificate(ssl, cert) == 1 && SSL_use_PrivateKey(ssl, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    // A full handshake, so that the new certificate is sent.
    SSL_set_options(ssl, SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
    if (!loaded || SSL_renegotiate(ssl) != 1 || SSL_do_handshake(ssl) != 1) {
        ERR_clear_error();
        return Renegotiation::Failed;
    }
    timeval wait{waitSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[1024];
    for (;;) {
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n > 0)
            continue; // payload the client sent meanwhile
        const unsigned long error = ERR_peek_error();
        ERR_clear_error();
        if (ERR_GET_REASON(error) == SSL_R_NO_RENEGOTIATION)
            return Renegotiation::RefusedByClient;
        // The time is up (or the client closed): did the new handshake
        // run meanwhile?
        return SSL_renegotiate_pending(ssl) == 0 ? Renegotiation::Completed : Renegotiation::Failed;
    }
}

Server::Server(const Identity& identity, Script script, int connections)
    : Server(identity, std::move(script), connections, ServerOptions{})
{ }

Server::Server(const Identity& identity, Script script, int connections, const ServerOptions& options)
{
    // OpenSSL writes with write(): a client that has gone must not end the
    // test program.
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (options.tls12Only)
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    // Finite-field Diffie-Hellman too, when a suite asks for it.
    SSL_CTX_set_dh_auto(ctx, 1);
    if (!options.ciphers.empty() && SSL_CTX_set_cipher_list(ctx, options.ciphers.c_str()) != 1)
        throw std::runtime_error("the test server cannot use the suites " + options.ciphers);
    BIO* certBio = BIO_new_mem_buf(identity.certPem.data(), static_cast<int>(identity.certPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    BIO* keyBio = BIO_new_mem_buf(identity.keyPem.data(), static_cast<int>(identity.keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    SSL_CTX_set_session_id_context(ctx, reinterpret_cast<const unsigned char*>("parcelo"), 7);
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    ctx_ = ctx;
    listener_ = peer::Listen(port_);
    thread_ = std::thread([this, script = std::move(script), connections] {
        for (int i = 0; i < connections; ++i) {
            int fd = peer::Accept(listener_);
            if (fd < 0)
                return;
            Connection connection(fd, ctx_);
            script(connection);
        }
    });
}

Server::~Server()
{
    Join();
    if (listener_ >= 0)
        peer::Close(listener_);
    SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

void Server::Join()
{
    if (thread_.joinable())
        thread_.join();
}

} // namespace tlspeer
