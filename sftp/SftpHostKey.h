// Host keys as ssh shows them: the SHA-256 fingerprint of a key
// ("SHA256:" and the unpadded base64 of the digest of the key's bytes, as
// `ssh-keygen -l` prints it).
#pragma once

#include <string>

// The fingerprint of a key given as base64 (as a known-hosts line or a
// .pub file holds it); empty when it is not base64.
std::string SftpFingerprint(const std::string& base64);

// Whether text is a fingerprint of that form ("SHA256:" and 43 characters
// of base64 without padding).
bool SftpIsFingerprint(const std::string& text);
