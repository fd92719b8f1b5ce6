#pragma once
// Where a program of this name looks for its settings file on Linux: beside itself first, as on
// Windows; then the user's configuration folder, since an installed program (in /usr/local/bin, say)
// cannot have a file beside it without root. The program, its settings check and the picker's agree.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Texts.h"

namespace Tavo::QtPlatform {

inline std::vector<std::string> SettingsPlaces(const std::string& Folder, const std::string& BaseName) {
    const std::string Name = BaseName + ".ini";
    std::string ConfigHome;
    if (const char* Xdg = std::getenv("XDG_CONFIG_HOME"); Xdg && Xdg[0] == '/')
        ConfigHome = Xdg;
    else if (const char* Home = std::getenv("HOME"); Home && *Home)
        ConfigHome = std::string(Home) + "/.config";
    std::vector<std::string> Files{Folder + "/" + Name};
    if (!ConfigHome.empty())
        Files.push_back(ConfigHome + "/" + ProductName + "/" + Name);
    return Files;
}

// The executable that reads File: the one named after it beside it, else Fallback (a file in the
// configuration folder belongs to the program of its name wherever that lies). Links resolved, as the
// single-instance claim names them.
inline std::string ProgramReading(const std::string& File, const std::string& Fallback) {
    std::error_code Error;
    const std::filesystem::path Path(File);
    const std::filesystem::path Program = Path.parent_path() / Path.stem();
    if (std::filesystem::is_regular_file(Program, Error)) {
        const std::filesystem::path Canonical = std::filesystem::canonical(Program, Error);
        if (!Error)
            return Canonical.string();
    }
    return Fallback;
}

} // namespace Tavo::QtPlatform
