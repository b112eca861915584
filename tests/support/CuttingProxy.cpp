#include "support/CuttingProxy.h"

#include "support/RunProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

std::unique_ptr<CuttingProxy> CuttingProxy::Start(Kind kind, int targetPort, std::uint64_t cutAfter, int cuts,
                                                  std::string& whyNot)
{
    if (::access("/usr/bin/python3", X_OK) != 0) {
        whyNot = "python3 is not installed";
        return nullptr;
    }
    std::unique_ptr<CuttingProxy> p(new CuttingProxy());
    std::string pattern = (std::filesystem::temp_directory_path() / "parcelo-proxy.XXXXXX").string();
    const int logFd = ::mkstemp(pattern.data());
    if (logFd < 0) {
        whyNot = "cannot make a log file";
        return nullptr;
    }
    p->logFile_ = pattern;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(logFd);
        whyNot = "cannot make a pipe";
        return nullptr;
    }
    const std::string script = std::string(PARCELO_TESTS_DIR) + "/support/CuttingProxy.py";
    const std::string port = std::to_string(targetPort);
    const std::string after = std::to_string(cutAfter);
    const std::string count = std::to_string(cuts);
    p->pid_ = ::fork();
    if (p->pid_ == 0) {
        ::setpgid(0, 0);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(out[1], 1);
        ::dup2(logFd, 2);
        ::execl("/usr/bin/python3", "/usr/bin/python3", script.c_str(), port.c_str(),
                kind == Kind::Ftp ? "ftp" : "stream", after.c_str(), count.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(logFd);
    ::close(out[1]);
    // The first line is the port; an end before it means the script failed.
    p->port_ = ReadPortLine(out[0]);
    if (p->port_ <= 0) {
        whyNot = "the cutting proxy did not start: " + p->Log();
        return nullptr;
    }
    return p;
}

CuttingProxy::~CuttingProxy()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (!logFile_.empty())
        ::unlink(logFile_.c_str());
}

std::string CuttingProxy::Log() const
{
    std::ifstream f(logFile_);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

int CuttingProxy::Cuts() const
{
    const std::string log = Log();
    int n = 0;
    for (std::size_t at = log.find("cut at "); at != std::string::npos; at = log.find("cut at ", at + 1))
        ++n;
    return n;
}
