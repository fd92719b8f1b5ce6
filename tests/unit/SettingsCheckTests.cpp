// The settings check where the end-to-end runs cannot stage it: a unit that turns the check away, a
// name server that never answers, which of several faults the verdict names first, and the report's
// every kind of line.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "Rig.h"
#include "core/SettingsCheck.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

const std::string RunningNote =
    "TavoRouterControl is running and holds its own connection to the unit: a unit "
    "that takes one control connection at a time turns a second one away, which "
    "may be the reason.";

// Descriptors open in this process, where the system lists them; 0 elsewhere.
long OpenFiles() {
#ifdef __linux__
    return static_cast<long>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
#else
    return 0;
#endif
}

} // namespace

TEST(SettingsCheck, UnitsThatTurnTheCheckAwayAndNamesNobodyAnswers) {
    ASSERT_TRUE(StartSockets());
    const long FilesBefore = OpenFiles();
    {
        UnitListener Greets, Drops;
        HangingPort Hangs;
        const std::string Busy = "BUSY: one control connection at a time\n";
        Greets.SetGreeting("UNIT READY~\t\r\nmore\n\n");
        Drops.SetGreeting(Busy);
        UnitArray Units;
        const std::tuple<int, std::string, int> Configured[] = {
            {1, "unit-a", Greets.Port()}, {2, "127.0.0.1", Drops.Port()}, {3, "nosuchunit", 1},
            {4, "slow-name", 1},          {5, "127.0.0.1", Hangs.Port()}, {8, "127.0.0.1", DeadPort()}};
        for (const auto& [Unit, Host, Port] : Configured) {
            Units[Unit].UnitAddress = Host + ":" + std::to_string(Port);
            Units[Unit].HostPart = Host;
            Units[Unit].Port = Port;
        }
        CheckLimits Limits;
        Limits.ConnectMs = 1000; // what only the hanging connect reaches, while the greeting is listened to
        Limits.GreetingMs = 5000;
        Limits.QuietMs = 1000; // the close must come within it
        Limits.LookupMs = 100;
        const Resolver Resolve = [](const std::string& Host) {
            if (Host == "slow-name")
                std::this_thread::sleep_for(std::chrono::milliseconds(2000)); // past the limit: left behind
            return Host == "unit-a" ? std::string("127.0.0.1") : std::string();
        };
        auto Checks = std::async(std::launch::async, [&] { return CheckUnits(Units, Limits, Resolve); });
        ASSERT_TRUE(Drops.WaitForAccepted(1, Patience));
        Drops.CloseOrderly(); // right after its greeting, as a unit that already has its one connection
        const std::vector<UnitCheck> Results = Checks.get();

        ASSERT_EQ(Results.size(), 6u);
        EXPECT_EQ(Results[0].Outcome, UnitOutcome::Connected);
        EXPECT_TRUE(Results[0].LookedUp);
        EXPECT_EQ(Results[0].ConnectAddress, "127.0.0.1");
        EXPECT_EQ(Results[0].FirstLine, "UNIT READY~?");
        EXPECT_GT(Results[0].SaidAfterMs, 0) << "the time to the first byte was not taken";
        EXPECT_EQ(Results[1].Outcome, UnitOutcome::Dropped);
        EXPECT_EQ(Results[1].FirstLine, "BUSY: one control connection at a time");
        EXPECT_EQ(Results[2].Outcome, UnitOutcome::LookupFailed);
        EXPECT_EQ(Results[3].Outcome, UnitOutcome::LookupTimedOut);
        EXPECT_LT(Results[3].LookupMs, 1500) << "the check waited for the name server beyond its limit";
        EXPECT_EQ(Results[4].Outcome, UnitOutcome::TimedOut);
        EXPECT_GE(Results[4].AttemptMs, Limits.ConnectMs);
        EXPECT_EQ(Results[5].Outcome, UnitOutcome::Refused);
        EXPECT_EQ(Greets.ReceivedBytes() + Drops.ReceivedBytes(), 0u) << "a check sends nothing";

        CheckReport Report;
        Report.Loaded.emplace().Units = Units;
        Report.ProgramRunning = true;
        for (const UnitCheck& R : Results)
            Report.Units[static_cast<std::size_t>(R.Unit)] = R;
        const std::string Said =
            "then the unit closed the connection (it said " + std::to_string(Busy.size()) + " bytes";
        EXPECT_NE(UnitLine(Report, 2).find(Said), std::string::npos) << UnitLine(Report, 2);
        EXPECT_NE(UnitLine(Report, 2).find(RunningNote), std::string::npos) << UnitLine(Report, 2);
        EXPECT_EQ(UnitLine(Report, 3).find("is running"), std::string::npos)
            << "a misspelt name is no busy unit";
    }
    EXPECT_EQ(OpenFiles(), FilesBefore) << "a check left a socket open";
}

