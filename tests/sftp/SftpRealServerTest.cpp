// The SFTP client against a real OpenSSH server on 127.0.0.1 (sshd and an
// ssh-agent of the test; see support/SshTestServer.h): log-in, the
// directory requests, files stored byte for byte, many files in one
// session, a connection cut in the middle of a file, names refused before
// ssh runs, and nothing left behind (no child, no descriptor).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "sftp/SftpClient.h"
#include "sftp/SftpHostKey.h"
#include "support/SshTestServer.h"

namespace fs = std::filesystem;

namespace {

SshTestServer* server = nullptr;

class SftpRealServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        static std::unique_ptr<SshTestServer> s = SshTestServer::Start(why);
        server = s.get();
        if (!server)
            whyNot = why;
    }
    void SetUp() override
    {
        if (!server) {
            if (std::getenv("CI"))
                FAIL() << "sshd could not start in CI: " << whyNot;
            GTEST_SKIP() << whyNot;
        }
        client.Host = server->Host();
        client.Port = server->PortText();
        client.User = server->User();
        client.KnownHostsFiles = {server->KnownHostsFile()};
        client.AgentSocket = server->AgentSocket();
        client.SshConfigFile = "/dev/null"; // not the user's ~/.ssh/config
        client.OnDisplay = [this](const std::string& line) { dialogue += line + "\n"; };
    }
    // The local file `name` with `data` in the test's folder.
    std::string Local(const std::string& name, const std::string& data)
    {
        std::string p = server->Folder() + "/local-" + name;
        std::ofstream(p, std::ios::binary) << data;
        return p;
    }
    static std::string Read(const std::string& path)
    {
        std::ifstream f(path, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    static inline std::string whyNot;
    TSftpClient client;
    std::string dialogue;
};

std::string Pattern(std::size_t size)
{
    std::string s(size, '\0');
    std::uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

int OpenDescriptors()
{
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd"))
        (void)e, ++n;
    return n;
}

TEST_F(SftpRealServer, FilesOfEverySizeArriveByteForByte)
{
    ASSERT_TRUE(client.Connect()) << client.ErrorMessage() << "\n" << dialogue;
    EXPECT_EQ(fs::canonical(server->Root()).string(), client.CurrentDir());
    const std::size_t sizes[] = {0, 1, 32 * 1024 - 1, 32 * 1024, 32 * 1024 + 1, 20 * 1024 * 1024};
    for (std::size_t size : sizes) {
        const std::string data = Pattern(size);
        const std::string name = "f" + std::to_string(size);
        client.LocalFile = Local(name, data);
        client.HostFile = name;
        std::uint64_t last = 0;
        bool monotonic = true;
        client.OnProgress = [&](std::uint64_t n) {
            monotonic &= n > last && n <= size;
            last = n;
        };
        ASSERT_TRUE(client.Store()) << size << ": " << client.ErrorMessage();
        EXPECT_TRUE(monotonic) << size;
        EXPECT_EQ(size, client.ProgressCount());
        EXPECT_TRUE(Read(server->Root() + "/" + name) == data) << size << " bytes differ";
    }
    client.OnProgress = nullptr;
    // Storing again truncates: a shorter file is not left with the old tail.
    client.LocalFile = Local("short", "abc");
    client.HostFile = "f32769";
    ASSERT_TRUE(client.Store());
    EXPECT_EQ("abc", Read(server->Root() + "/f32769"));
    EXPECT_TRUE(client.Quit());
}

TEST_F(SftpRealServer, NamesWithBlanksUtf8AndOtherBytesAreKept)
{
    const std::vector<std::string> names = {"with blanks.txt", "gr\xc3\xbc\xc3\x9f \xe6\x97\xa5\xe6\x9c\xac.txt",
                                            "latin1 \xe9t\xe9"};
    for (const std::string& n : names)
        fs::create_directory(server->Root() + "/dir " + n);
    std::ofstream(server->Root() + "/plain file") << "x";
    ASSERT_TRUE(client.Connect()) << client.ErrorMessage();
    for (const std::string& n : names) {
        client.LocalFile = Local("n", n);
        client.HostFile = n;
        ASSERT_TRUE(client.Store()) << n << ": " << client.ErrorMessage();
        EXPECT_EQ(n, Read(server->Root() + "/" + n));
    }
    client.DirName = "";
    ASSERT_TRUE(client.ListDirs()) << client.ErrorMessage();
    std::vector<std::string> expected;
    for (const std::string& n : names)
        expected.push_back("dir " + n);
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> got;
    for (const std::string& d : client.DirNames())
        if (d.rfind("dir ", 0) == 0)
            got.push_back(d);
    EXPECT_EQ(expected, got) << "only directories, names as bytes";
    // Listing a sub-directory by its name with a blank.
    fs::create_directory(server->Root() + "/dir with blanks.txt/inner");
    client.DirName = "dir with blanks.txt";
    ASSERT_TRUE(client.ListDirs());
    EXPECT_EQ(std::vector<std::string>{"inner"}, client.DirNames());
    // Links: one to a directory is listed as one, one to a file or to
    // nothing is not.
    const std::string inner = server->Root() + "/dir with blanks.txt/";
    fs::create_directory_symlink(server->Root() + "/dir latin1 \xe9t\xe9", inner + "to a dir");
    std::ofstream(inner + "file") << "x";
    fs::create_symlink(inner + "file", inner + "to a file");
    fs::create_symlink(inner + "gone", inner + "to nothing");
    ASSERT_TRUE(client.ListDirs()) << client.ErrorMessage();
    EXPECT_EQ((std::vector<std::string>{"inner", "to a dir"}), client.DirNames());
    client.DirName = "no such dir";
    EXPECT_FALSE(client.ListDirs());
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("no such file")) << client.ErrorMessage();
    EXPECT_TRUE(client.Quit());
}

TEST_F(SftpRealServer, MissingDirectoryIsMadeThenUsed)
{
    ASSERT_TRUE(client.Connect()) << client.ErrorMessage();
    const std::string home = client.CurrentDir();
    client.DirName = "new dir";
    EXPECT_FALSE(client.ChangeDir());
    EXPECT_EQ(sftp::FX_NO_SUCH_FILE, client.ErrorCode()) << client.ErrorMessage();
    EXPECT_EQ(home, client.CurrentDir()) << "a failed change leaves the directory";
    ASSERT_TRUE(client.MakeDir()) << client.ErrorMessage();
    EXPECT_FALSE(client.MakeDir()) << "it exists now";
    ASSERT_TRUE(client.ChangeDir()) << client.ErrorMessage();
    EXPECT_EQ(home + "/new dir", client.CurrentDir());
    client.LocalFile = Local("in-new", "payload");
    client.HostFile = "in new.txt";
    ASSERT_TRUE(client.Store()) << client.ErrorMessage();
    EXPECT_EQ("payload", Read(server->Root() + "/new dir/in new.txt"));

    // A file is no directory to change into; a store into a missing
    // directory fails and says why.
    client.DirName = "in new.txt";
    EXPECT_FALSE(client.ChangeDir());
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("not a directory")) << client.ErrorMessage();
    client.HostFile = "nowhere/x.txt";
    EXPECT_FALSE(client.Store());
    EXPECT_EQ(sftp::FX_NO_SUCH_FILE, client.ErrorCode()) << client.ErrorMessage();
    // An unreadable local file fails before anything is sent.
    client.LocalFile = server->Folder() + "/no-such-local-file";
    client.HostFile = "y.txt";
    EXPECT_FALSE(client.Store());
    EXPECT_FALSE(fs::exists(server->Root() + "/new dir/y.txt"));
    client.DirName = "..";
    ASSERT_TRUE(client.ChangeDir());
    EXPECT_EQ(home, client.CurrentDir());
    EXPECT_TRUE(client.Quit());
}

