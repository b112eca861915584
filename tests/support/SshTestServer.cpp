#include "support/SshTestServer.h"

#include "support/RunProgram.h"

#include <arpa/inet.h>

#include <fcntl.h>
#include <netinet/in.h>
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

namespace fs = std::filesystem;

namespace {

int FreePort()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        socklen_t len = sizeof a;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ::close(s);
    return port;
}

bool Accepts(int port)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// Starts args with standard error going to errFile (or /dev/null) and,
// when given, SSH_AUTH_SOCK set; in a process group of its own.
pid_t Spawn(const std::vector<std::string>& args, const std::string& errFile = {}, const std::string& agentSocket = {})
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        int devnull = ::open("/dev/null", O_RDWR);
        int err = errFile.empty() ? devnull : ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(err, 2);
        if (!agentSocket.empty())
            ::setenv("SSH_AUTH_SOCK", agentSocket.c_str(), 1);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exited(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

void Stop(pid_t& pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    WaitExit(pid);
    pid = -1;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Up to five seconds for a condition that a starting program makes true.
template <class F> bool Within5s(F ready)
{
    for (int i = 0; i < 500; ++i) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

std::unique_ptr<SshTestServer> SshTestServer::Start(std::string& whyNot)
{
    for (const char* tool :
         {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen", "/usr/bin/ssh-agent", "/usr/bin/ssh-add"}) {
        if (::access(tool, X_OK) != 0) {
            whyNot = std::string(tool) + " is not installed (openssh-server, openssh-client)";
            return nullptr;
        }
    }
    std::unique_ptr<SshTestServer> s(new SshTestServer());
    std::string pattern = (fs::temp_directory_path() / "parcelo-sshd.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        whyNot = "cannot make a temporary folder";
        return nullptr;
    }
    s->dir_ = pattern;
    s->root_ = s->dir_ + "/root";
    fs::create_directory(s->root_);
    passwd* pw = ::getpwuid(::getuid());
    if (!pw) {
        whyNot = "no user name for this user id";
        return nullptr;
    }
    s->user_ = pw->pw_name;

    const std::string hostKey = s->dir_ + "/hostkey", userKey = s->dir_ + "/userkey";
    for (const std::string& key : {hostKey, userKey}) {
        if (WaitExit(Spawn(
                {"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "parcelo-test", "-f", key})) != 0) {
            whyNot = "ssh-keygen failed";
            return nullptr;
        }
    }
    std::ofstream(s->dir_ + "/authorized_keys") << ReadFile(userKey + ".pub");
    s->port_ = FreePort();
    std::ofstream(s->dir_ + "/known_hosts") << "[127.0.0.1]:" << s->port_ << " " << ReadFile(hostKey + ".pub");
    s->knownHosts_ = s->dir_ + "/known_hosts";

    const std::string config = s->dir_ + "/sshd_config";
    std::ofstream(config) << "Port " << s->port_ << "\n"
                          << "ListenAddress 127.0.0.1\n"
                          << "HostKey " << hostKey << "\n"
                          << "PidFile " << s->dir_ << "/sshd.pid\n"
                          << "AuthorizedKeysFile " << s->dir_ << "/authorized_keys\n"
                          << "PermitRootLogin prohibit-password\n"
                          << "PasswordAuthentication no\n"
                          << "KbdInteractiveAuthentication no\n"
                          << "UsePAM no\n"
                          << "StrictModes no\n"
                          << "LogLevel VERBOSE\n"
                          << "Subsystem sftp internal-sftp -d " << s->root_ << "\n";
    // sshd's privilege separation wants this folder (no service uses it here).
    ::mkdir("/run/sshd", 0755);
    s->logFile_ = s->dir_ + "/sshd.log";
    s->sshd_ = Spawn({"/usr/sbin/sshd", "-D", "-e", "-f", config}, s->logFile_);
    if (!Within5s([&] { return Exited(s->sshd_) ? (s->sshd_ = -1, true) : Accepts(s->port_); }) || s->sshd_ < 0) {
        whyNot = "sshd did not start: " + ReadFile(s->logFile_);
        return nullptr;
    }

    s->agentSocket_ = s->dir_ + "/agent.sock";
    s->agent_ = Spawn({"/usr/bin/ssh-agent", "-D", "-a", s->agentSocket_});
    if (!Within5s([&] { return fs::exists(s->agentSocket_); })) {
        whyNot = "ssh-agent did not start";
        return nullptr;
    }
    if (WaitExit(Spawn({"/usr/bin/ssh-add", "-q", userKey}, {}, s->agentSocket_)) != 0) {
        whyNot = "ssh-add failed";
        return nullptr;
    }
    return s;
}

SshTestServer::~SshTestServer()
{
    Stop(sshd_);
    Stop(agent_);
    std::error_code ignored;
    if (!dir_.empty())
        fs::remove_all(dir_, ignored);
}

std::string SshTestServer::Log() const
{
    return ReadFile(logFile_);
}

int SshTestServer::LoginCount() const
{
    const std::string log = Log();
    int n = 0;
    for (std::size_t p = 0; (p = log.find("Accepted publickey", p)) != std::string::npos; ++p)
        ++n;
    return n;
}

std::unique_ptr<ScriptedSftpServer> ScriptedSftpServer::Start(const std::string& mode,
                                                              const std::string& authorizedKeys, std::string& whyNot,
                                                              const std::string& password)
{
    if (::access("/usr/bin/python3", X_OK) != 0 ||
        WaitExit(Spawn({"/usr/bin/python3", "-c", "import asyncssh"})) != 0) {
        whyNot = "python3-asyncssh is not installed";
        return nullptr;
    }
    std::unique_ptr<ScriptedSftpServer> s(new ScriptedSftpServer());
    std::string pattern = (fs::temp_directory_path() / "parcelo-sftp-script.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        whyNot = "cannot make a temporary folder";
        return nullptr;
    }
    s->dir_ = pattern;
    s->root_ = s->dir_ + "/root";
    fs::create_directory(s->root_);
    const std::string hostKey = s->dir_ + "/hostkey";
    if (WaitExit(Spawn({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", hostKey})) != 0) {
        whyNot = "ssh-keygen failed";
        return nullptr;
    }
    const std::string passwordFile = password.empty() ? std::string() : s->dir_ + "/password";
    if (!password.empty()) {
        std::ofstream f(passwordFile, std::ios::binary);
        f << password;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        whyNot = "cannot make a pipe";
        return nullptr;
    }
    s->pid_ = ::fork();
    if (s->pid_ == 0) {
        ::setpgid(0, 0);
        int devnull = ::open("/dev/null", O_RDWR);
        int err = ::open((s->dir_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(devnull, 0);
        ::dup2(out[1], 1);
        ::dup2(err, 2);
        const std::string script = std::string(PARCELO_TESTS_DIR) + "/support/SftpScriptServer.py";
        ::execl("/usr/bin/python3", "/usr/bin/python3", script.c_str(), hostKey.c_str(), authorizedKeys.c_str(),
                s->root_.c_str(), mode.c_str(), passwordFile.empty() ? nullptr : passwordFile.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    // The first line is the port; an end before it means the script failed.
    s->port_ = ReadPortLine(out[0]);
    if (s->port_ <= 0) {
        whyNot = "the scripted SFTP server did not start: " + s->Log();
        return nullptr;
    }
    std::ofstream(s->dir_ + "/known_hosts") << "[127.0.0.1]:" << s->port_ << " " << ReadFile(hostKey + ".pub");
    s->knownHosts_ = s->dir_ + "/known_hosts";
    return s;
}

ScriptedSftpServer::~ScriptedSftpServer()
{
    Stop(pid_);
    std::error_code ignored;
    if (!dir_.empty())
        fs::remove_all(dir_, ignored);
}

std::string ScriptedSftpServer::Log() const
{
    return ReadFile(dir_ + "/server.log");
}

int ScriptedSftpServer::PasswordAttempts() const
{
    const std::string log = Log();
    int n = 0;
    for (std::size_t p = 0; (p = log.find("password attempt", p)) != std::string::npos; ++p)
        ++n;
    return n;
}

std::uint64_t ScriptedSftpServer::AcknowledgedBytes() const
{
    const std::string log = Log();
    const std::string word = "acknowledged ";
    const std::size_t p = log.rfind(word);
    return p == std::string::npos ? 0 : std::strtoull(log.c_str() + p + word.size(), nullptr, 10);
}

std::string ScriptedSftpServer::HostKeyLine() const
{
    return ReadFile(dir_ + "/hostkey.pub");
}