TEST(SettingsCheck, EachResultComesThroughTheEventQueueWhileItsOwnerLives) {
    ASSERT_TRUE(StartSockets());
    UnitListener Unit;
    UnitSlot Slot;
    Slot.UnitAddress = Slot.HostPart = "127.0.0.1";
    Slot.Port = Unit.Port();
    CheckLimits Limits;
    Limits.GreetingMs = 1; // a silent unit: nothing to wait for
    std::mutex Lock;
    std::vector<std::function<void()>> Queue;
    auto PostedAfterAWhile = [&](std::size_t Count) {
        for (int I = 0; I < Patience / 2; ++I, SleepMilliseconds(2))
            if (const std::lock_guard Guard(Lock); Queue.size() == Count)
                return true;
        return false;
    };
    std::vector<int> Done;
    {
        UnitChecks Checks(
            [&](std::function<void()> Event) {
                const std::lock_guard Guard(Lock);
                Queue.push_back(std::move(Event));
            },
            {});
        Checks.Start(8, Slot, Limits, [&](const UnitCheck& C) { Done.push_back(C.Unit); });
        ASSERT_TRUE(PostedAfterAWhile(1));
        Queue[0]();
        EXPECT_EQ(Done, std::vector<int>{8});
        Checks.Start(1, Slot, Limits, [&](const UnitCheck& C) { Done.push_back(C.Unit); });
        ASSERT_TRUE(PostedAfterAWhile(2));
    }
    Queue[1](); // its owner (a window) is gone
    EXPECT_EQ(Done, std::vector<int>{8});
}

TEST(SettingsCheck, WaitsAsLongAsTheProgramAndNamesTheProgramAfterTheFile) {
    const double Quiet = CheckLimits().QuietMs;
    const std::tuple<std::uint16_t, double, double> Waits[] = {
        // ReconnectDelay, the connect's limit, the greeting's
        {0, ConnectLimitWithoutDelayMs, Quiet},
        {1, 1, Quiet},
        {4000, 4000, 4000}};
    for (const auto& [Delay, Connect, Greeting] : Waits) {
        SettingsRecord Settings;
        Settings.ReconnectDelay = Delay;
        EXPECT_EQ(LimitsFor(Settings).ConnectMs, Connect) << Delay;
        EXPECT_EQ(LimitsFor(Settings).GreetingMs, Greeting) << Delay;
    }
    const std::pair<std::string, std::string> Names[] = {{"C:\\Tavo\\Studio A.ini", "Studio A"},
                                                         {"/etc/tavo/x.ini", "x"},
                                                         {"TavoRouterControl", "TavoRouterControl"},
                                                         {"/home/op/.ini", ".ini"}};
    for (const auto& [File, Name] : Names)
        EXPECT_EQ(BaseNameOf(File), Name);
}

