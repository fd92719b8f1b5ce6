// Keeping one connection open to every configured unit.

#include <cmath>
#include <cstddef>
#include <exception>
#include <stdexcept>

#include "app/Texts.h"
#include "app/frmMain.h"
#include "config/Numerals.h"
#include "unitlink/UnitAddress.h"
#include "unitlink/modTCP.h"

namespace Tavo {

namespace {

// A unit that streams without pause must not hold the thread for ever: one drain reads at most this
// much, for at most this long (so polls and the tray stay prompt), and the next pass takes the rest.
constexpr std::size_t DrainBudgetBytes = 1024 * 1024;
constexpr double DrainBudgetMs = 5.0;

} // namespace

std::string UnitHostPart(const std::string& Address) {
    return Address.substr(0, Address.find(':'));
}

int UnitPort(const std::string& Address) {
    const std::size_t Colon = Address.find(':');
    if (Colon == std::string::npos || Address.find(':', Colon + 1) != std::string::npos)
        return DefaultUnitPort;
    const auto Number = ParseNumber(std::string_view(Address).substr(Colon + 1));
    if (!Number)
        return DefaultUnitPort;
    const double Rounded = std::nearbyint(*Number); // half to even
    if (Rounded < 0 || Rounded > 65535)
        throw PortOutOfRange("port out of range in " + Address);
    return static_cast<int>(Rounded);
}

std::int64_t frmMain::WaitLimitMs() {
    // Checked to lie in 0..65535 at start-up; a fraction rounds up to the next whole millisecond.
    const auto Value = ParseNumber(Settings.ReconnectDelay);
    if (!Value || *Value < 0)
        throw FatalError("ReconnectDelay \"" + Settings.ReconnectDelay +
                         "\" is not a number of milliseconds.");
    return static_cast<std::int64_t>(std::ceil(*Value));
}

void frmMain::WaitForData(int Unit) {
    const double Start = Host.SteadyMilliseconds();
    const auto Limit = static_cast<double>(WaitLimitMs());
    const std::uint64_t DrainedBefore = BytesDrained.at(static_cast<std::size_t>(Unit));
    for (;;) {
        Host.DoEvents();
        // A maintenance pass nested in this wait drained what arrived: the data came, so waiting on
        // to the limit would only hold up the next poll.
        if (BytesDrained.at(static_cast<std::size_t>(Unit)) != DrainedBefore)
            return;
        // Handlers that ran just now may have closed or replaced this unit's socket: read it afresh.
        const UnitSlot& Slot = UnitTable[Unit];
        // A failed connection ends the wait at once; the settle step closes it.
        if (!Slot.UnitConnected || modTCP::PeekSocket(Slot.UnitSocket) != 0)
            return;
        const double Elapsed = Host.SteadyMilliseconds() - Start;
        if (Limit <= 0 || Elapsed > Limit)
            return;
        // Wake just past the limit, so the next check is the last one.
        const auto Remaining = static_cast<std::int64_t>(std::floor(Limit - Elapsed)) + 1;
        Host.WaitForEventOrSocket(Slot.UnitSocket, SocketInterest::Readable, Remaining);
    }
}

std::string frmMain::SettleAfterWait(int Unit, bool Collect) {
    const UnitSlot& Slot = UnitTable[Unit];
    if (!Slot.UnitConnected)
        return {}; // closed by a handler inside the wait; the next pass reconnects it
    const int Peek = modTCP::PeekSocket(Slot.UnitSocket);
    if (Peek > 0)
        return Drain(Unit, Collect);
    if (Peek < 0) {
        DisconnectUnit(Unit);
        UnitTable[Unit].UnitConnected = false;
    }
    return {};
}

std::string frmMain::Drain(int Unit, bool Collect) {
    std::string Collected;
    std::size_t Read = 0;
    const double Start = Host.SteadyMilliseconds();
    while (Read < DrainBudgetBytes && Host.SteadyMilliseconds() - Start < DrainBudgetMs) {
        const UnitSlot& Slot = UnitTable[Unit];
        if (!Slot.UnitConnected || modTCP::PeekSocket(Slot.UnitSocket) <= 0)
            break;
        const std::string Piece = modTCP::ReceiveText(Slot.UnitSocket);
        if (Piece.empty())
            break;
        Read += Piece.size();
        BytesDrained.at(static_cast<std::size_t>(Unit)) += Piece.size();
        if (Collect)
            Collected += Piece;
    }
    return Collected;
}

void frmMain::ConnectUnit(const std::string& Address, int Unit) {
    try {
        const std::string HostPart = UnitHostPart(Address);
        const std::string ConnectAddress =
            modTCP::IsIPv4Address(HostPart) ? HostPart : modTCP::ResolveHostname(HostPart);
        // After the lookup on purpose: an out-of-range port wins over a name that does not resolve.
        const int Port = UnitPort(Address);

        if (ConnectAddress.empty()) {
            if (!MessagesSuppressed)
                Host.ShowMessageBox("Could not resolve hostname " + HostPart + "!", ErrorTitle,
                                    BoxIcon::Exclamation);
            MessagesSuppressed = true;
            return;
        }

        const SocketHandle Socket = modTCP::ConnectTcp(ConnectAddress, Port, Host);
        if (Socket == -1) {
            if (!MessagesSuppressed)
                Host.ShowMessageBox("Error connecting to Unit " + Address + "!", ErrorTitle,
                                    BoxIcon::Exclamation);
            UnitTable[Unit].UnitSocket = 0;
            MessagesSuppressed = true;
            return;
        }

        // Connected before the greeting is read, so a trigger inside the wait uses this connection.
        UnitTable[Unit].UnitSocket = Socket;
        UnitTable[Unit].UnitConnected = true;

        WaitForData(Unit);
        (void)SettleAfterWait(Unit, false); // the greeting is not looked at
        MessagesSuppressed = true;
    } catch (const std::exception&) {
        if (!MessagesSuppressed)
            Host.ShowMessageBox(
                "An unknown error occurred while connecting to or communicating with the unit.", ErrorTitle,
                BoxIcon::Critical);
    }
}

void frmMain::DisconnectUnit(int Unit) {
    UnitSlot& Slot = UnitTable[Unit];
    if (!Slot.UnitConnected)
        return;
    modTCP::ShutdownBoth(Slot.UnitSocket);
    modTCP::CloseTcp(Slot.UnitSocket);
    Slot.UnitSocket = 0;
    Slot.UnitConnected = false;
}

void frmMain::tmrCheckConnection_Timer() {
    Host.EnableTimer(TimerId::CheckConnection, false);
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        if (UnitTable[Unit].UnitAddress.empty())
            continue;
        if (UnitTable[Unit].UnitConnected) {
            const int Peek = modTCP::PeekSocket(UnitTable[Unit].UnitSocket);
            if (Peek > 0) {
                (void)Drain(Unit, false);
            } else if (Peek < 0) {
                DisconnectUnit(Unit);
                UnitTable[Unit].UnitConnected = false;
            }
        } else {
            ConnectUnit(UnitTable[Unit].UnitAddress, Unit);
        }
    }
    Host.EnableTimer(TimerId::CheckConnection, true);
}

} // namespace Tavo
