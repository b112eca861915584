// Faults met against slow servers, hostile peers and odd local files, one
// row each: the scripted server's side, and the client's (in this process
// or through ftpput, as scripts use it) with what it must report.
#include "support/FtpTestClient.h"
#include "ftp/FtpInternal.h"
#include "support/LocalDir.h"
#include "support/FtpScriptServer.h"
#include "support/RunProgram.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#ifndef FTPPUT_PATH
#error "FTPPUT_PATH must name the ftpput program"
#endif

namespace fs = std::filesystem;
using Commands = std::vector<std::string>;

namespace {

// What the server's thread saw, for the client's side to check.
struct Seen {
    std::atomic<std::int64_t> received{0}; // bytes read so far from a slow store
    std::mutex mutex;
    std::map<std::string, std::string> stored; // STOR name -> the data that came
    std::string other;                         // what a connection from elsewhere got
};

struct Row {
    const char* name;
    std::function<void(FtpScriptSession&, Seen&)> server;
    std::function<void(FtpScriptServer&, Seen&)> client;
};

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

// A passive server that answers what ftpput sends: TYPE, PASV, STOR (the
// data is kept under the name), and QUIT.
void ServeStores(FtpScriptSession& s, Seen& seen)
{
    LogIn(s, "220 Ready");
    std::string line;
    while (s.ReadCommand(line)) {
        if (line.rfind("TYPE ", 0) == 0) {
            s.Reply("200 Type set");
        } else if (line == "PASV") {
            s.Reply(s.OpenPassive());
        } else if (line.rfind("STOR ", 0) == 0) {
            if (!s.AcceptData()) {
                s.Reply("425 No data connection");
                continue;
            }
            s.Reply("150 Ok to send data");
            std::string data = s.ReceiveAllData();
            s.CloseData();
            {
                std::lock_guard<std::mutex> lock(seen.mutex);
                seen.stored[line.substr(5)] = data;
            }
            s.Reply("226 Transfer complete");
        } else if (line == "QUIT") {
            s.Reply("221 Goodbye");
            s.WaitForClose();
            return;
        } else {
            s.Reply("502 Not implemented");
        }
    }
}

void Prepare(FtpTestClient& ftp, const FtpScriptServer& server, bool passive)
{
    Prepare(ftp, server);
    ftp.SetPassive(passive);
}

std::string Data(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + i * 7 % 26);
    return data;
}

constexpr std::int64_t SlowRate = 250000; // bytes per second
constexpr size_t SlowSize = 1250000;      // five seconds at that rate

