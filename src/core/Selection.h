#pragma once
// Which unit the lamps point at, by the program's rules, apart from the form: the poll acts on it, the
// settings check shows it, and the log says why a selection changed.

#include <array>
#include <cstdint>
#include <string>

#include "core/Desktop.h"
#include "core/Units.h"

namespace Tavo {

// One colour per unit, slot 0 unused; a unit that was not read holds 0, which is what an empty sample
// must equal (black).
using LampSamples = std::array<std::uint32_t, UnitCount + 1>;

struct SelectionVerdict {
    enum class Why { NoLamp, Active, AloneOnAir, SeveralOnAir };
    Why Reason = Why::NoLamp;
    // With Active or AloneOnAir: the unit the lamps point at. With SeveralOnAir: the first two on air.
    int Unit = 0;
    int OtherUnit = 0;
    bool Found() const { return Reason == Why::Active || Reason == Why::AloneOnAir; }
};

// Reads the lamps of the configured units, in one screen read; the others stay 0.
LampSamples SampleLamps(const UnitArray& Units, Desktop& Host);

// The lowest unit in the active colour; else the one unit on air; two or more on air decide nothing.
SelectionVerdict InferSelection(const LampSamples& Samples, std::uint32_t ActiveColor,
                                std::uint32_t OnAirColor);

// In the operator's words: "lamp 3 shows the active colour", "lamp 2 alone on air".
std::string DescribeSelection(const SelectionVerdict& Verdict);

} // namespace Tavo