TEST_F(SftpRealServer, TwoHundredFilesInOneSessionAndNothingLeftBehind)
{
    const int before = OpenDescriptors();
    const int loginsBefore = server->LoginCount();
    fs::create_directory(server->Root() + "/many");
    ASSERT_TRUE(client.Connect()) << client.ErrorMessage();
    const pid_t ssh = client.SshPid();
    ASSERT_GT(ssh, 0);
    client.DirName = "many";
    ASSERT_TRUE(client.ChangeDir());
    for (int i = 0; i < 200; ++i) {
        const std::string name = "file" + std::to_string(i);
        client.LocalFile = Local("many", name);
        client.HostFile = name;
        ASSERT_TRUE(client.Store()) << name << ": " << client.ErrorMessage();
    }
    ASSERT_TRUE(client.Quit());
    int count = 0;
    for (const auto& e : fs::directory_iterator(server->Root() + "/many"))
        count += Read(e.path().string()) == e.path().filename().string();
    EXPECT_EQ(200, count);
    EXPECT_EQ(loginsBefore + 1, server->LoginCount()) << server->Log();
    // ssh is reaped (no zombie), and its pipes are closed.
    EXPECT_EQ(-1, client.SshPid());
    EXPECT_EQ(-1, ::waitpid(ssh, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
    EXPECT_EQ(0, WatchedDescriptorCount());
    EXPECT_EQ(before, OpenDescriptors());
}

TEST_F(SftpRealServer, ConnectionCutInTheMiddleOfAFileIsAFailure)
{
    ASSERT_TRUE(client.Connect()) << client.ErrorMessage();
    const std::string data = Pattern(8 * 1024 * 1024);
    client.LocalFile = Local("cut", data);
    client.HostFile = "cut";
    bool cut = false;
    client.OnProgress = [&](std::uint64_t) {
        if (!cut && client.SshPid() > 0)
            ::kill(client.SshPid(), SIGKILL); // the link goes away mid-file
        cut = true;
    };
    EXPECT_FALSE(client.Store());
    EXPECT_EQ(sftp::FX_CONNECTION_LOST, client.ErrorCode());
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("Connection lost")) << client.ErrorMessage();
    EXPECT_LT(client.ProgressCount(), data.size());
    EXPECT_FALSE(client.MakeDir()) << "the session is over";
    EXPECT_TRUE(client.Quit());
    EXPECT_EQ(-1, client.SshPid());
}

TEST_F(SftpRealServer, UnknownHostKeyIsRefused)
{
    const std::string empty = server->Folder() + "/empty_known_hosts";
    std::ofstream(empty).close();
    client.KnownHostsFiles = {empty};
    EXPECT_FALSE(client.Connect());
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("Cannot log in")) << client.ErrorMessage();
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("Host key verification failed")) << dialogue;
    EXPECT_EQ(0, Read(empty).size()) << "nothing recorded without a question";
    EXPECT_TRUE(client.Quit());
}

