// No selection lost and none held up: the selection that waits for its unit, boxes that wait for the
// pass, name lookups off the thread, connects with a limit, and what a pass may spend draining.

#include <algorithm>
#include <atomic>
#include <string>

#include "Rig.h"
#include "core/modTCP.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

void Select(Rig& R, int Unit) {
    R.Form.CurrentUnit = Unit;
    R.Form.TriggerUnit(Unit);
}

std::string Line(int Unit, const UnitListener& L, const std::string& What) {
    return "Unit" + std::to_string(Unit) + " " + L.Endpoint() + ": " + What;
}

} // namespace

TEST(Selection, WaitsForItsUnitAndIsSentOnceThenNeverAgain) {
    UnitListener Unit;
    Unit.SetGreeting("Hello\n\n");
    Rig R;
    R.Form.Settings.ReconnectDelay = 250;
    R.Configure(2, Unit.Endpoint());

    Select(R, 2);
    EXPECT_EQ(R.Form.PendingSelection, 2);
    EXPECT_TRUE(R.Said(Line(2, Unit, "selection pending (not connected)")));
    R.RunPass();
    ASSERT_TRUE(Unit.WaitForReceived(22, Patience));
    EXPECT_EQ(Unit.Chunks().at(0).Bytes, GpOut) << "after the greeting, on the new connection";
    EXPECT_TRUE(R.Said(Line(2, Unit, "selection delivered late")));
    EXPECT_FALSE(R.Form.PendingSelection);

    // The unit restarts: the block it already has is not sent again on its next connection.
    Unit.Reset();
    ASSERT_TRUE(WaitForSocket(R.Slot(2).UnitSocket, SocketInterest::Readable, Patience));
    R.RunPass();
    R.RunPass();
    ASSERT_TRUE(Unit.WaitForAccepted(2, Patience));
    ASSERT_TRUE(R.Slot(2).UnitConnected);
    EXPECT_EQ(Unit.ReceivedBytes(), 22u);
}

TEST(Selection, ANewerSelectionReplacesAPendingOneAndUnconfiguredUnitsGetNothing) {
    UnitListener One, Two;
    Rig R;
    R.Form.Settings.ReconnectDelay = 0;
    R.Configure(1, One.Endpoint());
    R.Configure(2, Two.Endpoint());
    Select(R, 1);
    Select(R, 2);
    EXPECT_TRUE(R.Said(Line(1, One, "pending selection superseded by Unit2")));
    Select(R, 5); // not configured: nothing pending, nothing sent
    EXPECT_TRUE(R.Said(Line(2, Two, "pending selection superseded by Unit5")));
    EXPECT_FALSE(R.Form.PendingSelection);
    Select(R, 2);
    R.RunPass();
    ASSERT_TRUE(Two.WaitForReceived(22, Patience));
    EXPECT_TRUE(R.Slot(1).UnitConnected);
    EXPECT_EQ(One.ReceivedBytes(), 0u) << "a superseded selection is never sent";
}

TEST(Selection, MadeWhileItsUnitIsConnectingOrWhenTheSendFails) {
    {
        SCOPED_TRACE("a poll inside the unit's own connect");
        UnitListener Unit;
        Rig R;
        R.Form.Settings.ReconnectDelay = 100;
        R.Configure(1, Unit.Endpoint());
        R.Desk.At(R.Desk.SteadyMilliseconds(), [&] {
            EXPECT_FALSE(R.Slot(1).UnitConnected) << "the test meant to select during the connect";
            Select(R, 1);
        });
        R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1);
        ASSERT_TRUE(Unit.WaitForReceived(22, Patience));
        EXPECT_TRUE(R.Said(Line(1, Unit, "selection delivered late")));
    }
    {
        SCOPED_TRACE("the send fails on a connection the unit reset: sent when it is back");
        UnitListener Unit;
        Rig R;
        ASSERT_NO_FATAL_FAILURE(ConnectUnitNow(R, Unit));
        Unit.Reset();
        ASSERT_TRUE(WaitForSocket(R.Slot(1).UnitSocket, SocketInterest::Readable, Patience));
        Select(R, 1);
        EXPECT_TRUE(R.Said(Line(1, Unit, "selection pending (the send failed)")));
        EXPECT_FALSE(R.Slot(1).UnitConnected);
        R.RunPass();
        ASSERT_TRUE(Unit.WaitForReceived(22, Patience));
        EXPECT_EQ(Unit.Chunks().at(0).Connection, 1);
        Unit.Reset(); // again, and unit 2 is chosen inside the failed send's reply wait: nothing waits for 1
        ASSERT_TRUE(WaitForSocket(R.Slot(1).UnitSocket, SocketInterest::Readable, Patience));
        R.Desk.At(R.Desk.SteadyMilliseconds(), [&] { Select(R, 2); });
        Select(R, 1);
        EXPECT_FALSE(R.Form.PendingSelection);
    }
}

