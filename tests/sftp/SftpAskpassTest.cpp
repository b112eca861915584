// What ssh asks through the askpass helper, against real servers: a
// password log-in (the scripted server, python3-asyncssh) that never shows
// the password on a command line or in an environment, a wrong password
// failing once, the question about an unknown host key (OpenSSH's sshd of
// the test) answered no and yes, a changed key refused, and a process
// other than ssh's helper turned away from the channel.
#include <gtest/gtest.h>

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

#include "AskpassStranger.h"
#include "platform/Messages.h"
#include "sftp/SftpAskpass.h"
#include "sftp/SftpClient.h"
#include "support/PumpUntil.h"
#include "support/SshTestServer.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Output of a command (standard output only), run to its end.
std::string Output(const std::vector<std::string>& args)
{
    int out[2];
    if (::pipe(out) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return text;
}

// Every process whose command line or environment holds `secret`, and how
// many processes were looked at.
std::vector<std::string> ProcessesHolding(const std::string& secret, int& looked)
{
    std::vector<std::string> found;
    looked = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        ++looked;
        for (const char* what : {"cmdline", "environ"})
            if (Read(e.path().string() + "/" + what).find(secret) != std::string::npos)
                found.push_back(name + "/" + what);
    }
    return found;
}

// The environment of a process, variable by variable.
std::vector<std::string> EnvironmentOf(pid_t pid)
{
    std::vector<std::string> vars;
    const std::string text = Read("/proc/" + std::to_string(pid) + "/environ");
    for (std::size_t p = 0, z; p < text.size(); p = z + 1) {
        z = text.find('\0', p);
        if (z == std::string::npos)
            z = text.size();
        vars.push_back(text.substr(p, z - p));
    }
    return vars;
}

std::string Variable(const std::vector<std::string>& env, const std::string& name)
{
    for (const std::string& v : env)
        if (v.rfind(name + "=", 0) == 0)
            return v.substr(name.size() + 1);
    return {};
}

const char* const ThePassword = "Pa55 w0rd-\xc3\xa4-askpass-test";

class SftpAskpass : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        static std::unique_ptr<SshTestServer> s = SshTestServer::Start(why);
        sshd = s.get();
        if (!sshd)
            whyNot = why;
    }
    void SetUp() override
    {
        if (!sshd) {
            if (std::getenv("CI"))
                FAIL() << "sshd could not start in CI: " << whyNot;
            GTEST_SKIP() << whyNot;
        }
        helper = std::string(PARCELO_BINARY_DIR) + "/lib/parcelo/" + sftp_askpass::ProgramName;
        ASSERT_EQ(0, ::access(helper.c_str(), X_OK)) << helper;
        client.Host = sshd->Host();
        client.Port = sshd->PortText();
        client.User = sshd->User();
        client.AgentSocket = sshd->AgentSocket();
        client.SshConfigFile = "/dev/null"; // not the user's ~/.ssh/config
        client.AskpassProgram = helper;
        client.OnDisplay = [this](const std::string& line) { dialogue += line + "\n"; };
    }
    // A scripted server that takes ThePassword; its known-hosts file is the
    // client's.
    std::unique_ptr<ScriptedSftpServer> PasswordServer()
    {
        std::string why;
        auto s = ScriptedSftpServer::Start("plain", sshd->Folder() + "/userkey.pub", why, ThePassword);
        if (!s)
            ADD_FAILURE() << why;
        else {
            client.Port = s->PortText();
            client.KnownHostsFiles = {s->KnownHostsFile()};
            // No key of the agent's: the password has to do.
            client.AgentSocket.clear();
        }
        return s;
    }
    static inline SshTestServer* sshd = nullptr;
    static inline std::string whyNot;
    std::string helper;
    TSftpClient client;
    std::string dialogue;
};

