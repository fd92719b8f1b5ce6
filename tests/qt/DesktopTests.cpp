// The Qt desktop on a real event loop and X server: the exception barrier, and the tray icon and its
// host. (Timers, waits, events posted from other threads, the settings locations, the single-instance
// claim and screen growth are proven end to end by the real program.)

#include <QAction>
#include <QMenu>
#include <QProcess>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "DesktopProbe.h"
#include "platform/qt/QtDesktop.h"

namespace Tavo::Testing {
namespace {

constexpr double GenerousMs = 5000; // only a hung or broken loop takes this long

TEST(QtDesktop, AnExceptionFromAHandlerEndsTheProgramInsteadOfUnwindingThroughQt) {
    RecordingSink Sink;
    QtPlatform::QtDesktop Desk;
    Desk.SetEventSink(&Sink);
    std::string Ended;
    Desk.UnexpectedError = [&](const std::string& What) { Ended = What; };
    Sink.OnTick = [&](TimerId Timer) {
        Desk.EnableTimer(Timer, false); // as the form's handlers do first
        throw std::runtime_error("handler failed");
    };
    Desk.SetTimerInterval(TimerId::Poll, 10);
    Desk.EnableTimer(TimerId::Poll, true);
    ASSERT_TRUE(WaitUntil(Desk, GenerousMs, 0, [&] { return !Ended.empty(); }).Done);
    EXPECT_EQ(Ended, "handler failed");
    Ended.clear();
    Desk.PostEvent([] { throw std::runtime_error("posted event failed"); });
    ASSERT_TRUE(WaitUntil(Desk, GenerousMs, 0, [&] { return !Ended.empty(); }).Done);
    EXPECT_EQ(Ended, "posted event failed");
}

TEST(QtDesktop, TrayIconWaitsForAHostReportsClicksAndGoes) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "this X server should have no tray yet";
    RecordingSink Sink;
    QtPlatform::QtDesktop Desk;
    Desk.SetTrayWatchInterval(100);
    Desk.SetEventSink(&Sink);
    Desk.SetTrayMenu({{MenuItemId::About, "&About...", true}, {}, {MenuItemId::Exit, "E&xit", false}});
    Desk.ShowTrayIcon();
    Desk.UpdateTrayIcon("TavoRouterControl tip");
    EXPECT_EQ(Desk.TrayIcon(), nullptr) << "no host: nothing to show on";

    QProcess Host; // killed when it goes
    Host.start("trayer", {"--edge", "bottom", "--widthtype", "request", "--SetDockType", "false"});
    ASSERT_TRUE(
        WaitUntil(Desk, 10000, 0, [&] { return Desk.TrayIcon() && Desk.TrayIcon()->isVisible(); }).Done)
        << "the icon did not come with the tray host";
    EXPECT_EQ(Desk.TrayIcon()->toolTip().toStdString(), "TavoRouterControl tip");
    EXPECT_FALSE(Desk.TrayIcon()->icon().isNull());

    // Left release, right release, left double-click, middle release.
    for (const auto Reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context,
                              QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick})
        emit Desk.TrayIcon()->activated(Reason);
    EXPECT_EQ(Sink.Clicks, "LRRRLDMR");
    // An XEmbed host shows no menu by itself: Qt would pop this one up on the press, beside the program's.
    EXPECT_EQ(Desk.TrayIcon()->contextMenu(), nullptr);
    ASSERT_EQ(Desk.TrayMenu()->actions().size(), 3);
    EXPECT_EQ(Desk.TrayMenu()->defaultAction()->text().toStdString(), "&About...");
    for (QAction* Item : Desk.TrayMenu()->actions())
        Item->trigger(); // as a host that shows it would, for each item; the separator is no item
    EXPECT_TRUE(Sink.Choices.empty()) << "a choice reaches the program from the event queue";
    WaitUntil(Desk, GenerousMs, 0, [&] { return Sink.Choices.size() >= 2; });
    EXPECT_EQ(Sink.Choices, (std::vector<MenuItemId>{MenuItemId::About, MenuItemId::Exit}));
    Desk.RemoveTrayIcon();
    EXPECT_EQ(Desk.TrayIcon(), nullptr);
    Desk.RemoveTrayIcon(); // a second removal changes nothing
}

} // namespace
} // namespace Tavo::Testing
