// Certificates for the TLS tests: a test certificate authority and server
// certificates for 127.0.0.1, made at run time with the `openssl` command,
// so that nothing secret or expiring lives in the tree.
#pragma once

#include <string>

// A server certificate and its key, as PEM files.
struct TlsCertPair {
    std::string certFile, keyFile;
    // SHA-256 of the DER certificate: 64 lowercase hex digits, no colons.
    std::string fingerprint;
};

struct TlsTestCerts {
    // The temporary directory holding them.
    std::string dir;
    // A test certificate authority (PEM).
    std::string caFile;
    // CN=localhost with the names DNS:localhost, IP:127.0.0.1 and IP:::1, signed by
    // caFile: it verifies with caFile as the only trusted authority.
    TlsCertPair signedByCa;
    // The same names, self-signed: verification fails with
    // "self-signed certificate" (X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT).
    TlsCertPair selfSigned;
    // Another self-signed one with the same names and another key: the
    // "changed" certificate of a server that was trusted before.
    TlsCertPair otherSelfSigned;
    // Signed by caFile for another server: CN=other.example with the names
    // DNS:other.example, IP:177.0.0.1 and IP:::1 (not 127.0.0.1, not
    // localhost).
    TlsCertPair otherAddress;
    // Self-signed, for localhost and 127.0.0.1, whose subject tries to add
    // lines to whatever shows it: U+2028 (line separator), U+2029
    // (paragraph separator), U+0085 (next line), LF, CR, TAB and U+202E
    // (right-to-left override) in its CN and its L, which holds a forged
    // line "SHA-256 fingerprint: " + lineBreakingForgedFingerprint.
    TlsCertPair lineBreakingSubject;
    std::string lineBreakingForgedFingerprint;
};

// The certificates of this process: made on the first call with the
// `openssl` command in a temporary directory, which is removed when the
// process exits. Throws std::runtime_error with the reason when openssl
// fails (for instance when it is not installed); a later call tries again.
const TlsTestCerts& TestCerts();
