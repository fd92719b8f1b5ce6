// The tray record, its tooltip bytes, which clicks open the menu, About and Exit.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FakeDesktop.h"
#include "app/frmMain.h"

using namespace Tavo;
using namespace Tavo::Testing;

TEST(Tray, AddSetsTheRecordThenAppliesImageAndTooltip) {
    FakeDesktop Desk;
    Desk.Version = {1, 0, 23};
    frmMain Form(Desk);
    Form.AddTrayIcon();
    EXPECT_TRUE(Form.TrayIconAdded);

    ASSERT_EQ(Desk.Notifies.size(), 3u);
    EXPECT_EQ(Desk.Notifies[0].Message, NimAdd);
    EXPECT_EQ(Desk.Notifies[1].Message, NimSetVersion);
    EXPECT_EQ(Desk.Notifies[2].Message, NimModify);

    const TrayIconRecord& Added = Desk.Notifies[0].Record;
    EXPECT_EQ(Added.cbSize, sizeof(TrayIconRecord));
    EXPECT_EQ(Added.hWnd, &Desk.WindowToken);
    EXPECT_EQ(Added.uID, 123u);
    EXPECT_EQ(Added.uFlags, 7u);
    EXPECT_EQ(Added.uCallbackMessage, 0x200u);
    EXPECT_EQ(Added.hIcon, nullptr) << "the add goes out without an image";
    EXPECT_EQ(Added.szTip[0], '\0') << "and without a tooltip";
    EXPECT_EQ(Desk.Notifies[1].Record.uVersion, 0u);

    const TrayIconRecord& Modified = Desk.Notifies[2].Record;
    EXPECT_EQ(Modified.hIcon, &Desk.IconToken);
    const std::string Tip = "TavoRouterControl 1.0.0.23 Copyright (C) 2026 The TavoRouterControl developers";
    ASSERT_LT(Tip.size(), 128u);
    EXPECT_EQ(std::memcmp(Modified.szTip, Tip.data(), Tip.size()), 0);
    EXPECT_EQ(Modified.szTip[Tip.size()], '\0');
    for (std::size_t I = Tip.size() + 1; I < 128; ++I)
        ASSERT_EQ(Modified.szTip[I], ' ') << "byte " << I;
    for (char C : Modified.szInfo)
        ASSERT_EQ(C, ' ');
    for (char C : Modified.szInfoTitle)
        ASSERT_EQ(C, ' ');
    EXPECT_EQ(Modified.dwState, 0u);
    EXPECT_EQ(Modified.dwInfoFlags, 0u);
    EXPECT_EQ(Modified.guidItem.Data1, 0u);
}

TEST(Tray, OnlyButtonReleasesOpenTheMenu) {
    struct Case {
        std::uint32_t Message;
        bool Opens;
    } Cases[] = {{0x200, false}, {0x201, false}, {0x202, true},  {0x203, false}, {0x204, false},
                 {0x205, true},  {0x206, false}, {0x207, false}, {0x208, false}, {0, false}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Message);
        FakeDesktop Desk;
        frmMain Form(Desk);
        Desk.Sink->OnTrayMessage(C.Message);
        EXPECT_EQ(Desk.MenusShown.size(), C.Opens ? 1u : 0u);
    }
}

