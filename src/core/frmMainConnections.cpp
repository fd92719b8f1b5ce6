// Keeping one connection open to every configured unit: connecting, the maintenance pass, the waits for
// a unit's data, and the connection messages.

#include <cmath>
#include <cstddef>

#include "core/Texts.h"
#include "core/frmMain.h"
#include "core/modTCP.h"

namespace Tavo {

namespace {

// A unit that streams without pause must not hold the thread for ever: a pass (or a reply) reads at
// most this much, for at most this long, beyond one read per unit, and the next pass takes the rest.
constexpr std::size_t DrainBudgetBytes = 1024 * 1024;
constexpr double DrainBudgetMs = 5.0;

// Wakes just past the limit, so the next check is the last one.
std::int64_t UntilJustPast(double LimitMs, double ElapsedMs) {
    return static_cast<std::int64_t>(std::floor(LimitMs - ElapsedMs)) + 1;
}

} // namespace

void frmMain::Diagnose(int Unit, const std::string& What) {
    std::string Line = "Unit" + std::to_string(Unit) + " " + UnitTable[Unit].UnitAddress + ": " + What;
    Host.WriteDiagnostic(Line);
    Log.Write(std::move(Line));
}

frmMain::DrainBudget frmMain::NewDrainBudget() {
    return {DrainBudgetBytes, Host.SteadyMilliseconds() + DrainBudgetMs};
}

frmMain::ConnectOutcome frmMain::WaitForConnect(int Unit, SocketHandle Socket) {
    const double Start = Host.SteadyMilliseconds();
    const double Limit = Settings.ReconnectDelay > 0 ? Settings.ReconnectDelay : ConnectLimitWithoutDelayMs;
    Links[static_cast<std::size_t>(Unit)].Connecting = true;
    ConnectOutcome Outcome = ConnectOutcome::TimedOut;
    for (;;) {
        Host.DoEvents();
        const modTCP::ConnectState State = modTCP::CheckConnect(Socket);
        if (State != modTCP::ConnectState::Pending) {
            Outcome = State == modTCP::ConnectState::Connected ? ConnectOutcome::Connected
                                                               : ConnectOutcome::Refused;
            break;
        }
        const double Elapsed = Host.SteadyMilliseconds() - Start;
        if (Elapsed > Limit)
            break;
        Host.WaitForEventOrSocket(Socket, SocketInterest::ConnectDone, UntilJustPast(Limit, Elapsed));
    }
    Links[static_cast<std::size_t>(Unit)].Connecting = false;
    return Outcome;
}

void frmMain::WaitForData(int Unit) {
    const double Start = Host.SteadyMilliseconds();
    const double Limit = Settings.ReconnectDelay;
    const std::uint64_t DrainedBefore = Links[static_cast<std::size_t>(Unit)].BytesDrained;
    for (;;) {
        Host.DoEvents();
        // A handler nested in this wait drained what arrived: the data came, so waiting on to the limit
        // would only hold up the next poll.
        if (Links[static_cast<std::size_t>(Unit)].BytesDrained != DrainedBefore)
            return;
        // Handlers that ran just now may have closed or replaced this unit's socket: read it afresh. A
        // failed connection ends the wait at once, as data does; the settle step closes it.
        const UnitSlot& Slot = UnitTable[Unit];
        if (!Slot.UnitConnected || modTCP::PeekSocket(Slot.UnitSocket) != 0)
            return;
        const double Elapsed = Host.SteadyMilliseconds() - Start;
        if (Limit <= 0 || Elapsed > Limit)
            return;
        Host.WaitForEventOrSocket(Slot.UnitSocket, SocketInterest::Readable, UntilJustPast(Limit, Elapsed));
    }
}

std::string frmMain::SettleAfterWait(int Unit, bool Collect, DrainBudget& Budget) {
    const UnitSlot& Slot = UnitTable[Unit];
    if (!Slot.UnitConnected)
        return {}; // closed by a handler inside the wait; the next pass reconnects it
    const int Peek = modTCP::PeekSocket(Slot.UnitSocket);
    if (Peek > 0)
        return Drain(Unit, Collect, Budget);
    if (Peek < 0)
        DisconnectUnit(Unit);
    return {};
}

std::string frmMain::Drain(int Unit, bool Collect, DrainBudget& Budget) {
    std::string Collected;
    // One read whatever the budget, so a unit behind a flooding one is still drained a little each pass.
    bool First = true;
    while (First || (Budget.BytesLeft > 0 && Host.SteadyMilliseconds() < Budget.UntilMs)) {
        First = false;
        const UnitSlot& Slot = UnitTable[Unit];
        if (!Slot.UnitConnected || modTCP::PeekSocket(Slot.UnitSocket) <= 0)
            break;
        const std::string Piece = modTCP::ReceiveText(Slot.UnitSocket);
        if (Piece.empty())
            break;
        Budget.BytesLeft -= std::min(Budget.BytesLeft, Piece.size());
        Links[static_cast<std::size_t>(Unit)].BytesDrained += Piece.size();
        if (Collect)
            Collected += Piece;
    }
    return Collected;
}

void frmMain::ConnectionMessage(int Unit, const std::string& Text, BoxIcon Icon) {
    // The flag is tested when the attempt comes to its result; the box itself waits for the pass to end.
    if (MessagesSuppressed)
        return;
    for (const PendingBox& Box : PendingBoxes)
        if (Box.Unit == Unit && Box.Text == Text)
            return; // already waiting (or on screen): one box per unit and cause at a time
    PendingBoxes.push_back({Unit, Text, Icon});
}

void frmMain::ShowPendingBoxes() {
    // Boxes found while one is open wait for it: handlers nested in its modal loop come back here.
    if (BoxOpen)
        return;
    BoxOpen = true;
    while (!PendingBoxes.empty()) {
        const PendingBox& Box = PendingBoxes.front();
        Host.ShowMessageBox(Box.Text, ErrorTitle, Box.Icon);
        PendingBoxes.pop_front();
    }
    BoxOpen = false;
}

void frmMain::FinishOutermostHandler() {
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        const LinkState& Link = Links[static_cast<std::size_t>(Unit)];
        if (Link.LookedUp && !UnitTable[Unit].UnitConnected && !Link.Connecting) {
            PassBudget = NewDrainBudget();
            ConnectUnit(UnitTable[Unit].UnitAddress, Unit);
        }
    }
    ShowPendingBoxes();
}

