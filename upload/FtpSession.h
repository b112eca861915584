// The FTP client behind the session interface. It uses only the client's
// public calls: the settings go into the client's properties, each step is
// one of TFtpClient's blocking calls.
#pragma once

#include "upload/UploadSession.h"

#include <memory>

class TFtpClient;

class FtpSession : public UploadSession {
public:
    // A session with a client of its own, whose dialogue lines, progress
    // and certificate questions go to `events`.
    FtpSession();
    // A session over a client the caller owns and keeps alive. The client's
    // events are left as they are (the window answers them itself) unless
    // RouteClientEvents() is called.
    explicit FtpSession(TFtpClient& client);
    ~FtpSession() override;

    // Sets the client's OnDisplay, OnProgress and OnVerifyCertificate to
    // report through `events`.
    void RouteClientEvents();
    TFtpClient& Client() { return ftp_; }
    const TFtpClient& Client() const { return ftp_; }

    UploadProtocol Protocol() const override { return UploadProtocol::Ftp; }
    void SetLogin(const UploadLogin& login) override;
    bool Connected() const override;
    bool ServesSettings() const override;
    bool LogIn() override;
    bool ChangeDir(const std::string& dir) override;
    bool MakeDir(const std::string& dir) override;
    bool ListDirs(const std::string& dir, std::vector<std::string>& names) override;
    bool HasTextMode() const override { return true; }
    bool SendsAscii() const override;
    bool SetType(bool ascii) override;
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
    // Sends `command` (Quote); true when the reply has the code `want`.
    bool Command(const std::string& command, int want);

    std::unique_ptr<TFtpClient> own_;
    // FEAT was read on this session, and whether it lists MFMT.
    bool featRead_ = false;
    bool hasMfmt_ = false;
    TFtpClient& ftp_;
};

// The sub-directories a LIST reply names, in its order: lines that start
// with 'd'; in the long format (rights, links, owner, [group,] size, date)
// the name is everything after the date, elsewhere the text after the last
// blank. Names starting with '.' are left out. The listing ends at a NUL.
[[nodiscard]] std::vector<std::string> FtpListedDirectories(const std::string& listing);

// The time of an MDTM reply ("213 YYYYMMDDHHMMSS[.fff]", UTC) in seconds
// since 1970; 0 when it is not one.
[[nodiscard]] std::int64_t FtpMdtmTime(const std::string& reply);
// A time as MFMT and MDTM write it: YYYYMMDDHHMMSS, UTC.
[[nodiscard]] std::string FtpTimeText(std::int64_t time);
