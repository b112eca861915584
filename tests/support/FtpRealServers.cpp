#include "support/FtpRealServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/RunProgram.h"

#ifndef PARCELO_TESTS_DIR
#error "PARCELO_TESTS_DIR must name the tests folder"
#endif

namespace fs = std::filesystem;

namespace {

// A TLS set-up needs a certificate and its key to present.
bool TlsIncomplete(const FtpServerTls& tls, std::string& whyNot)
{
    if (tls.mode == FtpTlsMode::None || (!tls.cert.certFile.empty() && !tls.cert.keyFile.empty()))
        return false;
    whyNot = "TLS asked for without a certificate and key";
    return true;
}

std::string MakeTempDir(const char* tag)
{
    std::string pattern = (fs::temp_directory_path() / (std::string("parcelo-") + tag + ".XXXXXX")).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        return {};
    ::chmod(buf.data(), 0755);
    return buf.data();
}

// A port that was free a moment ago (bind port 0 and read it back).
// The loopback address of the family, port set.
sockaddr_storage Loopback(FtpListen listen, int port, socklen_t& len)
{
    sockaddr_storage sa{};
    if (listen == FtpListen::IPv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&sa);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&sa);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *a;
    }
    return sa;
}

int FreePort(FtpListen listen = FtpListen::IPv4)
{
    socklen_t len = 0;
    sockaddr_storage a = Loopback(listen, 0, len);
    int s = ::socket(a.ss_family, SOCK_STREAM, 0);
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0) {
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(listen == FtpListen::IPv6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    }
    ::close(s);
    return port;
}

bool Accepts(int port, FtpListen listen = FtpListen::IPv4)
{
    socklen_t len = 0;
    sockaddr_storage a = Loopback(listen, port, len);
    int s = ::socket(a.ss_family, SOCK_STREAM, 0);
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), len) == 0;
    ::close(s);
    return ok;
}

