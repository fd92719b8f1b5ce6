// Reading the lamps and triggering the unit the panel has selected.

#include <array>

#include "core/frmMain.h"

namespace Tavo {

void frmMain::tmrPoll_Timer() {
    Host.EnableTimer(TimerId::Poll, false);

    // An unsampled (unconfigured) unit reads as black, which is what an empty sample must equal.
    std::array<std::uint32_t, UnitCount + 1> Sample{};
    std::array<ScreenPoint, UnitCount> Points{};
    std::array<int, UnitCount> PointUnit{};
    std::size_t Count = 0;
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        if (UnitTable[Unit].UnitAddress.empty())
            continue;
        Points[Count] = {UnitTable[Unit].IndicatorX, UnitTable[Unit].IndicatorY};
        PointUnit[Count++] = Unit;
    }
    if (Count > 0) {
        std::array<std::uint32_t, UnitCount> Colours{};
        Host.ReadPixels(std::span(Points.data(), Count), std::span(Colours.data(), Count));
        for (std::size_t I = 0; I < Count; ++I)
            Sample[static_cast<std::size_t>(PointUnit[I])] = Colours[I];
    }

    std::optional<int> Candidate;
    bool Found = false;
    for (int Unit = 1; Unit <= UnitCount && !Found; ++Unit)
        if (Sample[static_cast<std::size_t>(Unit)] == Settings.ActiveColor) {
            Candidate = Unit;
            Found = true;
        }
    if (!Found) {
        for (int Unit = 1; Unit <= UnitCount && !Found; ++Unit)
            if (Sample[static_cast<std::size_t>(Unit)] == Settings.OnAirColor) {
                Candidate = Unit;
                Found = true;
            }
        // A second on-air lamp makes the picture ambiguous: keep what we have.
        for (int Unit = Found ? *Candidate + 1 : UnitCount + 1; Unit <= UnitCount; ++Unit)
            if (Sample[static_cast<std::size_t>(Unit)] == Settings.OnAirColor) {
                Candidate = CurrentUnit;
                Found = false;
                break;
            }
    }

    if (Found && Candidate != CurrentUnit) {
        CurrentUnit = Candidate;
        TriggerUnit(*CurrentUnit);
    }

    Host.EnableTimer(TimerId::Poll, true);
    if (PassDeferred) {
        PassDeferred = false;
        tmrCheckConnection_Timer(); // polls run inside its waits from here
    }
}

} // namespace Tavo
