#pragma once
// Processor time this process has used so far (user and system, all threads), in milliseconds.

namespace Tavo::Bench {

double ProcessCpuMilliseconds();

} // namespace Tavo::Bench
