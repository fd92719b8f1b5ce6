#pragma once
// The unit table and the settings: every piece of run-time state the form owns, as plain values.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/Colours.h"
#include "core/Desktop.h"
#include "core/Texts.h"

namespace Tavo {

inline constexpr int UnitCount = 8;
inline constexpr int DefaultUnitPort = 9998;
// With ReconnectDelay 0 the pass at start-up is every unit's only attempt: it gets this long to connect.
inline constexpr double ConnectLimitWithoutDelayMs = 3000;

struct UnitSlot {
    // As written in the settings file; empty when the unit is not configured.
    std::string UnitAddress;
    // The address taken apart once at load: the text before the first colon, and the port. A port given
    // but out of range is kept as such: every connect attempt reports it.
    std::string HostPart;
    int Port = DefaultUnitPort;
    bool PortOutOfRange = false;
    SocketHandle UnitSocket = 0;
    bool UnitConnected = false;
    std::int16_t IndicatorX = 0;
    std::int16_t IndicatorY = 0;
};

// A default written as plain digits, read where the default values are declared.
constexpr std::uint16_t DigitsValue(std::string_view Digits) {
    std::uint16_t Value = 0;
    for (const char C : Digits)
        Value = static_cast<std::uint16_t>(Value * 10 + (C - '0'));
    return Value;
}

struct SettingsRecord {
    std::uint16_t PollInterval = DigitsValue(DefaultPollIntervalText);
    std::uint16_t ReconnectDelay = DigitsValue(DefaultReconnectDelayText);
    std::uint32_t ActiveColor = *ColourFromText(DefaultActiveColorText);
    std::uint32_t OnAirColor = *ColourFromText(DefaultOnAirColorText);
};

// Slot 0 exists and is never used; units are 1..8, and any other index throws.
class UnitArray {
  public:
    UnitSlot& operator[](int Unit) { return Slots.at(static_cast<std::size_t>(Unit)); }
    const UnitSlot& operator[](int Unit) const { return Slots.at(static_cast<std::size_t>(Unit)); }

  private:
    std::array<UnitSlot, UnitCount + 1> Slots{};
};

} // namespace Tavo
