#pragma once
// One running copy per executable file: two copies of the same file would send every block twice.
// The mark is a named mutex of the session; the system drops it when the process ends, however it ends.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/Desktop.h"

namespace Tavo::Win32Platform {

class InstanceLock {
  public:
    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock(); // gives the claim up

    // Claims the mark of the executable at ExecutablePath. AlreadyRunning when another holder of the
    // session has it; Claimed also when the check itself cannot be made, so a broken check never keeps
    // the program from running.
    InstanceClaim Claim(std::wstring_view ExecutablePath);

    // Whether a copy of the executable at ExecutablePath holds its mark now, asked without claiming or
    // creating anything; empty when that cannot be told.
    static std::optional<bool> IsClaimed(std::wstring_view ExecutablePath);

    // The mutex's name: the same for every spelling of the path that differs only in case, different
    // for another file or folder.
    static std::wstring MutexName(std::wstring_view ExecutablePath);
    // This process's executable, by its long name.
    static std::wstring OwnExecutablePath();

  private:
    HANDLE Mark = nullptr;
};

} // namespace Tavo::Win32Platform
