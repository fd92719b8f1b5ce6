#include "XvfbServer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Tavo::Testing {

XvfbServer::XvfbServer(const std::string& Geometry) {
    int Pipe[2];
    if (pipe(Pipe) != 0) {
        Why = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    Pid = fork();
    if (Pid == 0) {
        close(Pipe[0]);
        const std::string Fd = std::to_string(Pipe[1]);
        // Xvfb reports each display number it finds taken; that is noise here.
        const int Null = open("/dev/null", O_WRONLY);
        if (Null >= 0) {
            dup2(Null, STDERR_FILENO);
            close(Null);
        }
        execlp("Xvfb", "Xvfb", "-displayfd", Fd.c_str(), "-screen", "0", Geometry.c_str(), "-br", "-nolisten",
               "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(Pipe[1]);
    if (Pid < 0) {
        Why = std::string("fork: ") + std::strerror(errno);
        close(Pipe[0]);
        return;
    }
    // Xvfb writes its display number once it accepts clients.
    std::string Number;
    pollfd P{Pipe[0], POLLIN, 0};
    for (int Waited = 0; Waited < 20; ++Waited) {
        if (poll(&P, 1, 500) <= 0)
            continue;
        char Buffer[32];
        const ssize_t Got = read(Pipe[0], Buffer, sizeof Buffer);
        if (Got <= 0)
            break;
        Number.append(Buffer, static_cast<std::size_t>(Got));
        if (Number.find('\n') != std::string::npos)
            break;
    }
    close(Pipe[0]);
    while (!Number.empty() && (Number.back() == '\n' || Number.back() == '\r'))
        Number.pop_back();
    if (Number.empty()) {
        Why = "Xvfb " + Geometry + " did not report a display within 10 s";
        return;
    }
    Name = ":" + Number;
}

XvfbServer::~XvfbServer() {
    if (Pid > 0) {
        kill(Pid, SIGTERM);
        int Status = 0;
        waitpid(Pid, &Status, 0);
    }
}

ChildProcess::ChildProcess(const std::string& CommandLine) {
    Pid = fork();
    if (Pid == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", ("exec " + CommandLine).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (Pid > 0) {
        kill(Pid, SIGTERM);
        int Status = 0;
        waitpid(Pid, &Status, 0);
    }
}

int RunOn(const std::string& Display, const std::string& Command) {
    const std::string Line = "DISPLAY=" + Display + " " + Command;
    const int Status = std::system(Line.c_str());
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

std::string CaptureOn(const std::string& Display, const std::string& Command) {
    const std::string Line = "DISPLAY=" + Display + " " + Command;
    std::string Output;
    if (FILE* Pipe = popen(Line.c_str(), "r")) {
        char Buffer[256];
        std::size_t Got = 0;
        while ((Got = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0)
            Output.append(Buffer, Got);
        pclose(Pipe);
    }
    while (!Output.empty() && (Output.back() == '\n' || Output.back() == '\r'))
        Output.pop_back();
    return Output;
}

} // namespace Tavo::Testing
