#include "picker/LampPicks.h"

#include <algorithm>
#include <cstdio>

#include "core/IniFile.h"

namespace Tavo::Picker {

std::string ColourValueText(std::uint32_t Colour) {
    char Text[11];
    std::snprintf(Text, sizeof Text, "0x%08X", static_cast<unsigned>(Colour));
    return Text;
}

bool LampPicks::Empty() const {
    return !ActiveColor && !OnAirColor &&
           std::none_of(Lamps.begin(), Lamps.end(), [](const auto& L) { return L.has_value(); });
}

std::string LampPicks::TavoGuiLines() const {
    if (Empty())
        return {};
    std::string Lines = "[TavoGUI]\n";
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        if (const auto& L = Lamps[static_cast<std::size_t>(Unit)]) {
            Lines += NumberedKey("UnitIndicator", Unit);
            Lines += '=';
            Lines += std::to_string(L->X);
            Lines += ',';
            Lines += std::to_string(L->Y);
            Lines += '\n';
        }
    if (ActiveColor)
        Lines += "UnitActiveColor=" + ColourText(*ActiveColor) + "\n";
    if (OnAirColor)
        Lines += "UnitOnAirColor=" + ColourText(*OnAirColor) + "\n";
    return Lines;
}

} // namespace Tavo::Picker
