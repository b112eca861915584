// The upload sequence on the session interface: over SFTP against a real
// OpenSSH server (and the scripted SFTP server for refused writes), and
// the session calls the window's picker will use (listing sub-directories)
// and the FTP session's events (dialogue, progress, certificate question)
// against pyftpdlib. Everything on 127.0.0.1.
#include <gtest/gtest.h>

#include "support/TestFiles.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ftp/Ftpcli.h"
#include "support/FtpRealServers.h"
#include "support/SshTestServer.h"
#include "support/TlsTestCerts.h"
#include "upload/FtpSession.h"
#include "upload/SftpSession.h"
#include "upload/UploadSequence.h"

namespace fs = std::filesystem;

namespace {

SshTestServer* server = nullptr;
std::string whyNoServer;

// Answers the sequence's questions as told and writes down, in order, what
// it reported.
struct Recorder {
    bool createDirectory = true;
    bool goOn = true;
    std::string log;
    std::string reasons; // the session's error at each failure
    std::vector<std::uint64_t> progressAtDone;
    std::uint64_t progress = 0;

    void Add(const std::string& what) { log += (log.empty() ? "" : "; ") + what; }

    UploadEvents Events(UploadSession& session)
    {
        session.events.progress = [this](std::uint64_t count) { progress = count; };
        UploadEvents e;
        e.loginFailed = [this, &session] {
            Add("login failed");
            reasons += session.ErrorMessage() + "\n";
        };
        e.createDirectory = [this] {
            Add("create?");
            return createDirectory;
        };
        e.directoryNotMade = [this] { Add("not made"); };
        e.stopOnTypeFailure = [this] {
            Add("type refused");
            return true;
        };
        e.fileStarting = [this](std::size_t i) {
            progress = 0;
            Add("start " + std::to_string(i));
        };
        e.fileFailed = [this, &session](std::size_t i, bool canGoOn) {
            Add("failed " + std::to_string(i) + (canGoOn ? "" : " last"));
            reasons += session.ErrorMessage() + "\n";
            return goOn;
        };
        e.stopped = [this](std::size_t i, bool wasLast) {
            Add("stopped " + std::to_string(i) + (wasLast ? " last" : ""));
        };
        e.fileDone = [this](std::size_t i) {
            progressAtDone.push_back(progress);
            Add("done " + std::to_string(i));
        };
        e.completing = [this] { Add("completing"); };
        e.lost = [this] { Add("lost"); };
        return e;
    }
};

class SessionSequence : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static std::unique_ptr<SshTestServer> s = SshTestServer::Start(whyNoServer);
        server = s.get();
    }
    void SetUp() override
    {
        if (!server) {
            if (std::getenv("CI"))
                FAIL() << "sshd could not start in CI: " << whyNoServer;
            GTEST_SKIP() << whyNoServer;
        }
        Prepare(sftp, server->PortText(), server->KnownHostsFile());
    }
    // A session for the test's sshd (or the scripted server on `port`):
    // the agent's key, the given known hosts, not the user's ssh
    // configuration; its dialogue goes to `dialogue`.
    void Prepare(SftpSession& session, const std::string& port, const std::string& knownHosts)
    {
        session.SetLogin({"sftp://127.0.0.1", port, server->User(), ""});
        session.Client().KnownHostsFiles = {knownHosts};
        session.Client().AgentSocket = server->AgentSocket();
        session.Client().SshConfigFile = "/dev/null";
        session.events.display = [this](const std::string& line) { dialogue += line + "\n"; };
    }
    std::string Local(const std::string& name, const std::string& data)
    {
        const std::string p = server->Folder() + "/local-" + name;
        std::ofstream(p, std::ios::binary) << data;
        return p;
    }

    SftpSession sftp;
    std::string dialogue;
};

