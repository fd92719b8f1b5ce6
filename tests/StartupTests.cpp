// Start-up and unload through the fake desktop: the order of the steps, the boxes, the fatal errors and
// what each leaves behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "FakeDesktop.h"
#include "app/frmMain.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

struct Started {
    std::optional<int> ExitCode; // set when the start ended the process
};

Started StartWith(frmMain& Form) {
    Started Result;
    try {
        Form.Form_Load();
    } catch (const ProcessEnded& Ended) {
        Result.ExitCode = Ended.ExitCode;
    }
    return Result;
}

std::ptrdiff_t Position(const std::vector<std::string>& Log, const std::string& Entry) {
    const auto It = std::find(Log.begin(), Log.end(), Entry);
    return It == Log.end() ? -1 : It - Log.begin();
}

// A form on a fake desktop whose settings file is tests/data/<BaseName>.ini.
struct Rig {
    FakeDesktop Desk;
    frmMain Form{Desk};
    explicit Rig(const std::string& BaseName) {
        Desk.Folder = TAVO_TEST_DATA;
        Desk.BaseName = BaseName;
    }
};

} // namespace

TEST(Startup, StepsRunInOrderAndTimersGetTheirIntervals) {
    Rig R("startup");
    FakeDesktop& Desk = R.Desk;
    frmMain& Form = R.Form;
    ASSERT_FALSE(StartWith(Form).ExitCode);

    const std::vector<std::string> Expected = {
        "ChangeToFolder " + std::string(TAVO_TEST_DATA),
        "TakeScreen",
        "StartSocketLibrary",
        "Notify 0", // the tray icon is added before any timer runs
        "Interval CheckConnection 3000",
        "On CheckConnection",
        "Interval Poll 200",
        "On Poll",
    };
    std::ptrdiff_t Last = -1;
    for (const std::string& Step : Expected) {
        const std::ptrdiff_t At = Position(Desk.Log, Step);
        EXPECT_GT(At, Last) << Step << " missing or out of order";
        Last = std::max(Last, At);
    }
    EXPECT_TRUE(Form.ScreenDC);
    EXPECT_TRUE(Form.TrayIconAdded);
    EXPECT_TRUE(Desk.Boxes.empty());
    EXPECT_EQ(Desk.TimerInterval(TimerId::CheckConnection), 3000u);
    EXPECT_EQ(Desk.TimerInterval(TimerId::Poll), 200u);
    EXPECT_TRUE(Desk.TimerEnabled(TimerId::Poll));
    EXPECT_TRUE(Desk.TimerEnabled(TimerId::CheckConnection));
}

TEST(Startup, WarningBoxHoldsTheStartUntilClosed) {
    Rig R("version-missing");
    FakeDesktop& Desk = R.Desk;
    bool SocketsStartedWhileOpen = true;
    Desk.WhileBoxOpen = [&](const RecordedBox&) {
        SocketsStartedWhileOpen = Position(Desk.Log, "StartSocketLibrary") >= 0;
        Desk.Advance(60000); // the operator reads it for a minute: no timer may run meanwhile
    };
    frmMain& Form = R.Form;
    ASSERT_FALSE(StartWith(Form).ExitCode);
    ASSERT_EQ(Desk.Boxes.size(), 1u);
    EXPECT_EQ(Desk.Boxes[0].Title, "Warning");
    EXPECT_FALSE(SocketsStartedWhileOpen);
    EXPECT_EQ(Form.Settings.PollInterval, "150");
    EXPECT_EQ(Desk.TimerInterval(TimerId::Poll), 150u);
    EXPECT_TRUE(Desk.TimerEnabled(TimerId::Poll));
}

TEST(Startup, FatalErrorsShowOneBoxNamingTheFaultAndEndNonZero) {
    struct Case {
        const char* File;
        std::vector<std::string> MustName;
        int WarningsFirst;
    } Cases[] = {
        {"no-such-file", {"no-such-file.ini"}, 0},
        {"version-text", {"version-text.ini", "[General]", "Version", "\"one\""}, 0},
        {"position-toolarge", {"[TavoGUI]", "UnitIndicator2", "\"40000,20\""}, 0},
        {"colour-bad", {"[TavoGUI]", "UnitActiveColor", "\"#GG0000\""}, 0},
        {"warning-then-bad-colour", {"UnitOnAirColor", "\"#ZZ0000\""}, 1},
        {"poll-text", {"[Configuration]", "PollInterval", "\"abc\""}, 0},
        {"poll-toolarge", {"PollInterval", "\"70000\""}, 0},
        {"poll-negative", {"PollInterval", "\"-5\""}, 0},
        {"poll-empty", {"PollInterval", "\"\""}, 0},
        {"reconnect-text", {"ReconnectDelay", "\"soon\""}, 0},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.File);
        Rig R(C.File);
        FakeDesktop& Desk = R.Desk;
        frmMain& Form = R.Form;
        const Started S = StartWith(Form);
        ASSERT_TRUE(S.ExitCode);
        EXPECT_NE(*S.ExitCode, 0);
        ASSERT_EQ(Desk.Boxes.size(), static_cast<std::size_t>(C.WarningsFirst + 1));
        const RecordedBox& Box = Desk.Boxes.back();
        EXPECT_EQ(Box.Title, "TavoRouterControl - Error");
        EXPECT_EQ(Box.Icon, BoxIcon::Exclamation);
        for (const std::string& Part : C.MustName)
            EXPECT_NE(Box.Text.find(Part), std::string::npos) << Part << " missing from: " << Box.Text;
        // Nothing connected, no icon left, no timer running.
        EXPECT_FALSE(Desk.TrayIconShown);
        EXPECT_FALSE(Desk.TimerEnabled(TimerId::Poll));
        EXPECT_FALSE(Desk.TimerEnabled(TimerId::CheckConnection));
        EXPECT_LT(Position(Desk.Log, "StartSocketLibrary"), 0);
    }
}