bool Exited(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

// Starts argv in a process group of its own; with outFd, its standard
// output goes to a pipe whose read end is returned there.
pid_t Spawn(const std::vector<std::string>& args, int* outFd)
{
    int pipeFds[2] = {-1, -1};
    if (outFd && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(outFd ? pipeFds[1] : devnull, 1);
        ::dup2(devnull, 2);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (outFd) {
        ::close(pipeFds[1]);
        *outFd = pipeFds[0];
    }
    if (pid > 0)
        ::setpgid(pid, pid);
    return pid;
}

// Starts args (a server that listens on 127.0.0.1:port, or [::1]:port) and
// waits up to five seconds for it to accept; false when it exits or does
// not.
bool SpawnListening(const std::vector<std::string>& args, int port, pid_t& pid, FtpListen listen = FtpListen::IPv4)
{
    pid = Spawn(args, nullptr);
    if (pid < 0)
        return false;
    for (int i = 0; i < 250; ++i) {
        if (Accepts(port, listen))
            return true;
        if (Exited(pid)) {
            pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
    return false;
}

// The system's ftp account (made by vsftpd's package): it owns the folders
// that take uploads, and the unpacked servers run their users as it.
struct FtpAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string group;
};

bool FindFtpAccount(FtpAccount& account, std::string& whyNot)
{
    const passwd* pw = ::getpwnam("ftp");
    if (!pw || pw->pw_uid == 0) {
        whyNot = "no ftp user on this machine";
        return false;
    }
    account.uid = pw->pw_uid;
    account.gid = pw->pw_gid;
    const group* gr = ::getgrgid(pw->pw_gid);
    account.group = gr ? gr->gr_name : "nogroup";
    return true;
}

// A crypt(3) hash of password (SHA-512), as /etc/shadow holds them.
std::string CryptHash(const std::string& password)
{
    ProgramResult r = RunProgram("/usr/bin/openssl", {"passwd", "-6", password});
    std::string hash = r.out.substr(0, r.out.find('\n'));
    return r.status == 0 && hash.rfind("$6$", 0) == 0 ? hash : std::string();
}

std::string UnpackedProgram(const std::string& relative, const char* what, std::string& whyNot)
{
    const std::string path = UnpackedServersDir() + "/" + relative;
    if (::access(path.c_str(), X_OK) != 0) {
        whyNot = std::string(what) + " is not unpacked at " + path + " (run scripts/install-test-servers.sh)";
        return {};
    }
    return path;
}

// The log-in directory root, with the folder "upload" in it that the ftp
// account owns.
bool MakeUploadRoot(const std::string& root, const FtpAccount& ftp, std::string& whyNot)
{
    std::error_code ec;
    fs::create_directories(root + "/upload", ec);
    if (ec || ::chown((root + "/upload").c_str(), ftp.uid, ftp.gid) != 0) {
        whyNot = "cannot hand the upload folder to the ftp user (not root?)";
        return false;
    }
    return true;
}

} // namespace

std::string UnpackedServersDir()
{
    const char* dir = std::getenv("PARCELO_TEST_SERVERS");
    return dir && *dir ? dir : "/opt/parcelo-test-servers";
}

FtpRealServer::~FtpRealServer()
{
    if (pid_ > 0) {
        ::kill(-pid_, stopSignal_);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    if (!tempDir_.empty()) {
        std::error_code ec;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(tempDir_, ec);
    }
}

std::string FtpRealServer::StoredPath(const std::string& name) const
{
    return uploadDir_.empty() ? root_ + "/" + name : root_ + "/" + uploadDir_ + "/" + name;
}

std::string FtpRealServer::Log() const
{
    std::string all;
    for (const std::string& file : logFiles_) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        all += "--- " + file + "\n" + text.str();
    }
    return all;
}

std::unique_ptr<FtpRealServer> StartVsftpd(std::string& whyNot, const FtpServerTls& tls, FtpListen listen)
{
    const char* binary = "/usr/sbin/vsftpd";
    if (TlsIncomplete(tls, whyNot))
        return nullptr;
    if (::access(binary, X_OK) != 0) {
        whyNot = "vsftpd is not installed";
        return nullptr;
    }
    std::unique_ptr<FtpRealServer> server(new FtpRealServer());
    server->name_ = "vsftpd";
    server->tlsMode_ = tls.mode;
    server->listen_ = listen;
    server->tempDir_ = MakeTempDir("vsftpd");
    if (server->tempDir_.empty()) {
        whyNot = "no temporary folder";
        return nullptr;
    }
    // vsftpd refuses a writable anonymous root, so uploads go into a
    // sub-folder owned by the ftp user.
    server->root_ = server->tempDir_ + "/root";
    fs::create_directories("/var/run/vsftpd/empty");
    FtpAccount ftp;
    if (!FindFtpAccount(ftp, whyNot) || !MakeUploadRoot(server->root_, ftp, whyNot))
        return nullptr;
    ::chmod(server->root_.c_str(), 0555);
    server->user_ = "anonymous";
    server->password_ = "parcelo@example.org";
    server->uploadDir_ = "upload";

    for (int attempt = 0; attempt < 5; ++attempt) {
        int port = FreePort(listen);
        std::string conf = server->tempDir_ + "/vsftpd.conf";
        std::ofstream out(conf, std::ios::trunc);
        if (listen == FtpListen::IPv6)
            out << "background=NO\nlisten=NO\nlisten_ipv6=YES\nlisten_address6=::1\n";
        else
            out << "background=NO\nlisten=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                << "pasv_address=127.0.0.1\n";
        out << "listen_port=" << port << "\n"
            << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
            << "secure_chroot_dir=/var/run/vsftpd/empty\n"
            << "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
            << "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
            << "anon_other_write_enable=YES\nanon_umask=022\n"
            << "anon_root=" << server->root_ << "\n"
            << "pasv_enable=YES\npasv_min_port=0\npasv_max_port=0\n"
            << "port_enable=YES\nconnect_from_port_20=NO\n"
            << "xferlog_enable=NO\ndirmessage_enable=NO\nmax_clients=0\nmax_per_ip=0\n"
            << "pasv_promiscuous=NO\nport_promiscuous=NO\n";
        if (tls.mode != FtpTlsMode::None) {
            // The fixture logs in anonymously, so the anonymous user is the
            // one that must use TLS for the log-in and for every transfer.
            // require_ssl_reuse keeps its default (YES).
            out << "ssl_enable=YES\n"
                << "rsa_cert_file=" << tls.cert.certFile << "\nrsa_private_key_file=" << tls.cert.keyFile << "\n"
                << "allow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
                << "force_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
                << "implicit_ssl=" << (tls.mode == FtpTlsMode::Implicit ? "YES" : "NO") << "\n";
        }
        out.close();
        if (SpawnListening({binary, conf}, port, server->pid_, listen)) {
            server->port_ = port;
            return server;
        }
    }
    whyNot = "vsftpd did not start";
    return nullptr;
}

std::unique_ptr<FtpRealServer> StartPyftpdlib(std::string& whyNot, int readLimit, const FtpServerTls& tls,
                                              FtpListen listen)
{
    const char* python = "/usr/bin/python3";
    if (TlsIncomplete(tls, whyNot))
        return nullptr;
    if (::access(python, X_OK) != 0 || ::access("/usr/lib/python3/dist-packages/pyftpdlib", R_OK) != 0) {
        whyNot = "python3-pyftpdlib is not installed";
        return nullptr;
    }
    if (tls.mode != FtpTlsMode::None && ::access("/usr/lib/python3/dist-packages/OpenSSL", R_OK) != 0) {
        whyNot = "python3-openssl (which pyftpdlib's TLS needs) is not installed";
        return nullptr;
    }
    std::unique_ptr<FtpRealServer> server(new FtpRealServer());
    server->name_ = "pyftpdlib";
    server->tlsMode_ = tls.mode;
    server->listen_ = listen;
    server->tempDir_ = MakeTempDir("pyftpd");
    if (server->tempDir_.empty()) {
        whyNot = "no temporary folder";
        return nullptr;
    }
    server->root_ = server->tempDir_ + "/root";
    fs::create_directories(server->root_ + "/upload");
    server->user_ = "parcelo";
    server->password_ = "s3cret pass";
    server->uploadDir_ = "upload";
    int out = -1;
    std::vector<std::string> argv{python, std::string(PARCELO_TESTS_DIR) + "/support/FtpPyServer.py"};
    if (listen == FtpListen::IPv6)
        argv.push_back("--ipv6");
    argv.insert(argv.end(), {server->root_, server->user_, server->password_});
    argv.push_back(std::to_string(readLimit));
    if (tls.mode != FtpTlsMode::None) {
        argv.push_back(tls.mode == FtpTlsMode::Implicit ? "implicit" : "explicit");
        argv.push_back(tls.cert.certFile);
        argv.push_back(tls.cert.keyFile);
    }
    pid_t pid = Spawn(argv, &out);
    if (pid < 0) {
        whyNot = "cannot start python3";
        return nullptr;
    }
    server->pid_ = pid;
    std::string line;
    pollfd p{out, POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 15000) > 0) {
        char buf[64];
        ssize_t r = ::read(out, buf, sizeof buf);
        if (r <= 0)
            break;
        line.append(buf, static_cast<size_t>(r));
    }
    ::close(out);
    server->port_ = std::atoi(line.c_str());
    if (server->port_ <= 0) {
        whyNot = "pyftpdlib did not report its port";
        return nullptr;
    }
    return server;
}

std::unique_ptr<FtpRealServer> StartPureFtpd(std::string& whyNot, const FtpServerTls& tls)
{
    if (TlsIncomplete(tls, whyNot))
        return nullptr;
    if (tls.mode == FtpTlsMode::Implicit) {
        whyNot = "pure-ftpd offers explicit TLS only";
        return nullptr;
    }
    const std::string binary = UnpackedProgram("usr/sbin/pure-ftpd", "pure-ftpd", whyNot);
    const std::string purePw = binary.empty() ? std::string() : UnpackedProgram("usr/bin/pure-pw", "pure-pw", whyNot);
    FtpAccount ftp;
    if (purePw.empty() || !FindFtpAccount(ftp, whyNot))
        return nullptr;
    std::unique_ptr<FtpRealServer> server(new FtpRealServer());
    server->name_ = "pure-ftpd";
    server->tlsMode_ = tls.mode;
    server->tempDir_ = MakeTempDir("pureftpd");
    if (server->tempDir_.empty()) {
        whyNot = "no temporary folder";
        return nullptr;
    }
    server->root_ = server->tempDir_ + "/root";
    if (!MakeUploadRoot(server->root_, ftp, whyNot))
        return nullptr;
    server->user_ = "parcelo";
    server->password_ = "s3cret pass";
    server->uploadDir_ = "upload";

    // A virtual user in pure-ftpd's own database (the format pure-pw
    // writes), running as the ftp account, locked into the root ("/./").
    const std::string hash = CryptHash(server->password_);
    if (hash.empty()) {
        whyNot = "openssl passwd failed";
        return nullptr;
    }
    const std::string passwdFile = server->tempDir_ + "/pureftpd.passwd";
    const std::string dbFile = server->tempDir_ + "/pureftpd.pdb";
    std::ofstream(passwdFile) << server->user_ << ":" << hash << ":" << ftp.uid << ":" << ftp.gid
                              << "::" << server->root_ << "/./::::::::::::\n";
    if (RunProgram(purePw, {"mkdb", dbFile, "-f", passwdFile}).status != 0) {
        whyNot = "pure-pw mkdb failed";
        return nullptr;
    }

    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = FreePort();
        // No syslog (-f none), no name look-ups (-H), no anonymous log-in
        // (-E); passive replies name 127.0.0.1 (-P). -Y 3: TLS required for
        // the log-in and for every data connection.
        std::vector<std::string> args{
            binary, "-S",       "127.0.0.1," + std::to_string(port), "-l", "puredb:" + dbFile, "-E", "-H", "-f", "none",
            "-P",   "127.0.0.1"};
        if (tls.mode == FtpTlsMode::Explicit)
            args.insert(args.end(), {"-Y", "3", "-2", tls.cert.certFile + "," + tls.cert.keyFile});
        if (SpawnListening(args, port, server->pid_)) {
            server->port_ = port;
            return server;
        }
    }
    whyNot = "pure-ftpd did not start";
    return nullptr;
}

