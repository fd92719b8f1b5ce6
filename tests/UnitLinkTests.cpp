// The unit link against real loopback connections: the socket primitives, connecting and maintaining
// units, and the command exchange, with the fake desktop's clock timing the waits.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "FakeDesktop.h"
#include "TestUnitListener.h"
#include "app/Texts.h"
#include "app/frmMain.h"
#include "unitlink/SocketCompat.h"
#include "unitlink/modTCP.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

const std::string GpOut = "CONTROL:\nGP out: yes\n\n";
const std::string CriticalText =
    "An unknown error occurred while connecting to or communicating with the unit.";
constexpr int Patience = 5000; // ms for anything loopback does; only reached when something is wrong

// A loopback address of its own, so units on fixed ports (the default 9998 among them) meet nothing
// else that listens on this machine.
const std::string FixedHost = "127.83.41.7";

// A name that cannot resolve, and that never leaves this machine: a label over 63 characters is no DNS
// name, so the resolver gives up without asking a name server.
const std::string NoSuchUnit = "nosuchunit-" + std::string(64, 'x') + ".invalid";

class UnitLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { StartSockets(); }
};

// A port that nothing listens on: bound once, then released.
int DeadPort() {
    int Port = 0;
    {
        TestUnitListener Gone;
        Port = Gone.Port();
    }
    return Port;
}

// The form and its fake desktop, with the sockets closed again when the test ends.
struct Rig {
    FakeDesktop Desk;
    frmMain Form{Desk};
    Rig() { Desk.SetEventSink(&Form); }
    ~Rig() {
        for (int Unit = 1; Unit <= UnitCount; ++Unit)
            Form.DisconnectUnit(Unit);
    }
    UnitSlot& Slot(int Unit) { return Form.UnitTable[Unit]; }
};

// Unit 1 at the listener, connected by one maintenance pass without a greeting wait.
void ConnectFirstUnit(Rig& R, TestUnitListener& Unit) {
    R.Form.Settings.ReconnectDelay = "0";
    R.Slot(1).UnitAddress = Unit.Endpoint();
    R.Form.tmrCheckConnection_Timer();
    ASSERT_TRUE(R.Slot(1).UnitConnected);
    ASSERT_TRUE(Unit.WaitForAccepted(1, Patience));
}

struct Connected {
    TestUnitListener Unit;
    FakeDesktop Desk;
    SocketHandle Socket = -1;
    Connected() {
        Socket = modTCP::ConnectTcp("127.0.0.1", Unit.Port(), Desk);
        if (Socket == -1 || !Unit.WaitForAccepted(1, Patience))
            throw std::runtime_error("no loopback connection to the stand-in unit");
    }
    ~Connected() {
        if (Socket > 0)
            modTCP::CloseTcp(Socket);
    }
};

} // namespace

// ---- socket primitives ---------------------------------------------------------------------------

