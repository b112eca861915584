// Broken links, resumed files, the size check, the temporary name, files
// that exist already and their times: the upload sequence against vsftpd,
// pyftpdlib and sshd behind a proxy that breaks the connection, and against
// the scripted FTP server for the replies real servers do not give.
// Everything on 127.0.0.1.
#include <gtest/gtest.h>

#include "support/TestFiles.h"

#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/CuttingProxy.h"
#include "support/FtpRealServers.h"
#include "support/RunProgram.h"
#include "support/SshTestServer.h"
#include "upload/FtpSession.h"
#include "upload/SftpSession.h"
#include "upload/UploadSequence.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MiB = 1024 * 1024;

std::int64_t MTime(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtime) : -1;
}

void SetMTime(const std::string& path, std::int64_t time)
{
    struct utimbuf times { };
    times.actime = times.modtime = static_cast<time_t>(time);
    ::utime(path.c_str(), &times);
}

// The kinds of real server the cases run on.
enum class Server { Vsftpd, Pyftpdlib, PureFtpd, Proftpd, Sshd };

const char* Name(Server s)
{
    switch (s) {
    case Server::Vsftpd: return "vsftpd";
    case Server::Pyftpdlib: return "pyftpdlib";
    case Server::PureFtpd: return "pureftpd";
    case Server::Proftpd: return "proftpd";
    case Server::Sshd: return "sshd";
    }
    return "?";
}

// One real server, a session for it (optionally through a cutting proxy)
// and where its stored files are on this machine.
class Target {
public:
    // Starts the server; false (with `why`) when it cannot run here.
    bool Start(Server kind, std::string& why)
    {
        kind_ = kind;
        if (kind == Server::Sshd) {
            ssh_ = SshTestServer::Start(why);
            return ssh_ != nullptr;
        }
        switch (kind) {
        case Server::Vsftpd: ftp_ = StartVsftpd(why); break;
        case Server::PureFtpd: ftp_ = StartPureFtpd(why); break;
        case Server::Proftpd: ftp_ = StartProftpd(why); break;
        default: ftp_ = StartPyftpdlib(why); break;
        }
        return ftp_ != nullptr;
    }
    // A new session; through `proxy` when given.
    std::unique_ptr<UploadSession> Session(const CuttingProxy* proxy = nullptr)
    {
        dialogue.clear();
        if (ssh_) {
            auto s = std::make_unique<SftpSession>();
            const std::string port = proxy ? proxy->PortText() : ssh_->PortText();
            s->SetLogin({"sftp://127.0.0.1", port, ssh_->User(), ""});
            std::string knownHosts = ssh_->KnownHostsFile();
            if (proxy) {
                // The proxy's port carries the same host key.
                knownHosts = ssh_->Folder() + "/known_hosts_proxy";
                std::string line = ReadFile(ssh_->KnownHostsFile());
                const std::string from = "[127.0.0.1]:" + ssh_->PortText();
                line.replace(line.find(from), from.size(), "[127.0.0.1]:" + port);
                std::ofstream(knownHosts) << line;
            }
            s->Client().KnownHostsFiles = {knownHosts};
            s->Client().AgentSocket = ssh_->AgentSocket();
            s->Client().SshConfigFile = "/dev/null";
            s->events.display = [this](const std::string& l) { dialogue += l + "\n"; };
            return s;
        }
        auto s = std::make_unique<FtpSession>();
        s->SetLogin({"127.0.0.1", proxy ? proxy->PortText() : ftp_->PortText(), ftp_->User(), ftp_->Password()});
        s->Client().SetPassive(true);
        s->events.display = [this](const std::string& l) { dialogue += l + "\n"; };
        return s;
    }
    int Port() const { return std::stoi(ssh_ ? ssh_->PortText() : ftp_->PortText()); }
    CuttingProxy::Kind ProxyKind() const { return ssh_ ? CuttingProxy::Kind::Stream : CuttingProxy::Kind::Ftp; }
    // The upload directory, relative to the log-in directory.
    std::string Directory() const { return ssh_ ? "up" : ftp_->UploadDir(); }
    std::string Stored(const std::string& name) const
    {
        if (ssh_) {
            fs::create_directories(ssh_->Root() + "/up");
            return ssh_->Root() + "/up/" + name;
        }
        return ftp_->StoredPath(name);
    }
    std::string Local(const std::string& name, const std::string& data) const
    {
        const std::string p = folder_ + "/" + name;
        std::ofstream(p, std::ios::binary) << data;
        return p;
    }
    Server Kind() const { return kind_; }
    // proftpd takes REST before STOR but, by default, refuses the store
    // that would continue a file.
    bool RefusesToContinue() const { return kind_ == Server::Proftpd; }
    std::string Log() const { return ssh_ ? ssh_->Log() : ftp_->Log(); }

