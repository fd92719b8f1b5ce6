// The unit link against real loopback connections: the socket primitives, connecting and maintaining
// units, and the command exchange, with the fake desktop's clock timing the waits.

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Rig.h"
#include "core/modTCP.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

const std::string CriticalText =
    "An unknown error occurred while connecting to or communicating with the unit.";

// A loopback address of its own, so units on fixed ports (the default 9998 among them) meet nothing
// else that listens on this machine, a test run beside this one included.
const std::string FixedHost = "127.83." + std::to_string(std::random_device{}() % 250 + 1) + ".7";

// A name that cannot resolve, and that never leaves this machine: a label over 63 characters is no DNS
// name, so the resolver gives up without asking a name server.
const std::string NoSuchUnit = "nosuchunit-" + std::string(64, 'x') + ".invalid";

} // namespace

// (The dotted-quad test is held to an independent statement of it by the values fuzz target.)
TEST(UnitLinkPrimitives, LookupsAndConnectsThatCannotStart) {
    EXPECT_EQ(modTCP::ResolveHostname("localhost"), "127.0.0.1");
    EXPECT_EQ(modTCP::ResolveHostname(NoSuchUnit), "");
    for (const auto& [Text, Dotted] :
         {std::pair{"9.255.0.9", true}, {"9.9.9.256", false}, {"9.9.9.:", false}})
        EXPECT_EQ(modTCP::IsIPv4Address(Text), Dotted) << Text << ": a name is looked up, not taken apart";
    // No dotted quad, or no port: no connect is even started.
    EXPECT_EQ(modTCP::ConnectTcp("localhost", 80), -1);
    EXPECT_EQ(modTCP::ConnectTcp("127.0.0.1", 65536), -1);
}

TEST(UnitLink, ConnectAttemptsAddressesPortsAndMessages) {
    // Units on fixed ports of an address of their own; each row says which one must be reached.
    UnitListener Default(FixedHost, 9998);
    UnitListener Top(FixedHost, 65535);
    UnitListener Ephemeral;
    for (UnitListener* L : {&Default, &Top, &Ephemeral})
        L->SetGreeting("Welcome\n\n");
    const std::string Eph = std::to_string(Ephemeral.Port());

    enum class Box { None, Resolve, Connect, Critical };
    const struct {
        std::string Address;
        UnitListener* Reached; // nullptr: no connection
        Box Shown;
        bool Suppressed;
        const char* Said;
    } Cases[] = {
        {FixedHost, &Default, Box::None, true, "connected"},
        {FixedHost + ":abc", &Default, Box::None, true, "connected"},
        {FixedHost + ":65535", &Top, Box::None, true, "connected"},
        {"localhost:" + Eph, &Ephemeral, Box::None, true, "connected"},
        {FixedHost + ":65536", nullptr, Box::Critical, false, "port out of range"},
        {NoSuchUnit + ":70000", nullptr, Box::Critical, false, "port out of range"},
        {NoSuchUnit, nullptr, Box::Resolve, true, "lookup failed"},
        {"127.0.0.1:0", nullptr, Box::Connect, true, "refused"},
        {"255.255.255.255", nullptr, Box::Connect, true, "refused"}, // at once: TCP never goes to a broadcast
        {"127.0.0.1:" + std::to_string(DeadPort()), nullptr, Box::Connect, true, "refused"},
    };
    for (const bool Suppressed : {false, true}) {
        for (const auto& C : Cases) {
            SCOPED_TRACE((Suppressed ? "suppressed: " : "") + C.Address);
            const int Before = C.Reached ? C.Reached->Accepted() : 0;
            Rig R;
            R.Form.MessagesSuppressed = Suppressed;
            R.Form.Settings.ReconnectDelay = 250;
            R.Configure(1, C.Address);
            bool Nested = false; // one pass while the box waits must not stack a second box
            R.Desk.WhileBoxOpen = [&](const RecordedBox&) {
                if (!std::exchange(Nested, true))
                    R.RunPass();
            };
            R.RunPass();

            EXPECT_EQ(R.Slot(1).UnitConnected, C.Reached != nullptr);
            if (C.Reached) {
                EXPECT_TRUE(C.Reached->WaitForAccepted(Before + 1, Patience))
                    << "connected to the wrong port";
                EXPECT_TRUE(KeepAliveOn(R.Slot(1).UnitSocket)) << "a unit that vanished would go unnoticed";
            }
            EXPECT_TRUE(R.Said("Unit1 " + C.Address + ": " + C.Said));
            EXPECT_EQ(R.Form.MessagesSuppressed, Suppressed || C.Suppressed);
            if (Suppressed || C.Shown == Box::None) {
                EXPECT_TRUE(R.Desk.Boxes.empty()) << R.Desk.Boxes.front().Text;
                continue;
            }
            ASSERT_EQ(R.Desk.Boxes.size(), 1u);
            const RecordedBox& B = R.Desk.Boxes[0];
            EXPECT_EQ(B.Title, "TavoRouterControl - Error");
            EXPECT_EQ(B.Icon, C.Shown == Box::Critical ? BoxIcon::Critical : BoxIcon::Exclamation);
            EXPECT_EQ(B.Text, C.Shown == Box::Critical  ? CriticalText
                              : C.Shown == Box::Resolve ? "Could not resolve hostname " + NoSuchUnit + "!"
                                                        : "Error connecting to Unit " + C.Address + "!");
        }
    }
}

