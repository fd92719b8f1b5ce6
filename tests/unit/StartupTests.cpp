// Start-up, unload and the tray through the fake desktop: the order of the steps, the boxes, the fatal
// errors and what each leaves behind; which clicks open the menu, About and Exit.

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

} // namespace

TEST(Startup, StepsRunInOrderAndTimersGetTheirIntervals) {
    Rig R;
    ASSERT_FALSE(R.Start("startup"));
    std::ptrdiff_t Last = -1;
    for (const std::string& Step :
         {"ChangeToFolder " + std::string(TAVO_TEST_DATA), std::string("TakeScreen"),
          std::string("Box Warning"), // no unit configured: said, then run on
          std::string("StartNetwork"), std::string("ShowTrayIcon"), std::string("UpdateTrayIcon"),
          std::string("Interval CheckConnection 3000"), std::string("On CheckConnection"),
          std::string("Interval Poll 200"),
          // The poll runs before the first pass: a selection shown at start-up waits.
          std::string("On Poll"), std::string("Off CheckConnection")}) {
        const std::ptrdiff_t At = Position(R.Desk.Log, Step, Last);
        ASSERT_GT(At, Last) << Step << " missing or out of order";
        Last = At;
    }
    ASSERT_EQ(R.Desk.Boxes.size(), 1u);
    EXPECT_NE(R.Desk.Boxes[0].Text.find("startup.ini configures no unit: section [Devices]"),
              std::string::npos);
    EXPECT_TRUE(R.Form.TrayIconAdded);
    EXPECT_EQ(R.Desk.TrayTooltip, "TavoRouterControl " + std::to_string(VersionMajor) + "." +
                                      std::to_string(VersionMinor) + ".0." + std::to_string(VersionRevision) +
                                      " Copyright (C) 2026 The TavoRouterControl developers");
    // Each timer fires one interval after its previous pass ended.
    R.Desk.Log.clear();
    R.Desk.Advance(199);
    EXPECT_LT(Position(R.Desk.Log, "Off Poll"), 0);
    R.Desk.Advance(1001);
    EXPECT_EQ(std::count(R.Desk.Log.begin(), R.Desk.Log.end(), "Off Poll"), 6);
    EXPECT_EQ(std::count(R.Desk.Log.begin(), R.Desk.Log.end(), "Off CheckConnection"), 0) << "not yet";
}

TEST(Startup, BoxesAndFatalErrors) {
    {
        SCOPED_TRACE("the version warning holds the start until it is closed");
        Rig R;
        bool NetworkStartedWhileOpen = true;
        R.Desk.WhileBoxOpen = [&](const RecordedBox& Box) {
            if (Box.Text.rfind("Warning: The file", 0) == 0)
                NetworkStartedWhileOpen = Position(R.Desk.Log, "StartNetwork") >= 0;
        };
        ASSERT_FALSE(R.Start("version-missing"));
        EXPECT_FALSE(NetworkStartedWhileOpen);
        EXPECT_EQ(R.Desk.TimerInterval(TimerId::Poll), 150u);
    }
    const struct {
        const char* File;
        bool NetworkStarts;
        ScreenAccess Screen;
        std::vector<std::string> MustName; // in the last box
        std::size_t Boxes;
    } Cases[] = {
        {"no-such-file", true, ScreenAccess::Readable, {"no-such-file.ini"}, 1},
        {"warning-then-bad-colour", true, ScreenAccess::Readable, {"UnitOnAirColor", "\"#ZZ0000\""}, 2},
        {"poll-toolarge", true, ScreenAccess::Readable, {"[Configuration]", "PollInterval", "\"65536\""}, 1},
        {"one-unit", false, ScreenAccess::Readable, {"The TCP Stack could not be initialized."}, 1},
        {"one-unit", true, ScreenAccess::Unavailable, {"no display"}, 1},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.File);
        Rig R;
        R.Desk.NetworkStarts = C.NetworkStarts;
        R.Desk.Screen = C.Screen;
        R.Desk.ScreenProblem = "no display";
        const auto Ended = R.Start(C.File);
        ASSERT_TRUE(Ended);
        EXPECT_NE(*Ended, 0);
        ASSERT_EQ(R.Desk.Boxes.size(), C.Boxes);
        EXPECT_EQ(R.Desk.Boxes.back().Title, "TavoRouterControl - Error");
        EXPECT_EQ(R.Desk.Boxes.back().Icon, BoxIcon::Exclamation);
        for (const std::string& Part : C.MustName)
            EXPECT_NE(R.Desk.Boxes.back().Text.find(Part), std::string::npos) << R.Desk.Boxes.back().Text;
        // Nothing connected, no icon ever shown, no timer running.
        EXPECT_LT(Position(R.Desk.Log, "ShowTrayIcon"), 0);
        EXPECT_FALSE(R.Desk.TimerEnabled(TimerId::Poll) || R.Desk.TimerEnabled(TimerId::CheckConnection));
    }
    {
        SCOPED_TRACE("a screen that cannot be read is said once; the program runs for its connections");
        Rig R;
        R.Desk.Screen = ScreenAccess::NotReadable;
        R.Desk.ScreenProblem = "pixels cannot be read here";
        ASSERT_FALSE(R.Start("one-unit"));
        EXPECT_EQ(R.Desk.Boxes.at(0).Text, "pixels cannot be read here");
        EXPECT_TRUE(R.Desk.TimerEnabled(TimerId::Poll));
    }
    FakeDesktop Desk;
    Desk.AnotherInstanceRuns = true;
    EXPECT_EQ(Main(Desk), 0);
    ASSERT_EQ(Desk.Boxes.size(), 1u);
    EXPECT_EQ(Desk.Boxes[0].Text, "TavoRouterControl is already running.");
    EXPECT_EQ(Desk.Boxes[0].Icon, BoxIcon::Information);
    EXPECT_LT(Position(Desk.Log, "TakeScreen"), 0) << "the second copy must not load the form";
    FakeDesktop First; // the first copy loads the form, runs, and takes the form's sink back at the end
    First.Folder = TAVO_TEST_DATA;
    First.BaseName = "first-unit";
    EXPECT_EQ(Main(First), 0);
    EXPECT_EQ(First.Boxes.size(), 1u) << "unit 1's port only: unit 1 alone is a unit, no warning";
    EXPECT_EQ(First.Sink, nullptr);
}