    std::string dialogue;

private:
    struct Folder {
        std::string path;
        Folder()
        {
            std::string pattern = (fs::temp_directory_path() / "parcelo-resume.XXXXXX").string();
            if (::mkdtemp(pattern.data()))
                path = pattern;
        }
        ~Folder()
        {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } own_;
    std::string folder_ = own_.path;
    Server kind_ = Server::Vsftpd;
    std::unique_ptr<FtpRealServer> ftp_;
    std::unique_ptr<SshTestServer> ssh_;
};

// The events of a script: go on after a failure, count what happened.
struct Answers {
    std::vector<std::string> log;
    int waits = 0;
    std::function<ExistsAnswer(std::size_t)> exists;

    UploadEvents Events()
    {
        UploadEvents e;
        e.loginFailed = [this] { log.push_back("login failed"); };
        e.createDirectory = [] { return false; };
        e.directoryNotMade = [] {};
        e.stopOnTypeFailure = [] { return true; };
        e.fileStarting = [this](std::size_t i) { log.push_back("start " + std::to_string(i)); };
        e.fileFailed = [this](std::size_t i, bool) {
            log.push_back("failed " + std::to_string(i));
            return true;
        };
        e.stopped = [this](std::size_t i, bool) { log.push_back("stopped " + std::to_string(i)); };
        e.fileDone = [this](std::size_t i) { log.push_back("done " + std::to_string(i)); };
        e.completing = [] {};
        e.lost = [this] { log.push_back("lost"); };
        e.waitBeforeRetry = [this](int, int, int) {
            ++waits;
            return true;
        };
        e.fileExists = [this](std::size_t i, std::uint64_t, std::int64_t) {
            return exists ? exists(i) : ExistsAnswer::Yes;
        };
        e.fileSkipped = [this](std::size_t i) { log.push_back("skipped " + std::to_string(i)); };
        return e;
    }
};

bool MustRun()
{
    return std::getenv("CI") != nullptr;
}

#define START_OR_SKIP(target, kind)                                                                                    \
    do {                                                                                                               \
        std::string why_;                                                                                              \
        if (!(target).Start((kind), why_)) {                                                                           \
            if (MustRun())                                                                                             \
                FAIL() << Name(kind) << ": " << why_;                                                                  \
            GTEST_SKIP() << Name(kind) << ": " << why_;                                                                \
        }                                                                                                              \
    } while (0)

class RealServerResume : public ::testing::TestWithParam<Server> { };

// A 20 MiB file whose link breaks at 5 MiB: once, it completes byte for
// byte with one resume from what the server has; every time, with two
// retries, it fails after them, and with a temporary name only the
// partial copy under that name is left.
TEST_P(RealServerResume, BrokenLinkIsResumedOrGivenUpAfterTheRetries)
{
    Target target;
    START_OR_SKIP(target, GetParam());
    const std::string data = PatternBytes(20 * MiB);
    const struct {
        const char* what;
        int cuts; // connections broken (-1: every one)
        const char* suffix;
        bool completes;
    } cases[] = {
        {"broken once", 1, "", true},
        {"broken once, temporary name", 1, ".part", true},
        {"broken every time", -1, ".part", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = std::string("big-") + (c.suffix[0] ? "part" : "plain") + (c.completes ? "" : "-x");
        std::string why;
        auto proxy = CuttingProxy::Start(target.ProxyKind(), target.Port(), 5 * MiB, c.cuts, why);
        ASSERT_TRUE(proxy) << why;
        auto session = target.Session(proxy.get());
        Answers answers;
        std::uint64_t firstProgress = 0, lastProgress = 0;
        bool sawPartial = false;
        const std::string stored = target.Stored(name);
        session->events.progress = [&](std::uint64_t n) {
            if (firstProgress == 0 && answers.waits > 0)
                firstProgress = n; // the first count after the break
            lastProgress = n;
            sawPartial = sawPartial || (c.suffix[0] && fs::exists(stored));
        };
        UploadJobDescription job({{target.Local(name, data), name, false, true}}, target.Directory());
        job.policy.retries = 2;
        job.policy.retryDelaysSeconds = {0};
        job.policy.tempSuffix = c.suffix;
        UploadEvents events = answers.Events();
        bool typeKnown = false;
        const UploadResult result = RunUpload(*session, job, events, typeKnown);
        const std::string& d = target.dialogue;

        EXPECT_FALSE(sawPartial) << "the real name appeared before the end";
        if (c.completes) {
            EXPECT_EQ(UploadEnd::Completed, result.end) << d << proxy->Log();
            EXPECT_EQ(1, proxy->Cuts());
            EXPECT_EQ(1, answers.waits);
            EXPECT_EQ(data, ReadFile(stored));
            EXPECT_FALSE(fs::exists(stored + c.suffix) && c.suffix[0]);
            EXPECT_EQ(1u, CountOf(d, "! Resuming " + name + " at ")) << d;
            if (target.RefusesToContinue()) {
                // It takes the restart point, refuses the store that would
                // continue, and takes the whole file.
                EXPECT_EQ(1u, CountOf(d, "! The server will not continue " + name + c.suffix +
                                             "; sending it again from the start"))
                    << d;
                EXPECT_EQ(data.size(), lastProgress);
                EXPECT_EQ(1u, CountOf(d, "! Size checked: " + name + c.suffix + " has 20971520 bytes")) << d;
                EXPECT_TRUE(result.failed.empty());
                continue;
            }
            // What the server had was kept: the resume starts past 0, at
            // most where the link broke, and the count goes on from there.
            const std::string offsetText = d.substr(d.find("! Resuming ") + 11 + name.size() + 4);
            const std::uint64_t offset = std::stoull(offsetText);
            RecordProperty(std::string("resumed_at_") + (c.suffix[0] ? "part" : "plain"), std::to_string(offset));
            EXPECT_GT(offset, 0u);
            EXPECT_LE(offset, 5 * MiB);
            EXPECT_EQ(1u, CountOf(d, target.Kind() == Server::Sshd ? "(from offset " + std::to_string(offset) + ")"
                                                                   : "> REST " + std::to_string(offset)))
                << d;
            EXPECT_GE(firstProgress, offset);
            EXPECT_EQ(data.size(), lastProgress);
            EXPECT_EQ(1u, CountOf(d, "! Size checked: " + name + c.suffix + " has 20971520 bytes")) << d;
            EXPECT_TRUE(result.failed.empty());
        } else {
            EXPECT_EQ(UploadEnd::Stopped, result.end) << d;
            EXPECT_EQ(3, proxy->Cuts()) << "the first try and two retries";
            EXPECT_EQ(2, answers.waits);
            EXPECT_EQ((std::vector<std::size_t>{0}), result.failed);
            EXPECT_NE(std::string::npos, d.find("! Giving up on " + name + " after 2 attempts")) << d;
            EXPECT_FALSE(fs::exists(stored)) << "a partial file under the real name";
            // pure-ftpd removes the partial file of an upload whose
            // connection broke; the others keep it for the next try.
            if (target.Kind() != Server::PureFtpd) {
                EXPECT_TRUE(fs::exists(stored + c.suffix));
            }
            if (fs::exists(stored + c.suffix)) {
                EXPECT_LT(fs::file_size(stored + c.suffix), data.size());
            }
        }
    }
}

// The temporary name replaces a file the server has, once the upload is
// complete; if-exists Skip leaves a copy with the same size and a time not
// older, and sends one that differs; keep-time gives the server's copy the
// local time where the server offers it (vsftpd has no MFMT: nothing is
// sent and the file still counts as stored).
TEST_P(RealServerResume, TemporaryNameIfExistsAndKeepTime)
{
    Target target;
    START_OR_SKIP(target, GetParam());
    const std::string data = PatternBytes(300000, 1), other = PatternBytes(1000, 2);
    const std::string stored = target.Stored("kept.bin");
    std::ofstream(stored, std::ios::binary) << "old contents";
    const std::string local = target.Local("kept.bin", data);
    const std::int64_t past = 1577880000; // 2020-01-01 12:00 UTC
    SetMTime(local, past);
    const bool setsTime = target.Kind() != Server::Vsftpd;

    // The first job replaces the old copy through the temporary name.
    {
        auto session = target.Session();
        UploadJobDescription job({{local, "kept.bin", false, true}}, target.Directory());
        job.policy.tempSuffix = ".part";
        job.policy.keepTime = true;
        Answers answers;
        UploadEvents events = answers.Events();
        bool typeKnown = false;
        EXPECT_EQ(UploadEnd::Completed, RunUpload(*session, job, events, typeKnown).end) << target.dialogue;
        EXPECT_EQ(data, ReadFile(stored)) << target.dialogue;
        EXPECT_FALSE(fs::exists(stored + ".part"));
        if (setsTime)
            EXPECT_EQ(past, MTime(stored)) << target.dialogue;
        else
            EXPECT_EQ(std::string::npos, target.dialogue.find("MFMT")) << target.dialogue;
    }
    // Then Skip: the same file stays (its copy is not older, whether its
    // time was kept or is the upload's); a changed one goes.
    const struct {
        const char* what;
        const std::string* contents;
        bool skipped;
    } cases[] = {{"same", &data, true}, {"changed", &other, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = target.Local("kept.bin", *c.contents);
        SetMTime(path, past);
        auto session = target.Session();
        UploadJobDescription job({{path, "kept.bin", false, true}}, target.Directory());
        job.policy.ifExists = IfExists::Skip;
        Answers answers;
        UploadEvents events = answers.Events();
        bool typeKnown = false;
        const UploadResult result = RunUpload(*session, job, events, typeKnown);
        EXPECT_EQ(UploadEnd::Completed, result.end) << target.dialogue;
        EXPECT_EQ(c.skipped ? std::vector<std::size_t>{0} : std::vector<std::size_t>{}, result.skipped)
            << target.dialogue;
        EXPECT_EQ(*c.contents, ReadFile(stored));
    }
}

// A temporary file left by an earlier job continues only when it was
// written after the local file last changed and is shorter than it; one
// that is older, or already as long as the file (its bytes may be of
// another version), is sent again from the start. Either way the server
// ends with the local bytes.
TEST_P(RealServerResume, LeftOverTemporaryFileContinuesOnlyWhenCurrent)
{
    Target target;
    START_OR_SKIP(target, GetParam());
    const std::string data = PatternBytes(200000, 6);
    const std::int64_t localTime = 1577880000, before = localTime - 86400, after = localTime + 86400;
    const struct {
        const char* what;
        std::string leftOver;
        std::int64_t time;
        bool resumed;
    } cases[] = {
        {"older and shorter", data.substr(0, 50000), before, false},
        {"newer and shorter", data.substr(0, 50000), after, true},
        {"newer, as long, other bytes", PatternBytes(200000, 7), after, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string stored = target.Stored("left.bin");
        std::ofstream(stored + ".part", std::ios::binary) << c.leftOver;
        // As if the server had written it (vsftpd's anonymous user is not
        // this test's).
        fs::permissions(stored + ".part", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                              fs::perms::group_write | fs::perms::others_read |
                                              fs::perms::others_write);
        SetMTime(stored + ".part", c.time);
        const std::string local = target.Local("left.bin", data);
        SetMTime(local, localTime);
        target.dialogue.clear();
        auto session = target.Session();
        UploadJobDescription job({{local, "left.bin", false, true}}, target.Directory());
        job.policy.tempSuffix = ".part";
        Answers answers;
        UploadEvents events = answers.Events();
        bool typeKnown = false;
        EXPECT_EQ(UploadEnd::Completed, RunUpload(*session, job, events, typeKnown).end) << target.dialogue;
        EXPECT_TRUE(ReadFile(stored) == data) << target.dialogue;
        EXPECT_EQ(c.resumed, target.dialogue.find("! Resuming left.bin at 50000 bytes") != std::string::npos)
            << target.dialogue;
        fs::remove(stored);
    }
}

// A folder's tree is made before its files, empty folders included, and
// a file goes into its sub-directory (through its temporary name too); a
// second job finds the folders there already and still stores.
TEST_P(RealServerResume, FolderTreeIsMadeBeforeItsFiles)
{
    Target target;
    START_OR_SKIP(target, GetParam());
    const std::string data = PatternBytes(70000, 5);
    const std::string base = fs::path(target.Stored("x")).parent_path().string();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "made" : "there already");
        auto session = target.Session();
        UploadJobDescription job({{target.Local("a.bin", data), "tree/sub/a.bin", false, true}}, target.Directory(), {},
                                 {"tree", "tree/sub", "tree/empty"});
        job.policy.tempSuffix = ".part";
        Answers answers;
        UploadEvents events = answers.Events();
        bool typeKnown = false;
        const UploadResult result = RunUpload(*session, job, events, typeKnown);
        EXPECT_EQ(UploadEnd::Completed, result.end) << target.dialogue;
        EXPECT_TRUE(result.failed.empty());
        EXPECT_EQ(data, ReadFile(base + "/tree/sub/a.bin")) << target.dialogue;
        EXPECT_FALSE(fs::exists(base + "/tree/sub/a.bin.part"));
        EXPECT_TRUE(fs::is_directory(base + "/tree/empty"));
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerResume,
                         ::testing::Values(Server::Vsftpd, Server::Pyftpdlib, Server::PureFtpd, Server::Proftpd,
                                           Server::Sshd),
                         [](const ::testing::TestParamInfo<Server>& p) { return std::string(Name(p.param)); });

// ftpput's options through the real program against pyftpdlib: each row
// runs it once and checks its exit status, its dialogue and the server's
// copy.
TEST(FtpputOptions, RetriesTemporaryNameIfExistsAndKeepTime)
{
    std::string why;
    auto server = StartPyftpdlib(why);
    if (!server) {
        if (MustRun())
            FAIL() << why;
        GTEST_SKIP() << why;
    }
    Target files; // only its local folder
    const std::string data = PatternBytes(6 * MiB, 3);
    const std::string local = files.Local("opt.bin", data);
    const std::int64_t past = 1577880000;
    SetMTime(local, past);
    const std::string stored = server->StoredPath("opt.bin");
    const struct {
        const char* what;
        std::vector<std::string> options;
        int cuts; // connections the proxy breaks at 5 MiB (0: no proxy)
        int status;
        std::vector<std::string> shown;    // in the dialogue
        std::vector<std::string> notShown; // not in the dialogue
        bool stored;                       // the server has the file whole afterwards
    } cases[] = {
        {"bad --retries", {"--retries", "many"}, 0, 2, {}, {}, false},
        {"bad --if-exists", {"--if-exists", "ask"}, 0, 2, {}, {}, false},
        {"bad --temp-suffix", {"--temp-suffix", "a/b"}, 0, 2, {}, {}, false},
        {"no retries", {"--retries", "0"}, 1, 1, {}, {"trying again"}, false},
        {"one retry resumes",
         {"--retries", "1", "--passive"},
         1,
         0,
         {"! Connection lost; trying again in 2 s (attempt 1 of 1)", "> REST ", "! Size checked: opt.bin has"},
         {},
         true},
        {"temporary name and time",
         {"--temp-suffix", ".up", "--keep-time"},
         0,
         0,
         {"> STOR opt.bin.up", "> RNFR opt.bin.up", "> RNTO opt.bin", "> MFMT 20200101120000 opt.bin"},
         {},
         true},
        {"skipped when there", {"--if-exists", "skip"}, 0, 0, {"! Skipped opt.bin"}, {"> STOR"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ignored;
        if (!c.stored || c.cuts)
            fs::remove(stored, ignored);
        std::unique_ptr<CuttingProxy> proxy;
        if (c.cuts) {
            proxy = CuttingProxy::Start(CuttingProxy::Kind::Ftp, std::stoi(server->PortText()), 5 * MiB, c.cuts, why);
            ASSERT_TRUE(proxy) << why;
        }
        std::vector<std::string> args = c.options;
        if (proxy && std::find(args.begin(), args.end(), "--passive") == args.end())
            args.push_back("--passive");
        for (const std::string& a : {server->Host(), proxy ? proxy->PortText() : server->PortText(), server->User(),
                                     server->Password(), server->UploadDir(), local})
            args.push_back(a);
        const ProgramResult run = RunProgram(FTPPUT_PATH, args);
        EXPECT_EQ(c.status, run.status) << run.out;
        for (const std::string& text : c.shown)
            EXPECT_NE(std::string::npos, run.out.find(text)) << text << "\n" << run.out;
        for (const std::string& text : c.notShown)
            EXPECT_EQ(std::string::npos, run.out.find(text)) << text << "\n" << run.out;
        if (c.stored) {
            EXPECT_EQ(data, ReadFile(stored));
        }
        if (std::find(c.options.begin(), c.options.end(), "--keep-time") != c.options.end()) {
            EXPECT_EQ(past, MTime(stored));
        }
    }
}

} // namespace
