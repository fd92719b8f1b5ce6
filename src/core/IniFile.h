#pragma once
// Our own reader of settings files, giving what the system's profile reader gives for the same bytes.

#include <cstddef>
#include <string>
#include <string_view>

namespace Tavo {

// The reader's buffer holds 750 characters, one of them the terminating NUL.
inline constexpr std::size_t IniValueLimit = 749;

// A numbered key: the stem and the unit number as one digit ("Unit1", "UnitIndicator8").
inline std::string NumberedKey(std::string_view Stem, int Unit) {
    std::string Key(Stem);
    Key += static_cast<char>('0' + Unit);
    return Key;
}

// The value of Key in Section of the file whose bytes are Contents, or Default (trailing blanks
// trimmed) when the section or key is missing.
std::string ReadIniValue(std::string_view Contents, std::string_view Section, std::string_view Key,
                         std::string_view Default);

// The same from the file at Path; a file that cannot be read gives Default, as a missing one does.
std::string ReadIniFile(const std::string& Path, std::string_view Section, std::string_view Key,
                        std::string_view Default);

} // namespace Tavo
