// The popup menu and the tray icon on a real X server, driven with real pointer and key events.

#include <QAction>
#include <QApplication>
#include <QFont>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "QtTestEnvironment.h"
#include "Recorder.h"
#include "XvfbServer.h"
#include "app/Version.h"

namespace Tavo::Testing {
namespace {

const std::vector<MenuItem> TrayMenu{{MenuItemId::Header, "TavoRouterControl", true},
                                     {MenuItemId::None, "-", false},
                                     {MenuItemId::About, "&About...", false},
                                     {MenuItemId::None, "-", false},
                                     {MenuItemId::Exit, "E&xit", false}};

void Xdo(const std::string& Arguments) {
    ASSERT_EQ(RunOn(TestDisplay(), "xdotool " + Arguments), 0) << "xdotool " << Arguments;
}

std::string CentreOf(QMenu& Menu, MenuItemId Id) {
    for (QAction* A : Menu.actions())
        if (!A->isSeparator() && A->data().toInt() == static_cast<int>(Id)) {
            const QPoint P = Menu.mapToGlobal(Menu.actionGeometry(A).center());
            return std::to_string(P.x()) + " " + std::to_string(P.y());
        }
    ADD_FAILURE() << "item " << static_cast<int>(Id) << " is not in the menu";
    return "0 0";
}

// One step runs when the menu is open and returns true once it has done its part.
using Step = std::function<bool(QMenu&)>;

struct MenuCase {
    const char* Name;
    const char* Before; // xdotool arguments run before the menu opens
    std::vector<Step> Steps;
    MenuItemId Expected;
};

// Counts the mouse releases a widget receives, without taking them.
struct ReleaseCounter final : QObject {
    int Seen = 0;
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::MouseButtonRelease)
            ++Seen;
        return false;
    }
};

TEST(DesktopMenu, OpensAtThePointerAndIgnoresTheReleaseOfTheOpeningPress) {
    QtPlatform::QtDesktop Desk;
    int IgnoredBefore = 0;
    ReleaseCounter Releases;
    const std::vector<MenuCase> Cases{
        {"release of the press that opened it, then Escape",
         "mousemove 400 300 mousedown 3",
         {[&](QMenu& Menu) {
              // The items as listed, the header as the bold default item, centred on the pointer.
              std::vector<std::string> Shown;
              for (QAction* A : Menu.actions())
                  Shown.push_back(A->isSeparator() ? "-" : A->text().toStdString());
              EXPECT_EQ(Shown,
                        (std::vector<std::string>{"TavoRouterControl", "-", "&About...", "-", "E&xit"}));
              EXPECT_TRUE(Menu.defaultAction() && Menu.defaultAction()->text() == "TavoRouterControl");
              EXPECT_NEAR(Menu.geometry().center().x(), 400, 2);
              EXPECT_EQ(Menu.geometry().top(), 300);
              IgnoredBefore = Desk.ReleaseGuard().IgnoredReleases();
              Menu.installEventFilter(&Releases); // sees the release before the menu does
              Xdo("mouseup 3");
              return true;
          },
          [&](QMenu&) { return Releases.Seen > 0; },
          [&](QMenu& Menu) {
              // Had the menu taken the release as a choice, it would be closed by now.
              EXPECT_TRUE(Menu.isVisible()) << "the opening press's release closed the menu";
              EXPECT_EQ(Desk.ReleaseGuard().IgnoredReleases(), IgnoredBefore + 1);
              Xdo("key Escape");
              return true;
          }},
         MenuItemId::None},
        {"left click on an item",
         "mousemove 400 300",
         {[&](QMenu& Menu) {
             Xdo("mousemove " + CentreOf(Menu, MenuItemId::About) + " click 1");
             return true;
         }},
         MenuItemId::About},
        {"right button held, dragged to an item and released",
         "mousemove 400 300 mousedown 3",
         {[&](QMenu& Menu) {
             Xdo("mousemove " + CentreOf(Menu, MenuItemId::Exit) + " mouseup 3");
             return true;
         }},
         MenuItemId::Exit},
        {"header chosen with the keyboard",
         "mousemove 400 300",
         {[&](QMenu&) {
             Xdo("key Down Return");
             return true;
         }},
         MenuItemId::Header},
    };
    for (const MenuCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        Xdo(C.Before);
        std::size_t Next = 0;
        QElapsedTimer Since;
        Since.start();
        QTimer Driver;
        Driver.setInterval(20);
        QObject::connect(&Driver, &QTimer::timeout, [&] {
            auto* Menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (Since.elapsed() > 10000) {
                ADD_FAILURE() << "step " << Next << " did not finish within 10 s";
                if (Menu)
                    Menu->close();
                Driver.stop();
                return;
            }
            if (!Menu || !Menu->isVisible() || Next >= C.Steps.size())
                return;
            if (C.Steps[Next](*Menu))
                ++Next;
        });
        Driver.start();
        const MenuItemId Chosen = Desk.ShowPopupMenu(TrayMenu);
        Driver.stop();
        EXPECT_EQ(Next, C.Steps.size()) << "the menu closed before the test was done with it";
        EXPECT_EQ(static_cast<int>(Chosen), static_cast<int>(C.Expected));
        Xdo("mouseup 3 2>/dev/null; true");
    }
}

