// Host keys as ssh shows them: the SHA-256 fingerprint of a key
// ("SHA256:" and the unpadded base64 of the digest of the key's bytes, as
// `ssh-keygen -l` prints it), and the keys a server offers, asked for with
// ssh-keyscan (for a command line that pins a fingerprint).
#pragma once

#include <string>
#include <vector>

struct SftpHostKey {
    std::string type;        // "ssh-ed25519", "ecdsa-sha2-nistp256", ...
    std::string base64;      // the key as a known-hosts line holds it
    std::string fingerprint; // "SHA256:..."
    // "ED25519", "ECDSA", "RSA": the name ssh shows the type by.
    std::string ShortType() const;
};

// The fingerprint of a key given as base64; empty when it is not base64.
std::string SftpFingerprint(const std::string& base64);

// Whether text is a fingerprint of that form ("SHA256:" and 43 characters
// of base64 without padding).
bool SftpIsFingerprint(const std::string& text);

// Runs `ssh-keyscan -p PORT -- HOST` (blocking, at most timeoutSeconds)
// and reads its known-hosts lines. host must pass SftpArgumentAllowed.
// Empty, with `error` set, when nothing came back.
std::vector<SftpHostKey> SftpScanHostKeys(const std::string& host, const std::string& port, int timeoutSeconds,
                                          std::string& error);

// The known-hosts line that names host:port with key (the "[host]:port"
// form for a port other than 22).
std::string SftpKnownHostsLine(const std::string& host, const std::string& port, const SftpHostKey& key);