// A host or user that ssh could read as an option, or that holds a blank or
// a control character, is refused before ssh is started.
TEST_F(SftpRealServer, ArgumentsThatCouldBeOptionsAreRefusedBeforeSshRuns)
{
    const std::string marker = server->Folder() + "/proxy-ran";
    const struct {
        std::string host, user;
    } cases[] = {
        {"-oProxyCommand=touch " + marker, server->User()},
        {"-oProxyCommand=touch" + marker, server->User()},
        {server->Host(), "-oProxyCommand=touch" + marker},
        {"127.0.0.1 -v", server->User()},
        {server->Host(), "a\tb"},
        {"host\nname", server->User()},
        {"", server->User()},
        {server->Host(), ""},
    };
    for (const auto& c : cases) {
        client.Host = c.host;
        client.User = c.user;
        EXPECT_FALSE(client.Connect()) << c.host << " / " << c.user;
        EXPECT_NE(std::string::npos, client.ErrorMessage().find("Refused")) << client.ErrorMessage();
        EXPECT_EQ(-1, client.SshPid());
        EXPECT_FALSE(client.Connected());
    }
    EXPECT_FALSE(fs::exists(marker));
    client.Host = server->Host();
    client.User = server->User();
    client.Port = "22x";
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(-1, client.SshPid());
}

// ftpput's sftp:// form, with the agent and Parcelo's known-hosts file
// under a configuration folder of the test; standard output and error
// together.
struct PutResult {
    int status = -1;
    std::string out;
};

