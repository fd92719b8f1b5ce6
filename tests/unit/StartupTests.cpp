// Start-up and unload through the fake desktop: the order of the steps, the boxes, the fatal errors and
// what each leaves behind.

#include <algorithm>
#include <string>

#include "Rig.h"
#include "core/modMain.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

// Where Entry first stands in the log after position After; -1 when it does not.
std::ptrdiff_t Position(const std::vector<std::string>& Log, const std::string& Entry,
                        std::ptrdiff_t After = -1) {
    const auto It = std::find(Log.begin() + After + 1, Log.end(), Entry);
    return It == Log.end() ? -1 : It - Log.begin();
}

struct StartRig : Rig {
    explicit StartRig(const std::string& BaseName) {
        Desk.Folder = TAVO_TEST_DATA;
        Desk.BaseName = BaseName;
    }
};

} // namespace

TEST(Startup, StepsRunInOrderAndTimersGetTheirIntervals) {
    StartRig R("startup");
    ASSERT_FALSE(R.Start());
    const std::vector<std::string> Expected = {
        "ChangeToFolder " + std::string(TAVO_TEST_DATA),
        "TakeScreen",
        "Box Warning", // startup.ini configures no unit: said once, then the program runs on
        "StartNetwork",
        "ShowTrayIcon",
        "UpdateTrayIcon",
        "Interval CheckConnection 3000",
        "On CheckConnection",
        "Interval Poll 200",
        "On Poll", // before the first pass, so a selection shown at start-up waits for its unit
        "Off CheckConnection",
        "On CheckConnection",
    };
    std::ptrdiff_t Last = -1;
    for (const std::string& Step : Expected) {
        const std::ptrdiff_t At = Position(R.Desk.Log, Step, Last);
        ASSERT_GT(At, Last) << Step << " missing or out of order";
        Last = At;
    }
    ASSERT_EQ(R.Desk.Boxes.size(), 1u);
    EXPECT_NE(R.Desk.Boxes[0].Text.find("startup.ini configures no unit: section [Devices]"),
              std::string::npos)
        << R.Desk.Boxes[0].Text;
    EXPECT_TRUE(R.Form.ScreenDC);
    EXPECT_TRUE(R.Form.TrayIconAdded);
    EXPECT_TRUE(R.Desk.TimerEnabled(TimerId::Poll));
    EXPECT_TRUE(R.Desk.TimerEnabled(TimerId::CheckConnection));
    EXPECT_EQ(R.Desk.TrayTooltip, "TavoRouterControl " + std::to_string(VersionMajor) + "." +
                                      std::to_string(VersionMinor) + ".0." + std::to_string(VersionRevision) +
                                      " Copyright (C) 2026 The TavoRouterControl developers");
}

TEST(Startup, WarningBoxHoldsTheStartUntilClosed) {
    StartRig R("version-missing");
    bool NetworkStartedWhileOpen = true;
    R.Desk.WhileBoxOpen = [&](const RecordedBox& Box) {
        if (Box.Text.rfind("Warning: The file", 0) != 0)
            return;
        NetworkStartedWhileOpen = Position(R.Desk.Log, "StartNetwork") >= 0;
        R.Desk.Advance(60000); // the operator reads it for a minute: no timer may run meanwhile
    };
    ASSERT_FALSE(R.Start());
    ASSERT_GE(R.Desk.Boxes.size(), 1u);
    EXPECT_EQ(R.Desk.Boxes[0].Title, "Warning");
    EXPECT_FALSE(NetworkStartedWhileOpen);
    EXPECT_EQ(R.Desk.TimerInterval(TimerId::Poll), 150u);
}

TEST(Startup, FatalErrorsShowOneBoxNamingTheFaultAndEndNonZero) {
    const struct {
        const char* File;
        std::vector<std::string> MustName;
        std::size_t WarningsFirst;
    } Cases[] = {
        {"no-such-file", {"no-such-file.ini"}, 0},
        {"version-text", {"version-text.ini", "[General]", "Version", "\"one\""}, 0},
        {"warning-then-bad-colour", {"UnitOnAirColor", "\"#ZZ0000\""}, 1},
        {"poll-toolarge", {"[Configuration]", "PollInterval", "\"70000\""}, 0},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.File);
        StartRig R(C.File);
        const auto Ended = R.Start();
        ASSERT_TRUE(Ended);
        EXPECT_NE(*Ended, 0);
        ASSERT_EQ(R.Desk.Boxes.size(), C.WarningsFirst + 1);
        const RecordedBox& Box = R.Desk.Boxes.back();
        EXPECT_EQ(Box.Title, "TavoRouterControl - Error");
        EXPECT_EQ(Box.Icon, BoxIcon::Exclamation);
        for (const std::string& Part : C.MustName)
            EXPECT_NE(Box.Text.find(Part), std::string::npos) << Part << " missing from: " << Box.Text;
        // Nothing connected, no icon left, no timer running.
        EXPECT_FALSE(R.Desk.TrayIconShown);
        EXPECT_FALSE(R.Desk.TimerEnabled(TimerId::Poll));
        EXPECT_FALSE(R.Desk.TimerEnabled(TimerId::CheckConnection));
        EXPECT_LT(Position(R.Desk.Log, "StartNetwork"), 0);
    }
}

