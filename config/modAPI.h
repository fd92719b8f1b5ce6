#pragma once
// Operating-system helpers. Implemented per platform: the system's profile reader on Windows, our own
// reader elsewhere.

#include <string>

namespace Tavo::modAPI {

// Value of Key in Section of File (a full path), or Default when file, section or key is missing.
std::string ReadIniString(const std::string& Section, const std::string& Key, const std::string& File,
                          const std::string& Default);

} // namespace Tavo::modAPI
