#pragma once
// One running copy per executable file: two copies of the same file would send every block twice.

#include <string>
#include <string_view>

namespace Tavo::Win32 {

// The name of the mutex that marks a running copy of the executable at ExecutablePath: the same for
// every spelling of the path that differs only in case, different for another file or folder.
std::wstring InstanceMutexName(std::wstring_view ExecutablePath);

// Claims this executable's mark for the rest of the process. False when another process of this
// session already runs the same executable file; true also when the check itself cannot be made, so a
// broken check never keeps the program from running.
bool ClaimSingleInstance();

} // namespace Tavo::Win32
