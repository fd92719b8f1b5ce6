// The tray icon's requests, which clicks open the menu, the menu's entries, About and Exit.

#include <string>

#include "Rig.h"

using namespace Tavo;
using namespace Tavo::Testing;

TEST(Tray, IconGoesUpWithoutImageThenGetsImageAndTooltip) {
    Rig R;
    R.Desk.Version = {1, 0, 23};
    R.Form.AddTrayIcon();
    EXPECT_TRUE(R.Form.TrayIconAdded);
    EXPECT_EQ(R.Desk.Log, (std::vector<std::string>{"ShowTrayIcon", "UpdateTrayIcon"}));
    EXPECT_EQ(R.Desk.TrayTooltip,
              "TavoRouterControl 1.0.0.23 Copyright (C) 2026 The TavoRouterControl developers");
}

TEST(Tray, OnlyLeftOrRightButtonReleasesOpenTheMenu) {
    const struct {
        MouseButton Button;
        MouseAction Action;
        bool Opens;
    } Cases[] = {
        {MouseButton::Left, MouseAction::Released, true},
        {MouseButton::Right, MouseAction::Released, true},
        {MouseButton::Left, MouseAction::Pressed, false},
        {MouseButton::Right, MouseAction::Pressed, false},
        {MouseButton::Left, MouseAction::DoubleClicked, false},
        {MouseButton::Middle, MouseAction::Released, false},
        {MouseButton::None, MouseAction::Moved, false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(static_cast<int>(C.Button) * 10 + static_cast<int>(C.Action));
        Rig R;
        R.Desk.Sink->OnTrayClick({C.Button, C.Action});
        EXPECT_EQ(R.Desk.MenusShown.size(), C.Opens ? 1u : 0u);
    }
}

TEST(Tray, MenuEntriesHeaderAndAbout) {
    Rig R;
    R.Desk.Version = {1, 0, 23};
    R.Form.AddTrayIcon();
    R.Desk.Log.clear();
    R.Desk.MenuAnswers = {MenuItemId::Header, MenuItemId::About, MenuItemId::None};
    const TrayClick Release{MouseButton::Right, MouseAction::Released};

    R.Form.picTray_MouseMove(Release);
    ASSERT_EQ(R.Desk.MenusShown.size(), 1u);
    const auto& Items = R.Desk.MenusShown[0];
    ASSERT_EQ(Items.size(), 5u);
    const struct {
        MenuItemId Id;
        const char* Caption;
        bool Default;
    } Expected[] = {{MenuItemId::Header, "TavoRouterControl", true},
                    {MenuItemId::None, "", false},
                    {MenuItemId::About, "&About...", false},
                    {MenuItemId::None, "", false},
                    {MenuItemId::Exit, "E&xit", false}};
    for (std::size_t I = 0; I < Items.size(); ++I) {
        EXPECT_EQ(Items[I].Id, Expected[I].Id);
        EXPECT_EQ(Items[I].Caption, Expected[I].Caption);
        EXPECT_EQ(Items[I].IsDefault, Expected[I].Default);
    }
    EXPECT_TRUE(R.Desk.Boxes.empty()) << "the header runs nothing";
    EXPECT_TRUE(R.Desk.Log.empty());

    R.Form.picTray_MouseMove(Release); // About
    ASSERT_EQ(R.Desk.Boxes.size(), 1u);
    EXPECT_EQ(R.Desk.Boxes[0].Title, "About TavoRouterControl");
    EXPECT_EQ(R.Desk.Boxes[0].Icon, BoxIcon::Information);
    const std::string& Text = R.Desk.Boxes[0].Text;
    EXPECT_EQ(Text.rfind("TavoRouterControl 1.0.0.23\r\nCopyright (C) 2026", 0), 0u) << Text;
    EXPECT_NE(Text.find("developers\r\n\r\nAll rights reserved."), std::string::npos) << Text;
    EXPECT_EQ(R.Desk.Log, (std::vector<std::string>{"Box About TavoRouterControl", "UpdateTrayIcon"}))
        << "closing About sends the image and tooltip once more";

    R.Form.picTray_MouseMove(Release); // dismissed
    EXPECT_EQ(R.Desk.Boxes.size(), 1u);
}

TEST(Tray, ExitAndCloseRequestsEndWithoutAnIconLeft) {
    for (const bool FromMenu : {true, false}) {
        SCOPED_TRACE(FromMenu ? "Exit" : "close request from the desktop");
        Rig R;
        R.Form.AddTrayIcon();
        R.Desk.MenuAnswers = {MenuItemId::Exit};
        try {
            if (FromMenu)
                R.Desk.Sink->OnTrayClick({MouseButton::Left, MouseAction::Released});
            else
                R.Desk.Sink->OnCloseRequest();
            FAIL() << "returned";
        } catch (const ProcessEnded& Ended) {
            EXPECT_EQ(Ended.ExitCode, 0);
        }
        EXPECT_FALSE(R.Desk.TrayIconShown);
        EXPECT_EQ(R.Desk.Log.back(), "EndProcess 0");
    }
}
