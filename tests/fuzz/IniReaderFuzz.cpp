// The settings-file reader on arbitrary bytes, section and key.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    // Layout: section NUL key NUL default NUL file bytes; missing parts are empty.
    std::string_view Rest(reinterpret_cast<const char*>(Data), Size);
    std::string_view Parts[3];
    for (auto& Part : Parts) {
        const std::size_t End = Rest.find('\0');
        Part = Rest.substr(0, End);
        Rest = End == std::string_view::npos ? std::string_view() : Rest.substr(End + 1);
    }
    const std::string Value = Tavo::ReadIniValue(Rest, Parts[0], Parts[1], Parts[2]);
    if (Value.size() > Tavo::IniValueLimit)
        std::abort();
    // A value has no blanks at either end unless they were inside quotes, and no line end at all.
    if (Value.find_first_of("\r\n") != std::string::npos &&
        Parts[2].find_first_of("\r\n") == std::string::npos)
        std::abort();
    return 0;
}