TEST(DesktopTray, IconComesWithTheTrayHostReportsClicksAndGoes) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "this X server should have no tray yet";
    QtPlatform::QtDesktop Desk;
    Desk.SetTrayWatchInterval(100);
    Recorder Rec(Desk);

    TrayIconRecord Record{};
    Record.cbSize = TrayIconRecordSize;
    Record.hWnd = Desk.TrayCallbackWindow();
    Record.uID = 123;
    Record.uFlags = 7;
    Record.uCallbackMessage = 0x200;
    Record.hIcon = Desk.ApplicationIcon();
    const std::string Tip = std::string("TavoRouterControl ") + VersionDotted + " tip";
    std::memset(Record.szTip, ' ', sizeof Record.szTip);
    std::memcpy(Record.szTip, Tip.c_str(), Tip.size() + 1);
    ASSERT_NE(Record.hWnd, nullptr);

    // No host: the add fails quietly.
    Desk.ShellNotifyIcon(NimAdd, Record);
    EXPECT_EQ(Desk.TrayIcon(), nullptr);

    ChildProcess Host("trayer --edge bottom --widthtype request --SetDockType false");
    ASSERT_TRUE(Rec.PumpUntil([&] { return Rec.TaskbarCreated > 0; }, 10000))
        << "the tray host's arrival was not reported";
    EXPECT_EQ(Rec.TaskbarCreated, 1);

    Desk.ShellNotifyIcon(NimAdd, Record);
    Desk.ShellNotifyIcon(NimSetVersion, Record);
    Desk.ShellNotifyIcon(NimModify, Record);
    QSystemTrayIcon* Icon = Desk.TrayIcon();
    ASSERT_NE(Icon, nullptr);
    EXPECT_TRUE(Icon->isVisible());
    EXPECT_EQ(Icon->toolTip().toStdString(), Tip);
    EXPECT_FALSE(Icon->icon().isNull());
    // Qt knows the docked icon's place only relative to the host, so it is found as an X window:
    // the one visible window of this program.
    std::string IconWindow;
    ASSERT_TRUE(Rec.PumpUntil(
        [&] {
            IconWindow = CaptureOn(TestDisplay(),
                                   "xdotool search --onlyvisible --class TavoQtTests 2>/dev/null | head -n1");
            return !IconWindow.empty();
        },
        10000))
        << "the icon never docked";
    // Its place on the screen, for the click after it is gone.
    const std::string Where =
        CaptureOn(TestDisplay(), "xdotool mousemove --window " + IconWindow +
                                     " 8 8 getmouselocation --shell | head -n2 | cut -d= -f2 | tr '\\n' ' '");
    ASSERT_FALSE(Where.empty());
    const std::string At = Where;
    struct Click {
        const char* Button;
        std::uint32_t Message;
    };
    for (const Click C : {Click{"1", 0x202u}, Click{"3", 0x205u}}) {
        SCOPED_TRACE(C.Button);
        Rec.TrayMessages.clear();
        Xdo("mousemove " + At + " click " + C.Button);
        ASSERT_TRUE(Rec.PumpUntil([&] { return !Rec.TrayMessages.empty(); }, 5000)) << "no tray message";
        EXPECT_EQ(Rec.TrayMessages.front(), C.Message);
    }

    Desk.ShellNotifyIcon(NimDelete, Record);
    EXPECT_EQ(Desk.TrayIcon(), nullptr);
    Desk.ShellNotifyIcon(NimDelete, Record); // a second delete changes nothing
    // Gone from the host: a click where it was reaches nobody.
    Rec.TrayMessages.clear();
    Desk.DoEvents();
    Xdo("mousemove " + At + " click 1");
    EXPECT_FALSE(Rec.PumpUntil([&] { return !Rec.TrayMessages.empty(); }, 500));
}

} // namespace
} // namespace Tavo::Testing