TEST(Tray, MenuEntriesAboutAndHeader) {
    FakeDesktop Desk;
    Desk.Version = {1, 0, 23};
    frmMain Form(Desk);
    Form.AddTrayIcon();
    Desk.Notifies.clear();
    Desk.MenuAnswers = {MenuItemId::Header, MenuItemId::About, MenuItemId::None};

    Form.picTray_MouseMove(0x205);
    ASSERT_EQ(Desk.MenusShown.size(), 1u);
    const auto& Items = Desk.MenusShown[0];
    ASSERT_EQ(Items.size(), 5u);
    EXPECT_EQ(Items[0].Caption, "TavoRouterControl");
    EXPECT_TRUE(Items[0].IsDefault);
    EXPECT_EQ(Items[1].Id, MenuItemId::None);
    EXPECT_EQ(Items[2].Caption, "&About...");
    EXPECT_EQ(Items[3].Id, MenuItemId::None);
    EXPECT_EQ(Items[4].Caption, "E&xit");
    EXPECT_TRUE(Desk.Boxes.empty()) << "the header runs nothing";
    EXPECT_TRUE(Desk.Notifies.empty());

    Form.picTray_MouseMove(0x202); // About
    ASSERT_EQ(Desk.Boxes.size(), 1u);
    EXPECT_EQ(Desk.Boxes[0].Title, "About TavoRouterControl");
    EXPECT_EQ(Desk.Boxes[0].Icon, BoxIcon::Information);
    const std::string& Text = Desk.Boxes[0].Text;
    EXPECT_EQ(Text.rfind("TavoRouterControl 1.0.0.23\r\nCopyright (C) 2026", 0), 0u) << Text;
    EXPECT_NE(Text.find("developers\r\n\r\nAll rights reserved."), std::string::npos) << Text;
    ASSERT_EQ(Desk.Notifies.size(), 1u) << "closing About sends the image and tooltip once more";
    EXPECT_EQ(Desk.Notifies[0].Message, NimModify);

    Form.picTray_MouseMove(0x202); // dismissed
    EXPECT_EQ(Desk.Boxes.size(), 1u);
    EXPECT_EQ(Desk.Notifies.size(), 1u);
}

TEST(Tray, ExitDeletesTwiceAndEnds) {
    FakeDesktop Desk;
    frmMain Form(Desk);
    Form.AddTrayIcon();
    Desk.Notifies.clear();
    Desk.MenuAnswers = {MenuItemId::Exit};
    try {
        Form.picTray_MouseMove(0x202);
        FAIL() << "Exit returned";
    } catch (const ProcessEnded& Ended) {
        EXPECT_EQ(Ended.ExitCode, 0);
    }
    ASSERT_EQ(Desk.Notifies.size(), 2u);
    EXPECT_EQ(Desk.Notifies[0].Message, NimDelete);
    EXPECT_EQ(Desk.Notifies[1].Message, NimDelete);
    EXPECT_FALSE(Desk.TrayIconShown);
}

TEST(Tray, NewTaskbarGetsTheIconAgain) {
    FakeDesktop Desk;
    frmMain Form(Desk);
    Desk.Sink->OnTaskbarCreated();
    EXPECT_TRUE(Desk.Notifies.empty()) << "before the icon is set up there is nothing to restore";

    Form.AddTrayIcon();
    Desk.Notifies.clear();
    Desk.TrayIconShown = false; // the old taskbar went away with our icon
    Desk.Sink->OnTaskbarCreated();
    EXPECT_TRUE(Desk.TrayIconShown);
    ASSERT_GE(Desk.Notifies.size(), 2u);
    EXPECT_EQ(Desk.Notifies.front().Message, NimAdd);
    EXPECT_EQ(Desk.Notifies.back().Message, NimModify) << "a refused add still gets image and tooltip";
    EXPECT_EQ(Desk.Notifies.back().Record.hIcon, &Desk.IconToken);
    EXPECT_EQ(Desk.Notifies.back().Record.szTip[0], 'T');
}

TEST(Tray, CloseRequestFromTheDesktopUnloadsLikeExit) {
    FakeDesktop Desk;
    frmMain Form(Desk);
    Form.AddTrayIcon();
    try {
        Desk.Sink->OnCloseRequest();
        FAIL() << "the close request returned";
    } catch (const ProcessEnded& Ended) {
        EXPECT_EQ(Ended.ExitCode, 0);
    }
    EXPECT_FALSE(Desk.TrayIconShown);
    EXPECT_EQ(Desk.Notifies.back().Message, NimDelete);
}