PutResult RunFtpput(const std::vector<std::string>& args, const std::string& configHome, bool withAgent = true)
{
    int out[2];
    if (::pipe(out) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::close(out[0]);
        ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        if (withAgent)
            ::setenv("SSH_AUTH_SOCK", server->AgentSocket().c_str(), 1);
        else
            ::unsetenv("SSH_AUTH_SOCK");
        std::vector<char*> argv{const_cast<char*>(FTPPUT_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(FTPPUT_PATH, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    PutResult r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The folder named by the dialogue line of a host key ftpput took for the
// call ("> host key accepted: ..., recorded in FILE"); empty when there is none.
std::string RecordedIn(const std::string& out)
{
    const std::string word = ", recorded in ";
    const std::size_t p = out.find(word);
    if (out.find("> host key accepted: ") == std::string::npos || p == std::string::npos)
        return {};
    const std::size_t end = out.find('\n', p);
    return out.substr(p + word.size(), end == std::string::npos ? std::string::npos : end - p - word.size());
}

TEST_F(SftpRealServer, FtpputSendsOverSftpAndPinsTheHostKey)
{
    // The server's key as ssh-keygen -l names it.
    std::ifstream pub(server->Folder() + "/hostkey.pub");
    std::string type, base64;
    pub >> type >> base64;
    const std::string fingerprint = SftpFingerprint(base64);
    ASSERT_TRUE(SftpIsFingerprint(fingerprint)) << fingerprint;
    const std::string shown = "ED25519 key fingerprint is " + fingerprint;

    fs::create_directory(server->Root() + "/put");
    const std::string config = server->Folder() + "/config";
    fs::create_directories(config + "/parcelo");
    const std::string parceloKnownHosts = config + "/parcelo/known_hosts";
    const std::string a = Local("put a.txt", "first"), b = Local("put-b", Pattern(100000));
    const std::string url = "sftp://" + server->Host();
    const std::vector<std::string> common = {server->PortText(), server->User(), "", "put", a, b};
    auto with = [&](std::vector<std::string> front) {
        front.insert(front.end(), common.begin(), common.end());
        return front;
    };

    // Unknown: refused, the key's type and fingerprint printed, nothing
    // stored and nothing recorded.
    PutResult r = RunFtpput(with({url}), config);
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(shown)) << r.out;
    EXPECT_FALSE(fs::exists(server->Root() + "/put/local-put a.txt"));
    EXPECT_EQ(std::string::npos, Read(parceloKnownHosts).find(base64));

    // A wrong fingerprint: refused, with the key the server showed.
    std::string wrong = fingerprint;
    wrong[10] = wrong[10] == 'A' ? 'B' : 'A';
    r = RunFtpput(with({"--ssh-fingerprint", wrong, url}), config);
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(shown)) << r.out;
    EXPECT_FALSE(fs::exists(server->Root() + "/put/local-put a.txt"));

    // The right one: both files in one session; the key was taken for
    // this call only (its file is gone, Parcelo's does not hold it).
    const int logins = server->LoginCount();
    r = RunFtpput(with({"--ssh-fingerprint", fingerprint, url}), config);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("first", Read(server->Root() + "/put/local-put a.txt"));
    EXPECT_EQ(Pattern(100000), Read(server->Root() + "/put/local-put-b"));
    EXPECT_EQ(logins + 1, server->LoginCount());
    const std::string recorded = RecordedIn(r.out);
    EXPECT_FALSE(recorded.empty()) << r.out;
    EXPECT_FALSE(fs::exists(recorded)) << recorded;
    EXPECT_FALSE(fs::exists(fs::path(recorded).parent_path())) << recorded;
    EXPECT_EQ(std::string::npos, Read(parceloKnownHosts).find(base64));

    // Known from Parcelo's own file: no fingerprint needed. A wrong one is
    // still refused: a pin is checked whatever the known-hosts files hold.
    fs::copy_file(server->KnownHostsFile(), parceloKnownHosts);
    r = RunFtpput(with({url}), config);
    EXPECT_EQ(0, r.status) << r.out;
    r = RunFtpput(with({"--ssh-fingerprint", wrong, url}), config);
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(shown)) << r.out;

    // A missing directory and a missing local file are failures. A
    // password the server does not ask for leaves the key log-in as it was.
    r = RunFtpput({url, server->PortText(), server->User(), "", "no such dir", a}, config);
    EXPECT_EQ(1, r.status) << r.out;
    r = RunFtpput({url, server->PortText(), server->User(), "secret-unused", "put", a}, config);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("secret-unused")) << r.out;
    r = RunFtpput({url, server->PortText(), server->User(), "", "put", a, server->Folder() + "/missing"}, config);
    EXPECT_EQ(1, r.status) << r.out;
    r = RunFtpput({"sftp://-oProxyCommand=false", server->PortText(), server->User(), "", "put", a}, config);
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Refused")) << r.out;
}

// ftpput against the scripted server, pinned to its key: a password log-in
// (right: stored; wrong: one try and "Cannot log in"; the password never in
// the output), a connection cut in the middle of the first of two files (a
// failure, the second not sent), and a slow server. That one answers each
// write 0.1 s after the one before, so the 48 writes of the big file take
// at least 4.8 s, more than the 2 s time-out given, while no answer comes
// anywhere near 2 s after the one before: no time-out.
TEST_F(SftpRealServer, FtpputOverSftpWithPasswordsAndScriptedFaults)
{
    const std::string password = "ftpput Pa55-\xc3\xa4-word";
    const std::string big = Pattern(48 * 32 * 1024);
    const std::string a = Local("scripted-big", big), b = Local("scripted-small", "small");
    const struct {
        const char* mode;
        std::string given; // PASS; empty: the agent's key
        std::vector<std::string> options;
        int status;
        const char* says;
    } cases[] = {
        {"plain", password, {}, 0, ""},
        {"plain", "wrong password", {}, 1, "Cannot log in"},
        {"drop", "", {}, 1, "Connection lost"},
        {"slow", "", {"--timeout", "2"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.given);
        std::string why;
        auto scripted = ScriptedSftpServer::Start(c.mode, server->Folder() + "/userkey.pub", why, password);
        if (!scripted) {
            if (std::getenv("CI"))
                FAIL() << why;
            GTEST_SKIP() << why;
        }
        std::istringstream key(scripted->HostKeyLine());
        std::string type, base64;
        key >> type >> base64;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--ssh-fingerprint", SftpFingerprint(base64), "sftp://127.0.0.1", scripted->PortText(),
                                 server->User(), c.given, "", a, b});
        const PutResult r = RunFtpput(args, server->Folder() + "/config-scripted", c.given.empty());
        EXPECT_EQ(c.status, r.status) << r.out << scripted->Log();
        EXPECT_NE(std::string::npos, r.out.find(c.says)) << r.out;
        EXPECT_EQ(std::string::npos, r.out.find("Timed out")) << r.out;
        if (!c.given.empty()) {
            EXPECT_EQ(std::string::npos, r.out.find(c.given)) << r.out;
            EXPECT_EQ(1, scripted->PasswordAttempts()) << scripted->Log();
        }
        if (c.status == 0) {
            EXPECT_TRUE(Read(scripted->Root() + "/local-scripted-big") == big) << "bytes differ";
            EXPECT_EQ("small", Read(scripted->Root() + "/local-scripted-small"));
        } else {
            EXPECT_NE(big.size(), Read(scripted->Root() + "/local-scripted-big").size());
            EXPECT_FALSE(fs::exists(scripted->Root() + "/local-scripted-small"));
        }
    }
}