TEST(UnitLinkPrimitives, IsIPv4Address) {
    const struct {
        const char* Text;
        bool Expected;
    } Cases[] = {
        {"192.168.1.20", true},       {"0.0.0.0", true},        {"255.255.255.255", true},
        {"010.0.0.1", true},          {"192.168.1", false},     {"192.168.1.20.5", false},
        {"192.168..20", false},       {"192.168.1.20.", false}, {".1.2.3", false},
        {"192.168.1.256", false},     {"unit-a.local", false},  {"", false},
        {"1.2.3.+4", false},          {" 1.2.3.4", false},      {"1.2.3.4 ", false},
        {"1.2.3.99999999999", false},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(modTCP::IsIPv4Address(C.Text), C.Expected) << '"' << C.Text << '"';
}

TEST_F(UnitLinkTest, ResolveHostnameGivesTheFirstAddressOrNothing) {
    EXPECT_EQ(modTCP::ResolveHostname("localhost"), "127.0.0.1");
    EXPECT_EQ(modTCP::ResolveHostname("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(modTCP::ResolveHostname(NoSuchUnit), "");
    EXPECT_EQ(modTCP::ResolveHostname(""), "");
}

TEST_F(UnitLinkTest, ConnectTcpResults) {
    FakeDesktop Desk;
    // Nothing listens: -1, whatever the port.
    EXPECT_EQ(modTCP::ConnectTcp("127.0.0.1", DeadPort(), Desk), -1);
    EXPECT_EQ(modTCP::ConnectTcp("127.0.0.1", 0, Desk), -1);
    // Not a dotted quad, or no port: refused before any socket exists.
    EXPECT_EQ(modTCP::ConnectTcp("localhost", 80, Desk), -1);
    EXPECT_EQ(modTCP::ConnectTcp("127.0.0.1", 65536, Desk), -1);

    TestUnitListener Unit;
    bool EventRan = false;
    Desk.Post([&] { EventRan = true; });
    SocketHandle Socket = modTCP::ConnectTcp("127.0.0.1", Unit.Port(), Desk);
    ASSERT_NE(Socket, -1);
    EXPECT_TRUE(EventRan) << "events must keep running while a connect is under way";
    ASSERT_TRUE(Unit.WaitForAccepted(1, Patience));
    // Non-blocking: a peek on the silent connection comes back at once with "idle".
    EXPECT_EQ(modTCP::PeekSocket(Socket), 0);

    const auto Keep = SocketCompat::ReadKeepAlive(static_cast<SocketCompat::NativeSocket>(Socket));
    EXPECT_TRUE(Keep.On);
    // Winsock cannot read the timings back; where they can be read they must be the short ones.
    EXPECT_EQ(Keep.IdleSeconds.value_or(5), 5);
    EXPECT_EQ(Keep.IntervalSeconds.value_or(1), 1);
    EXPECT_EQ(Keep.Probes.value_or(5), 5);

    modTCP::CloseTcp(Socket);
    EXPECT_EQ(Socket, 0);
}

TEST_F(UnitLinkTest, PeekSocketTellsIdleDataAndFailureApart) {
    enum class Peer { Silent, SendsTen, Resets, ClosesOrderly };
    const struct {
        const char* Name;
        Peer Does;
        int Expected;
    } Cases[] = {
        {"idle", Peer::Silent, 0},
        {"data", Peer::SendsTen, 1},
        {"reset", Peer::Resets, -1},
        {"orderly close", Peer::ClosesOrderly, -1},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Connected Link;
        switch (C.Does) {
        case Peer::Silent:
            break;
        case Peer::SendsTen:
            Link.Unit.Send("0123456789");
            ASSERT_TRUE(WaitForWaitingBytes(Link.Socket, 10, Patience));
            break;
        case Peer::Resets:
            Link.Unit.Reset();
            ASSERT_TRUE(WaitForReadable(Link.Socket, Patience));
            break;
        case Peer::ClosesOrderly:
            Link.Unit.CloseOrderly();
            ASSERT_TRUE(WaitForReadable(Link.Socket, Patience));
            break;
        }
        EXPECT_EQ(modTCP::PeekSocket(Link.Socket), C.Expected);
        EXPECT_EQ(modTCP::PeekSocket(Link.Socket), C.Expected) << "a peek must not change what it sees";
        if (C.Does == Peer::SendsTen) {
            EXPECT_EQ(modTCP::ReceiveText(Link.Socket), "0123456789");
        }
    }
}

TEST_F(UnitLinkTest, ReceiveTextLosesNothing) {
    const struct {
        const char* Name;
        std::size_t Size;
        std::vector<std::size_t> Reads;
    } Cases[] = {
        {"one byte", 1, {1}},
        {"ten bytes", 10, {10}},
        {"4097 bytes", 4097, {4096, 1}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        Connected Link;
        std::string Sent;
        for (std::size_t I = 0; I < C.Size; ++I)
            Sent += static_cast<char>('a' + I % 26);
        Link.Unit.Send(Sent);
        ASSERT_TRUE(WaitForWaitingBytes(Link.Socket, C.Size, Patience));
        std::string Got;
        for (std::size_t Expected : C.Reads) {
            const std::string Piece = modTCP::ReceiveText(Link.Socket);
            EXPECT_EQ(Piece.size(), Expected);
            Got += Piece;
        }
        EXPECT_EQ(Got, Sent);
        EXPECT_EQ(modTCP::PeekSocket(Link.Socket), 0);
        EXPECT_EQ(modTCP::ReceiveText(Link.Socket), "") << "nothing waiting reads as empty";
    }
}

TEST_F(UnitLinkTest, SendTextSendsOnceAndFailsQuietlyOnADeadConnection) {
    Connected Link;
    EXPECT_EQ(modTCP::SendText(Link.Socket, GpOut), 22);
    ASSERT_TRUE(Link.Unit.WaitForReceived(22, Patience));
    const auto Chunks = Link.Unit.Chunks();
    ASSERT_EQ(Chunks.size(), 1u);
    EXPECT_EQ(Chunks[0].Bytes, GpOut);

    // After a reset the sends fail with -1; on Linux without a SIGPIPE that would end this process.
    Link.Unit.Reset();
    ASSERT_TRUE(WaitForReadable(Link.Socket, Patience));
    int Last = 0;
    for (int I = 0; I < 3; ++I)
        Last = modTCP::SendText(Link.Socket, GpOut);
    EXPECT_EQ(Last, -1);
}

// ---- connecting a unit -----------------------------------------------------------------------------

TEST_F(UnitLinkTest, ConnectUnitAddressesPortsAndMessages) {
    // Units on fixed ports of an address of their own; each row says which one must be reached.
    TestUnitListener Default(FixedHost, 9998);
    TestUnitListener Top(FixedHost, 65535);
    TestUnitListener Upper(FixedHost, 32768);
    TestUnitListener Ephemeral;
    for (TestUnitListener* L : {&Default, &Top, &Upper, &Ephemeral})
        L->SetGreeting("Welcome\n\n");
    const std::string Eph = std::to_string(Ephemeral.Port());
    const std::string Dead = std::to_string(DeadPort());

    enum class Box { None, Resolve, Connect, Critical };
    const struct {
        std::string Address;
        TestUnitListener* Reached; // nullptr: no connection
        Box Shown;
        bool Suppressed;
    } Cases[] = {
        {FixedHost, &Default, Box::None, true},
        {FixedHost + ":", &Default, Box::None, true},
        {FixedHost + ":abc", &Default, Box::None, true},
        {FixedHost + ":1e4", &Default, Box::None, true},
        {FixedHost + ":" + Eph + ":2", &Default, Box::None, true},
        {FixedHost + ": 9998 ", &Default, Box::None, true},
        {FixedHost + ":+9998", &Default, Box::None, true},
        {FixedHost + ":9997.5", &Default, Box::None, true},
        {FixedHost + ":9998.5", &Default, Box::None, true},
        {FixedHost + ":65535", &Top, Box::None, true},
        {FixedHost + ":32768", &Upper, Box::None, true},
        {"127.0.0.1:" + Eph, &Ephemeral, Box::None, true},
        {"localhost:" + Eph, &Ephemeral, Box::None, true},
        {FixedHost + ":65536", nullptr, Box::Critical, false},
        {FixedHost + ":-1", nullptr, Box::Critical, false},
        {FixedHost + ":99999999999999999999999", nullptr, Box::Critical, false},
        {FixedHost + ":" + std::string(400, '9'), nullptr, Box::Critical, false}, // beyond a double
        {NoSuchUnit + ":70000", nullptr, Box::Critical, false},
        {NoSuchUnit, nullptr, Box::Resolve, true},
        {NoSuchUnit + ":" + Eph, nullptr, Box::Resolve, true},
        {"127.0.0.1:0", nullptr, Box::Connect, true},
        {"127.0.0.1:" + Dead, nullptr, Box::Connect, true},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Address);
        const int Before = C.Reached ? C.Reached->Accepted() : 0;
        Rig R;
        R.Slot(1).UnitAddress = C.Address;
        R.Form.ConnectUnit(C.Address, 1);

        EXPECT_EQ(R.Slot(1).UnitConnected, C.Reached != nullptr);
        EXPECT_EQ(R.Slot(1).UnitSocket != 0, C.Reached != nullptr);
        if (C.Reached) {
            EXPECT_TRUE(C.Reached->WaitForAccepted(Before + 1, Patience)) << "connected to the wrong port";
        }
        EXPECT_EQ(R.Form.MessagesSuppressed, C.Suppressed);
        if (C.Shown == Box::None) {
            EXPECT_TRUE(R.Desk.Boxes.empty()) << R.Desk.Boxes.front().Text;
            continue;
        }
        ASSERT_EQ(R.Desk.Boxes.size(), 1u);
        const RecordedBox& B = R.Desk.Boxes[0];
        EXPECT_EQ(B.Title, ErrorTitle);
        switch (C.Shown) {
        case Box::Resolve:
            EXPECT_EQ(B.Text, "Could not resolve hostname " + NoSuchUnit + "!");
            EXPECT_EQ(B.Icon, BoxIcon::Exclamation);
            break;
        case Box::Connect:
            EXPECT_EQ(B.Text, "Error connecting to Unit " + C.Address + "!");
            EXPECT_EQ(B.Icon, BoxIcon::Exclamation);
            break;
        default:
            EXPECT_EQ(B.Text, CriticalText);
            EXPECT_EQ(B.Icon, BoxIcon::Critical);
            break;
        }
    }
    // The same rows once the flag is set: every one is silent.
    for (const auto& C : Cases) {
        SCOPED_TRACE("suppressed: " + C.Address);
        Rig R;
        R.Form.MessagesSuppressed = true;
        R.Form.ConnectUnit(C.Address, 1);
        EXPECT_TRUE(R.Desk.Boxes.empty());
        EXPECT_TRUE(R.Form.MessagesSuppressed);
    }
}

TEST_F(UnitLinkTest, GreetingIsDrainedAndTheWaitEndsAtItsFirstByte) {
    TestUnitListener Unit;
    Unit.SetGreeting(std::string(5000, 'g')); // more than one read
    Rig R;
    R.Slot(1).UnitAddress = Unit.Endpoint();
    const double Start = R.Desk.SteadyMilliseconds();
    R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1);
    EXPECT_LT(R.Desk.SteadyMilliseconds() - Start, 1000.0) << "the wait must end when the greeting arrives";
    ASSERT_TRUE(R.Slot(1).UnitConnected);
    EXPECT_EQ(modTCP::PeekSocket(R.Slot(1).UnitSocket), 0) << "greeting left in the socket";
    EXPECT_TRUE(R.Form.MessagesSuppressed);
}

TEST_F(UnitLinkTest, SilentUnitWaitsTheFullDelayAndStaysConnected) {
    const struct {
        const char* Delay;
        double Least;
        double Most;
    } Cases[] = {{"3000", 3000, 3010}, {"250", 250, 260}, {"0", 0, 0}};
    TestUnitListener Unit;
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Delay);
        Rig R;
        R.Form.Settings.ReconnectDelay = C.Delay;
        R.Slot(1).UnitAddress = Unit.Endpoint();
        R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1);
        ASSERT_TRUE(R.Slot(1).UnitConnected);

        // The reply wait: measured alone, without the connect.
        const double Start = R.Desk.SteadyMilliseconds();
        const int WaitsBefore = R.Desk.WaitCalls;
        EXPECT_EQ(R.Form.SendToUnit(GpOut, 1), "");
        const double Took = R.Desk.SteadyMilliseconds() - Start;
        EXPECT_GE(Took, C.Least);
        EXPECT_LE(Took, C.Most);
        if (C.Least == 0) {
            EXPECT_EQ(R.Desk.WaitCalls, WaitsBefore) << "a zero delay is one round of events, no waiting";
        } else {
            EXPECT_LE(R.Desk.WaitCalls - WaitsBefore, 3) << "the wait must block, not spin";
        }
        EXPECT_TRUE(R.Slot(1).UnitConnected);
    }
}