TEST(UnitLink, GreetingIsDrainedAndASilentUnitWaitsTheFullDelay) {
    UnitListener Greeter;
    Greeter.SetGreeting(std::string(2000, 'g'));
    UnitListener Silent;
    const struct {
        UnitListener* Unit;
        std::uint16_t Delay;
        double Least, Most;
    } Cases[] = {
        {&Greeter, 3000, 0, 1000}, {&Silent, 3000, 3000, 3010}, {&Silent, 1, 1, 11}, {&Silent, 0, 0, 0}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Delay);
        Rig R;
        R.Form.Settings.ReconnectDelay = C.Delay;
        R.Configure(1, C.Unit->Endpoint());
        const double Start = R.Desk.SteadyMilliseconds();
        const int WaitsBefore = R.Desk.WaitCalls;
        R.Form.tmrCheckConnection_Timer();
        const double Took = R.Desk.SteadyMilliseconds() - Start;
        ASSERT_TRUE(R.Slot(1).UnitConnected);
        EXPECT_EQ(modTCP::PeekSocket(R.Slot(1).UnitSocket), 0) << "greeting left in the socket";
        EXPECT_GE(Took, C.Least);
        EXPECT_LE(Took, C.Most);
        EXPECT_LE(R.Desk.WaitCalls - WaitsBefore, 4) << "the waits must block, not spin";
    }
}

TEST(UnitLink, PassesConnectInOrderMessagesOnlyForTheFirstResultAndReconnectWhatBroke) {
    UnitListener One, Eight;
    {
        Rig R;
        R.Form.Settings.ReconnectDelay = 0;
        R.Configure(1, One.Endpoint());
        R.Configure(8, Eight.Endpoint());
        R.Desk.SetTimerInterval(TimerId::CheckConnection, 3000);
        R.Desk.EnableTimer(TimerId::CheckConnection, true);
        R.Desk.Log.clear();
        R.RunPass();
        ASSERT_TRUE(One.WaitForAccepted(1, Patience) && Eight.WaitForAccepted(1, Patience));
        EXPECT_TRUE(R.Slot(1).UnitConnected);
        EXPECT_TRUE(R.Slot(8).UnitConnected);
        EXPECT_EQ(R.Desk.Diagnostics.at(0), "Unit1 " + One.Endpoint() + ": connected") << "in unit order";
        EXPECT_EQ(R.Desk.Log, (std::vector<std::string>{"Off CheckConnection", "On CheckConnection"}));
        R.RunPass(); // connected and idle: nothing new is opened
        EXPECT_EQ(One.Accepted(), 1);
        EXPECT_EQ(Eight.Accepted(), 1);
    }
    {
        SCOPED_TRACE("unit 1 connects, unit 2 cannot be resolved: no message at all");
        Rig R;
        R.Form.Settings.ReconnectDelay = 0;
        R.Configure(1, One.Endpoint());
        R.Configure(2, NoSuchUnit);
        R.RunPass();
        EXPECT_TRUE(R.Desk.Boxes.empty());
        EXPECT_TRUE(R.Said("Unit2 " + NoSuchUnit + ": lookup failed"));
    }
    {
        SCOPED_TRACE("units 1 and 2 out of range, unit 8 unreachable: each shown, once the pass is done");
        Rig R;
        R.Configure(1, "127.0.0.1:70000");
        R.Configure(2, "127.0.0.1:70000"); // the same text, but a unit of its own
        R.Configure(8, "127.0.0.1:" + std::to_string(DeadPort()));
        R.RunPass();
        ASSERT_EQ(R.Desk.Boxes.size(), 3u);
        EXPECT_EQ(R.Desk.Boxes[1].Text, CriticalText);
        EXPECT_EQ(R.Desk.Boxes[2].Text, "Error connecting to Unit " + R.Slot(8).UnitAddress + "!");
        R.RunPass();
        EXPECT_EQ(R.Desk.Boxes.size(), 3u) << "later passes are silent";
    }
    for (const bool Resets : {true, false}) { // or closes in an orderly way
        SCOPED_TRACE(Resets);
        UnitListener Unit;
        Rig R;
        ASSERT_NO_FATAL_FAILURE(ConnectUnitNow(R, Unit));
        const SocketHandle Broken = R.Slot(1).UnitSocket;
        Resets ? Unit.Reset() : Unit.CloseOrderly();
        ASSERT_TRUE(WaitForSocket(Broken, SocketInterest::Readable, Patience));
        R.RunPass();
        EXPECT_FALSE(R.Slot(1).UnitConnected);
        EXPECT_EQ(R.Slot(1).UnitSocket, 0);
        EXPECT_FALSE(SocketOpen(Broken)) << "closed, not only shut down";
        EXPECT_TRUE(R.Said("Unit1 " + Unit.Endpoint() + ": closed"));
        EXPECT_EQ(Unit.Accepted(), 1) << "not reconnected in the pass that found it broken";
        R.RunPass();
        EXPECT_TRUE(R.Slot(1).UnitConnected);
        EXPECT_TRUE(Unit.WaitForAccepted(2, Patience));
        EXPECT_TRUE(R.Desk.Boxes.empty());
    }
}

