// Number and colour conversions of settings values.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/Colours.h"
#include "core/Numerals.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);

    if (const auto Number = Tavo::ParseNumber(Text); Number && std::isnan(*Number))
        std::abort();
    if (const auto Whole = Tavo::ParseWholeNumber(Text, -32768, 32767);
        Whole && (*Whole < -32768 || *Whole > 32767))
        std::abort();
    if (const auto Port = Tavo::ParseWholeNumber(Text, 0, 65535); Port && (*Port < 0 || *Port > 65535))
        std::abort();

    if (const auto Colour = Tavo::ColourFromText(Text); Colour && *Colour > 0x00FFFFFFu)
        std::abort();
    return 0;
}
