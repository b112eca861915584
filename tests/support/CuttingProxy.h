// A proxy that breaks connections (support/CuttingProxy.py): on 127.0.0.1,
// between a client and a server on 127.0.0.1, it forwards each connection
// and, for the first `cuts` of them (-1: every one), breaks it once the
// client has sent `cutAfter` bytes: exactly that many reach the server, in
// order, and the client's side is reset. Kind Ftp forwards FTP control
// connections, rewrites their passive replies to ports of its own and
// counts the bytes of the data connections (a break ends the control and
// data connections alike); kind Stream counts the connection's own bytes
// (ssh).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>

class CuttingProxy {
public:
    enum class Kind { Ftp, Stream };
    // nullptr with a reason when python3 is missing or the script failed.
    static std::unique_ptr<CuttingProxy> Start(Kind kind, int targetPort, std::uint64_t cutAfter, int cuts,
                                               std::string& whyNot);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // The breaks so far ("cut at N" lines).
    int Cuts() const;
    std::string Log() const;

private:
    CuttingProxy() = default;
    std::string logFile_;
    int port_ = 0;
    pid_t pid_ = -1;
};