TEST(Startup, SocketLibraryFailureShowsItsMessageAndUnloads) {
    Rig R("startup");
    FakeDesktop& Desk = R.Desk;
    Desk.SocketLibraryStarts = false;
    frmMain& Form = R.Form;
    const Started S = StartWith(Form);
    ASSERT_TRUE(S.ExitCode);
    EXPECT_NE(*S.ExitCode, 0);
    ASSERT_EQ(Desk.Boxes.size(), 1u);
    EXPECT_EQ(Desk.Boxes[0].Text, "The TCP Stack could not be initialized.");
    EXPECT_EQ(Desk.Boxes[0].Title, "TavoRouterControl - Error");
    EXPECT_EQ(Desk.Boxes[0].Icon, BoxIcon::Exclamation);
    EXPECT_TRUE(Desk.Notifies.empty()); // no icon was ever added, so none is deleted either
    EXPECT_FALSE(Form.TrayIconAdded);
}

TEST(Startup, ScreenProblems) {
    {
        Rig R("startup");
        FakeDesktop& Desk = R.Desk;
        Desk.Screen = ScreenAccess::Unavailable;
        Desk.ScreenProblem = "no display";
        frmMain& Form = R.Form;
        const Started S = StartWith(Form);
        ASSERT_TRUE(S.ExitCode);
        EXPECT_NE(*S.ExitCode, 0);
        ASSERT_EQ(Desk.Boxes.size(), 1u);
        EXPECT_NE(Desk.Boxes[0].Text.find("no display"), std::string::npos);
    }
    {
        // A screen that cannot be read is said once; the program still runs for its connections.
        Rig R("startup");
        FakeDesktop& Desk = R.Desk;
        Desk.Screen = ScreenAccess::NotReadable;
        Desk.ScreenProblem = "pixels cannot be read here";
        frmMain& Form = R.Form;
        ASSERT_FALSE(StartWith(Form).ExitCode);
        ASSERT_EQ(Desk.Boxes.size(), 1u);
        EXPECT_EQ(Desk.Boxes[0].Text, "pixels cannot be read here");
        EXPECT_TRUE(Desk.TimerEnabled(TimerId::Poll));
    }
}

TEST(Startup, ZeroIntervalsNeverFire) {
    Rig R("intervals-zero");
    FakeDesktop& Desk = R.Desk;
    frmMain& Form = R.Form;
    ASSERT_FALSE(StartWith(Form).ExitCode);
    const std::size_t LogSize = Desk.Log.size();
    Desk.Advance(10 * 60 * 1000);
    EXPECT_EQ(Desk.Log.size(), LogSize) << "a timer with interval 0 ran";
}

TEST(Startup, PassesRunOneIntervalAfterThePreviousEnded) {
    Rig R("startup");
    FakeDesktop& Desk = R.Desk;
    frmMain& Form = R.Form;
    ASSERT_FALSE(StartWith(Form).ExitCode);
    Desk.Log.clear();
    Desk.Advance(199);
    EXPECT_LT(Position(Desk.Log, "Off Poll"), 0);
    Desk.Advance(1);
    EXPECT_GE(Position(Desk.Log, "Off Poll"), 0);
    EXPECT_EQ(std::count(Desk.Log.begin(), Desk.Log.end(), "Off Poll"), 1);
    Desk.Advance(1000);
    EXPECT_EQ(std::count(Desk.Log.begin(), Desk.Log.end(), "Off Poll"), 6);
}

TEST(Startup, UnloadDeletesTheIconOnlyWhenAdded) {
    for (bool Added : {false, true}) {
        FakeDesktop Desk;
        frmMain Form(Desk);
        if (Added)
            Form.AddTrayIcon();
        Desk.Notifies.clear();
        try {
            Form.Form_Unload(0);
            FAIL() << "unload returned";
        } catch (const ProcessEnded& Ended) {
            EXPECT_EQ(Ended.ExitCode, 0);
        }
        ASSERT_EQ(Desk.Notifies.size(), Added ? 1u : 0u);
        if (Added) {
            EXPECT_EQ(Desk.Notifies[0].Message, NimDelete);
        }
        EXPECT_FALSE(Desk.TrayIconShown);
    }
}