// ---- maintenance passes ----------------------------------------------------------------------------

TEST_F(UnitLinkTest, PassConnectsInOrderAndSwitchesItsTimer) {
    TestUnitListener One, Three;
    Rig R;
    R.Slot(1).UnitAddress = One.Endpoint();
    R.Slot(3).UnitAddress = Three.Endpoint();
    R.Form.Settings.ReconnectDelay = "0";
    R.Desk.SetTimerInterval(TimerId::CheckConnection, 3000);
    R.Desk.EnableTimer(TimerId::CheckConnection, true);
    R.Desk.Log.clear();
    R.Form.tmrCheckConnection_Timer();
    EXPECT_TRUE(R.Slot(1).UnitConnected);
    EXPECT_FALSE(R.Slot(2).UnitConnected);
    EXPECT_EQ(R.Slot(2).UnitSocket, 0);
    EXPECT_TRUE(R.Slot(3).UnitConnected);
    EXPECT_TRUE(One.WaitForAccepted(1, Patience));
    EXPECT_TRUE(Three.WaitForAccepted(1, Patience));
    EXPECT_EQ(R.Desk.Log, (std::vector<std::string>{"Off CheckConnection", "On CheckConnection"}));
    EXPECT_TRUE(R.Desk.TimerEnabled(TimerId::CheckConnection));

    // Connected and idle: a second pass opens nothing new.
    R.Form.tmrCheckConnection_Timer();
    EXPECT_EQ(One.Accepted(), 1);
    EXPECT_EQ(Three.Accepted(), 1);
}

