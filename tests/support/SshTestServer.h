// A throwaway OpenSSH server for tests: Debian's sshd in the foreground,
// listening on 127.0.0.1, a port of its own, a host key made for it, key log-in only
// (the key held by an ssh-agent started with it), SFTP by internal-sftp
// with the log-in directory in the test's temporary folder. Everything it
// writes stays in that folder, which is removed with the object (sshd and
// the agent are stopped first).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>

class SshTestServer {
public:
    // nullptr with a reason when sshd or the client tools are missing.
    static std::unique_ptr<SshTestServer> Start(std::string& whyNot);
    ~SshTestServer();
    SshTestServer(const SshTestServer&) = delete;
    SshTestServer& operator=(const SshTestServer&) = delete;

    std::string Host() const { return "127.0.0.1"; }
    std::string PortText() const { return std::to_string(port_); }
    const std::string& User() const { return user_; }
    // The log-in directory (SFTP's "."), empty at the start.
    const std::string& Root() const { return root_; }
    // A known-hosts file that holds this server's key.
    const std::string& KnownHostsFile() const { return knownHosts_; }
    // The agent holding the user's key (SSH_AUTH_SOCK for the client).
    const std::string& AgentSocket() const { return agentSocket_; }
    // The test's folder (for files of the test's own).
    const std::string& Folder() const { return dir_; }
    // What sshd has logged (LogLevel VERBOSE).
    std::string Log() const;
    // Log-ins so far ("Accepted publickey" lines).
    int LoginCount() const;

private:
    SshTestServer() = default;
    std::string dir_, root_, user_, knownHosts_, agentSocket_, logFile_;
    int port_ = 0;
    pid_t sshd_ = -1, agent_ = -1;
};

// The scripted SFTP server (support/SftpScriptServer.py, Debian's
// python3-asyncssh) on 127.0.0.1, for faults: with mode "drop" it cuts the
// connection at a write beyond 64 KiB into a file, with "denied" it answers
// such writes "permission denied", with "nospace" with a failure saying
// "No space left on device", with "slow" it answers every write 0.1 s
// after the one before and logs the bytes answered so far
// ("acknowledged N", see AcknowledgedBytes) before each answer goes (any
// other mode: no fault). Key log-in for the
// keys in authorizedKeys and, when password is not empty, log-in with that
// password (given to the script in a file, never on its command line); the
// log-in directory is Root(), a temporary folder removed with the object.
class ScriptedSftpServer {
public:
    static std::unique_ptr<ScriptedSftpServer> Start(const std::string& mode, const std::string& authorizedKeys,
                                                     std::string& whyNot, const std::string& password = {});
    ~ScriptedSftpServer();
    ScriptedSftpServer(const ScriptedSftpServer&) = delete;
    ScriptedSftpServer& operator=(const ScriptedSftpServer&) = delete;

    std::string PortText() const { return std::to_string(port_); }
    const std::string& Root() const { return root_; }
    const std::string& KnownHostsFile() const { return knownHosts_; }
    // What the script wrote on standard error.
    std::string Log() const;
    // Password log-ins tried so far.
    int PasswordAttempts() const;
    // Mode "slow": the bytes of writes answered so far (logged before each
    // answer is sent).
    std::uint64_t AcknowledgedBytes() const;
    // The server's host key as its .pub file holds it ("ssh-ed25519 BASE64 ...").
    std::string HostKeyLine() const;

private:
    ScriptedSftpServer() = default;
    std::string dir_, root_, knownHosts_;
    int port_ = 0;
    pid_t pid_ = -1;
};
