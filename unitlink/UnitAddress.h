#pragma once
// How a unit's address text names its host and port.

#include <stdexcept>
#include <string>

namespace Tavo {

inline constexpr int DefaultUnitPort = 9998;

// The port is given but lies outside 0..65535; the attempt ends with the catch-all message.
class PortOutOfRange : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The text before the first colon (the whole text when there is none).
std::string UnitHostPart(const std::string& Address);

// The port after the one colon; the default when there is no colon, a second one, or no number.
// Throws PortOutOfRange for a number outside 0..65535.
int UnitPort(const std::string& Address);

} // namespace Tavo
