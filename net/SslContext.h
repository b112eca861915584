// The TLS settings every connection of a client shares: which certificate
// authorities it trusts. Client side only; one context serves a control
// connection and all its data connections.
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
