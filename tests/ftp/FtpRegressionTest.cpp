// Regression tests, each named after the fault it pins.
#include "support/FtpTestClient.h"
#include "support/FtpScriptServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>

namespace fs = std::filesystem;
using Commands = std::vector<std::string>;

namespace {

// A port on 127.0.0.1 where nobody listens.
std::string RefusingPort()
{
    FtpScriptServer probe([](FtpScriptSession&) {});
    return probe.PortText();
}

struct LocalFile {
    explicit LocalFile(std::int64_t size, const std::string& tail = "")
    {
        path = (fs::temp_directory_path() /
                ("parcelo-regress-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                   .string();
        std::ofstream out(path, std::ios::binary);
        out.close();
        // A sparse file: the size costs no disk.
        fs::resize_file(path, static_cast<std::uintmax_t>(size));
        if (!tail.empty()) {
            std::ofstream app(path, std::ios::binary | std::ios::app);
            app << tail;
        }
    }
    ~LocalFile() { fs::remove(path); }
    std::string path;
    static inline int counter = 0;
};

} // namespace

TEST(FtpRegression, RefusedControlConnectMakesConnectFail)
{
    FtpTestClient ftp;
    ftp.SetPort(RefusingPort());
    ftp.SetUserName("bob");
    ftp.SetPassWord("secret");

    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.RequestResult(), 10061);
    EXPECT_EQ(ftp.StatusCode(), 500);
    EXPECT_EQ(ftp.LastResponse().rfind("500 ", 0), 0u);
    EXPECT_NE(ftp.LastResponse().find("(Winsock error #10061)"), std::string::npos) << ftp.LastResponse();
    EXPECT_EQ(ftp.ErrorMessage(), ftp.LastResponse());
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.State(), ftpStReady);
    PumpPending();
    ASSERT_EQ(ftp.done.size(), 1u);
    EXPECT_EQ(ftp.done[0].request, ftpConnectAsync);
    EXPECT_EQ(ftp.done[0].error, 10061);
}

TEST(FtpRegression, FailedCompoundRequestLeavesNoStepsBehind)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.Answer("500 PORT not understood");
        s.Answer("250 Directory changed");
        s.Answer("200 Type set to I");
        s.WaitForClose();
    });
    LocalFile file(10);
    FtpTestClient ftp;
    Prepare(ftp, server);
    ASSERT_TRUE(ftp.Connect());
    ftp.SetLocalFileName(file.path);
    ftp.SetHostFileName("a.bin");
    ASSERT_FALSE(ftp.StoreFile());

    // The next successful commands must not hand over to the steps the
    // failed store never started.
    ftp.SetHostDirName("docs");
    EXPECT_TRUE(ftp.ChangeDir());
    EXPECT_TRUE(ftp.SetBinaryType());
    PumpPending();
    ftp.Abort();
    auto commands = server.Join();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[3], "CWD docs");
    EXPECT_EQ(commands[4], "TYPE I");
    EXPECT_EQ(ftp.done.back().request, ftpTypeSetAsync);
}

TEST(FtpRegression, FailedCheckInsideACompoundFailsTheRequest)
{
    // A 331 to USER with no password at hand: the PASS step cannot start.
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 Ready");
        s.Answer("331 Password required");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server);
    ftp.SetPassWord("");

    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.RequestResult(), 500);
    EXPECT_EQ(ftp.LastResponse(), "500 Password emtpy");
    EXPECT_TRUE(ftp.Displayed("! Password emtpy"));
    ftp.Abort();
    EXPECT_EQ(server.Join(), (Commands{"USER bob"}));
}

struct UnusablePasvCase {
    const char* name;
    const char* reply;
};

void PrintTo(const UnusablePasvCase& c, std::ostream* os)
{
    *os << c.reply;
}

class FtpUnusablePasv : public ::testing::TestWithParam<UnusablePasvCase> { };