TEST_F(SftpAskpass, PasswordLogInNeverShowsThePasswordToOtherProcesses)
{
    // password and keyboard-interactive log-in both come through the
    // helper.
    for (const char* method : {"password", "keyboard-interactive"}) {
        SCOPED_TRACE(method);
        auto server = PasswordServer();
        ASSERT_TRUE(server);
        dialogue.clear();
        client.SshOptions = {"IdentityAgent=none", std::string("PreferredAuthentications=") + method};
        client.Password = ThePassword;
        // Looked at while the helper waits for its answer (it and ssh are
        // both alive), and again once logged in.
        std::vector<std::string> whileAsked;
        int looked = 0;
        bool asked = false;
        client.OnDisplay = [&](const std::string& line) {
            dialogue += line + "\n";
            if (line.rfind("> password", 0) == 0) {
                asked = true;
                whileAsked = ProcessesHolding(ThePassword, looked);
            }
        };
        ASSERT_TRUE(client.Connect()) << client.ErrorMessage() << "\n" << dialogue << server->Log();
        EXPECT_TRUE(asked) << dialogue;
        EXPECT_GT(looked, 2);
        EXPECT_EQ(std::vector<std::string>{}, whileAsked);
        EXPECT_EQ(std::vector<std::string>{}, ProcessesHolding(ThePassword, looked));
        EXPECT_EQ(std::string::npos, dialogue.find(ThePassword)) << dialogue;
        EXPECT_EQ(1, server->PasswordAttempts());

        // ssh knows where the channel was, and it is gone now that the
        // log-in is done.
        const std::string socket = Variable(EnvironmentOf(client.SshPid()), sftp_askpass::SocketVariable);
        EXPECT_FALSE(socket.empty());
        EXPECT_FALSE(fs::exists(fs::path(socket).parent_path())) << socket;

        std::ofstream(sshd->Folder() + "/pw-local") << "by password";
        client.LocalFile = sshd->Folder() + "/pw-local";
        client.HostFile = "stored.txt";
        ASSERT_TRUE(client.Store()) << client.ErrorMessage();
        EXPECT_EQ("by password", Read(server->Root() + "/stored.txt"));
        EXPECT_TRUE(client.Quit());
        EXPECT_EQ(0, WatchedDescriptorCount());
    }
}

TEST_F(SftpAskpass, WrongPasswordFailsOnceWithTheServersReason)
{
    for (const char* method : {"password", "keyboard-interactive"}) {
        SCOPED_TRACE(method);
        auto server = PasswordServer();
        ASSERT_TRUE(server);
        dialogue.clear();
        client.SshOptions = {"IdentityAgent=none", std::string("PreferredAuthentications=") + method};
        client.Password = "not the password";
        EXPECT_FALSE(client.Connect());
        EXPECT_NE(std::string::npos, client.ErrorMessage().find("Cannot log in")) << client.ErrorMessage();
        EXPECT_NE(std::string::npos, client.ErrorMessage().find("Permission denied")) << client.ErrorMessage();
        EXPECT_EQ(std::string::npos, client.ErrorMessage().find("not the password"));
        EXPECT_EQ(std::string::npos, dialogue.find("not the password")) << dialogue;
        EXPECT_EQ(1, server->PasswordAttempts()) << "one try, no loop";
        EXPECT_TRUE(client.Quit());
        EXPECT_EQ(-1, client.SshPid());
    }
    // Without the helper no password can reach ssh: refused before it runs.
    client.AskpassProgram = sshd->Folder() + "/no-such-helper";
    client.Password = "x";
    EXPECT_FALSE(client.Connect());
    EXPECT_NE(std::string::npos, client.ErrorMessage().find(sftp_askpass::ProgramName)) << client.ErrorMessage();
    EXPECT_EQ(-1, client.SshPid());
}

// A server whose keyboard-interactive prompt mimics ssh's host-key
// question: the handler is not asked, and the server gets neither the
// password nor a fingerprint.
TEST_F(SftpAskpass, ServerPromptDressedAsHostKeyQuestionIsNoQuestion)
{
    std::string why;
    auto server = ScriptedSftpServer::Start("fakequestion", sshd->Folder() + "/userkey.pub", why);
    ASSERT_TRUE(server) << why;
    client.Port = server->PortText();
    client.KnownHostsFiles = {server->KnownHostsFile()};
    client.AgentSocket.clear();
    client.SshOptions = {"IdentityAgent=none"};
    client.Password = ThePassword;
    int asked = 0;
    client.OnHostKeyQuestion = [&](TObject*, const TSftpHostKeyQuestion&, bool& trust) {
        ++asked;
        trust = true;
    };
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(0, asked) << dialogue;
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("Cannot log in")) << client.ErrorMessage();
    const std::string log = server->Log();
    EXPECT_NE(std::string::npos, log.find("kbdint answer")) << log;
    EXPECT_EQ(std::string::npos, log.find(ThePassword)) << log;
    EXPECT_EQ(std::string::npos, log.find("SHA256")) << log;
    EXPECT_TRUE(client.Quit());
}

