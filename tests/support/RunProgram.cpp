#include "support/RunProgram.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::close(pipeFds[0]);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ProgramResult r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

int ReadPortLine(int fd)
{
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line.push_back(c);
    ::close(fd);
    const int port = std::atoi(line.c_str());
    return port > 0 ? port : 0;
}