const Row FaultRows[] = {
    {"SlowServerProgressFollowsWhatItTookAndDoesNotTimeOut",
     [](FtpScriptSession& s, Seen& seen) {
         LogIn(s, "220 Ready");
         s.Answer(s.OpenPassive());
         ASSERT_TRUE(s.AcceptData());
         s.Answer("150 Ok to send data");
         std::string data = s.ReceiveAllDataSlowly(SlowRate, seen.received);
         {
             std::lock_guard<std::mutex> lock(seen.mutex);
             seen.stored["slow.bin"] = data;
         }
         s.Reply("226 Transfer complete");
         s.WaitForClose();
     },
     [](FtpScriptServer& server, Seen& seen) {
         // The system takes the whole file into its buffers at once; the
         // server needs five seconds for it, more than the time-out.
         LocalDir local("parcelo-faults");
         const std::string data = Data(SlowSize);
         FtpTestClient ftp;
         Prepare(ftp, server, true);
         ftp.SetTimeout(2);
         ASSERT_TRUE(ftp.Connect());
         ftp.SetLocalFileName(local.Write("slow.bin", data));
         ftp.SetHostFileName("slow.bin");
         std::int64_t last = 0, mostAhead = 0;
         ftp.OnProgress = [&](TObject*, std::int64_t count, bool&) {
             last = count;
             mostAhead = std::max(mostAhead, count - seen.received.load());
         };
         EXPECT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
         // Never more than a second of the transfer ahead of the server.
         EXPECT_LE(mostAhead, SlowRate);
         EXPECT_EQ(last, static_cast<std::int64_t>(SlowSize));
         ftp.Abort();
         server.Join();
         EXPECT_EQ(seen.stored["slow.bin"], data);
     }},

    {"FolderGivenAsFileIsRefusedAndTheNextFileGoesOn", ServeStores,
     [](FtpScriptServer& server, Seen& seen) {
         LocalDir local("parcelo-faults");
         const std::string folder = (local.path / "folder").string();
         fs::create_directories(folder);
         const std::string good = local.Write("good.txt", "good data");
         // ftpput finds it before the log-in (standard error into the output).
         ProgramResult r = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", FTPPUT_PATH, "--passive",
                                                  "127.0.0.1", server.PortText(), "bob", "secret", "", folder, good});
         EXPECT_EQ(r.status, 1) << r.out;
         EXPECT_EQ(r.out.rfind("ftpput: " + folder + ": Is a directory\n", 0), 0u) << r.out;
         const Commands commands = server.Join();
         EXPECT_EQ(std::count(commands.begin(), commands.end(), "STOR folder"), 0);
         EXPECT_EQ(seen.stored.count("folder"), 0u);
         EXPECT_EQ(seen.stored["good.txt"], "good data");
     }},

    {"ReadErrorInTheMiddleOfTheFileFailsTheStore",
     [](FtpScriptSession& s, Seen& seen) {
         LogIn(s, "220 Ready");
         s.Answer(s.OpenPassive());
         ASSERT_TRUE(s.AcceptData());
         s.Answer("150 Ok to send data");
         std::string data = s.ReceiveAllData();
         {
             std::lock_guard<std::mutex> lock(seen.mutex);
             seen.stored["cut.bin"] = data;
         }
         // The server saw an orderly end and is content.
         s.Reply("226 Transfer complete");
         s.WaitForClose();
     },
     [](FtpScriptServer& server, Seen& seen) {
         // A file whose reads fail after the first page: this process's
         // memory read through /proc/self/mem, from a page that is mapped
         // up to one that lies past the end of its backing file.
         const long page = ::sysconf(_SC_PAGESIZE);
         LocalDir local("parcelo-faults");
         const std::string backing = local.Write("one-page", std::string(static_cast<size_t>(page), 'r'));
         int fd = ::open(backing.c_str(), O_RDONLY);
         ASSERT_GE(fd, 0);
         void* map = ::mmap(nullptr, static_cast<size_t>(2 * page), PROT_READ, MAP_SHARED, fd, 0);
         ::close(fd);
         ASSERT_NE(map, MAP_FAILED);
         FtpTestClient ftp;
         Prepare(ftp, server, true);
         ASSERT_TRUE(ftp.Connect());
         ftp.SetLocalFileName("/proc/self/mem");
         ftp.SetHostFileName("cut.bin");
         ftp.SetResumePosition(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(map)));
         EXPECT_FALSE(ftp.StoreFile());
         EXPECT_EQ(ftp.ErrorMessage(), "426 Error reading file /proc/self/mem");
         EXPECT_EQ(ftp.RequestResult(), 426);
         EXPECT_TRUE(ftp.Displayed("! Error reading file"));
         ftp.Abort();
         server.Join();
         ::munmap(map, static_cast<size_t>(2 * page));
         // What could be read went out; nothing past it.
         EXPECT_GT(seen.stored["cut.bin"].size(), 0u);
         EXPECT_LE(seen.stored["cut.bin"].size(), static_cast<size_t>(page));
     }},

    {"MultiLineErrorReachesStandardErrorWhole",
     [](FtpScriptSession& s, Seen&) {
         LogIn(s, "220 Ready");
         s.Answer("200 Type set");
         s.Answer(s.OpenPassive());
         std::string line;
         s.ReadCommand(line);
         if (!s.AcceptData())
             return;
         s.Reply("150 Accepted data connection");
         (void)s.ReceiveAllData();
         s.CloseData();
         s.Send("451-Error during write to file\r\n451 1 kbytes in 0.00 seconds (1 Mbytes/s)\r\n");
         s.Answer("221 Goodbye");
         s.WaitForClose();
     },
     [](FtpScriptServer& server, Seen&) {
         LocalDir local("parcelo-faults");
         const std::string file = local.Write("full.bin", Data(1000));
         ProgramResult r =
             RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>/dev/stdout >/dev/null", FTPPUT_PATH, "--passive",
                                    "127.0.0.1", server.PortText(), "bob", "secret", "", file});
         server.Join();
         EXPECT_EQ(r.status, 1);
         EXPECT_EQ(r.out,
                   "ftpput: STOR " + file +
                       " failed:\n  451-Error during write to file\n  451 1 kbytes in 0.00 seconds (1 Mbytes/s)\n");
     }},

    {"ActiveDataConnectionFromAnotherAddressIsRefused",
     [](FtpScriptSession& s, Seen& seen) {
         s.SetReadTimeout(10);
         LogIn(s, "220 Ready");
         std::string port;
         s.ReadCommand(port);
         s.Reply("200 PORT command successful");
         s.Answer("150 Ok to send data");
         // Another local program reaches the client's data port first.
         int other = FtpScriptSession::ConnectFrom(port, "127.0.0.2");
         ASSERT_GE(other, 0);
         ASSERT_TRUE(s.ConnectActive(port));
         std::string data = s.ReceiveAllData();
         s.CloseData();
         std::string otherGot = s.ReadToEnd(other);
         ::close(other);
         {
             std::lock_guard<std::mutex> lock(seen.mutex);
             seen.stored["a.bin"] = data;
             seen.other = otherGot;
         }
         s.Reply("226 Transfer complete");
         s.WaitForClose();
     },
     [](FtpScriptServer& server, Seen& seen) {
         LocalDir local("parcelo-faults");
         FtpTestClient ftp;
         Prepare(ftp, server, false);
         ASSERT_TRUE(ftp.Connect());
         ftp.SetLocalFileName(local.Write("a.bin", "for the server only"));
         ftp.SetHostFileName("a.bin");
         EXPECT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
         EXPECT_TRUE(ftp.Displayed("! Data connection from 127.0.0.2 refused"));
         ftp.Abort();
         server.Join();
         EXPECT_EQ(seen.stored["a.bin"], "for the server only");
         EXPECT_EQ(seen.other, "");
     }},

    {"TimeoutOfThreeMillionSecondsWorks", ServeStores,
     [](FtpScriptServer& server, Seen& seen) {
         LocalDir local("parcelo-faults");
         const std::string file = local.Write("t.txt", "patient");
         ProgramResult r = RunProgram(FTPPUT_PATH, {"--passive", "--timeout", "3000000", "127.0.0.1", server.PortText(),
                                                    "bob", "secret", "", file});
         EXPECT_EQ(r.status, 0) << r.out;
         server.Join();
         EXPECT_EQ(seen.stored["t.txt"], "patient");
     }},

    {"ControlConnectionLostWhileThePassiveDataConnectIsPending",
     [](FtpScriptSession& s, Seen&) {
         LogIn(s, "220 Ready");
         s.Answer(s.OpenStalledPassive());
         s.CloseControl();
     },
     [](FtpScriptServer& server, Seen&) {
         LocalDir local("parcelo-faults");
         FtpTestClient ftp;
         Prepare(ftp, server, true);
         ftp.SetTimeout(10);
         ASSERT_TRUE(ftp.Connect());
         ftp.SetLocalFileName(local.Write("a.bin", "never sent"));
         ftp.SetHostFileName("a.bin");
         EXPECT_FALSE(ftp.StoreFile());
         EXPECT_EQ(ftp.ErrorMessage(), "426 Connection closed by the server");
         EXPECT_EQ(ftp.RequestResult(), 426);
         ftp.Abort();
         EXPECT_EQ(server.Join(), (Commands{"USER bob", "PASS secret", "PASV"}));
     }},

    {"MultiLineRepliesOfAListing",
     [](FtpScriptSession& s, Seen&) {
         LogIn(s, "220 Ready");
         s.Answer(s.OpenPassive());
         ASSERT_TRUE(s.AcceptData());
         std::string line;
         s.ReadCommand(line);
         s.Send("150-Here comes the listing.\r\n");
         s.Send("150 Opening data connection.\r\n");
         s.SendData("file-a\r\nfile-b\r\n");
         s.CloseData();
         s.Send("226-Directory send OK.\r\n 2 entries\r\n22");
         s.Send("6 Done.\r\n");
         s.Answer("250 Directory changed");
         s.WaitForClose();
     },
     [](FtpScriptServer& server, Seen&) {
         FtpTestClient ftp;
         Prepare(ftp, server, true);
         ASSERT_TRUE(ftp.Connect());
         ftp.SetDisplayFileFlag(true);
         std::vector<std::string> lines;
         ftp.OnDisplayFile = [&lines](TObject*, std::string& l) { lines.push_back(l); };
         EXPECT_TRUE(ftp.ListDir()) << ftp.ErrorMessage();
         EXPECT_EQ(lines, (std::vector<std::string>{"file-a", "file-b"}));
         EXPECT_EQ(ftp.LastResponse(), "226 Done.");
         // The next command gets its own reply, not a left-over line.
         ftp.SetHostDirName("docs");
         EXPECT_TRUE(ftp.ChangeDir()) << ftp.ErrorMessage();
         EXPECT_EQ(ftp.LastResponse(), "250 Directory changed");
         ftp.Abort();
         server.Join();
     }},

    {"FtpputHidesThePassword", ServeStores,
     [](FtpScriptServer& server, Seen&) {
         LocalDir local("parcelo-faults");
         const std::string file = local.Write("p.txt", "x");
         ProgramResult r =
             RunProgram(FTPPUT_PATH, {"--passive", "127.0.0.1", server.PortText(), "bob", "s3cret-word", "", file});
         EXPECT_EQ(r.status, 0) << r.out;
         EXPECT_NE(r.out.find("> PASS (hidden)\n"), std::string::npos) << r.out;
         EXPECT_EQ(r.out.find("s3cret-word"), std::string::npos) << r.out;
         server.Join();
     }},
};