// The slow server answers each write 0.1 s after the one before: the
// progress never runs ahead of what it has answered, rises answer by
// answer, and the store outlasts the 2 s time-out without timing out
// (48 writes take at least 4.8 s; no answer is anywhere near 2 s late).
TEST_F(SftpRealServer, SlowServerProgressFollowsItsAnswersWithoutTimingOut)
{
    std::string why;
    auto scripted = ScriptedSftpServer::Start("slow", server->Folder() + "/userkey.pub", why);
    if (!scripted) {
        if (std::getenv("CI"))
            FAIL() << why;
        GTEST_SKIP() << why;
    }
    TSftpClient sftp;
    sftp.Host = "127.0.0.1";
    sftp.Port = scripted->PortText();
    sftp.User = server->User();
    sftp.KnownHostsFiles = {scripted->KnownHostsFile()};
    sftp.AgentSocket = server->AgentSocket();
    sftp.SshConfigFile = "/dev/null";
    sftp.Timeout = 2;
    ASSERT_TRUE(sftp.Connect()) << sftp.ErrorMessage() << "\n" << scripted->Log();
    const std::string data = Pattern(48 * 32 * 1024);
    sftp.LocalFile = Local("slow", data);
    sftp.HostFile = "slow";
    std::vector<std::uint64_t> reports;
    sftp.OnProgress = [&](std::uint64_t n) {
        const std::uint64_t answered = scripted->AcknowledgedBytes();
        EXPECT_LE(n, answered) << "progress ahead of the server's answers";
        EXPECT_TRUE(reports.empty() || n > reports.back()) << n;
        reports.push_back(n);
    };
    ASSERT_TRUE(sftp.Store()) << sftp.ErrorMessage();
    EXPECT_EQ(data.size(), sftp.ProgressCount());
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(data.size(), reports.back());
    EXPECT_GE(reports.size(), 12u) << "the progress rises with the answers, not in a few lumps";
    EXPECT_TRUE(Read(scripted->Root() + "/slow") == data) << "bytes differ";
    EXPECT_TRUE(sftp.Quit());
}