TEST(Startup, NetworkAndScreenProblems) {
    {
        SCOPED_TRACE("the socket library refuses: its message, then unload before any icon exists");
        StartRig R("one-unit");
        R.Desk.NetworkStarts = false;
        const auto Ended = R.Start();
        ASSERT_TRUE(Ended);
        EXPECT_NE(*Ended, 0);
        ASSERT_EQ(R.Desk.Boxes.size(), 1u);
        EXPECT_EQ(R.Desk.Boxes[0].Text, "The TCP Stack could not be initialized.");
        EXPECT_EQ(R.Desk.Boxes[0].Title, "TavoRouterControl - Error");
        EXPECT_LT(Position(R.Desk.Log, "ShowTrayIcon"), 0);
        EXPECT_LT(Position(R.Desk.Log, "RemoveTrayIcon"), 0);
    }
    {
        SCOPED_TRACE("no screen at all: fatal");
        StartRig R("one-unit");
        R.Desk.Screen = ScreenAccess::Unavailable;
        R.Desk.ScreenProblem = "no display";
        ASSERT_TRUE(R.Start());
        ASSERT_EQ(R.Desk.Boxes.size(), 1u);
        EXPECT_NE(R.Desk.Boxes[0].Text.find("no display"), std::string::npos);
    }
    {
        SCOPED_TRACE("a screen that cannot be read is said once; the program runs for its connections");
        StartRig R("one-unit");
        R.Desk.Screen = ScreenAccess::NotReadable;
        R.Desk.ScreenProblem = "pixels cannot be read here";
        ASSERT_FALSE(R.Start());
        ASSERT_GE(R.Desk.Boxes.size(), 1u);
        EXPECT_EQ(R.Desk.Boxes[0].Text, "pixels cannot be read here");
        EXPECT_TRUE(R.Desk.TimerEnabled(TimerId::Poll));
    }
}

TEST(Startup, TimersFireOneIntervalAfterThePreviousPassEndedAndNeverAtZero) {
    {
        StartRig R("intervals-zero");
        ASSERT_FALSE(R.Start());
        const std::size_t LogSize = R.Desk.Log.size();
        R.Desk.Advance(10 * 60 * 1000);
        EXPECT_EQ(R.Desk.Log.size(), LogSize) << "a timer with interval 0 ran";
    }
    StartRig R("startup");
    ASSERT_FALSE(R.Start());
    R.Desk.Log.clear();
    R.Desk.Advance(199);
    EXPECT_LT(Position(R.Desk.Log, "Off Poll"), 0);
    R.Desk.Advance(1);
    EXPECT_EQ(std::count(R.Desk.Log.begin(), R.Desk.Log.end(), "Off Poll"), 1);
    R.Desk.Advance(1000);
    EXPECT_EQ(std::count(R.Desk.Log.begin(), R.Desk.Log.end(), "Off Poll"), 6);
}

TEST(Startup, SecondCopyIsToldAndEnds) {
    FakeDesktop Desk;
    Desk.AnotherInstanceRuns = true;
    Desk.Folder = TAVO_TEST_DATA;
    Desk.BaseName = "startup";
    EXPECT_EQ(Main(Desk), 0);
    ASSERT_EQ(Desk.Boxes.size(), 1u);
    EXPECT_EQ(Desk.Boxes[0].Text, "TavoRouterControl is already running.");
    EXPECT_EQ(Desk.Boxes[0].Title, "TavoRouterControl");
    EXPECT_EQ(Desk.Boxes[0].Icon, BoxIcon::Information);
    EXPECT_LT(Position(Desk.Log, "TakeScreen"), 0) << "the second copy must not load the form";
}

TEST(Startup, UnloadRemovesTheIconOnlyWhenAdded) {
    for (bool Added : {false, true}) {
        Rig R;
        if (Added)
            R.Form.AddTrayIcon();
        R.Desk.Log.clear();
        try {
            R.Form.Form_Unload(0);
            FAIL() << "unload returned";
        } catch (const ProcessEnded& Ended) {
            EXPECT_EQ(Ended.ExitCode, 0);
        }
        EXPECT_EQ(Position(R.Desk.Log, "RemoveTrayIcon") >= 0, Added);
        EXPECT_FALSE(R.Desk.TrayIconShown);
    }
}
