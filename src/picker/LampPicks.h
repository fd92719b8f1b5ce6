#pragma once
// What the user has picked so far (a lamp position per unit, the two lamp colours) and the settings
// lines that carry it into the program's file.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/Colours.h"
#include "core/Desktop.h"
#include "core/Units.h"

namespace Tavo::Picker {

// What a pixel read gives where the screen cannot be read.
inline constexpr std::uint32_t Unreadable = UnreadableColour;

// "0x00BBGGRR": the value the program compares, as a pixel read returns it.
std::string ColourValueText(std::uint32_t Colour);

// A point of the whole screen and the colour read there.
struct Sample {
    int X = 0;
    int Y = 0;
    std::uint32_t Colour = Unreadable;
};

struct LampPicks {
    std::array<std::optional<ScreenPoint>, UnitCount + 1> Lamps{}; // slot 0 unused, as in the unit table
    std::optional<std::uint32_t> ActiveColor;
    std::optional<std::uint32_t> OnAirColor;

    bool Empty() const;
    // The [TavoGUI] section with the keys picked so far, one "\n"-ended line each; nothing when empty.
    std::string TavoGuiLines() const;
};

} // namespace Tavo::Picker
