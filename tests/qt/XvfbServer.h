#pragma once
// A private Xvfb for one test process: it picks a free display number itself (-displayfd), so tests
// running side by side never share or collide.

#include <string>
#include <sys/types.h>

namespace Tavo::Testing {

class XvfbServer {
  public:
    // Geometry as Xvfb takes it, e.g. "640x480x24". The root is black.
    explicit XvfbServer(const std::string& Geometry);
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    ~XvfbServer();

    bool Running() const { return Pid > 0 && !Name.empty(); }
    const std::string& DisplayName() const { return Name; } // ":N"
    const std::string& Problem() const { return Why; }

  private:
    pid_t Pid = -1;
    std::string Name;
    std::string Why;
};

// A helper program (a tray host, say) that lives as long as this object.
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& CommandLine); // run by /bin/sh
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

  private:
    pid_t Pid = -1;
};

// Runs a shell command against the given display; returns its exit status.
int RunOn(const std::string& Display, const std::string& Command);

// Runs a shell command against the given display; returns its output without the final line break.
std::string CaptureOn(const std::string& Display, const std::string& Command);

} // namespace Tavo::Testing
