#pragma once
// The settings file read into typed values, apart from the form: the program loads it at start-up, and
// a settings check loads it the same way, so both find the same errors and warnings.

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Units.h"

namespace Tavo {

// A start-up failure: the message names the file and, where it applies, section, key and value.
class FatalError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The system's settings reader: the value of Key in Section of File, Default when any of them is missing.
using IniReader = std::function<std::string(const std::string& Section, const std::string& Key,
                                            const std::string& File, const std::string& Default)>;
// A warning the file draws. The program shows it in a box and goes on once it is closed.
using SettingsWarning = std::function<void(const std::string& Text)>;

struct LoadedSettings {
    std::string File;
    // Addresses (taken apart) and lamp positions; the connection fields stay as they start.
    UnitArray Units;
    SettingsRecord Settings;
};

// The first of the places the file may lie that can be read; the first place when none can.
std::string FindSettingsFile(const std::vector<std::string>& Candidates);

// Reads every value and converts it once. Candidates: where the file may lie, most preferred first;
// BaseName: the program's file name without extension (the version warning names it). Throws FatalError.
LoadedSettings LoadSettingsFile(const std::vector<std::string>& Candidates, const std::string& BaseName,
                                int MajorVersion, const IniReader& Read, const SettingsWarning& Warn);

// What the system makes of a path as written: its variables filled in (%APPDATA% on Windows).
using PathExpander = std::function<std::string(const std::string& Path)>;

// [Diagnostics] LogFile of File as a full path, Expand applied first; a relative path lies in File's
// folder. Empty: no log. Read apart from the rest, so that a run the rest stops can still be logged.
std::string LogFileSetting(const std::string& File, const IniReader& Read, const PathExpander& Expand);

// "#3296FF" -> 0x00FF9632; throws FatalError naming Where (file, section, key) and the value.
std::uint32_t HexToColor(const std::string& ColorText, const std::string& Where);

} // namespace Tavo
