#pragma once
// One running copy per executable file and X session. Two copies of the same file would send every
// control block twice; copies under other names or in other folders are other programs and still run.
// The claim is an X selection owned by a small unmapped window: nothing is listened on, nothing is
// written, and the server releases it when the process ends however it ends.

#include <optional>
#include <string>

struct _XDisplay; // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace Tavo::QtPlatform {

class InstanceLock {
  public:
    enum class Result { Claimed, AlreadyRunning, NoDisplay };

    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock(); // gives the claim up

    // CanonicalPath: the executable's full path with links resolved. DisplayName null: DISPLAY.
    Result Claim(const std::string& CanonicalPath, const char* DisplayName = nullptr);

    // Whether a copy of that executable holds its claim on the display now, asked without claiming or
    // creating anything; empty when no display opens.
    static std::optional<bool> IsClaimed(const std::string& CanonicalPath, const char* DisplayName = nullptr);

    // The selection's name: fixed prefix and a hash of the path (atom names must stay short).
    static std::string SelectionName(const std::string& CanonicalPath);

  private:
    _XDisplay* Display = nullptr;
};

} // namespace Tavo::QtPlatform