TEST_F(UnitLinkTest, OnlyTheFirstAttemptWithAResultMayShowAMessage) {
    TestUnitListener Reachable;
    {
        SCOPED_TRACE("unit 1 connects, unit 2 cannot be resolved: no message at all");
        Rig R;
        R.Form.Settings.ReconnectDelay = "0";
        R.Slot(1).UnitAddress = Reachable.Endpoint();
        R.Slot(2).UnitAddress = NoSuchUnit;
        R.Form.tmrCheckConnection_Timer();
        EXPECT_TRUE(R.Slot(1).UnitConnected);
        EXPECT_TRUE(R.Desk.Boxes.empty());
        EXPECT_TRUE(R.Form.MessagesSuppressed);
    }
    {
        SCOPED_TRACE("unit 1 port out of range, unit 2 unreachable");
        Rig R;
        R.Slot(1).UnitAddress = "127.0.0.1:70000";
        R.Slot(2).UnitAddress = "127.0.0.1:" + std::to_string(DeadPort());
        R.Form.tmrCheckConnection_Timer();
        ASSERT_EQ(R.Desk.Boxes.size(), 2u);
        EXPECT_EQ(R.Desk.Boxes[0].Text, CriticalText);
        EXPECT_EQ(R.Desk.Boxes[1].Text, "Error connecting to Unit " + R.Slot(2).UnitAddress + "!");
        R.Form.tmrCheckConnection_Timer();
        EXPECT_EQ(R.Desk.Boxes.size(), 2u) << "later passes are silent";
    }
    {
        SCOPED_TRACE("only the port error: the message comes back on every pass");
        Rig R;
        R.Slot(1).UnitAddress = "127.0.0.1:65536";
        R.Form.tmrCheckConnection_Timer();
        R.Form.tmrCheckConnection_Timer();
        EXPECT_EQ(R.Desk.Boxes.size(), 2u);
        EXPECT_FALSE(R.Form.MessagesSuppressed);
    }
}

