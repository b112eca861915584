// The shared TLS client context and fingerprint texts.
#include "net/SslContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cctype>

#include "net/WSocket.h"

namespace {

std::string OpenSslErrorText()
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace

TSslContext::TSslContext(const std::string& CaFile) : FCaFile(CaFile)
{
    FCtx = SSL_CTX_new(TLS_client_method());
    if (!FCtx)
        throw ESocketException("TLS: cannot make a context: " + OpenSslErrorText());
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    // Sessions are kept by the connections that resume them, not in a cache.
    SSL_CTX_set_session_cache_mode(FCtx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    const bool loaded = CaFile.empty() ? SSL_CTX_set_default_verify_paths(FCtx) == 1
                                       : SSL_CTX_load_verify_locations(FCtx, CaFile.c_str(), nullptr) == 1;
    if (!loaded) {
        std::string why = OpenSslErrorText();
        SSL_CTX_free(FCtx);
        FCtx = nullptr;
        throw ESocketException(CaFile.empty() ? "TLS: cannot load the system's trusted authorities: " + why
                                              : "TLS: cannot read the authorities in " + CaFile + ": " + why);
    }
}

TSslContext::~TSslContext()
{
    SSL_CTX_free(FCtx);
}

std::shared_ptr<ssl_session_st> SslSessionCopy(const std::shared_ptr<ssl_session_st>& Session)
{
    if (!Session)
        return nullptr;
    SSL_SESSION* copy = SSL_SESSION_dup(Session.get());
    if (!copy)
        return Session;
    return std::shared_ptr<ssl_session_st>(copy, SSL_SESSION_free);
}

std::string SslSessionFingerprint(const std::shared_ptr<ssl_session_st>& Session)
{
    X509* cert = Session ? SSL_SESSION_get0_peer(Session.get()) : nullptr;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), md, &mdLen) != 1)
        return {};
    static const char Hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < mdLen; ++i) {
        text += Hex[md[i] >> 4];
        text += Hex[md[i] & 15];
    }
    return text;
}

bool SslParseFingerprint(const std::string& Text, std::string& Hex)
{
    std::string digits;
    for (char c : Text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (c >= '0' && c <= '9')
            digits += c;
        else if (c >= 'a' && c <= 'f')
            digits += c;
        else if (c >= 'A' && c <= 'F')
            digits += static_cast<char>(c - 'A' + 'a');
        else
            return false;
    }
    if (digits.size() != 64)
        return false;
    Hex = digits;
    return true;
}

std::string SslFingerprintDisplay(const std::string& Hex)
{
    std::string out;
    for (std::size_t i = 0; i < Hex.size(); i += 2) {
        if (!out.empty())
            out += ':';
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(Hex[i])));
        if (i + 1 < Hex.size())
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(Hex[i + 1])));
    }
    return out;
}
