// Sending a command block to a unit and collecting its reply.

#include <string_view>

#include "app/frmMain.h"
#include "unitlink/modTCP.h"

namespace Tavo {

namespace {

// Sets the unit's general-purpose output; the empty line ends the block.
constexpr std::string_view GpOutBlock = "CONTROL:\nGP out: yes\n\n";
static_assert(GpOutBlock.size() == 22);

} // namespace

std::string frmMain::SendToUnit(const std::string& UnitCommand, int UnitID) {
    {
        const UnitSlot& Slot = UnitTable[UnitID];
        if (Slot.UnitAddress.empty() || !Slot.UnitConnected)
            return {};
        // A short or failed send shows up in the settle step.
        (void)modTCP::SendText(Slot.UnitSocket, UnitCommand);
    }
    WaitForData(UnitID);
    return SettleAfterWait(UnitID, true);
}

void frmMain::TriggerUnit(int Unit) {
    const UnitSlot& Slot = UnitTable[Unit];
    if (Slot.UnitAddress.empty() || !Slot.UnitConnected)
        return; // not queued: a lost trigger stays lost
    (void)SendToUnit(std::string(GpOutBlock), Unit);
}

} // namespace Tavo
