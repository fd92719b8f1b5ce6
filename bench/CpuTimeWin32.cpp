#include "CpuTime.h"

#include <windows.h>

namespace Tavo::Bench {

double ProcessCpuMilliseconds() {
    FILETIME Created, Exited, Kernel, User;
    if (!GetProcessTimes(GetCurrentProcess(), &Created, &Exited, &Kernel, &User))
        return 0;
    auto Ms = [](const FILETIME& T) {
        const ULONGLONG Ticks = (static_cast<ULONGLONG>(T.dwHighDateTime) << 32) | T.dwLowDateTime;
        return static_cast<double>(Ticks) / 10000.0; // 100 ns ticks
    };
    return Ms(Kernel) + Ms(User);
}

} // namespace Tavo::Bench
