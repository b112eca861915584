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

// The TLS 1.2 suites offered, strongest first.
constexpr const char* Tls12Ciphers = "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                     "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
                                     "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";

} // namespace

TSslContext::TSslContext(const std::string& CaFile) : FCaFile(CaFile)
{
    FCtx = SSL_CTX_new(TLS_client_method());
    if (!FCtx)
        throw ESocketException("TLS: cannot make a context: " + OpenSslErrorText());
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    // TLS 1.2 only with forward secrecy (ECDHE) and authenticated
    // encryption (AES-GCM, ChaCha20-Poly1305): no RSA key exchange, no
    // CBC. TLS 1.3's suites are all of that kind and stay as OpenSSL has
    // them.
    // A server may not renegotiate: a new handshake in the middle of a
    // connection could bring another certificate after this one was
    // checked. OpenSSL answers the server's request with a no_renegotiation
    // alert, which ends the connection at the server (OpenSSL treats it as
    // fatal) and in any case gives it no second handshake.
    SSL_CTX_set_options(FCtx, SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_cipher_list(FCtx, Tls12Ciphers) != 1) {
        std::string why = OpenSslErrorText();
        SSL_CTX_free(FCtx);
        FCtx = nullptr;
        throw ESocketException("TLS: cannot set the cipher suites: " + why);
    }
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

namespace {

bool MustEscape(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x180E ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) ||
           c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE007F);
}

// The code point of the UTF-8 sequence at Text[At], and its length; 0 when
// the bytes there are not valid UTF-8 (overlong forms, surrogates and
// values above U+10FFFF included).
std::size_t DecodeUtf8(const std::string& Text, std::size_t At, char32_t& Code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(Text[i]); };
    const unsigned char first = byte(At);
    std::size_t length;
    char32_t code;
    if (first < 0x80) {
        Code = first;
        return 1;
    } else if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        code = first & 0x1F;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        code = first & 0x0F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        code = first & 0x07;
    } else {
        return 0;
    }
    if (At + length > Text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(At + i);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    Code = code;
    return length;
}

} // namespace

std::string SslVisibleText(const std::string& Utf8)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Utf8.size());
    for (std::size_t at = 0; at < Utf8.size();) {
        char32_t code = 0;
        const std::size_t length = DecodeUtf8(Utf8, at, code);
        if (length == 0) {
            const auto b = static_cast<unsigned char>(Utf8[at]);
            out += "\\x";
            out += Hex[b >> 4];
            out += Hex[b & 15];
            ++at;
            continue;
        }
        if (MustEscape(code)) {
            const int digits = code > 0xFFFF ? 8 : 4;
            out += code > 0xFFFF ? "\\U" : "\\u";
            for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
                out += Hex[(code >> shift) & 15];
        } else {
            out.append(Utf8, at, length);
        }
        at += length;
    }
    return out;
}