TEST_P(FtpUnusablePasv, PasvReplyWithoutAPortFailsTheStoreClearly)
{
    const std::string reply = GetParam().reply;
    FtpScriptServer server([reply](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.Answer(reply);
        s.WaitForClose();
    });
    LocalFile file(100);
    FtpTestClient ftp;
    Prepare(ftp, server);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect());
    ftp.SetLocalFileName(file.path);
    ftp.SetHostFileName("a.bin");

    EXPECT_FALSE(ftp.StoreFile());
    EXPECT_EQ(ftp.RequestResult(), 426);
    EXPECT_EQ(ftp.ErrorMessage(), "426 No data port in the PASV reply: " + ftp.PasvResponse());
    EXPECT_TRUE(ftp.Connected());
    ftp.Abort();
    EXPECT_EQ(server.Join().back(), "PASV");
}

INSTANTIATE_TEST_SUITE_P(Replies, FtpUnusablePasv,
                         ::testing::Values(UnusablePasvCase{"NoNumbers", "227 Entering Passive Mode"},
                                           UnusablePasvCase{"AddressOnly", "227 Entering Passive Mode (127,0,0,1)"},
                                           UnusablePasvCase{"PortZero", "227 Entering Passive Mode (127,0,0,1,0,0)"},
                                           UnusablePasvCase{"NumberAbove255",
                                                            "227 Entering Passive Mode (127,0,0,1,300,7)"},
                                           UnusablePasvCase{"Letters", "227 Entering Passive Mode (127,0,0,1,a,b)"},
                                           UnusablePasvCase{"Not227", "200 PASV ignored"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(FtpRegression, PasvReplyWithoutAPortFailsTheListing)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.Answer("227 Entering Passive Mode (127,0,0,1,)");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect());
    ftp.SetDisplayFileFlag(true);

    EXPECT_FALSE(ftp.ListDir());
    EXPECT_EQ(ftp.RequestResult(), 550);
    EXPECT_EQ(ftp.ErrorMessage().rfind("550 No data port in the PASV reply", 0), 0u);
    ftp.Abort();
    EXPECT_EQ(server.Join().back(), "PASV");
}

TEST(FtpRegression, ResumePositionAndProgressBeyond2GiB)
{
    // Resume a store near the end of a sparse 3 GiB file: the offset, the
    // seek and the progress count must not wrap at 2^31.
    const std::int64_t resume = 3LL * 1024 * 1024 * 1024;
    std::string received;
    FtpScriptServer server([&received](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.Answer(s.OpenPassive());
        ASSERT_TRUE(s.AcceptData());
        s.Answer("150 Ok to send data");
        received = s.ReceiveAllData();
        s.Reply("226 Transfer complete");
        s.WaitForClose();
    });
    LocalFile file(resume, "the tail of a very large file");
    FtpTestClient ftp;
    Prepare(ftp, server);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect());
    ftp.SetLocalFileName(file.path);
    ftp.SetHostFileName("huge.bin");
    ftp.SetResumePosition(resume);
    std::int64_t last = 0;
    ftp.OnProgress = [&last](TObject*, std::int64_t count, bool&) { last = count; };

    ASSERT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    EXPECT_EQ(received, "the tail of a very large file");
    EXPECT_EQ(last, resume + 29);
    EXPECT_EQ(ftp.ResumePosition(), 0);
    ftp.Abort();
}

TEST(FtpRegression, RestartOffsetBeyond2GiBIsSentWhole)
{
    const std::int64_t size = 5LL * 1024 * 1024 * 1024 + 7;
    FtpScriptServer server([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.Answer("350 Restarting");
        s.WaitForClose();
    });
    LocalFile file(size);
    FtpTestClient ftp;
    Prepare(ftp, server);
    ASSERT_TRUE(ftp.Connect());
    ftp.SetLocalFileName(file.path);

    ASSERT_TRUE(ftp.Run(&TCustomFtpCli::StartRestart));
    EXPECT_EQ(ftp.ResumePosition(), size);
    ftp.Abort();
    EXPECT_EQ(server.Join().back(), "REST 5368709127");
}

TEST(FtpRegression, StatisticsOfTransfersOver2GiB)
{
    struct Case {
        std::int64_t bytes;
        std::uint32_t ms;
        const char* text;
    } cases[] = {
        {32767, 1000, "32767 bytes received/sent in 1 seconds (32767 Bytes/sec)"},
        {32768, 1000, "32768 bytes received/sent in 1 seconds (32000 Bytes/sec)"},
        {0, 0, "0 bytes received/sent in 0 seconds"},
        {3221225472LL, 4000, "3221225472 bytes received/sent in 4 seconds (805306000 Bytes/sec)"},
        {5000000000LL, 999, "5000000000 bytes received/sent in 0 seconds (5005005000 Bytes/sec)"},
    };
    for (auto& c : cases)
        EXPECT_EQ(FtpTransferStatsText(c.bytes, c.ms), c.text);
}

