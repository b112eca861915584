#include "sftp/SftpHostKey.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace {

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Strict base64: whole groups of four, '=' only at the end.
bool Base64Decode(const std::string& text, std::string& out)
{
    if (text.empty() || text.size() % 4 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pad;
            } else if (pad || (v[k] = Base64Value(c)) < 0) {
                return false;
            }
        }
        const unsigned bits = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
        out.push_back(char(bits >> 16));
        if (pad < 2)
            out.push_back(char(bits >> 8));
        if (pad < 1)
            out.push_back(char(bits));
    }
    return true;
}

} // namespace

std::string SftpFingerprint(const std::string& base64)
{
    std::string blob;
    if (!Base64Decode(base64, blob))
        return {};
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(blob.data()), blob.size(), digest);
    unsigned char text[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
    const int n = EVP_EncodeBlock(text, digest, SHA256_DIGEST_LENGTH);
    std::string out(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    return "SHA256:" + out;
}

bool SftpIsFingerprint(const std::string& text)
{
    if (text.size() != 7 + 43 || text.compare(0, 7, "SHA256:") != 0)
        return false;
    for (std::size_t i = 7; i < text.size(); ++i)
        if (Base64Value(text[i]) < 0)
            return false;
    return true;
}
