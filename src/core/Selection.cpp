#include "core/Selection.h"

namespace Tavo {

LampSamples SampleLamps(const UnitArray& Units, Desktop& Host) {
    LampSamples Samples{};
    std::array<ScreenPoint, UnitCount> Points{};
    std::array<int, UnitCount> PointUnit{};
    std::size_t Count = 0;
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        if (Units[Unit].UnitAddress.empty())
            continue;
        Points[Count] = {Units[Unit].IndicatorX, Units[Unit].IndicatorY};
        PointUnit[Count++] = Unit;
    }
    if (Count > 0) {
        std::array<std::uint32_t, UnitCount> Colours{};
        Host.ReadPixels(std::span(Points.data(), Count), std::span(Colours.data(), Count));
        for (std::size_t I = 0; I < Count; ++I)
            Samples[static_cast<std::size_t>(PointUnit[I])] = Colours[I];
    }
    return Samples;
}

SelectionVerdict InferSelection(const LampSamples& Samples, std::uint32_t ActiveColor,
                                std::uint32_t OnAirColor) {
    using Why = SelectionVerdict::Why;
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        if (Samples[static_cast<std::size_t>(Unit)] == ActiveColor)
            return {Why::Active, Unit};
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        if (Samples[static_cast<std::size_t>(Unit)] != OnAirColor)
            continue;
        // A second on-air lamp makes the picture ambiguous.
        for (int Other = Unit + 1; Other <= UnitCount; ++Other)
            if (Samples[static_cast<std::size_t>(Other)] == OnAirColor)
                return {Why::SeveralOnAir, Unit, Other};
        return {Why::AloneOnAir, Unit};
    }
    return {};
}

std::string DescribeSelection(const SelectionVerdict& Verdict) {
    const std::string Lamp = "lamp " + std::to_string(Verdict.Unit);
    switch (Verdict.Reason) {
    case SelectionVerdict::Why::Active:
        return Lamp + " shows the active colour";
    case SelectionVerdict::Why::AloneOnAir:
        return Lamp + " alone on air";
    case SelectionVerdict::Why::SeveralOnAir:
        return "lamps " + std::to_string(Verdict.Unit) + " and " + std::to_string(Verdict.OtherUnit) +
               " on air, none active: ambiguous";
    case SelectionVerdict::Why::NoLamp:
        break;
    }
    return "no lamp shows the active or the on-air colour";
}

} // namespace Tavo