// The server's key, as `ssh-keygen -l -E sha256` names it.
struct KeyName {
    std::string type, fingerprint;
};
KeyName Fingerprint(const std::string& pubFile)
{
    // "256 SHA256:... comment (ED25519)"
    const std::string line = Output({"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", pubFile});
    std::istringstream fields(line);
    std::string bits, fp;
    fields >> bits >> fp;
    const std::size_t open = line.rfind('('), close = line.rfind(')');
    return {open == std::string::npos ? "" : line.substr(open + 1, close - open - 1), fp};
}

TEST_F(SftpAskpass, UnknownHostKeyIsAskedAndRecordedOnlyWhenTrusted)
{
    const KeyName key = Fingerprint(sshd->Folder() + "/hostkey.pub");
    ASSERT_EQ("ED25519", key.type);
    ASSERT_EQ(0u, key.fingerprint.rfind("SHA256:", 0)) << key.fingerprint;
    std::string hostKeyBase64;
    {
        std::istringstream pub(Read(sshd->Folder() + "/hostkey.pub"));
        std::string type;
        pub >> type >> hostKeyBase64;
    }
    // Parcelo's file in a folder that does not exist yet, then the user's.
    const std::string base = sshd->Folder() + "/question";
    const std::string ours = base + "/config/parcelo/known_hosts", users = base + "/user_known_hosts";
    fs::create_directories(base);
    std::ofstream(users).close();
    client.KnownHostsFiles = {ours, users};

    std::vector<TSftpHostKeyQuestion> asked;
    bool answer = false;
    client.OnHostKeyQuestion = [&](TObject* sender, const TSftpHostKeyQuestion& q, bool& trust) {
        EXPECT_EQ(&client, sender);
        asked.push_back(q);
        trust = answer;
    };

    // No: refused, nothing recorded anywhere.
    EXPECT_FALSE(client.Connect());
    ASSERT_EQ(1u, asked.size()) << dialogue;
    EXPECT_EQ(sshd->Host(), asked[0].host);
    EXPECT_EQ(sshd->PortText(), asked[0].port);
    EXPECT_EQ(key.type, asked[0].keyType);
    EXPECT_EQ(key.fingerprint, asked[0].fingerprint);
    EXPECT_EQ(ours, asked[0].knownHostsFile);
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("not accepted")) << client.ErrorMessage();
    EXPECT_NE(std::string::npos, client.ErrorMessage().find(key.fingerprint)) << client.ErrorMessage();
    EXPECT_EQ("", Read(ours));
    EXPECT_EQ("", Read(users));
    EXPECT_TRUE(client.Quit());

    // Yes: logged in, and the key is in Parcelo's file (not the user's).
    answer = true;
    asked.clear();
    ASSERT_TRUE(client.Connect()) << client.ErrorMessage() << "\n" << dialogue;
    EXPECT_EQ(1u, asked.size());
    EXPECT_NE(std::string::npos, Read(ours).find(hostKeyBase64)) << Read(ours);
    EXPECT_EQ("", Read(users));
    EXPECT_EQ(0700u, static_cast<unsigned>(fs::status(base + "/config/parcelo").permissions()) & 0777u);
    EXPECT_TRUE(client.Quit());

    // The next time nobody is asked.
    asked.clear();
    ASSERT_TRUE(client.Connect()) << client.ErrorMessage();
    EXPECT_EQ(0u, asked.size());
    EXPECT_TRUE(client.Quit());

    // A handler that is gone, with a password set (so ssh still asks
    // through the helper): refused as well.
    client.OnHostKeyQuestion = nullptr;
    client.Password = "unused";
    client.KnownHostsFiles = {users};
    EXPECT_FALSE(client.Connect());
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("not accepted")) << client.ErrorMessage();
    EXPECT_EQ("", Read(users));
    EXPECT_TRUE(client.Quit());
    EXPECT_EQ(0, WatchedDescriptorCount());
}

int OpenDescriptors()
{
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd"))
        (void)e, ++n;
    return n;
}

// The handler runs the message loop (as a question box does) and the
// session ends meanwhile: the late answer goes nowhere, records nothing and
// leaves no descriptor behind.
TEST_F(SftpAskpass, SessionEndingWhileTheQuestionIsOpenIsNotAnswered)
{
    const int before = OpenDescriptors();
    const std::string ours = sshd->Folder() + "/late/known_hosts";
    client.KnownHostsFiles = {ours};
    int asked = 0;
    client.OnHostKeyQuestion = [&](TObject*, const TSftpHostKeyQuestion&, bool& trust) {
        ++asked;
        ::kill(client.SshPid(), SIGKILL);
        EXPECT_TRUE(PumpUntil([&] { return !client.Busy(); }));
        trust = true;
    };
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(1, asked);
    EXPECT_NE(std::string::npos, client.ErrorMessage().find("Cannot log in")) << client.ErrorMessage();
    EXPECT_EQ("", Read(ours));
    EXPECT_TRUE(client.Quit());
    EXPECT_EQ(0, WatchedDescriptorCount());
    EXPECT_EQ(before, OpenDescriptors());
}

