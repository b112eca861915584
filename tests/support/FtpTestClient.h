// A TFtpClient for tests: records what it displays and reports, and runs
// any request of the engine synchronously.
#pragma once

#include "ftp/Ftpcli.h"
#include "platform/Messages.h"
#include "support/FtpScriptServer.h"
#include "support/PumpUntil.h"

#include <string>
#include <vector>

class FtpTestClient : public TFtpClient {
public:
    FtpTestClient() : TFtpClient(nullptr)
    {
        SetTimeout(20);
        SetHostName("127.0.0.1");
        OnDisplay = [this](TObject*, std::string& msg) { displayed.push_back(msg); };
        OnRequestDone = [this](TObject*, TFtpRequest rq, std::uint16_t error) { done.push_back({rq, error}); };
    }

    // Runs a request of the engine the way the synchronous calls do.
    bool Run(void (TCustomFtpCli::*request)()) { return RunSynchronously(request); }

    bool Displayed(const std::string& line) const
    {
        for (auto& l : displayed)
            if (l == line)
                return true;
        return false;
    }

    struct Done {
        TFtpRequest request;
        std::uint16_t error;
    };
    std::vector<std::string> displayed;
    std::vector<Done> done;
};

// Points the client at the scripted server, as user "bob" with password
// "secret" (the host stays 127.0.0.1 unless the test sets another).
inline void Prepare(FtpTestClient& ftp, const FtpScriptServer& server)
{
    ftp.SetPort(server.PortText());
    ftp.SetUserName("bob");
    ftp.SetPassWord("secret");
}

// Lets the posted completions arrive.
inline void PumpPending()
{
    for (int i = 0; i < 5; ++i)
        ProcessMessages();
}