TEST_F(UnitLinkTest, BrokenConnectionsCloseSilentlyAndReconnectOnThePassAfter) {
    enum class Peer { Resets, ClosesOrderly, SendsUnasked };
    const struct {
        const char* Name;
        Peer Does;
    } Cases[] = {{"reset", Peer::Resets},
                 {"orderly close", Peer::ClosesOrderly},
                 {"unasked data", Peer::SendsUnasked}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TestUnitListener Unit;
        Rig R;
        ASSERT_NO_FATAL_FAILURE(ConnectFirstUnit(R, Unit));
        R.Form.MessagesSuppressed = false; // so a message, were one shown, would be seen

        if (C.Does == Peer::SendsUnasked) {
            Unit.Send(std::string(300, 'u'));
            ASSERT_TRUE(WaitForWaitingBytes(R.Slot(1).UnitSocket, 300, Patience));
            R.Form.tmrCheckConnection_Timer();
            ASSERT_TRUE(R.Slot(1).UnitConnected);
            EXPECT_EQ(modTCP::PeekSocket(R.Slot(1).UnitSocket), 0) << "unasked data must be drained";
            EXPECT_EQ(Unit.Accepted(), 1);
            EXPECT_TRUE(R.Desk.Boxes.empty());
            continue;
        }
        if (C.Does == Peer::Resets)
            Unit.Reset();
        else
            Unit.CloseOrderly();
        ASSERT_TRUE(WaitForReadable(R.Slot(1).UnitSocket, Patience));

        R.Form.tmrCheckConnection_Timer();
        EXPECT_FALSE(R.Slot(1).UnitConnected);
        EXPECT_EQ(R.Slot(1).UnitSocket, 0);
        EXPECT_EQ(Unit.Accepted(), 1) << "not reconnected in the pass that found it broken";

        R.Form.tmrCheckConnection_Timer();
        EXPECT_TRUE(R.Slot(1).UnitConnected);
        EXPECT_TRUE(Unit.WaitForAccepted(2, Patience));
        EXPECT_TRUE(R.Desk.Boxes.empty());
    }
}