TEST(Tray, OnlyALeftOrRightButtonReleaseOpensTheMenu) {
    using B = MouseButton;
    using A = MouseAction;
    const std::tuple<B, A, bool> Cases[] = {
        {B::Left, A::Released, true},  {B::Right, A::Released, true},      {B::Left, A::Pressed, false},
        {B::Right, A::Pressed, false}, {B::Left, A::DoubleClicked, false}, {B::Middle, A::Released, false},
        {B::None, A::Moved, false},
    };
    for (const auto& [Button, Action, Opens] : Cases) {
        Rig R;
        R.Desk.Sink->OnTrayClick({Button, Action});
        EXPECT_EQ(R.Desk.MenusShown.size(), Opens ? 1u : 0u) << int(Button) << int(Action);
    }
}

TEST(Tray, MenuHeaderAboutAndExit) {
    using Described = std::vector<std::tuple<MenuItemId, std::string, bool>>;
    const auto Describe = [](const std::vector<MenuItem>& Menu) {
        Described Items;
        for (const MenuItem& Item : Menu)
            Items.emplace_back(Item.Id, Item.Caption, Item.IsDefault);
        return Items;
    };
    const Described Expected = {{MenuItemId::Header, "TavoRouterControl", true},
                                {MenuItemId::None, "", false},
                                {MenuItemId::About, "&About...", false},
                                {MenuItemId::None, "", false},
                                {MenuItemId::Exit, "E&xit", false}};
    // Each item does the same, chosen in the program's popup or in the menu a tray host shows by itself.
    for (const bool FromHost : {false, true}) {
        SCOPED_TRACE(FromHost ? "in the host's menu" : "in the popup");
        Rig R;
        R.Desk.Version = {1, 0, 23};
        R.Form.AddTrayIcon();
        EXPECT_EQ(R.Desk.Log, (std::vector<std::string>{"ShowTrayIcon", "UpdateTrayIcon"}));
        EXPECT_EQ(Describe(R.Desk.TrayMenu), Expected);
        R.Desk.Log.clear();
        R.Desk.MenuAnswers = {MenuItemId::Header, MenuItemId::About, MenuItemId::Exit};
        const auto Choose = [&](MenuItemId Item) {
            FromHost ? R.Desk.Sink->OnTrayMenuChoice(Item)
                     : R.Form.picTray_MouseMove({MouseButton::Right, MouseAction::Released});
        };
        Choose(MenuItemId::Header);
        EXPECT_TRUE(R.Desk.Log.empty()) << "the header runs nothing";

        Choose(MenuItemId::About);
        ASSERT_EQ(R.Desk.Boxes.size(), 1u);
        EXPECT_EQ(R.Desk.Boxes[0].Title, "About TavoRouterControl");
        EXPECT_EQ(R.Desk.Boxes[0].Icon, BoxIcon::Information);
        EXPECT_EQ(R.Desk.Boxes[0].Text.rfind("TavoRouterControl 1.0.0.23\r\nCopyright (C) 2026", 0), 0u);
        EXPECT_NE(R.Desk.Boxes[0].Text.find("developers\r\n\r\nAll rights reserved."), std::string::npos);
        EXPECT_EQ(R.Desk.Log, (std::vector<std::string>{"Box About TavoRouterControl", "UpdateTrayIcon"}))
            << "closing About sends the image and tooltip once more";
        EXPECT_EQ(R.Desk.MenusShown.size(), FromHost ? 0u : 2u);
        for (const auto& Shown : R.Desk.MenusShown)
            EXPECT_EQ(Describe(Shown), Expected);
        try {
            Choose(MenuItemId::Exit);
            FAIL() << "returned";
        } catch (const ProcessEnded& Ended) {
            EXPECT_EQ(Ended.ExitCode, 0);
        }
        EXPECT_FALSE(R.Desk.TrayIconShown);
    }
    {
        Rig Q; // a close request from the desktop goes the way Exit goes
        Q.Form.AddTrayIcon();
        EXPECT_THROW(Q.Desk.Sink->OnCloseRequest(), ProcessEnded);
        EXPECT_FALSE(Q.Desk.TrayIconShown);
        EXPECT_EQ(Q.Desk.Log.back(), "EndProcess 0");
    }
    for (const bool Added : {false, true}) { // the unload removes the icon only when one was added
        Rig U;
        if (Added)
            U.Form.AddTrayIcon();
        EXPECT_THROW(U.Form.Form_Unload(0), ProcessEnded);
        EXPECT_EQ(Position(U.Desk.Log, "RemoveTrayIcon") >= 0, Added);
    }
}