TEST_F(SftpAskpass, ChangedHostKeyIsRefusedWithAStrongMessage)
{
    const KeyName key = Fingerprint(sshd->Folder() + "/hostkey.pub");
    // Parcelo's file holds another key for this server.
    const std::string other = sshd->Folder() + "/otherkey";
    Output({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", other});
    std::istringstream pub(Read(other + ".pub"));
    std::string type, base64;
    pub >> type >> base64;
    const std::string ours = sshd->Folder() + "/changed_known_hosts";
    const std::string held = "[127.0.0.1]:" + sshd->PortText() + " " + type + " " + base64 + "\n";
    std::ofstream(ours) << held;
    client.KnownHostsFiles = {ours};
    int asked = 0;
    client.OnHostKeyQuestion = [&](TObject*, const TSftpHostKeyQuestion&, bool& trust) {
        ++asked;
        trust = true;
    };
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(0, asked) << "a changed key is never a question";
    const std::string& message = client.ErrorMessage();
    for (const std::string& part :
         {std::string("HAS CHANGED"), sshd->Host(), key.type, key.fingerprint, ours, std::string("line 1")})
        EXPECT_NE(std::string::npos, message.find(part)) << part << " in: " << message;
    EXPECT_EQ(held, Read(ours)) << "the old key stays";
    EXPECT_TRUE(client.Quit());
}

// While a connect waits (here for a server that never speaks), the channel
// answers nobody but the helper that ssh started: not another process of
// the same user that knows the socket and the token (read from ssh's
// environment), nor the helper program started by that process.
TEST_F(SftpAskpass, OnlySshsOwnHelperIsAnswered)
{
    int port = 0;
    const int silent = ListenSilently(port);
    ASSERT_GE(silent, 0);
    client.Port = std::to_string(port);
    client.Password = ThePassword;
    client.StartConnect();
    std::string socket, token;
    ASSERT_TRUE(PumpUntil([&] {
        const auto env = EnvironmentOf(client.SshPid());
        socket = Variable(env, sftp_askpass::SocketVariable);
        token = Variable(env, sftp_askpass::TokenVariable);
        return !socket.empty();
    }));
    ASSERT_TRUE(client.Busy());
    EXPECT_EQ(std::string::npos, Read("/proc/" + std::to_string(client.SshPid()) + "/environ").find(ThePassword));

    // A request of the right form, from this process.
    const int fd = ConnectLocal(socket);
    ASSERT_GE(fd, 0) << socket;
    ASSERT_TRUE(SendAndShut(fd, std::string(sftp_askpass::Greeting) + token + "\n\nalice@h's password: "));
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string got;
    bool closed = false;
    ASSERT_TRUE(PumpUntil([&] {
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
        closed = n == 0 || (n < 0 && errno != EAGAIN);
        return closed;
    }));
    ::close(fd);
    EXPECT_EQ("", got);

    // The helper program itself, started by this process with the same
    // environment.
    int out[2];
    ASSERT_EQ(0, ::pipe2(out, O_CLOEXEC));
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::setenv(sftp_askpass::SocketVariable, socket.c_str(), 1);
        ::setenv(sftp_askpass::TokenVariable, token.c_str(), 1);
        ::execl(helper.c_str(), helper.c_str(), "alice@h's password: ", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    got.clear();
    ASSERT_TRUE(PumpUntil([&] {
        char buf[256];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
        return n == 0 || (n < 0 && errno != EAGAIN);
    }));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ("", got);

    EXPECT_EQ(2u, [&] {
        std::size_t n = 0;
        for (std::size_t p = 0;
             (p = dialogue.find("refused a question on the password channel", p)) != std::string::npos; ++p)
            ++n;
        return n;
    }()) << dialogue;
    EXPECT_TRUE(client.Busy()) << "the log-in still waits";
    EXPECT_TRUE(client.Quit());
    EXPECT_FALSE(fs::exists(socket));
    ::close(silent);
}

} // namespace
