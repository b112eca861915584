// Reconnecting and resuming against the scripted FTP server: the replies
// real servers do not give (REST refused, SIZE unknown or larger than the
// file, a log-in refused on the way back, a size that disagrees after 226).
// The client's headers first: they name the socket constants their own way.
#include "upload/FtpSession.h"
#include "upload/UploadSequence.h"

#include "support/FtpScriptServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string Data = [] {
    std::string s(3000, '\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}();

// One store on the script's side: PASV, the data connection, the command
// (returned), 150, the bytes (into `received`), and `final` (none: the
// link breaks after the bytes).
std::string ServeStore(FtpScriptSession& s, std::string& received, const std::string& final)
{
    s.Answer(s.OpenPassive());
    EXPECT_TRUE(s.AcceptData());
    std::string command;
    s.ReadCommand(command);
    s.Reply("150 go ahead");
    received = s.ReceiveAllData();
    s.CloseData();
    if (final.empty())
        s.CloseControl();
    else
        s.Reply(final);
    return command;
}

// The first session: the log-in, TYPE I and a store whose link breaks.
void BrokenFirstSession(FtpScriptSession& s)
{
    LogIn(s);
    s.Answer("200 type set");
    std::string ignored;
    ServeStore(s, ignored, "");
}

// A job of one file, f.bin, for the script's server: its session, with
// the dialogue collected, and events that do nothing until a case sets
// the ones it looks at.
struct OneFileJob {
    explicit OneFileJob(const FtpScriptServer& server) : job({{local.path, "f.bin", false, true}}, "")
    {
        session.SetLogin({"127.0.0.1", server.PortText(), "user", "secret"});
        session.Client().SetPassive(true);
        session.events.display = [this](const std::string& line) { dialogue += line + "\n"; };
        events.fileStarting = [](std::size_t) {};
        events.fileFailed = [](std::size_t, bool) { return false; };
        events.stopped = [](std::size_t, bool) {};
        events.fileDone = [](std::size_t) {};
        events.completing = [] {};
        events.lost = [] {};
    }
    UploadResult Run()
    {
        bool typeKnown = false;
        return RunUpload(session, job, events, typeKnown);
    }

    TempFile local{Data};
    FtpSession session;
    std::string dialogue;
    UploadJobDescription job;
    UploadEvents events;
};

TEST(ResumeScript, WhatTheServerSaysDecidesHowTheFileGoesOn)
{
    const struct {
        const char* what;
        const char* sizeReply;         // to SIZE after the new log-in
        const char* restReply;         // to REST (none: no REST expected)
        const char* command;           // the transfer command expected
        std::size_t from;              // where the bytes sent start
        const char* refusal = nullptr; // the first transfer command refused so (none: taken)
    } cases[] = {
        {"resumed", "213 1000", "350 restarting", "STOR f.bin", 1000},
        {"REST refused: appended", "213 1000", "502 REST not implemented", "APPE f.bin", 1000},
        {"SIZE unknown: from the start", "502 SIZE not implemented", nullptr, "STOR f.bin", 0},
        {"SIZE larger than the file: from the start", "213 5000", nullptr, "STOR f.bin", 0},
        {"REST taken, the continuing STOR refused: from the start", "213 1000", "350 restarting", "STOR f.bin", 0,
         "451 f.bin: Append/Restart not permitted, try again"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string received, command;
        FtpScriptServer server(std::vector<FtpScriptServer::Script>{BrokenFirstSession, [&](FtpScriptSession& s) {
                                                                        LogIn(s);
                                                                        s.Answer("200 type set");
                                                                        s.Answer(c.sizeReply);
                                                                        if (c.restReply)
                                                                            s.Answer(c.restReply);
                                                                        if (c.refusal) {
                                                                            s.Answer(s.OpenPassive());
                                                                            EXPECT_TRUE(s.AcceptData());
                                                                            std::string refused;
                                                                            s.ReadCommand(refused);
                                                                            s.CloseData();
                                                                            s.Reply(c.refusal);
                                                                        }
                                                                        command = ServeStore(s, received, "226 stored");
                                                                        s.Answer("213 3000");
                                                                        s.Answer("221 bye");
                                                                        s.WaitForClose();
                                                                    }});
        OneFileJob run(server);
        const std::string& dialogue = run.dialogue;
        run.job.policy.retryDelaysSeconds = {0};
        int waits = 0;
        run.events.waitBeforeRetry = [&](int attempt, int attempts, int seconds) {
            EXPECT_EQ(1, attempt);
            EXPECT_EQ(3, attempts);
            EXPECT_EQ(0, seconds);
            ++waits;
            return true;
        };
        const UploadResult result = run.Run();
        server.Join();

        EXPECT_EQ(UploadEnd::Completed, result.end) << dialogue;
        EXPECT_EQ(1, waits);
        EXPECT_EQ(c.command, command) << dialogue;
        EXPECT_EQ(Data.substr(c.from), received);
        EXPECT_NE(std::string::npos, dialogue.find(UploadRetryNote(0, 1, 3))) << dialogue;
        EXPECT_EQ(c.from > 0, dialogue.find(UploadResumeNote("f.bin", c.from)) != std::string::npos) << dialogue;
        EXPECT_EQ(c.refusal != nullptr,
                  dialogue.find("! The server will not continue f.bin; sending it again from the start") !=
                      std::string::npos)
            << dialogue;
    }
}

// A log-in refused on the way back ends the attempts at once; a 226 whose
// size check disagrees fails the file without a retry, and its temporary
// copy is not renamed.
TEST(ResumeScript, RefusalsThatStayAreNotRetried)
{
    const struct {
        const char* what;
        std::vector<FtpScriptServer::Script> scripts;
        std::size_t sessions;
        int waits;
        const char* suffix;
    } cases[] = {
        {"530 on the new log-in",
         {BrokenFirstSession,
          [](FtpScriptSession& s) {
              s.Reply("220 ready");
              s.Answer("331 password please");
              s.Answer("530 Login incorrect");
              s.WaitForClose();
          }},
         2,
         1,
         ""},
        {"size disagrees",
         {[](FtpScriptSession& s) {
             LogIn(s);
             s.Answer("200 type set");
             s.Answer("550 no such file"); // a partial copy under the temporary name?
             std::string received;
             ServeStore(s, received, "226 stored");
             s.Answer("213 10");
             s.WaitForClose();
         }},
         1,
         0,
         ".part"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FtpScriptServer server(c.scripts);
        OneFileJob run(server);
        const std::string& dialogue = run.dialogue;
        run.job.policy.retryDelaysSeconds = {0};
        run.job.policy.tempSuffix = c.suffix;
        int waits = 0;
        std::vector<std::string> log;
        run.events.fileFailed = [&](std::size_t, bool canGoOn) {
            log.push_back(canGoOn ? "failed" : "failed last");
            return false;
        };
        run.events.stopped = [&](std::size_t, bool) { log.push_back("stopped"); };
        run.events.waitBeforeRetry = [&](int, int, int) {
            ++waits;
            return true;
        };
        const UploadResult result = run.Run();
        server.Stop();

        EXPECT_EQ(UploadEnd::Stopped, result.end) << dialogue;
        EXPECT_EQ((std::vector<std::size_t>{0}), result.failed);
        EXPECT_EQ((std::vector<std::string>{"failed last", "stopped"}), log);
        EXPECT_EQ(c.waits, waits);
        std::size_t sessions = 0;
        for (std::size_t i = 0; i < c.scripts.size(); ++i)
            sessions += server.SessionCommands(i).empty() ? 0 : 1;
        EXPECT_EQ(c.sessions, sessions);
        const std::vector<std::string> commands = server.Commands();
        EXPECT_EQ(0, std::count(commands.begin(), commands.end(), "RNTO f.bin")) << dialogue;
    }
}

// Cancel during the wait ends the job at once, the session dropped.
TEST(ResumeScript, CancelDuringTheWaitEndsTheJob)
{
    FtpScriptServer server(std::vector<FtpScriptServer::Script>{BrokenFirstSession});
    OneFileJob run(server);
    bool failedReported = false;
    run.events.fileFailed = [&](std::size_t, bool) {
        failedReported = true;
        return false;
    };
    run.events.waitBeforeRetry = [](int, int, int seconds) {
        EXPECT_EQ(2, seconds) << "the first of the default delays";
        return false;
    };
    const UploadResult result = run.Run();
    server.Join();
    EXPECT_EQ(UploadEnd::Cancelled, result.end);
    EXPECT_FALSE(failedReported);
    EXPECT_FALSE(run.session.Connected());
}

} // namespace
