#pragma once
// How a unit's address text names its host and port.

#include <string>

namespace Tavo {

struct UnitEndpoint {
    std::string HostPart; // the text before the first colon (the whole text when there is none)
    int Port = 0;
    bool PortOutOfRange = false; // a number was given, outside 0..65535
};

// The port is the number after the one colon, rounded half to even; DefaultPort when there is no
// colon, a second one, or no number after it.
UnitEndpoint ParseUnitAddress(const std::string& Address, int DefaultPort);

} // namespace Tavo