// ---- the command exchange --------------------------------------------------------------------------

TEST_F(UnitLinkTest, TriggerSendsTheBlockInOneSendAndTheReplyWaitEndsAtTheFirstByte) {
    TestUnitListener Unit;
    Unit.SetAnswer("OK\n\n");
    Rig R;
    R.Slot(1).UnitAddress = Unit.Endpoint();
    R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1); // silent greeting: the full wait
    ASSERT_TRUE(R.Slot(1).UnitConnected);

    const double Start = R.Desk.SteadyMilliseconds();
    R.Form.TriggerUnit(1);
    EXPECT_LT(R.Desk.SteadyMilliseconds() - Start, 1000.0);
    ASSERT_TRUE(Unit.WaitForReceived(22, Patience));
    auto Chunks = Unit.Chunks();
    ASSERT_EQ(Chunks.size(), 1u);
    EXPECT_EQ(Chunks[0].Bytes, GpOut) << "the block must arrive byte for byte in one piece";
    EXPECT_EQ(modTCP::PeekSocket(R.Slot(1).UnitSocket), 0) << "the reply must have been collected";

    // Any other text goes out unchanged, and the reply comes back whole, a single byte included.
    EXPECT_EQ(R.Form.SendToUnit("PING", 1), "OK\n\n");
    Unit.SetAnswer("!");
    EXPECT_EQ(R.Form.SendToUnit("X\n\n", 1), "!");
    ASSERT_TRUE(Unit.WaitForReceived(22 + 4 + 3, Patience));
    Chunks = Unit.Chunks();
    ASSERT_EQ(Chunks.size(), 3u);
    EXPECT_EQ(Chunks[1].Bytes, "PING");
    EXPECT_EQ(Chunks[2].Bytes, "X\n\n");
}

TEST_F(UnitLinkTest, TriggerSendsNothingToAnUnconfiguredOrUnconnectedUnit) {
    TestUnitListener Unit;
    Rig R;
    R.Slot(1).UnitAddress = Unit.Endpoint(); // configured, never connected
    const struct {
        const char* Name;
        int Unit;
    } Cases[] = {{"not connected", 1}, {"not configured", 2}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const double Start = R.Desk.SteadyMilliseconds();
        R.Form.TriggerUnit(C.Unit);
        EXPECT_EQ(R.Form.SendToUnit(GpOut, C.Unit), "");
        EXPECT_EQ(R.Desk.SteadyMilliseconds(), Start);
        EXPECT_EQ(R.Desk.WaitCalls, 0);
    }
    EXPECT_EQ(Unit.Accepted(), 0);
    EXPECT_THROW(R.Form.TriggerUnit(9), std::out_of_range);
}

TEST_F(UnitLinkTest, TriggerToAFailedConnectionClosesItSilentlyAndIsNotRepeated) {
    const struct {
        const char* Name;
        bool Reset;
    } Cases[] = {{"reset", true}, {"orderly close", false}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TestUnitListener Unit;
        Rig R;
        ASSERT_NO_FATAL_FAILURE(ConnectFirstUnit(R, Unit));
        R.Form.Settings.ReconnectDelay = "3000";
        R.Form.MessagesSuppressed = false;
        C.Reset ? Unit.Reset() : Unit.CloseOrderly();
        ASSERT_TRUE(WaitForReadable(R.Slot(1).UnitSocket, Patience));

        const double Start = R.Desk.SteadyMilliseconds();
        R.Form.TriggerUnit(1);
        EXPECT_LT(R.Desk.SteadyMilliseconds() - Start, 1000.0) << "a failed connection ends the wait";
        EXPECT_FALSE(R.Slot(1).UnitConnected);
        EXPECT_EQ(R.Slot(1).UnitSocket, 0);

        R.Form.tmrCheckConnection_Timer();
        ASSERT_TRUE(R.Slot(1).UnitConnected);
        ASSERT_TRUE(Unit.WaitForAccepted(2, Patience));
        EXPECT_TRUE(R.Desk.Boxes.empty());
        EXPECT_EQ(Unit.ReceivedBytes(), 0u) << "the lost trigger must not be sent again";
    }
}