class FtpFault : public ::testing::TestWithParam<Row> { };

} // namespace

TEST_P(FtpFault, IsMended)
{
    const Row& row = GetParam();
    Seen seen;
    FtpScriptServer server([&row, &seen](FtpScriptSession& s) { row.server(s, seen); });
    row.client(server, seen);
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(Rows, FtpFault, ::testing::ValuesIn(FaultRows),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(FtpReplyAssembly, EveryWayOfSplittingTheInputGivesTheSameLines)
{
    // The bytes of a dialogue cut into two reads at every position: the
    // lines that come out, and which of them end a reply, never depend on
    // where the cut fell.
    const std::string input = "150-Here comes\r\n150 the listing\n226-Done\r\n more\r\n226 Bye\r\n";
    const std::vector<std::pair<std::string, bool>> want = {
        {"150-Here comes", false}, {"150 the listing", true}, {"226-Done", false}, {" more", false}, {"226 Bye", true}};
    for (size_t cut = 0; cut <= input.size(); ++cut) {
        std::string buffer;
        std::vector<std::pair<std::string, bool>> got;
        for (const std::string& piece : {input.substr(0, cut), input.substr(cut)}) {
            buffer += piece;
            std::string line;
            int consumed = 0;
            while (FtpCutReplyLine(buffer.data(), static_cast<int>(buffer.size()), true, line, consumed)) {
                buffer.erase(0, static_cast<size_t>(consumed));
                int code = 0;
                got.emplace_back(line, FtpReplyLineEnds(line, code));
            }
        }
        EXPECT_EQ(got, want) << "cut at " << cut;
        EXPECT_TRUE(buffer.empty());
    }
}
