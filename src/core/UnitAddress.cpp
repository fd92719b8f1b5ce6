#include "core/UnitAddress.h"

#include <cmath>
#include <string_view>

#include "core/Numerals.h"

namespace Tavo {

UnitEndpoint ParseUnitAddress(const std::string& Address, int DefaultPort) {
    UnitEndpoint Result{Address.substr(0, Address.find(':')), DefaultPort, false};
    const std::size_t Colon = Address.find(':');
    if (Colon == std::string::npos || Address.find(':', Colon + 1) != std::string::npos)
        return Result;
    const auto Number = ParseNumber(std::string_view(Address).substr(Colon + 1));
    if (!Number)
        return Result;
    const double Rounded = std::nearbyint(*Number); // half to even
    if (Rounded < 0 || Rounded > 65535)
        Result.PortOutOfRange = true;
    else
        Result.Port = static_cast<int>(Rounded);
    return Result;
}

} // namespace Tavo