TEST(Selection, AnErrorBoxWaitsForThePassAndHoldsNothingWhileOpen) {
    UnitListener Two;
    Rig R;
    R.Form.Settings.ReconnectDelay = 250;
    R.Configure(1, "127.0.0.1:" + std::to_string(DeadPort()));
    R.Configure(2, Two.Endpoint());
    R.Slot(2).IndicatorX = 20;
    R.Desk.Paint(20, 0, R.Form.Settings.ActiveColor);
    R.Desk.SetTimerInterval(TimerId::CheckConnection, 250);
    R.Desk.EnableTimer(TimerId::CheckConnection, true);
    R.Desk.SetTimerInterval(TimerId::Poll, 50);
    R.Desk.EnableTimer(TimerId::Poll, true);
    bool TriggeredWhileOpen = false;
    R.Desk.WhileBoxOpen = [&](const RecordedBox&) {
        EXPECT_TRUE(R.Slot(2).UnitConnected) << "the pass went on past unit 1's failure";
        // Nobody answers for a while: passes and polls go on meanwhile.
        R.Desk.Advance(2000);
        TriggeredWhileOpen = Two.WaitForReceived(22, Patience);
    };
    R.Desk.Sink->OnTimer(TimerId::CheckConnection);
    ASSERT_EQ(R.Desk.Boxes.size(), 1u) << "later attempts are silent, and boxes never stack";
    EXPECT_EQ(R.Desk.Boxes[0].Text, "Error connecting to Unit " + R.Slot(1).UnitAddress + "!");
    EXPECT_TRUE(TriggeredWhileOpen);
    EXPECT_EQ(Two.ReceivedBytes(), 22u);
}

TEST(Selection, NameLookupsRunOffTheThreadAndAConnectHasALimit) {
    UnitListener Eight, Three;
    std::atomic<bool> Answer{false}; // the name server answers when the test says so
    std::atomic<int> Asked{0};
    Rig R([&](const std::string& Name) {
        ++Asked;
        while (!Answer)
            SleepMilliseconds(2);
        return Name == "unit-eight" ? std::string("127.0.0.1") : std::string();
    });
    R.Form.Settings.ReconnectDelay = 0;
    R.Configure(8, "unit-eight:" + std::to_string(Eight.Port()));
    R.Configure(3, Three.Endpoint());
    for (int Pass = 0; Pass < 2; ++Pass) // the lookup does not answer yet, nor is it asked twice
        R.Desk.Sink->OnTimer(TimerId::CheckConnection);
    EXPECT_FALSE(R.Slot(8).UnitConnected);
    EXPECT_TRUE(R.Slot(3).UnitConnected) << "the unit after the lookup was not held";
    Select(R, 3);
    EXPECT_TRUE(Three.WaitForReceived(22, Patience));
    Answer = true; // no early return above: the lookup thread must not be left waiting
    for (int I = 0; I < 1000 && !R.Slot(8).UnitConnected; ++I) {
        SleepMilliseconds(2);
        R.Desk.DoEvents();
    }
    EXPECT_TRUE(R.Slot(8).UnitConnected) << "connected as soon as the answer came";
    EXPECT_EQ(Asked, 1);
    Eight.Reset(); // the next pass looks it up afresh; the pass that finds it broken does not reconnect
    ASSERT_TRUE(WaitForSocket(R.Slot(8).UnitSocket, SocketInterest::Readable, Patience));
    R.Desk.Sink->OnTimer(TimerId::CheckConnection);
    EXPECT_FALSE(R.Slot(8).UnitConnected);

    // A host that never answers a connect costs the units after it one ReconnectDelay (3 s when 0), even
    // when the next pass comes while it hangs: that pass leaves the attempt under way alone.
    for (const std::uint16_t Delay : {std::uint16_t{400}, std::uint16_t{1}, std::uint16_t{0}}) {
        SCOPED_TRACE(Delay);
        HangingPort Hang;
        UnitListener After;
        Rig H;
        H.Form.Settings.ReconnectDelay = Delay;
        H.Configure(1, "127.0.0.1:" + std::to_string(Hang.Port()));
        H.Configure(2, After.Endpoint());
        After.SetGreeting("Hi\n\n");
        const double Start = H.Desk.SteadyMilliseconds();
        H.Desk.At(Start + (Delay ? Delay : 3000) / 2.0, [&H] { H.Form.tmrCheckConnection_Timer(); });
        H.Form.tmrCheckConnection_Timer();
        const double Took = H.Desk.SteadyMilliseconds() - Start;
        EXPECT_EQ(std::ranges::count(H.Desk.Diagnostics, "Unit1 " + H.Slot(1).UnitAddress + ": timed out"),
                  1);
        EXPECT_TRUE(H.Slot(2).UnitConnected);
        EXPECT_GE(Took, Delay ? Delay : 3000);
        EXPECT_LE(Took, Delay ? Delay + 500 : 3000 + 1) << "with 0, the connect is the only wait";
    }
}

