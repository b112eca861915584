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
    std::string dir;        // the temporary directory holding them
    std::string caFile;     // a test certificate authority (PEM)
    TlsCertPair signedByCa; // CN=localhost, SAN DNS:localhost + IP:127.0.0.1, signed by caFile (verifies with caFile)
    TlsCertPair selfSigned; // same names, self-signed (fails verification: "self-signed certificate")
    TlsCertPair otherSelfSigned; // another self-signed one (a "changed" certificate)
};

// The certificates of this process: made on the first call with the
// `openssl` command in a temporary directory, which is removed when the
// process exits. Throws std::runtime_error with the reason when openssl
// fails (for instance when it is not installed); a later call tries again.
const TlsTestCerts& TestCerts();