std::unique_ptr<FtpRealServer> StartProftpd(std::string& whyNot, const FtpServerTls& tls)
{
    if (TlsIncomplete(tls, whyNot))
        return nullptr;
    const std::string binary = UnpackedProgram("usr/sbin/proftpd", "proftpd", whyNot);
    const std::string modules = UnpackedServersDir() + "/usr/lib/proftpd";
    if (!binary.empty() && tls.mode != FtpTlsMode::None && ::access((modules + "/mod_tls.so").c_str(), R_OK) != 0) {
        whyNot = "proftpd's mod_tls is not unpacked in " + modules + " (run scripts/install-test-servers.sh)";
        return nullptr;
    }
    FtpAccount ftp;
    if (binary.empty() || !FindFtpAccount(ftp, whyNot))
        return nullptr;
    std::unique_ptr<FtpRealServer> server(new FtpRealServer());
    server->name_ = "proftpd";
    server->stopSignal_ = SIGKILL;
    server->tlsMode_ = tls.mode;
    server->tempDir_ = MakeTempDir("proftpd");
    if (server->tempDir_.empty()) {
        whyNot = "no temporary folder";
        return nullptr;
    }
    server->root_ = server->tempDir_ + "/root";
    if (!MakeUploadRoot(server->root_, ftp, whyNot))
        return nullptr;
    server->user_ = "parcelo";
    server->password_ = "s3cret pass";
    server->uploadDir_ = "upload";
    const std::string& dir = server->tempDir_;
    server->logFiles_ = {dir + "/system.log"};
    if (tls.mode != FtpTlsMode::None)
        server->logFiles_.push_back(dir + "/tls.log");

    // A user of its own in a passwd-format file (proftpd refuses one that
    // others can read), running as the ftp account, locked into the root.
    const std::string hash = CryptHash(server->password_);
    if (hash.empty()) {
        whyNot = "openssl passwd failed";
        return nullptr;
    }
    std::ofstream(dir + "/passwd") << server->user_ << ":" << hash << ":" << ftp.uid << ":" << ftp.gid
                                   << "::" << server->root_ << ":/bin/false\n";
    std::ofstream(dir + "/group") << ftp.group << ":x:" << ftp.gid << ":\n";
    ::chmod((dir + "/passwd").c_str(), 0600);
    ::chmod((dir + "/group").c_str(), 0600);

    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = FreePort();
        const std::string conf = dir + "/proftpd.conf";
        std::ofstream out(conf, std::ios::trunc);
        out << "ServerType standalone\nServerName \"Parcelo test\"\n"
            << "Port " << port << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
            << "User ftp\nGroup " << ftp.group << "\nUmask 022\nAllowOverwrite on\nDefaultRoot ~\n"
            << "PidFile " << dir << "/proftpd.pid\nScoreboardFile " << dir << "/proftpd.scoreboard\n"
            << "SystemLog " << dir << "/system.log\n"
            << "WtmpLog off\nUseLastlog off\nUseReverseDNS off\nUseFtpUsers off\n"
            << "DelayEngine off\nDelayTable none\nMaxInstances 100\n"
            << "AuthOrder mod_auth_file.c\nAuthUserFile " << dir << "/passwd\nAuthGroupFile " << dir << "/group\n"
            << "RequireValidShell off\n";
        if (tls.mode != FtpTlsMode::None) {
            // mod_tls at its defaults but for what the test set-up needs:
            // TLS required for the log-in and for every data connection,
            // and (default) the data connection must resume the control
            // connection's session.
            out << "ModulePath " << modules << "\nLoadModule mod_tls.c\n"
                << "TLSEngine on\nTLSRequired on\nTLSVerifyClient off\n"
                << "TLSRSACertificateFile " << tls.cert.certFile << "\n"
                << "TLSRSACertificateKeyFile " << tls.cert.keyFile << "\n"
                << "TLSLog " << dir << "/tls.log\n";
            if (tls.mode == FtpTlsMode::Implicit)
                out << "TLSOptions UseImplicitSSL\n";
        }
        out.close();
        // -n: in the foreground; -q: quiet on standard error.
        if (SpawnListening({binary, "-n", "-q", "-c", conf}, port, server->pid_)) {
            server->port_ = port;
            return server;
        }
    }
    whyNot = "proftpd did not start: " + server->Log();
    return nullptr;
}
