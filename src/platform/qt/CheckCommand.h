#pragma once
// TavoRouterControl --check [FILE]: the settings check in a terminal, beside a running program.

namespace Tavo::QtPlatform {

// Prints the report for File (null: the file the program would read) on standard output. Returns 0
// when every unit connected and every lamp lies on a monitor, 1 when something is to fix, 2 when the
// file cannot be used.
int RunSettingsCheck(int ArgCount, char** Args, const char* File);

} // namespace Tavo::QtPlatform