// Several files in one session, in the order given, a folder row among
// them; a missing directory offered for creation (several levels of it
// too); a file the server
// refuses in the middle or at the end, and the user's answer.
TEST_F(SessionSequence, SftpJobsRunTheStepsOfTheWindowsJob)
{
    const std::string text = "one\r\ntwo\nthree";
    const std::string data = PatternBytes(100000), tail = PatternBytes(40000);
    const struct {
        const char* dir;
        bool exists;       // made before the job
        bool answerCreate; // to "create the directory?"
        int refusedAt;     // the file whose remote name is a directory there (-1: none)
        bool goOn;         // the answer to "try the rest?"
        UploadEnd end;
        const char* log;
        std::vector<int> stored;
    } cases[] = {
        {"made",
         false,
         true,
         -1,
         true,
         UploadEnd::Completed,
         "create?; start 0; done 0; start 1; done 1; start 3; done 3; start 4; done 4; completing",
         {0, 1, 3, 4}},
        // Two levels missing below one that exists: each is made.
        {"made/two/levels",
         false,
         true,
         -1,
         true,
         UploadEnd::Completed,
         "create?; start 0; done 0; start 1; done 1; start 3; done 3; start 4; done 4; completing",
         {0, 1, 3, 4}},
        {"refused", false, false, -1, true, UploadEnd::DirectoryMissing, "create?", {}},
        {"goes-on",
         true,
         true,
         1,
         true,
         UploadEnd::Completed,
         "start 0; done 0; start 1; failed 1; done 1; start 3; done 3; start 4; done 4; completing",
         {0, 3, 4}},
        {"stops", true, true, 1, false, UploadEnd::Stopped, "start 0; done 0; start 1; failed 1; stopped 1", {0}},
        {"last-fails",
         true,
         true,
         4,
         true,
         UploadEnd::Stopped,
         "start 0; done 0; start 1; done 1; start 3; done 3; start 4; failed 4 last; stopped 4 last",
         {0, 1, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        dialogue.clear();
        const std::string remote = server->Root() + "/" + c.dir;
        if (c.exists)
            fs::create_directory(remote);
        UploadJobDescription job;
        job.directory = c.dir;
        job.files = {
            {Local("notes.txt", text), "notes.txt", true, true},
            {Local("data.bin", data), "data.bin", false, true},
            {"", "", false, false}, // a folder row
            {Local("more.txt", "more\n"), "more.txt", true, true},
            {Local("last.bin", tail), "last.bin", false, true},
        };
        if (c.refusedAt >= 0) {
            job.files[static_cast<std::size_t>(c.refusedAt)].remoteName = "taken";
            fs::create_directory(remote + "/taken");
        }
        Recorder r;
        r.createDirectory = c.answerCreate;
        r.goOn = c.goOn;
        UploadEvents events = r.Events(sftp);
        const int logins = server->LoginCount();
        bool typeKnown = false;
        const UploadResult result = RunUpload(sftp, job, events, typeKnown);

        EXPECT_EQ(c.end, result.end);
        EXPECT_FALSE(result.quitFailed);
        EXPECT_EQ(c.log, r.log) << dialogue;
        EXPECT_EQ(logins + 1, server->LoginCount()) << "one session for the whole job";
        if (c.refusedAt >= 0) {
            EXPECT_NE(std::string::npos, r.reasons.find("taken")) << r.reasons;
        }
        // Sent byte for byte (ascii too); nothing of the rest.
        const std::string expected[] = {text, data, "", "more\n", tail};
        for (int i : {0, 1, 3, 4}) {
            const std::string& name = job.files[static_cast<std::size_t>(i)].remoteName;
            const bool stored = std::count(c.stored.begin(), c.stored.end(), i) > 0;
            if (stored) {
                EXPECT_EQ(expected[i], ReadFile(remote + "/" + name)) << name;
            } else if (name != "taken") {
                EXPECT_FALSE(fs::exists(remote + "/" + name)) << name;
            }
        }
        // Progress counts what the server took.
        if (c.end == UploadEnd::Completed && c.refusedAt < 0) {
            EXPECT_EQ((std::vector<std::uint64_t>{text.size(), data.size(), 5, tail.size()}), r.progressAtDone);
        }
        // Once per job, and only when files went.
        EXPECT_EQ(c.end == UploadEnd::DirectoryMissing ? 0u : 1u, CountOf(dialogue, SftpAsciiNote)) << dialogue;

        // The directory refused leaves the session open; everything else
        // ends it (QUIT, or dropped after the stop), with ssh reaped.
        EXPECT_EQ(c.end == UploadEnd::DirectoryMissing, sftp.Connected());
        sftp.Drop();
        EXPECT_FALSE(sftp.Connected());
        EXPECT_EQ(-1, sftp.Client().SshPid());
    }
}

// A session left open (the directory refused, or a listing) serves the next
// job only when it was made for exactly its settings; otherwise it is
// dropped and the job logs in again.
TEST_F(SessionSequence, AnOpenSftpSessionServesOnlyTheSettingsItWasMadeFor)
{
    const std::string copy = server->Folder() + "/known_hosts_copy";
    fs::copy_file(server->KnownHostsFile(), copy, fs::copy_options::overwrite_existing);
    enum class Then { Reused, NewLogIn, Refused };
    const struct {
        const char* change;
        std::function<void(SftpSession&)> apply;
        Then then;
    } cases[] = {
        {"nothing", [](SftpSession&) {}, Then::Reused},
        {"the address in capitals with a closing /",
         [](SftpSession& s) {
             s.SetLogin({"SFTP://127.0.0.1/", server->PortText(), server->User(), ""});
         },
         Then::Reused},
        {"the password",
         [](SftpSession& s) {
             s.SetLogin({"sftp://127.0.0.1", server->PortText(), server->User(), "pw"});
         },
         Then::NewLogIn},
        {"the known hosts", [&](SftpSession& s) { s.Client().KnownHostsFiles = {copy}; }, Then::NewLogIn},
        {"an ssh option", [](SftpSession& s) { s.Client().SshOptions = {"Compression=no"}; }, Then::NewLogIn},
        // Another name for the same machine is another host: its key is
        // not known under that name, so it is never reached through the
        // old session.
        {"the host",
         [](SftpSession& s) {
             s.SetLogin({"sftp://localhost", server->PortText(), server->User(), ""});
         },
         Then::Refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        SftpSession session;
        Prepare(session, server->PortText(), server->KnownHostsFile());
        ASSERT_TRUE(LogInUnlessOpen(session)) << session.ErrorMessage();
        const int logins = server->LoginCount();
        c.apply(session);
        EXPECT_EQ(c.then == Then::Reused, session.ServesSettings());
        EXPECT_EQ(c.then != Then::Refused, LogInUnlessOpen(session)) << session.ErrorMessage();
        EXPECT_EQ(logins + (c.then == Then::NewLogIn ? 1 : 0), server->LoginCount());
        EXPECT_EQ(c.then != Then::Refused, session.ServesSettings());
        session.Drop();
    }

    // Through the sequence: a job stopped at the directory leaves its
    // session to the next job, which makes the directory and sends.
    const int logins = server->LoginCount();
    UploadJobDescription job{{{Local("reuse.txt", "again"), "reuse.txt", false, true}}, "reused"};
    Recorder no;
    no.createDirectory = false;
    UploadEvents events = no.Events(sftp);
    bool typeKnown = false;
    ASSERT_EQ(UploadEnd::DirectoryMissing, RunUpload(sftp, job, events, typeKnown).end) << no.log;
    Recorder yes;
    events = yes.Events(sftp);
    EXPECT_EQ(UploadEnd::Completed, RunUpload(sftp, job, events, typeKnown).end) << yes.log;
    EXPECT_EQ(logins + 1, server->LoginCount());
    EXPECT_EQ("again", ReadFile(server->Root() + "/reused/reuse.txt"));
}

// Writes the server refuses (permission denied, no space) fail that file,
// and the job goes on with the next one in the same session; a connection
// cut in the middle of a file stops the job, whatever the user would say.
TEST_F(SessionSequence, ServerRefusalsInTheMiddleOfAnSftpJob)
{
    const struct {
        const char* mode;
        const char* says;
        UploadEnd end;
        const char* log;
    } cases[] = {
        {"denied", "permission denied", UploadEnd::Completed,
         "start 0; done 0; start 1; failed 1; done 1; start 2; done 2; completing"},
        {"nospace", "no space left on the server", UploadEnd::Completed,
         "start 0; done 0; start 1; failed 1; done 1; start 2; done 2; completing"},
        {"drop", "Connection lost", UploadEnd::Stopped, "start 0; done 0; start 1; failed 1 last; stopped 1 last"},
    };
    const std::string big = Local("big", PatternBytes(1024 * 1024));
    const std::string first = Local("first", "first"), second = Local("second", "second");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        std::string why;
        auto scripted = ScriptedSftpServer::Start(c.mode, server->Folder() + "/userkey.pub", why);
        if (!scripted) {
            if (std::getenv("CI"))
                FAIL() << why;
            GTEST_SKIP() << why;
        }
        SftpSession session;
        Prepare(session, scripted->PortText(), scripted->KnownHostsFile());
        UploadJobDescription job{
            {{first, "first", false, true}, {big, "big", false, true}, {second, "second", false, true}}, ""};
        Recorder r;
        UploadEvents events = r.Events(session);
        bool typeKnown = false;
        EXPECT_EQ(c.end, RunUpload(session, job, events, typeKnown).end) << scripted->Log();
        EXPECT_EQ(c.log, r.log) << dialogue;
        EXPECT_NE(std::string::npos, r.reasons.find(c.says)) << r.reasons;
        EXPECT_EQ("first", ReadFile(scripted->Root() + "/first"));
        EXPECT_EQ(c.end == UploadEnd::Completed ? "second" : "", ReadFile(scripted->Root() + "/second"));
        EXPECT_FALSE(session.Connected());
        EXPECT_EQ(-1, session.Client().SshPid());
    }
}

// The picker's call: the sub-directories of a directory, hidden ones left
// out, and the session back where it was; over SFTP and over FTP.
TEST_F(SessionSequence, BothSessionsListSubDirectoriesAndStayWhereTheyWere)
{
    std::string why;
    auto ftpServer = StartPyftpdlib(why);
    struct Side {
        UploadSession* session;
        std::string root;
    };
    FtpSession ftp;
    std::vector<Side> sides = {{&sftp, server->Root()}};
    if (ftpServer) {
        ftp.SetLogin({ftpServer->Host(), ftpServer->PortText(), ftpServer->User(), ftpServer->Password()});
        ftp.Client().SetPassive(true);
        sides.push_back({&ftp, ftpServer->Root()});
    } else {
        ADD_FAILURE() << "pyftpdlib: " << why;
    }
    for (const Side& side : sides) {
        SCOPED_TRACE(side.session->Protocol() == UploadProtocol::Ftp ? "FTP" : "SFTP");
        fs::create_directories(side.root + "/list/one/inner");
        fs::create_directories(side.root + "/list/two words");
        fs::create_directories(side.root + "/list/.hidden");
        std::ofstream(side.root + "/list/a file") << "x";
        UploadSession& s = *side.session;
        ASSERT_TRUE(LogInUnlessOpen(s)) << s.ErrorMessage();
        std::vector<std::string> names;
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(s.ListDirs("list", names)) << s.ErrorMessage();
            std::sort(names.begin(), names.end());
            EXPECT_EQ((std::vector<std::string>{"one", "two words"}), names);
            ASSERT_TRUE(s.ListDirs("list/one", names)) << s.ErrorMessage();
            EXPECT_EQ((std::vector<std::string>{"inner"}), names);
        }
        EXPECT_FALSE(s.ListDirs("no such", names));
        EXPECT_TRUE(names.empty());
        EXPECT_TRUE(s.Connected());
        EXPECT_TRUE(s.ListDirs("list/one/inner", names)) << s.ErrorMessage();
        EXPECT_TRUE(names.empty());
        EXPECT_TRUE(s.Quit());
    }
}

// The FTP session with a client of its own reports the client's dialogue,
// progress and certificate question through the session's events.
TEST_F(SessionSequence, FtpSessionReportsDialogueProgressAndTheCertificateQuestion)
{
    std::string why;
    const TlsTestCerts* certs = nullptr;
    try {
        certs = &TestCerts();
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    auto ftpServer = StartPyftpdlib(why, 0, {FtpTlsMode::Explicit, certs->selfSigned});
    if (!ftpServer)
        GTEST_SKIP() << why;
    const std::string data = PatternBytes(300000);
    UploadJobDescription job{{{Local("tls.bin", data), "tls.bin", false, true}}, ftpServer->UploadDir()};

    for (bool trust : {false, true}) {
        SCOPED_TRACE(trust ? "trusted" : "not trusted");
        FtpSession ftp;
        ftp.SetLogin({"ftpes://127.0.0.1", ftpServer->PortText(), ftpServer->User(), ftpServer->Password()});
        ftp.Client().SetPassive(true);
        std::string lines;
        ftp.events.display = [&lines](const std::string& line) { lines += line + "\n"; };
        std::vector<UploadTrustQuestion> asked;
        ftp.events.trust = [&](const UploadTrustQuestion& q) {
            asked.push_back(q);
            EXPECT_NE(nullptr, q.certificate);
            return trust;
        };
        Recorder r;
        UploadEvents events = r.Events(ftp);
        bool typeKnown = false;
        const UploadResult result = RunUpload(ftp, job, events, typeKnown);

        ASSERT_EQ(1u, asked.size());
        EXPECT_EQ(UploadTrustQuestion::Kind::TlsCertificate, asked[0].kind);
        EXPECT_EQ(certs->selfSigned.fingerprint, asked[0].fingerprint);
        EXPECT_EQ("127.0.0.1", asked[0].host);
        EXPECT_NE(std::string::npos, lines.find("> AUTH TLS")) << lines;
        EXPECT_EQ(std::string::npos, lines.find(SftpAsciiNote));
        if (!trust) {
            EXPECT_EQ(UploadEnd::LoginFailed, result.end);
            EXPECT_EQ("login failed", r.log);
            continue;
        }
        EXPECT_EQ(UploadEnd::Completed, result.end) << r.log << "\n" << lines;
        EXPECT_NE(std::string::npos, lines.find("> TYPE I")) << lines;
        EXPECT_EQ((std::vector<std::uint64_t>{data.size()}), r.progressAtDone);
        EXPECT_EQ(data, ReadFile(ftpServer->StoredPath("tls.bin")));
    }
}

TEST(UploadAddress, TheAddressSaysTheProtocol)
{
    const struct {
        const char* address;
        UploadProtocol protocol;
    } cases[] = {
        {"sftp://host", UploadProtocol::Sftp}, {"SFTP://host", UploadProtocol::Sftp},
        {"sftp:/host", UploadProtocol::Ftp},   {"host", UploadProtocol::Ftp},
        {"ftpes://host", UploadProtocol::Ftp}, {"ftps://host", UploadProtocol::Ftp},
        {"sftp", UploadProtocol::Ftp},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.protocol, ProtocolOfAddress(c.address)) << c.address;
        EXPECT_EQ(c.protocol, MakeUploadSession(c.address)->Protocol()) << c.address;
    }
    EXPECT_EQ("host", SftpHostOfAddress("sftp://host//"));
}

} // namespace
