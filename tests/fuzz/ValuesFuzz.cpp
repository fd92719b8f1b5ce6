// Settings text as arbitrary bytes: the settings reader (the input read as section NUL key NUL default
// NUL file), and the whole input as a value: numbers, colours, and a unit's address (the dotted-quad test
// and the host and port taken out of it).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/Colours.h"
#include "core/IniFile.h"
#include "core/Numerals.h"
#include "core/UnitAddress.h"
#include "core/modTCP.h"

namespace {

// Independent statement of a dotted quad: four runs of 1..3 digits, each at most 255.
bool LooksLikeDottedQuad(const std::string& Text) {
    int Parts = 0;
    std::size_t Start = 0;
    for (;;) {
        const std::size_t End = Text.find('.', Start);
        const std::string Part =
            Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
        if (Part.empty() || Part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const std::string Digits = Part.substr(std::min(Part.find_first_not_of('0'), Part.size()));
        if (Digits.size() > 3 || (!Digits.empty() && std::stoi(Digits) > 255))
            return false;
        ++Parts;
        if (End == std::string::npos)
            return Parts == 4;
        Start = End + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    std::string_view Rest(reinterpret_cast<const char*>(Data), Size);
    std::string_view Parts[3];
    for (auto& Part : Parts) { // missing parts are empty
        const std::size_t End = Rest.find('\0');
        Part = Rest.substr(0, End);
        Rest = End == std::string_view::npos ? std::string_view() : Rest.substr(End + 1);
    }
    const std::string Value = Tavo::ReadIniValue(Rest, Parts[0], Parts[1], Parts[2]);
    // A value keeps to the length limit and has no line end unless the default brought one.
    if (Value.size() > Tavo::IniValueLimit || (Value.find_first_of("\r\n") != std::string::npos &&
                                               Parts[2].find_first_of("\r\n") == std::string::npos))
        std::abort();

    const std::string Address(reinterpret_cast<const char*>(Data), Size);
    if (const auto Number = Tavo::ParseNumber(Address); Number && std::isnan(*Number))
        std::abort();
    if (const auto Whole = Tavo::ParseWholeNumber(Address, -32768, 32767);
        Whole && (*Whole < -32768 || *Whole > 32767))
        std::abort();
    if (const auto Colour = Tavo::ColourFromText(Address); Colour && *Colour > 0x00FFFFFFu)
        std::abort();

    if (Tavo::modTCP::IsIPv4Address(Address) != LooksLikeDottedQuad(Address))
        std::abort();

    const Tavo::UnitEndpoint E = Tavo::ParseUnitAddress(Address, 9998);
    if (E.HostPart.find(':') != std::string::npos || Address.compare(0, E.HostPart.size(), E.HostPart) != 0)
        std::abort();
    if (!E.PortOutOfRange && (E.Port < 0 || E.Port > 65535))
        std::abort();
    return 0;
}