TEST(SettingsCheck, TheVerdictNamesTheFirstThingToFix) {
    auto Result = [](int Unit, UnitOutcome Outcome) {
        UnitCheck C;
        C.Unit = Unit;
        C.ConnectAddress = "10.0.0." + std::to_string(Unit);
        C.Port = 1;
        C.Outcome = Outcome;
        return C;
    };
    auto Lamp = [](int Unit, std::int16_t X, LampShows Shows) {
        return LampCheck{Unit, {X, 10}, X >= 0, 0, Shows};
    };
    const std::string Dropped =
        "Verdict: Unit8 (10.0.0.8:1) accepted the connection and closed it again: the "
        "unit turns control connections away.";
    const struct {
        const char* Case;
        std::function<void(CheckReport&)> Make;
        int Status;
        std::string Says; // all of the verdict, or how it begins when it ends in "..."
    } Cases[] = {
        {"all set", [](CheckReport&) {}, 0,
         "Verdict: all set: every unit connects and every lamp lies on a monitor; "
         "TavoRouterControl would select unit 1 now."},
        {"the file cannot be used", [](CheckReport& R) { R.Loaded.reset(); }, 2,
         "Verdict: the settings file cannot be used..."},
        {"no unit", [](CheckReport& R) { R.Loaded->Units = UnitArray(); }, 1,
         "Verdict: no unit is configured..."},
        {"an address before a unit that turned the check away",
         [&](CheckReport& R) {
             R.Units[1] = Result(1, UnitOutcome::Refused);
             R.Units[8] = Result(8, UnitOutcome::PortOutOfRange);
             R.Units[8]->Address = "10.0.0.8:70000";
         },
         1,
         "Verdict: fix Unit8's address 10.0.0.8:70000: its port must be a number from 0 to 65535. (1 more to "
         "fix above.)"},
        {"a unit that turned the check away",
         [&](CheckReport& R) { R.Units[8] = Result(8, UnitOutcome::Dropped); }, 1, Dropped},
        {"... while the program runs",
         [&](CheckReport& R) {
             R.Units[8] = Result(8, UnitOutcome::Dropped);
             R.ProgramRunning = true;
         },
         1, Dropped + " " + RunningNote},
        {"a lamp off every monitor before two at one point",
         [&](CheckReport& R) {
             R.Lamps->Rows = {Lamp(1, -5, LampShows::Unreadable), Lamp(2, 7, LampShows::Neither),
                              Lamp(3, 7, LampShows::ActiveColour)};
         },
         1, "Verdict: lamp 1 at -5,10 lies on no monitor..."},
        {"two neighbouring lamps at one point",
         [&](CheckReport& R) { R.Lamps->Rows.push_back(Lamp(3, 2, LampShows::Neither)); }, 1,
         "Verdict: lamps 2 and 3 share the position 2,10..."},
        {"one colour for both",
         [](CheckReport& R) { R.Loaded->Settings.OnAirColor = R.Loaded->Settings.ActiveColor; }, 1,
         "Verdict: UnitActiveColor and UnitOnAirColor are the same colour..."},
        {"a warning", [](CheckReport& R) { R.Warnings.push_back("Warning: The file ..."); }, 1,
         "Verdict: mend what the warning above says..."},
        {"no lamp lit", [](CheckReport& R) { R.Lamps->Rows[0].Shows = LampShows::Neither; }, 0,
         "Verdict: every unit connects and every lamp lies on a monitor, but no lamp shows..."},
        {"no display",
         [](CheckReport& R) {
             R.Lamps.reset();
             R.NoLamps = "no display";
         },
         0, "Verdict: every unit connected; the lamps were not checked (no display)..."},
        {"a Wayland session",
         [](CheckReport& R) {
             R.Lamps.reset();
             R.NoLamps = "Wayland";
             R.LampsUnreadable = true;
         },
         1, "Verdict: the lamps cannot be read here (Wayland)."},
        {"unit 1 alone, still being checked",
         [](CheckReport& R) {
             R.Loaded->Units[8] = {};
             R.Units[1].reset();
         },
         0, "Verdict: checking the units..."},
        {"unit 8 alone, still being checked",
         [](CheckReport& R) {
             R.Loaded->Units[1] = {};
             R.Units[8].reset();
         },
         0, "Verdict: checking the units..."},
    };
    for (const auto& C : Cases) {
        CheckReport R;
        R.Loaded.emplace();
        for (int Unit : {1, 8}) {
            R.Loaded->Units[Unit].UnitAddress = "10.0.0." + std::to_string(Unit);
            R.Units[static_cast<std::size_t>(Unit)] = Result(Unit, UnitOutcome::Connected);
        }
        R.Lamps.emplace();
        R.Lamps->Rows = {Lamp(1, 1, LampShows::ActiveColour), Lamp(2, 2, LampShows::Neither)};
        R.Lamps->Selection = {SelectionVerdict::Why::Active, 1, 0};
        C.Make(R);
        const std::size_t Length = C.Says.ends_with("...") ? C.Says.size() - 3 : std::string::npos;
        EXPECT_EQ(Verdict(R).Text.substr(0, Length), C.Says.substr(0, Length)) << C.Case;
        EXPECT_EQ(Verdict(R).Problem, C.Status != 0) << C.Case;
        EXPECT_EQ(ExitStatus(R), C.Status) << C.Case;
    }
    EXPECT_TRUE(UnitsDone(CheckReport())) << "a file that cannot be used has no unit to wait for";
}

