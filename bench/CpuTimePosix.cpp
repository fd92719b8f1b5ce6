#include "CpuTime.h"

#include <sys/resource.h>

namespace Tavo::Bench {

double ProcessCpuMilliseconds() {
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    auto Ms = [](const timeval& T) {
        return static_cast<double>(T.tv_sec) * 1000.0 + static_cast<double>(T.tv_usec) / 1000.0;
    };
    return Ms(Usage.ru_utime) + Ms(Usage.ru_stime);
}

} // namespace Tavo::Bench