TEST(UnitLink, CommandsGoOutWholeAndTheReplyWaitEndsAtItsFirstByte) {
    UnitListener Unit;
    Unit.SetAnswer("OK\n\n");
    Rig R;
    R.Configure(1, Unit.Endpoint());
    R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1); // silent greeting: the full wait
    ASSERT_TRUE(R.Slot(1).UnitConnected);

    const double Start = R.Desk.SteadyMilliseconds();
    R.Form.CurrentUnit = 1;
    R.Form.TriggerUnit(1);
    EXPECT_LT(R.Desk.SteadyMilliseconds() - Start, 1000.0);
    ASSERT_TRUE(Unit.WaitForReceived(22, Patience));
    EXPECT_EQ(Unit.Chunks().at(0).Bytes, GpOut) << "the block must arrive byte for byte in one piece";
    EXPECT_EQ(modTCP::PeekSocket(R.Slot(1).UnitSocket), 0) << "the reply must have been collected";
    EXPECT_TRUE(R.Said("Unit1 " + Unit.Endpoint() + ": selection sent"));

    // Any other text goes out unchanged, and the reply comes back whole, a single byte included.
    Unit.SetAnswer("!");
    EXPECT_EQ(R.Form.SendToUnit("PING", 1), "!");
    ASSERT_TRUE(Unit.WaitForReceived(22 + 4, Patience));
    EXPECT_EQ(Unit.Chunks().at(1).Bytes, "PING");
    EXPECT_EQ(modTCP::SendText(R.Slot(1).UnitSocket, ""), 0) << "nothing to send is no failure";
    EXPECT_THROW(R.Form.TriggerUnit(9), std::out_of_range);
}

TEST(UnitLink, HandlersNestedInsideTheWaits) {
    {
        SCOPED_TRACE("a poll inside the greeting wait triggers on the new connection, once");
        UnitListener Unit; // greets nothing, answers every command
        Unit.SetAnswer("OK\n\n");
        Rig R;
        R.Configure(1, Unit.Endpoint());
        R.Slot(1).IndicatorX = 40;
        R.Slot(1).IndicatorY = 30;
        R.Desk.Paint(40, 30, R.Form.Settings.ActiveColor);
        R.Desk.SetTimerInterval(TimerId::Poll, 500);
        R.Desk.EnableTimer(TimerId::Poll, true);
        const double Start = R.Desk.SteadyMilliseconds();
        R.Form.tmrCheckConnection_Timer();
        EXPECT_EQ(R.Form.CurrentUnit, 1);
        ASSERT_TRUE(Unit.WaitForReceived(22, Patience));
        ASSERT_EQ(Unit.Chunks().size(), 1u) << "triggered once, not again by later polls";
        // The trigger took the answer as its reply; the greeting wait saw that and ended with it.
        EXPECT_LT(R.Desk.SteadyMilliseconds() - Start, 3000.0);
    }
    {
        SCOPED_TRACE("a pass that falls due in a poll's reply wait runs once the poll is done");
        UnitListener Silent, Greeter;
        Greeter.SetGreeting("Hello\n\n");
        Rig R;
        R.Form.Settings.ReconnectDelay = 500;
        R.Configure(1, Silent.Endpoint());
        R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1);
        R.Configure(2, Greeter.Endpoint());
        R.Desk.Paint(0, 0, R.Form.Settings.ActiveColor); // unit 1's lamp
        R.Desk.SetTimerInterval(TimerId::CheckConnection, 100);
        R.Desk.EnableTimer(TimerId::CheckConnection, true);
        R.Desk.Log.clear();
        const double Start = R.Desk.SteadyMilliseconds();
        R.Desk.Sink->OnTimer(TimerId::Poll);
        EXPECT_GE(R.Desk.SteadyMilliseconds() - Start, 500.0) << "unit 1 never answers: the full wait";
        EXPECT_TRUE(R.Slot(2).UnitConnected);
        const auto At = [&](const std::string& E) {
            return std::find(R.Desk.Log.begin(), R.Desk.Log.end(), E);
        };
        EXPECT_LT(At("On Poll"), At("Off CheckConnection")) << "the pass ran inside the poll's reply wait";
        R.Desk.SetTimerInterval(TimerId::Poll, 20); // once it ran, the pass is paced by its own timer again
        R.Desk.Advance(1000);
        EXPECT_LE(std::count(R.Desk.Log.begin(), R.Desk.Log.end(), "Off CheckConnection"), 1 + 10);
    }
}