// ---- handlers nested inside the waits ------------------------------------------------------------------

TEST_F(UnitLinkTest, PollInsideTheGreetingWaitTriggersOnTheNewConnection) {
    TestUnitListener Unit; // greets nothing, answers every command
    Unit.SetAnswer("OK\n\n");
    Rig R;
    R.Slot(1).UnitAddress = Unit.Endpoint();
    R.Slot(1).IndicatorX = 40;
    R.Slot(1).IndicatorY = 30;
    R.Desk.Paint(40, 30, R.Form.Settings.ActiveColor);
    R.Desk.SetTimerInterval(TimerId::Poll, 500);
    R.Desk.EnableTimer(TimerId::Poll, true);

    const double Start = R.Desk.SteadyMilliseconds();
    R.Form.tmrCheckConnection_Timer();
    EXPECT_EQ(R.Form.CurrentUnit, 1);
    ASSERT_TRUE(Unit.WaitForReceived(22, Patience));
    const auto Chunks = Unit.Chunks();
    ASSERT_EQ(Chunks.size(), 1u) << "triggered once, not again by later polls";
    EXPECT_EQ(Chunks[0].Connection, 0);
    EXPECT_EQ(Chunks[0].Bytes, GpOut);
    EXPECT_TRUE(R.Slot(1).UnitConnected);
    // The trigger took the answer as its reply; the greeting wait saw that and ended with it.
    EXPECT_LT(R.Desk.SteadyMilliseconds() - Start, 3000.0);
    EXPECT_EQ(Unit.Accepted(), 1);
}

TEST_F(UnitLinkTest, MaintenancePassInsideTheReplyWait) {
    TestUnitListener Silent;  // unit 1 never answers
    TestUnitListener Greeter; // unit 2 is down until the nested pass reaches it
    Greeter.SetGreeting("Hello\n\n");
    Rig R;
    R.Slot(1).UnitAddress = Silent.Endpoint();
    R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1);
    ASSERT_TRUE(R.Slot(1).UnitConnected);
    R.Slot(2).UnitAddress = Greeter.Endpoint();
    R.Desk.SetTimerInterval(TimerId::CheckConnection, 1000);
    R.Desk.EnableTimer(TimerId::CheckConnection, true);

    const double Start = R.Desk.SteadyMilliseconds();
    EXPECT_EQ(R.Form.SendToUnit(GpOut, 1), "");
    const double Took = R.Desk.SteadyMilliseconds() - Start;
    EXPECT_TRUE(R.Slot(2).UnitConnected) << "the pass must have run inside the reply wait";
    EXPECT_EQ(Greeter.Accepted(), 1);
    EXPECT_GE(Took, 3000.0);
    EXPECT_LT(Took, 3100.0) << "the nested pass only took the greeting; the wait kept its limit";
    EXPECT_TRUE(R.Slot(1).UnitConnected);
    EXPECT_TRUE(R.Desk.TimerEnabled(TimerId::CheckConnection));
}

TEST_F(UnitLinkTest, ReplyDrainedByANestedPassEndsTheReplyWait) {
    TestUnitListener Unit;
    Unit.SetAnswer("OK\n\n");
    Rig R;
    R.Slot(1).UnitAddress = Unit.Endpoint();
    R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1);
    ASSERT_TRUE(R.Slot(1).UnitConnected);

    // A maintenance pass falls due just as the answer arrives, and drains it before the wait looks.
    const double Start = R.Desk.SteadyMilliseconds();
    R.Desk.At(Start, [&] {
        ASSERT_TRUE(WaitForReadable(R.Slot(1).UnitSocket, Patience));
        R.Form.tmrCheckConnection_Timer();
    });
    EXPECT_EQ(R.Form.SendToUnit(GpOut, 1), "") << "the nested pass took the answer";
    EXPECT_LT(R.Desk.SteadyMilliseconds() - Start, 1000.0)
        << "the answer came: waiting on to the limit would only hold up the next poll";
    EXPECT_TRUE(R.Slot(1).UnitConnected);
    EXPECT_EQ(modTCP::PeekSocket(R.Slot(1).UnitSocket), 0);
}