// Faults from the scripted server: a write refused ("permission denied",
// "no space") fails that file with a clear reason and the session goes on;
// a connection cut in the middle of a file is a failure and ends it at
// once (ssh may still be on its way out), and the same client logs in
// again straight away.
TEST_F(SftpRealServer, WritesRefusedOrCutByTheServerFailTheFile)
{
    const struct {
        const char* mode;
        std::uint32_t code;
        const char* says;
        bool sessionGoesOn;
    } cases[] = {
        {"denied", sftp::FX_PERMISSION_DENIED, "permission denied", true},
        {"nospace", sftp::FX_FAILURE, "no space left on the server", true},
        {"drop", sftp::FX_CONNECTION_LOST, "Connection lost", false},
    };
    const std::string data = Pattern(1024 * 1024);
    const std::string local = Local("scripted", data);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        std::string why;
        auto scripted = ScriptedSftpServer::Start(c.mode, server->Folder() + "/userkey.pub", why);
        if (!scripted) {
            if (std::getenv("CI"))
                FAIL() << why;
            GTEST_SKIP() << why;
        }
        TSftpClient sftp;
        sftp.Host = "127.0.0.1";
        sftp.Port = scripted->PortText();
        sftp.User = server->User();
        sftp.KnownHostsFiles = {scripted->KnownHostsFile()};
        sftp.AgentSocket = server->AgentSocket();
        sftp.SshConfigFile = "/dev/null";
        ASSERT_TRUE(sftp.Connect()) << sftp.ErrorMessage() << "\n" << scripted->Log();
        sftp.LocalFile = local;
        sftp.HostFile = "big";
        EXPECT_FALSE(sftp.Store());
        EXPECT_EQ(c.code, sftp.ErrorCode()) << sftp.ErrorMessage();
        EXPECT_NE(std::string::npos, sftp.ErrorMessage().find(c.says)) << sftp.ErrorMessage();
        EXPECT_LE(sftp.ProgressCount(), 64u * 1024) << "only acknowledged bytes count";
        EXPECT_EQ(c.sessionGoesOn, sftp.Connected());
        if (!c.sessionGoesOn) {
            ASSERT_TRUE(sftp.Connect()) << sftp.ErrorMessage() << "\n" << scripted->Log();
        }
        sftp.LocalFile = Local("small", "small");
        sftp.HostFile = "small";
        EXPECT_TRUE(sftp.Store()) << sftp.ErrorMessage();
        EXPECT_EQ("small", Read(scripted->Root() + "/small"));
        EXPECT_TRUE(sftp.Quit());
        EXPECT_EQ(-1, sftp.SshPid());
    }
}

} // namespace
