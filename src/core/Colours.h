#pragma once
// Colour text as the settings file writes it ("#3296FF", red first) and the colour value a pixel read
// gives (0x00BBGGRR, red in the low byte).

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace Tavo {

// Colour values never exceed this; a pixel read gives all bits set where the screen cannot be read.
inline constexpr std::uint32_t UnreadableColour = 0xFFFFFFFFu;

// One "#" may lead; fewer than six digits are padded with "0" on the right ("F00" is F00000, not red);
// digits after the sixth are ignored. Empty when one of the six is not a hexadecimal digit.
constexpr std::optional<std::uint32_t> ColourFromText(std::string_view Text) {
    if (!Text.empty() && Text.front() == '#')
        Text.remove_prefix(1);
    std::uint32_t Channels[3] = {0, 0, 0}; // red, green, blue
    for (std::size_t I = 0; I < 6; ++I) {
        const char C = I < Text.size() ? Text[I] : '0';
        std::uint32_t Digit = 0;
        if (C >= '0' && C <= '9')
            Digit = static_cast<std::uint32_t>(C - '0');
        else if (C >= 'a' && C <= 'f')
            Digit = static_cast<std::uint32_t>(C - 'a' + 10);
        else if (C >= 'A' && C <= 'F')
            Digit = static_cast<std::uint32_t>(C - 'A' + 10);
        else
            return std::nullopt;
        Channels[I / 2] = Channels[I / 2] * 16 + Digit;
    }
    return Channels[2] * 65536 + Channels[1] * 256 + Channels[0];
}

// "#RRGGBB" from a colour value 0x00BBGGRR: the form ColourFromText reads back.
inline std::string ColourText(std::uint32_t Colour) {
    char Text[8];
    std::snprintf(Text, sizeof Text, "#%02X%02X%02X", Colour & 0xFFu, (Colour >> 8) & 0xFFu,
                  (Colour >> 16) & 0xFFu);
    return Text;
}

} // namespace Tavo