TEST(SettingsCheck, TheReportAsTheOperatorReadsIt) {
    // Lamp n at (10 n, 5), lamp 4 off every monitor; the screen shows what the test painted there.
    struct PaintedScreen final : CheckScreen {
        LampSamples Painted{};
        bool OnMonitor(ScreenPoint P) override { return P.X >= 0; }
        void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override {
            for (std::size_t I = 0; I < Points.size(); ++I)
                Colours[I] = Points[I].X < 0 ? UnreadableColour
                                             : Painted.at(static_cast<std::size_t>(Points[I].X / 10));
        }
    } Screen;
    CheckReport R;
    R.File = "/srv/tavo/TavoRouterControl.ini";
    R.Warnings = {"Warning: The file is old.", "The file names no lamp."};
    LoadedSettings& L = R.Loaded.emplace();
    L.Settings.PollInterval = 100;
    L.Settings.ReconnectDelay = 1000;
    L.Settings.ActiveColor = 0x00FF9632;
    L.Settings.OnAirColor = 0x002F2FE5;
    // Unit at Address, whose check ended in Outcome after Ms (the lookup's, the connect's or the wait's).
    auto Put = [&](int Unit, const std::string& Address, UnitOutcome Outcome, double Ms) -> UnitCheck& {
        const UnitEndpoint E = ParseUnitAddress(Address, DefaultUnitPort);
        L.Units[Unit].UnitAddress = Address;
        L.Units[Unit].IndicatorX = static_cast<std::int16_t>(Unit == 4 ? -40 : 10 * Unit);
        L.Units[Unit].IndicatorY = 5;
        UnitCheck& C = R.Units[static_cast<std::size_t>(Unit)].emplace();
        C.Unit = Unit;
        C.Address = Address;
        C.HostPart = C.ConnectAddress = E.HostPart;
        C.Port = E.Port;
        C.Outcome = Outcome;
        C.LookupMs = C.AttemptMs = C.LimitMs = C.WaitedSaidMs = Ms;
        return C;
    };
    UnitCheck& One = Put(1, "unit-one:4001", UnitOutcome::Connected, 3);
    One.ConnectAddress = "10.0.0.1";
    One.LookedUp = true;
    One.LookupMs = 12;
    One.SaidBytes = 1;
    One.SaidAfterMs = 5;
    One.FirstLine = ">";
    Put(2, "10.0.0.2", UnitOutcome::Connected, 250);
    Put(3, "10.0.0.3:4003", UnitOutcome::Refused, 1);
    Put(4, "10.0.0.4:4004", UnitOutcome::TimedOut, 1000);
    Put(5, "unit-five", UnitOutcome::LookupFailed, 20).LookedUp = true;
    Put(8, "10.0.0.8:70000", UnitOutcome::PortOutOfRange, 0);
    Screen.Painted[1] = 0x00102030;
    Screen.Painted[2] = 0x00FFFFFF; // white: read, and neither colour
    Screen.Painted[3] = Screen.Painted[8] = L.Settings.OnAirColor;
    Screen.Painted[5] = UnreadableColour;
    R.Lamps = CheckLamps(L.Units, L.Settings, Screen);
    EXPECT_EQ(
        ReportText(R),
        "Settings check of /srv/tavo/TavoRouterControl.ini\n"
        "Warning: The file is old.\n"
        "Warning: The file names no lamp.\n"
        "Settings: PollInterval 100 ms, ReconnectDelay 1000 ms, active colour #3296FF, on-air colour "
        "#E52F2F.\n\n"
        "Unit1 unit-one:4001: host unit-one looked up as 10.0.0.1 in 12 ms, port 4001: connected in 3 ms; "
        "it said 1 bytes after 5 ms, first line \">\"\n"
        "Unit2 10.0.0.2: host 10.0.0.2, port 9998: connected in 250 ms; it said nothing within 250 ms\n"
        "Unit3 10.0.0.3:4003: host 10.0.0.3, port 4003: refused after 1 ms\n"
        "Unit4 10.0.0.4:4004: host 10.0.0.4, port 4004: timed out: no answer within 1000 ms\n"
        "Unit5 unit-five: host unit-five: lookup failed after 20 ms: no such name\n"
        "Unit8 10.0.0.8:70000: port out of range: a port is a number from 0 to 65535\n"
        "Not configured: Unit6, Unit7.\n\n"
        "Lamp1 at 10,5: on a monitor, #302010, neither colour\n"
        "Lamp2 at 20,5: on a monitor, #FFFFFF, neither colour\n"
        "Lamp3 at 30,5: on a monitor, #E52F2F, the on-air colour\n"
        "Lamp4 at -40,5: on no monitor, unreadable\n"
        "Lamp5 at 50,5: on a monitor, unreadable\n"
        "Lamp8 at 80,5: on a monitor, #E52F2F, the on-air colour\n"
        "Selection now: the program keeps the one it has (lamps 3 and 8 on air, none active: ambiguous)\n\n"
        "Verdict: fix Unit5's address: the name unit-five cannot be looked up. Check its spelling, or give "
        "the unit's IP address. (5 more to fix above.)\n");
}
