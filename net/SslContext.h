// The TLS settings every connection of a client shares: which certificate
// authorities it trusts, TLS 1.2 or later with only ECDHE and AEAD suites
// under TLS 1.2, no renegotiation. Client side only; one context serves a
// control connection and all its data connections.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_session_st;

class TSslContext {
public:
    // With CaFile empty the system's trusted authorities; otherwise only
    // those in the PEM file CaFile. Throws ESocketException when the
    // context cannot be made or the file cannot be read.
    explicit TSslContext(const std::string& CaFile = {});
    ~TSslContext();
    TSslContext(const TSslContext&) = delete;
    TSslContext& operator=(const TSslContext&) = delete;

    ssl_ctx_st* Handle() const { return FCtx; }
    const std::string& CaFile() const { return FCaFile; }

private:
    ssl_ctx_st* FCtx = nullptr;
    std::string FCaFile;
};

// A copy of a session to offer for resumption. The engine marks the
// session it resumed as used up (a TLS 1.3 ticket is meant for one
// resumption), so a session that may have to serve again is offered as a
// copy and kept unmarked. Null for null.
std::shared_ptr<ssl_session_st> SslSessionCopy(const std::shared_ptr<ssl_session_st>& Session);

// The SHA-256 fingerprint (64 lowercase hex digits) of the certificate
// the server showed in the handshake that made Session; empty when none.
std::string SslSessionFingerprint(const std::shared_ptr<ssl_session_st>& Session);

// A SHA-256 fingerprint as typed or stored: 64 hex digits, in any case, with
// or without ':' or blanks between them. True and the 64 lowercase digits
// in Hex when Text is one.
[[nodiscard]] bool SslParseFingerprint(const std::string& Text, std::string& Hex);
// "AB:CD:..." for showing a fingerprint of 64 hex digits.
std::string SslFingerprintDisplay(const std::string& Hex);

// A text from the peer (a certificate's subject or issuer, a server's
// reply) made safe to show on one line: every character that could break
// the line, start another paragraph or hide or reorder text is written as
// a visible escape, "\u" and four hex digits ("\U" and eight above
// U+FFFF): the controls U+0000-U+001F (CR, LF, TAB too), U+007F-U+009F
// (U+0085 too), the line and paragraph separators U+2028 and U+2029, and
// the invisible format characters (U+061C, U+180E, U+200B-U+200F,
// U+202A-U+202E, U+2060-U+206F, U+FEFF, U+FFF9-U+FFFB, U+E0000-U+E007F).
// A byte that is not part of valid UTF-8 becomes "\x" and two hex digits.
// Everything else, backslashes too, is left as it is.
std::string SslVisibleText(const std::string& Utf8);