void frmMain::OnLookupDone(int Unit, const std::string& Address) {
    LinkState& Link = Links[static_cast<std::size_t>(Unit)];
    Link.LookingUp = false;
    if (!Address.empty()) {
        Link.LookedUp = Address; // connected once no handler is under way (FinishOutermostHandler)
        return;
    }
    Diagnose(Unit, "lookup failed");
    ConnectionMessage(Unit, "Could not resolve hostname " + UnitTable[Unit].HostPart + "!",
                      BoxIcon::Exclamation);
    MessagesSuppressed = true;
}

void frmMain::ConnectUnit(const std::string& Address, int Unit) {
    UnitSlot& Slot = UnitTable[Unit];
    LinkState& Link = Links[static_cast<std::size_t>(Unit)];
    if (Slot.UnitConnected || Link.Connecting || Link.LookingUp)
        return; // an attempt is under way already; a handler nested in it got here

    if (Slot.PortOutOfRange) {
        // The attempt ends in an error: the message comes back on every pass, and decides nothing.
        Diagnose(Unit, "port out of range");
        ConnectionMessage(Unit, UnknownUnitErrorText, BoxIcon::Critical);
        return;
    }

    std::string ConnectAddress;
    if (modTCP::IsIPv4Address(Slot.HostPart)) {
        ConnectAddress = Slot.HostPart;
    } else if (Link.LookedUp) {
        ConnectAddress = *Link.LookedUp;
        Link.LookedUp.reset();
    } else {
        Link.LookingUp = true;
        Lookups.Start(Slot.HostPart, [this, Unit](const std::string& Found) {
            Dispatch([this, Unit, &Found] { OnLookupDone(Unit, Found); });
        });
        return;
    }

    SocketHandle Socket = modTCP::ConnectTcp(ConnectAddress, Slot.Port);
    ConnectOutcome Outcome = ConnectOutcome::Refused;
    if (Socket != -1) {
        Outcome = WaitForConnect(Unit, Socket);
        if (Outcome != ConnectOutcome::Connected)
            modTCP::CloseTcp(Socket);
    }
    if (Outcome != ConnectOutcome::Connected) {
        Diagnose(Unit, Outcome == ConnectOutcome::TimedOut ? "timed out" : "refused");
        ConnectionMessage(Unit, "Error connecting to Unit " + Address + "!", BoxIcon::Exclamation);
        Slot.UnitSocket = 0;
        MessagesSuppressed = true;
        return;
    }

    // Connected before the greeting is read, so a trigger inside the wait uses this connection.
    Slot.UnitSocket = Socket;
    Slot.UnitConnected = true;
    Diagnose(Unit, "connected");
    WaitForData(Unit);
    (void)SettleAfterWait(Unit, false, PassBudget); // the greeting is not looked at
    MessagesSuppressed = true;
    DeliverPendingSelection(Unit);
}

void frmMain::DisconnectUnit(int Unit) {
    UnitSlot& Slot = UnitTable[Unit];
    if (!Slot.UnitConnected)
        return;
    modTCP::ShutdownBoth(Slot.UnitSocket);
    modTCP::CloseTcp(Slot.UnitSocket);
    Slot.UnitSocket = 0;
    Slot.UnitConnected = false;
    Diagnose(Unit, "closed");
}

void frmMain::tmrCheckConnection_Timer() {
    Host.EnableTimer(TimerId::CheckConnection, false);
    PassBudget = NewDrainBudget();
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        const UnitSlot& Slot = UnitTable[Unit];
        if (Slot.UnitAddress.empty())
            continue;
        if (!Slot.UnitConnected) {
            ConnectUnit(Slot.UnitAddress, Unit);
            continue;
        }
        const int Peek = modTCP::PeekSocket(Slot.UnitSocket);
        if (Peek > 0)
            (void)Drain(Unit, false, PassBudget);
        else if (Peek < 0)
            DisconnectUnit(Unit);
    }
    Host.EnableTimer(TimerId::CheckConnection, true);
}

} // namespace Tavo
