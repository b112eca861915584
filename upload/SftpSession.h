// The SFTP client behind the session interface, over TSftpClient's public
// calls. The address's "sftp://" prefix and closing '/' are taken off the
// host. SFTP has no text mode: every file goes byte for byte.
#pragma once

#include "sftp/SftpClient.h"
#include "upload/UploadSession.h"

#include <string>
#include <vector>

class SftpSession : public UploadSession {
public:
    SftpSession();
    ~SftpSession() override;

    // For the settings the interface does not carry: the time-out, known
    // hosts, the agent, ssh's configuration and options.
    TSftpClient& Client() { return sftp_; }
    const TSftpClient& Client() const { return sftp_; }

    // Asks `events.trust` whether to trust a host key (kind SshHostKey);
    // false when nobody answers. The log-in asks it for a key that no
    // known-hosts file holds, when `events.trust` is set; without it ssh
    // refuses such a key itself.
    [[nodiscard]] bool AskHostKey(const std::string& host, const std::string& keyType, const std::string& fingerprint,
                                  const std::string& rememberedFingerprint);

    UploadProtocol Protocol() const override { return UploadProtocol::Sftp; }
    void SetLogin(const UploadLogin& login) override;
    bool Connected() const override;
    bool ServesSettings() const override;
    bool LogIn() override;
    bool ChangeDir(const std::string& dir) override;
    bool MakeDir(const std::string& dir) override;
    bool ListDirs(const std::string& dir, std::vector<std::string>& names) override;
    bool HasTextMode() const override { return false; }
    bool Store(const std::string& localPath, const std::string& remoteName) override;
    bool StoreFrom(const std::string& localPath, const std::string& remoteName, std::uint64_t offset) override;
    bool StatFile(const std::string& name, bool withTime, UploadRemoteFile& file) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool SetFileTime(const std::string& name, std::int64_t mtime) override;
    bool LinkBroken() const override;
    bool Quit() override;
    void Drop() override;
    std::string ErrorMessage() const override;

private:
    // What a session is made for; an open one serves only these settings.
    struct Identity {
        std::string host, port, user, password;
        std::string sshProgram, sshConfigFile, agentSocket;
        std::vector<std::string> knownHostsFiles, sshOptions;
        bool operator==(const Identity&) const = default;
    };
    Identity Current() const;

    TSftpClient sftp_;
    std::string password_;
    Identity openedFor_;
};

// The host of an "sftp://" address: without its prefix (in any case) and
// closing '/'.
[[nodiscard]] std::string SftpHostOfAddress(const std::string& address);
