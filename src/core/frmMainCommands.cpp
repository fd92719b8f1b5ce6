// Sending a command block to a unit and collecting its reply; the selection's block, and the selection
// that waits for its unit.

#include <string_view>

#include "core/frmMain.h"
#include "core/modTCP.h"

namespace Tavo {

namespace {

// Sets the unit's general-purpose output; the empty line ends the block.
constexpr std::string_view GpOutBlock = "CONTROL:\nGP out: yes\n\n";
static_assert(GpOutBlock.size() == 22);

} // namespace

bool frmMain::SendCommand(const std::string& UnitCommand, int Unit, std::string* Reply,
                          const char* SentNote) {
    const UnitSlot& Slot = UnitTable[Unit];
    if (Slot.UnitAddress.empty() || !Slot.UnitConnected)
        return false;
    const bool Sent = modTCP::SendText(Slot.UnitSocket, UnitCommand) == static_cast<int>(UnitCommand.size());
    if (Sent && SentNote)
        Diagnose(Unit, SentNote);
    // A failed send shows up in the settle step as a failed connection.
    ++ReplyWaits;
    WaitForData(Unit);
    --ReplyWaits;
    DrainBudget Budget = NewDrainBudget();
    std::string Collected = SettleAfterWait(Unit, Reply != nullptr, Budget);
    if (Reply)
        *Reply = std::move(Collected);
    return Sent;
}

std::string frmMain::SendToUnit(const std::string& UnitCommand, int UnitID) {
    std::string Reply;
    (void)SendCommand(UnitCommand, UnitID, &Reply, nullptr);
    return Reply;
}

void frmMain::SendSelection(int Unit, const char* SentNote) {
    if (SendCommand(std::string(GpOutBlock), Unit, nullptr, SentNote))
        return;
    // Not taken: it waits for the unit's next connection, unless a handler nested in the reply wait
    // made a newer selection meanwhile.
    if (CurrentUnit == Unit && !PendingSelection) {
        PendingSelection = Unit;
        Diagnose(Unit, "selection pending (the send failed)");
    }
}

void frmMain::TriggerUnit(int Unit) {
    const UnitSlot& Slot = UnitTable[Unit];
    if (PendingSelection && *PendingSelection != Unit)
        Diagnose(*PendingSelection, "pending selection superseded by Unit" + std::to_string(Unit));
    PendingSelection.reset();
    if (Slot.UnitAddress.empty())
        return; // a unit that is not configured never gets anything
    if (!Slot.UnitConnected) {
        PendingSelection = Unit;
        Diagnose(Unit, "selection pending (not connected)");
        return;
    }
    SendSelection(Unit, "selection sent");
}

// After the unit's greeting has been drained: the selection made while it was away, sent once.
void frmMain::DeliverPendingSelection(int Unit) {
    if (PendingSelection != Unit || CurrentUnit != Unit || !UnitTable[Unit].UnitConnected)
        return;
    PendingSelection.reset();
    SendSelection(Unit, "selection delivered late");
}

} // namespace Tavo
