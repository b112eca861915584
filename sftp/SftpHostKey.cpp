#include "sftp/SftpHostKey.h"

#include "sftp/SftpClient.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

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

std::string SftpHostKey::ShortType() const
{
    if (type == "ssh-ed25519")
        return "ED25519";
    if (type.rfind("ecdsa-", 0) == 0)
        return "ECDSA";
    if (type == "ssh-rsa")
        return "RSA";
    if (type == "ssh-dss")
        return "DSA";
    return type;
}

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

std::vector<SftpHostKey> SftpScanHostKeys(const std::string& host, const std::string& port, int timeoutSeconds,
                                          std::string& error)
{
    std::vector<SftpHostKey> keys;
    if (!SftpArgumentAllowed(host) || !SftpArgumentAllowed(port)) {
        error = "refused host or port";
        return keys;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = "cannot make a pipe";
        return keys;
    }
    const std::string timeout = std::to_string(timeoutSeconds > 0 ? timeoutSeconds : 5);
    const char* argv[] = {"ssh-keyscan", "-T", timeout.c_str(), "-p", port.c_str(), "--", host.c_str(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(out[1], 1);
        ::dup2(devnull, 2);
        ::execvp(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    ::close(out[0]);
    if (pid > 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string name;
        SftpHostKey key;
        if (!(fields >> name >> key.type >> key.base64))
            continue;
        key.fingerprint = SftpFingerprint(key.base64);
        if (!key.fingerprint.empty())
            keys.push_back(key);
    }
    if (keys.empty())
        error = pid < 0 ? "cannot run ssh-keyscan" : "the server offered no host key";
    return keys;
}

std::string SftpKnownHostsLine(const std::string& host, const std::string& port, const SftpHostKey& key)
{
    const std::string name = port == "22" ? host : "[" + host + "]:" + port;
    return name + " " + key.type + " " + key.base64 + "\n";
}