struct InjectionCase {
    const char* name;
    std::function<void(TCustomFtpCli&)> set;
    void (TCustomFtpCli::*request)();
    const char* message;
};

class FtpLineBreakInjection : public ::testing::TestWithParam<InjectionCase> { };

TEST_P(FtpLineBreakInjection, LineBreakInACommandArgumentIsRefusedBeforeSending)
{
    const auto& c = GetParam();
    const bool logIn = c.request == &TCustomFtpCli::StartConnect;
    FtpScriptServer server([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.WaitForClose();
    });
    LocalFile file(10);
    FtpTestClient ftp;
    Prepare(ftp, server);
    if (!logIn) {
        ASSERT_TRUE(ftp.Connect());
    }
    ftp.SetLocalFileName(file.path);
    c.set(ftp);

    try {
        (ftp.*c.request)();
        FAIL() << "no check failure";
    } catch (const FtpException& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(ftp.State(), ftpStReady);
    EXPECT_EQ(ftp.Connected(), !logIn);
    ftp.Abort();
    EXPECT_EQ(server.Commands(), logIn ? Commands{} : (Commands{"USER bob", "PASS secret"}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FtpLineBreakInjection,
    ::testing::Values(InjectionCase{"UserName", [](TCustomFtpCli& f) { f.SetUserName("bob\r\nDELE x"); },
                                    &TCustomFtpCli::StartConnect, "UserName must not contain CR or LF"},
                      InjectionCase{"PassWord", [](TCustomFtpCli& f) { f.SetPassWord("pw\nDELE x"); },
                                    &TCustomFtpCli::StartConnect, "Password must not contain CR or LF"},
                      InjectionCase{"HostDirName", [](TCustomFtpCli& f) { f.SetHostDirName("pub\rRMD x"); },
                                    &TCustomFtpCli::StartChangeDir, "HostDirName must not contain CR or LF"},
                      InjectionCase{"StoreName", [](TCustomFtpCli& f) { f.SetHostFileName("a.txt\r\nDELE b.txt"); },
                                    &TCustomFtpCli::StartStoreFile, "HostFileName must not contain CR or LF"},
                      InjectionCase{"MakeDirName", [](TCustomFtpCli& f) { f.SetHostFileName("new\nDELE b.txt"); },
                                    &TCustomFtpCli::StartMakeDir, "HostFileName must not contain CR or LF"},
                      InjectionCase{"ListArgument", [](TCustomFtpCli& f) { f.SetHostFileName("*\nQUIT"); },
                                    &TCustomFtpCli::StartListDir, "HostFileName must not contain CR or LF"},
                      InjectionCase{"RenameTarget", [](TCustomFtpCli& f) { f.SetLocalFileName("b\nDELE c"); },
                                    &TCustomFtpCli::StartRenameTo, "LocalFileName must not contain CR or LF"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(FtpRegression, ServerClosingWhileAReplyIsAwaitedFailsTheRequest)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        std::string line;
        s.ReadCommand(line);
        s.CloseControl();
    });
    FtpTestClient ftp;
    Prepare(ftp, server);
    ftp.SetTimeout(10);
    ASSERT_TRUE(ftp.Connect());
    ftp.SetHostDirName("docs");

    // Neither a success nor a wait for the time-out.
    EXPECT_FALSE(ftp.ChangeDir());
    EXPECT_EQ(ftp.ErrorMessage(), "426 Connection closed by the server");
    EXPECT_EQ(ftp.State(), ftpStReady);
    EXPECT_FALSE(ftp.Connected());
}

TEST(FtpRegression, IdleConnectionClosedByTheServerAllowsANewConnect)
{
    FtpScriptServer first([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.CloseControl();
    });
    FtpTestClient ftp;
    Prepare(ftp, first);
    std::vector<std::uint16_t> closes;
    ftp.OnSessionClosed = [&closes](TObject*, std::uint16_t error) { closes.push_back(error); };
    ASSERT_TRUE(ftp.Connect());
    ASSERT_TRUE(PumpUntil([&] { return !ftp.Connected(); }));
    PumpPending();
    EXPECT_EQ(closes.size(), 1u);

    FtpScriptServer second([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.WaitForClose();
    });
    ftp.SetPort(second.PortText());
    EXPECT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ftp.Abort();
    EXPECT_EQ(second.Join(), (Commands{"USER bob", "PASS secret"}));
}

TEST(FtpRegression, ServerClosingRightBehindTheLastReplyStillCompletesTheCall)
{
    // The server answers PASS and closes at once. Once PASS is out, the
    // client holds its loop until the server is done, so the last reply and
    // the close are handled in one pass before the blocking call looks at
    // the state again.
    FtpScriptServer server([](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        s.CloseControl();
    });
    FtpTestClient ftp;
    Prepare(ftp, server);
    ftp.SetTimeout(10);
    HWND hold = AllocateHWnd([&server](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        server.Join();
        return 0;
    });
    ftp.OnDisplay = [&](TObject*, std::string& line) {
        ftp.displayed.push_back(line);
        if (line == "> PASS secret")
            PostMessage(hold, WM_USER, 0, 0);
    };

    EXPECT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ASSERT_TRUE(PumpUntil([&] { return !ftp.Connected(); }));
    PumpPending();
    EXPECT_EQ(ftp.State(), ftpStReady);
    EXPECT_EQ(ftp.RequestResult(), 0);
    ASSERT_EQ(ftp.done.size(), 1u);
    DestroyWindow(hold);
}

TEST(FtpRegression, DataConnectionMadeAtPortTimeIsNotLost)
{
    // Like pyftpdlib: connect to the client's port before answering PORT,
    // and answer only once the client has had the notice of that
    // connection (it must keep it for the STOR to come).
    std::string received;
    std::atomic<bool> noticed{false};
    FtpScriptServer server([&received, &noticed](FtpScriptSession& s) {
        LogIn(s, "220 Ready");
        std::string port;
        s.ReadCommand(port);
        ASSERT_TRUE(s.ConnectActive(port));
        EXPECT_TRUE(s.WaitFor([&] { return noticed.load(); }));
        s.Reply("200 Active data connection established");
        s.Answer("125 Data connection already open");
        received = s.ReceiveAllData();
        s.CloseData();
        s.Reply("226 Transfer complete");
        s.WaitForClose();
    });
    LocalFile file(0, "early bird");
    FtpTestClient ftp;
    Prepare(ftp, server);
    ftp.SetTimeout(10);
    const auto display = ftp.OnDisplay;
    ftp.OnDisplay = [&](TObject* sender, std::string& line) {
        display(sender, line);
        if (line.rfind("> PORT ", 0) != 0)
            return;
        // The data socket listens now: see its accept notice arrive.
        auto available = ftp.DataSocket()->OnSessionAvailable;
        ftp.DataSocket()->OnSessionAvailable = [available, &noticed](TObject* socket, std::uint16_t error) {
            if (available)
                available(socket, error);
            noticed = true;
        };
    };
    ASSERT_TRUE(ftp.Connect());
    ftp.SetLocalFileName(file.path);
    ftp.SetHostFileName("a.bin");

    EXPECT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    EXPECT_EQ(received, "early bird");
    ftp.Abort();
}

// A handler may destroy the client it was called by. The client must then
// stop at once: no member of the destroyed object may be touched after the
// handler returns (the sanitizer build turns any such touch into a failure).
struct DestroyCase {
    const char* name;
    // Sets the handler that calls destroy() at its moment.
    void (*arm)(FtpTestClient& ftp, FtpTestClient*& self, const std::function<void()>& destroy);
    // False when the client is gone before it connects: the test then
    // connects once itself so that the scripted server stops waiting.
    bool connects = true;
};

class FtpDestroyedInHandler : public ::testing::TestWithParam<DestroyCase> { };

TEST_P(FtpDestroyedInHandler, ClientStopsTouchingItself)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 Ready");
        std::string line;
        // Answers whatever comes until the client goes away.
        while (s.ReadCommand(line)) {
            if (line.rfind("USER", 0) == 0) {
                s.Reply("331 Password required");
            } else if (line.rfind("PASS", 0) == 0) {
                s.Reply("230 Logged in");
            } else if (line == "PASV") {
                s.Reply(s.OpenPassive());
            } else if (line.rfind("STOR", 0) == 0) {
                if (!s.AcceptData())
                    return;
                s.Reply("150 Go ahead");
                (void)s.ReceiveAllData();
                s.Reply("226 Transfer complete");
            } else if (line == "QUIT") {
                s.Reply("221 Bye");
                s.CloseControl();
                return;
            } else {
                s.Reply("502 Not here");
            }
        }
    });
    LocalFile file(100000);
    FtpTestClient* ftp = new FtpTestClient;
    bool destroyed = false;
    const std::function<void()> destroy = [&ftp, &destroyed] {
        FtpTestClient* self = ftp;
        if (!self)
            return;
        ftp = nullptr;
        destroyed = true;
        delete self;
    };
    Prepare(*ftp, server);
    ftp->SetPassive(true);
    ftp->SetLocalFileName(file.path);
    ftp->SetHostFileName("target.bin");
    GetParam().arm(*ftp, ftp, destroy);

    // The calls run as far as the client lives; their results matter only
    // while it does.
    if (ftp)
        (void)ftp->Connect();
    if (ftp)
        (void)ftp->StoreFile();
    if (ftp)
        (void)ftp->Quit();
    PumpPending();
    EXPECT_TRUE(destroyed) << GetParam().name;
    delete ftp;
    if (!GetParam().connects) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server.Port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    (void)server.Join();
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, FtpDestroyedInHandler,
    ::testing::Values(DestroyCase{"StateResolving",
                                  [](FtpTestClient& ftp, FtpTestClient*& self, const std::function<void()>& destroy) {
                                      ftp.OnStateChange = [&self, destroy](TObject*) {
                                          if (self && self->State() == ftpStResolving)
                                              destroy();
                                      };
                                  },
                                  false},
                      DestroyCase{"StateGreeted",
                                  [](FtpTestClient& ftp, FtpTestClient*& self, const std::function<void()>& destroy) {
                                      ftp.OnStateChange = [&self, destroy](TObject*) {
                                          if (self && self->State() == ftpStGreeted)
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"SessionConnected",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnSessionConnected = [destroy](TObject*, std::uint16_t) { destroy(); };
                                  }},
                      DestroyCase{"CommandPass",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnCommand = [destroy](TObject*, std::string& cmd) {
                                          if (cmd.rfind("PASS", 0) == 0)
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"DisplayUser",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnDisplay = [destroy](TObject*, std::string& msg) {
                                          if (msg == "> USER bob")
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"DisplayLoggedIn",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnDisplay = [destroy](TObject*, std::string& msg) {
                                          if (msg.rfind("< 230", 0) == 0)
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"ResponseTransferOpens",
                                  [](FtpTestClient& ftp, FtpTestClient*& self, const std::function<void()>& destroy) {
                                      ftp.OnResponse = [&self, destroy](TObject*) {
                                          if (self && self->LastResponse().rfind("150", 0) == 0)
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"ReadyToTransmit",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnReadyToTransmit = [destroy](TObject*, bool&) { destroy(); };
                                  }},
                      DestroyCase{"Progress",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnProgress = [destroy](TObject*, std::int64_t, bool&) { destroy(); };
                                  }},
                      DestroyCase{"DisplayStatistics",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnDisplay = [destroy](TObject*, std::string& msg) {
                                          if (msg.find("bytes received/sent") != std::string::npos)
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"StateReadyAfterStore",
                                  [](FtpTestClient& ftp, FtpTestClient*& self, const std::function<void()>& destroy) {
                                      ftp.OnStateChange = [&self, destroy](TObject*) {
                                          if (self && self->State() == ftpStReady && self->ByteCount() > 0)
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"DisplayQuit",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnDisplay = [destroy](TObject*, std::string& msg) {
                                          if (msg == "> QUIT")
                                              destroy();
                                      };
                                  }},
                      DestroyCase{"SessionClosed",
                                  [](FtpTestClient& ftp, FtpTestClient*&, const std::function<void()>& destroy) {
                                      ftp.OnSessionClosed = [destroy](TObject*, std::uint16_t) { destroy(); };
                                  }}),
    [](const ::testing::TestParamInfo<DestroyCase>& test) { return std::string(test.param.name); });
