#pragma once
// The system's settings reader, the way the program reads its file; the picker's check reads the same way.

#include <string>

namespace Tavo::Win32Platform {

// The value of Key in Section of File (a full path), Default when the file, section or key is missing.
std::string ReadProfileString(const std::string& Section, const std::string& Key, const std::string& File,
                              const std::string& Default);

} // namespace Tavo::Win32Platform