TEST(Selection, FaultsOfTheWaitsAndTheDrains) {
    {
        SCOPED_TRACE("a ReconnectDelay of -0.4 is 0 everywhere: connect and trigger run");
        UnitListener Unit;
        Rig R;
        ASSERT_FALSE(R.Load("intervals-fractions"));
        R.Configure(1, Unit.Endpoint());
        R.RunPass();
        Select(R, 1);
        EXPECT_TRUE(Unit.WaitForReceived(22, Patience));
    }
    {
        SCOPED_TRACE("an exception from a handler nested in the greeting wait is not taken for a unit's");
        UnitListener Silent;
        Rig R;
        R.Form.Settings.ReconnectDelay = 250;
        R.Configure(1, Silent.Endpoint());
        R.Desk.At(R.Desk.SteadyMilliseconds() + 10,
                  [] { throw std::runtime_error("nested handler failed"); });
        EXPECT_THROW(R.Form.ConnectUnit(R.Slot(1).UnitAddress, 1), std::runtime_error);
        EXPECT_TRUE(R.Desk.Boxes.empty());
    }
    {
        SCOPED_TRACE("a pass's drain budget is shared by all units; every unit gets one read at least");
        UnitListener Units[4];
        Rig R;
        std::size_t Before[4] = {};
        for (int N = 1; N <= 3; ++N)
            ASSERT_NO_FATAL_FAILURE(ConnectUnitNow(R, Units[N], N));
        for (int N = 1; N <= 3; ++N) {
            Units[N].Send(std::string(64 * 1024, 'f'));
            ASSERT_TRUE(WaitForWaitingBytes(R.Slot(N).UnitSocket, 64 * 1024, Patience));
            Before[N] = WaitingBytes(R.Slot(N).UnitSocket);
        }
        R.Desk.ClockStepPerRead = 1; // the budget's milliseconds run out after a few reads
        R.Form.tmrCheckConnection_Timer();
        R.Desk.ClockStepPerRead = 0;
        const std::size_t Read1 = Before[1] - WaitingBytes(R.Slot(1).UnitSocket);
        EXPECT_GT(Read1, 4096u);
        EXPECT_LE(Read1, 8 * 4096u);
        for (int N = 2; N <= 3; ++N) {
            const std::size_t Read = Before[N] - WaitingBytes(R.Slot(N).UnitSocket);
            EXPECT_GT(Read, 0u) << "unit " << N;
            EXPECT_LE(Read, 4096u) << "unit " << N << " drained on a budget of its own";
        }
    }
}
