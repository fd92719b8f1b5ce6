// The settings check where the end-to-end runs cannot stage it: a unit that turns the check away, a
// name server that never answers, and which of several faults the verdict names first.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "SocketHelpers.h"
#include "UnitListener.h"
#include "core/SettingsCheck.h"

using namespace Tavo;
using namespace Tavo::Testing;

TEST(SettingsCheck, UnitsThatTurnTheCheckAwayAndNamesNobodyAnswers) {
    ASSERT_TRUE(StartSockets());
    UnitListener Greets, Drops;
    const std::string Busy = "BUSY: one control connection at a time\n";
    Greets.SetGreeting("UNIT READY\r\nmore\n\n");
    Drops.SetGreeting(Busy);
    auto Name = [](const std::string& Host, int Port) { return Host + ":" + std::to_string(Port); };
    UnitArray Units;
    const std::string Addresses[] = {"", Name("unit-a", Greets.Port()), Name("127.0.0.1", Drops.Port()),
                                     "nosuchunit", "slow-name"};
    for (int Unit = 1; Unit <= 4; ++Unit) {
        Units[Unit].UnitAddress = Addresses[Unit];
        Units[Unit].HostPart = Addresses[Unit].substr(0, Addresses[Unit].find(':'));
        Units[Unit].Port = Unit == 1 ? Greets.Port() : Drops.Port();
    }
    CheckLimits Limits;
    Limits.ConnectMs = Limits.GreetingMs = 5000;
    Limits.QuietMs = 1000; // the close must come within it
    Limits.LookupMs = 100;
    const Resolver Resolve = [](const std::string& Host) {
        if (Host == "slow-name")
            std::this_thread::sleep_for(std::chrono::milliseconds(2000)); // past the limit: left behind
        return Host == "unit-a" ? std::string("127.0.0.1") : std::string();
    };
    auto Checks = std::async(std::launch::async, [&] { return CheckUnits(Units, Limits, Resolve); });
    ASSERT_TRUE(Drops.WaitForAccepted(1, 5000));
    Drops.CloseOrderly(); // right after its greeting, as a unit that already has its one connection
    const std::vector<UnitCheck> Results = Checks.get();

    ASSERT_EQ(Results.size(), 4u);
    EXPECT_EQ(Results[0].Outcome, UnitOutcome::Connected);
    EXPECT_TRUE(Results[0].LookedUp);
    EXPECT_EQ(Results[0].ConnectAddress, "127.0.0.1");
    EXPECT_EQ(Results[0].FirstLine, "UNIT READY");
    EXPECT_EQ(Results[1].Outcome, UnitOutcome::Dropped);
    EXPECT_EQ(Results[1].FirstLine, "BUSY: one control connection at a time");
    EXPECT_EQ(Results[2].Outcome, UnitOutcome::LookupFailed);
    EXPECT_EQ(Results[3].Outcome, UnitOutcome::LookupTimedOut);
    EXPECT_LT(Results[3].LookupMs, 1500) << "the check waited for the name server beyond its limit";
    EXPECT_EQ(Greets.ReceivedBytes() + Drops.ReceivedBytes(), 0u) << "a check sends nothing";

    CheckReport Report;
    Report.Loaded.emplace().Units = Units;
    Report.ProgramRunning = true;
    for (const UnitCheck& R : Results)
        Report.Units[static_cast<std::size_t>(R.Unit)] = R;
    const std::string Said =
        "then the unit closed the connection (it said " + std::to_string(Busy.size()) + " bytes";
    EXPECT_NE(UnitLine(Report, 2).find(Said), std::string::npos) << UnitLine(Report, 2);
    EXPECT_NE(UnitLine(Report, 2).find("TavoRouterControl is running"), std::string::npos)
        << UnitLine(Report, 2);
    EXPECT_EQ(UnitLine(Report, 3).find("is running"), std::string::npos) << "a misspelt name is no busy unit";
}

TEST(SettingsCheck, TheVerdictNamesTheFirstThingToFix) {
    auto Connected = [](int Unit) {
        UnitCheck C;
        C.Unit = Unit;
        C.Outcome = UnitOutcome::Connected;
        return C;
    };
    auto Lamp = [](int Unit, std::int16_t X, LampShows Shows) {
        return LampCheck{Unit, {X, 10}, X >= 0, 0, Shows};
    };
    const struct {
        const char* Case;
        std::function<void(CheckReport&)> Make;
        int Status;
        const char* Says;
    } Cases[] = {
        {"all set", [](CheckReport&) {}, 0,
         "Verdict: all set: every unit connects and every lamp lies on a monitor; "
         "TavoRouterControl would select unit 1 now."},
        {"no unit", [](CheckReport& R) { R.Loaded->Units = UnitArray(); }, 1,
         "Verdict: no unit is configured"},
        {"a lamp off every monitor before two at one point",
         [&](CheckReport& R) {
             R.Lamps->Rows = {Lamp(1, -5, LampShows::Unreadable), Lamp(2, 7, LampShows::Neither),
                              Lamp(3, 7, LampShows::ActiveColour)};
         },
         1, "Verdict: lamp 1 at -5,10 lies on no monitor"},
        {"two lamps at one point",
         [&](CheckReport& R) { R.Lamps->Rows.push_back(Lamp(3, 1, LampShows::Neither)); }, 1,
         "Verdict: lamps 1 and 3 share the position 1,10"},
        {"one colour for both",
         [](CheckReport& R) { R.Loaded->Settings.OnAirColor = R.Loaded->Settings.ActiveColor; }, 1,
         "Verdict: UnitActiveColor and UnitOnAirColor are the same colour"},
        {"a warning", [](CheckReport& R) { R.Warnings.push_back("Warning: The file ..."); }, 1,
         "Verdict: mend what the warning above says"},
        {"no lamp lit", [](CheckReport& R) { R.Lamps->Rows[0].Shows = LampShows::Neither; }, 0,
         "Verdict: every unit connects and every lamp lies on a monitor, but no lamp shows"},
        {"no display",
         [](CheckReport& R) {
             R.Lamps.reset();
             R.NoLamps = "no display";
         },
         0, "Verdict: every unit connected; the lamps were not checked (no display)"},
        {"a Wayland session",
         [](CheckReport& R) {
             R.Lamps.reset();
             R.NoLamps = "Wayland";
             R.LampsUnreadable = true;
         },
         1, "Verdict: the lamps cannot be read here (Wayland)."},
        {"a unit still being checked", [](CheckReport& R) { R.Units[2].reset(); }, 0,
         "Verdict: checking the units"},
    };
    for (const auto& C : Cases) {
        CheckReport R;
        R.Loaded.emplace();
        for (int Unit : {1, 2}) {
            R.Loaded->Units[Unit].UnitAddress = "10.0.0." + std::to_string(Unit);
            R.Units[static_cast<std::size_t>(Unit)] = Connected(Unit);
        }
        R.Lamps.emplace();
        R.Lamps->Rows = {Lamp(1, 1, LampShows::ActiveColour), Lamp(2, 2, LampShows::Neither)};
        R.Lamps->Selection = {SelectionVerdict::Why::Active, 1, 0};
        C.Make(R);
        EXPECT_EQ(Verdict(R).Text.rfind(C.Says, 0), 0u) << C.Case << ": " << Verdict(R).Text;
        EXPECT_EQ(ExitStatus(R), C.Status) << C.Case;
    }
}
