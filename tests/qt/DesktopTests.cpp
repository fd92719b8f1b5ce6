// The Qt desktop on a real event loop and X server: the exception barrier, and the tray icon and its
// host. (Timers, waits, events posted from other threads, the settings locations, the single-instance
// claim and screen growth are proven end to end by the real program.)

#include <QProcess>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "platform/qt/QtDesktop.h"

namespace Tavo::Testing {
namespace {

constexpr double GenerousMs = 5000; // only a hung or broken loop takes this long

// What the desktop reports back, as the form would receive it; plus a pump with a deadline.
struct Recorder final : DesktopEvents {
    explicit Recorder(QtPlatform::QtDesktop& D) : Desk(D) { Desk.SetEventSink(this); }
    ~Recorder() { Desk.SetEventSink(nullptr); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Like the form's handlers, a tick switches its timer off.
    void OnTimer(TimerId Timer) override {
        Desk.EnableTimer(Timer, false);
        if (OnTick)
            OnTick();
    }
    void OnTrayClick(TrayClick Click) override { Clicks.push_back(Click); }
    void OnCloseRequest() override {}

    bool PumpUntil(const std::function<bool()>& Done, double TimeoutMs) {
        const double End = Desk.SteadyMilliseconds() + TimeoutMs;
        while (!Done()) {
            const double Left = End - Desk.SteadyMilliseconds();
            if (Left <= 0)
                return false;
            Desk.WaitForEventOrSocket(0, SocketInterest::Readable, static_cast<std::int64_t>(Left) + 1);
            Desk.DoEvents();
        }
        return true;
    }

    QtPlatform::QtDesktop& Desk;
    std::vector<TrayClick> Clicks;
    std::function<void()> OnTick;
};

TEST(QtDesktop, AnExceptionFromAHandlerEndsTheProgramInsteadOfUnwindingThroughQt) {
    QtPlatform::QtDesktop Desk;
    Recorder Rec(Desk);
    std::string Ended;
    Desk.UnexpectedError = [&](const std::string& What) { Ended = What; };
    Rec.OnTick = [] { throw std::runtime_error("handler failed"); };
    Desk.SetTimerInterval(TimerId::Poll, 10);
    Desk.EnableTimer(TimerId::Poll, true);
    ASSERT_TRUE(Rec.PumpUntil([&] { return !Ended.empty(); }, GenerousMs));
    EXPECT_EQ(Ended, "handler failed");
    Ended.clear();
    Desk.PostEvent([] { throw std::runtime_error("posted event failed"); });
    ASSERT_TRUE(Rec.PumpUntil([&] { return !Ended.empty(); }, GenerousMs));
    EXPECT_EQ(Ended, "posted event failed");
}

TEST(QtDesktop, TrayIconWaitsForAHostReportsClicksAndGoes) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "this X server should have no tray yet";
    QtPlatform::QtDesktop Desk;
    Desk.SetTrayWatchInterval(100);
    Recorder Rec(Desk);
    Desk.ShowTrayIcon();
    Desk.UpdateTrayIcon("TavoRouterControl tip");
    EXPECT_EQ(Desk.TrayIcon(), nullptr) << "no host: nothing to show on";

    QProcess Host; // killed when it goes
    Host.start("trayer", {"--edge", "bottom", "--widthtype", "request", "--SetDockType", "false"});
    ASSERT_TRUE(Rec.PumpUntil([&] { return Desk.TrayIcon() && Desk.TrayIcon()->isVisible(); }, 10000))
        << "the icon did not come with the tray host";
    EXPECT_EQ(Desk.TrayIcon()->toolTip().toStdString(), "TavoRouterControl tip");
    EXPECT_FALSE(Desk.TrayIcon()->icon().isNull());

    const struct {
        QSystemTrayIcon::ActivationReason Reason;
        MouseButton Button;
        MouseAction Action;
    } Clicks[] = {{QSystemTrayIcon::Trigger, MouseButton::Left, MouseAction::Released},
                  {QSystemTrayIcon::Context, MouseButton::Right, MouseAction::Released},
                  {QSystemTrayIcon::DoubleClick, MouseButton::Left, MouseAction::DoubleClicked},
                  {QSystemTrayIcon::MiddleClick, MouseButton::Middle, MouseAction::Released}};
    for (const auto& C : Clicks) {
        Rec.Clicks.clear();
        emit Desk.TrayIcon()->activated(C.Reason);
        ASSERT_EQ(Rec.Clicks.size(), 1u);
        EXPECT_EQ(Rec.Clicks[0].Button, C.Button);
        EXPECT_EQ(Rec.Clicks[0].Action, C.Action);
    }
    Desk.RemoveTrayIcon();
    EXPECT_EQ(Desk.TrayIcon(), nullptr);
    Desk.RemoveTrayIcon(); // a second removal changes nothing
}

} // namespace
} // namespace Tavo::Testing
