#include "support/TlsTestCerts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Runs `openssl args...` in dir; throws with its messages when it fails.
void RunOpenssl(const std::string& dir, const std::vector<std::string>& args)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("openssl: no pipe");
    pid_t pid = ::fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        std::vector<char*> argv{const_cast<char*>("openssl")};
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp("openssl", argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("openssl: cannot fork");
    }
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    std::string command = "openssl";
    for (auto& a : args)
        command += " " + a;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        throw std::runtime_error("the openssl command is not installed (" + command + ")");
    // Key generation prints a line of progress dots; the reason is at the end.
    if (out.size() > 2000)
        out = "..." + out.substr(out.size() - 2000);
    throw std::runtime_error(command + " failed: " + out);
}

std::string Sha256OfCertificate(const std::string& certFile)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(certFile.c_str(), "r"), std::fclose);
    if (!file)
        throw std::runtime_error("cannot read " + certFile);
    std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr), X509_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!cert || X509_digest(cert.get(), EVP_sha256(), digest, &length) != 1)
        throw std::runtime_error("cannot take the SHA-256 of " + certFile);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xf];
    }
    return text;
}

const char* const serverNames = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1";

// A self-signed server certificate named `name` (.pem and .key) in dir.
TlsCertPair MakeSelfSigned(const std::string& dir, const std::string& name)
{
    TlsCertPair pair{dir + "/" + name + ".pem", dir + "/" + name + ".key", {}};
    RunOpenssl(dir, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pair.keyFile, "-out", pair.certFile,
                     "-days", "2", "-subj", "/CN=localhost", "-addext", serverNames});
    pair.fingerprint = Sha256OfCertificate(pair.certFile);
    return pair;
}

// A server certificate named `name` (.pem and .key) in dir with the
// subject `subject` and the extension line `names`, signed by the
// authority caFile (key caKey).
TlsCertPair MakeSignedByCa(const std::string& dir, const std::string& caFile, const std::string& caKey,
                           const std::string& name, const std::string& subject, const std::string& names)
{
    TlsCertPair leaf{dir + "/" + name + ".pem", dir + "/" + name + ".key", {}};
    const std::string request = dir + "/" + name + ".csr";
    const std::string extensions = dir + "/" + name + ".ext";
    std::ofstream(extensions) << names << "\n"
                              << "basicConstraints=critical,CA:FALSE\n"
                              << "keyUsage=critical,digitalSignature,keyEncipherment\n"
                              << "extendedKeyUsage=serverAuth\n";
    RunOpenssl(dir, {"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", leaf.keyFile, "-out", request, "-subj",
                     subject});
    RunOpenssl(dir, {"x509", "-req", "-in", request, "-CA", caFile, "-CAkey", caKey, "-CAcreateserial", "-out",
                     leaf.certFile, "-days", "2", "-extfile", extensions});
    leaf.fingerprint = Sha256OfCertificate(leaf.certFile);
    return leaf;
}

// Owns the made certificates; the process that made them removes their
// folder when it exits (not a child that forked meanwhile).
struct CertStore {
    std::unique_ptr<TlsTestCerts> certs;
    pid_t owner = 0;
    std::mutex mutex;
    ~CertStore()
    {
        if (certs && owner == ::getpid()) {
            std::error_code ignored;
            fs::remove_all(certs->dir, ignored);
        }
    }
};

CertStore& Store()
{
    static CertStore store;
    return store;
}

TlsTestCerts MakeCerts(const std::string& dir)
{
    TlsTestCerts made;
    made.dir = dir;
    made.caFile = dir + "/ca.pem";
    const std::string caKey = dir + "/ca.key";
    RunOpenssl(dir, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", caKey, "-out", made.caFile, "-days",
                     "2", "-subj", "/CN=Parcelo test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                     "keyUsage=critical,keyCertSign,cRLSign"});

    made.signedByCa = MakeSignedByCa(dir, made.caFile, caKey, "server", "/CN=localhost", serverNames);
    made.selfSigned = MakeSelfSigned(dir, "self");
    made.otherSelfSigned = MakeSelfSigned(dir, "other");
    made.otherAddress = MakeSignedByCa(dir, made.caFile, caKey, "other-address", "/CN=other.example",
                                       "subjectAltName=DNS:other.example,IP:177.0.0.1,IP:::1");

    // Line and paragraph breaks of every kind in the common name, and a
    // forged fingerprint line between them in the locality (UTF-8; a
    // common name holds at most 64 characters, a locality 128).
    made.lineBreakingForgedFingerprint = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:"
                                         "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
    const std::string forged = "/CN=localhost\xe2\x80\xa8\xe2\x80\xa9next\xc2\x85line\nnew\rback\ttab"
                               "/L=\xe2\x80\xa8SHA-256 fingerprint: " +
                               made.lineBreakingForgedFingerprint + "\xe2\x80\xa9\n\r\t\xe2\x80\xae";
    made.lineBreakingSubject = {dir + "/breaking.pem", dir + "/breaking.key", {}};
    RunOpenssl(dir,
               {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", made.lineBreakingSubject.keyFile, "-out",
                made.lineBreakingSubject.certFile, "-days", "2", "-utf8", "-subj", forged, "-addext", serverNames});
    made.lineBreakingSubject.fingerprint = Sha256OfCertificate(made.lineBreakingSubject.certFile);
    return made;
}

} // namespace

const TlsTestCerts& TestCerts()
{
    CertStore& store = Store();
    std::lock_guard<std::mutex> lock(store.mutex);
    if (store.certs)
        return *store.certs;
    std::string pattern = (fs::temp_directory_path() / "parcelo-certs.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("no temporary folder for the test certificates");
    // The servers under test may read the files as another user (vsftpd
    // reads them before it drops its rights, pyftpdlib as the test's user),
    // so the folder is readable; the keys guard nothing real.
    ::chmod(pattern.c_str(), 0755);
    try {
        store.certs = std::make_unique<TlsTestCerts>(MakeCerts(pattern));
        store.owner = ::getpid();
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(pattern, ignored);
        throw;
    }
    return *store.certs;
}
