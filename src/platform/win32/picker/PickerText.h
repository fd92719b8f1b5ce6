#pragma once
// Text the picker hands out: on the clipboard and on standard output, with Windows line ends.

#include <windows.h>

#include <string>

namespace Tavo::Win32Platform {

// Windows files end lines with CR LF; so do the clipboard, the edit boxes and standard output.
std::string WithCrLf(const std::string& Text);
// Standard output when there is one (started from a console, or with its output redirected).
void WriteStandardOutput(const std::string& Text);
// False, with the system's error, when the clipboard could not be written.
bool CopyToClipboard(HWND Owner, const std::string& Text);

} // namespace Tavo::Win32Platform
