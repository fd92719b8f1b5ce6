#pragma once
// The desktop on Linux: Qt Widgets for the tray, menus, boxes, timers and the event loop; X11 for pixels.
// Needs a QApplication constructed first.

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <memory>

#include "app/Desktop.h"
#include "platform/qt/X11Screen.h"

class QSystemTrayIcon;

namespace Tavo::QtPlatform {

// Keeps the menu from taking, as a choice, the release of the very press that opened it: on an XEmbed
// tray the right button reports on press, and the menu then opens under the still-held button.
class MenuReleaseGuard final : public QObject {
  public:
    static constexpr qint64 GuardMs = 200;
    static constexpr int MoveTolerance = 4; // pixels the pointer may drift and still be "the same press"

    void Arm(QPoint OpenedAt) {
        Origin = OpenedAt;
        Since.start();
    }
    int IgnoredReleases() const { return Ignored; }

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    QPoint Origin;
    QElapsedTimer Since;
    int Ignored = 0;
};

class QtDesktop final : public QObject, public Desktop {
  public:
    QtDesktop();
    ~QtDesktop() override;

    void SetEventSink(DesktopEvents* Sink) override { EventSink = Sink; }

    void InitCommonControls() override {}
    VersionNumbers AppVersion() override;
    std::string ExecutableFolder() override;
    std::string ExecutableBaseName() override;
    char PathSeparator() override { return '/'; }
    bool ChangeToFolder(const std::string& Folder) override;

    void SetTimerInterval(TimerId Timer, std::uint32_t IntervalMs) override;
    void EnableTimer(TimerId Timer, bool Enabled) override;

    void DoEvents() override;
    void WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) override;
    double SteadyMilliseconds() override;

    void ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) override;

    ScreenAccess TakeScreen(std::string& Problem) override;
    void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override;

    bool StartSocketLibrary() override;

    void* ApplicationIcon() override { return &AppIcon; }
    void* TrayCallbackWindow() override { return this; }
    void ShellNotifyIcon(std::uint32_t Message, const TrayIconRecord& Record) override;
    MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) override;

    int RunEventLoop() override;
    [[noreturn]] void EndProcess(int ExitCode) override;

    // For the platform tests.
    X11Screen& Screen() { return ScreenReader; }
    QSystemTrayIcon* TrayIcon() const { return Tray; }
    const MenuReleaseGuard& ReleaseGuard() const { return Guard; }
    // How often the tray host is looked for; a new one is announced through OnTaskbarCreated.
    void SetTrayWatchInterval(int Ms) { TrayWatch.setInterval(Ms); }

  private:
    // One set per nesting depth of waits, so a wait that runs inside another does not disturb it.
    struct WaitSet {
        QSocketNotifier Read{QSocketNotifier::Read};
        QSocketNotifier Write{QSocketNotifier::Write};
        QSocketNotifier Exception{QSocketNotifier::Exception};
        QTimer Deadline;
    };
    static constexpr std::size_t WaitDepths = 4;

    QTimer& TimerOf(TimerId Timer) { return Timers[static_cast<std::size_t>(Timer)]; }
    void ApplyTrayRecord(const TrayIconRecord& Record);
    void CheckTrayHost();

    DesktopEvents* EventSink = nullptr;
    std::array<QTimer, 2> Timers;
    std::array<std::uint32_t, 2> Intervals{};
    std::array<bool, 2> Enabled{};
    std::array<std::unique_ptr<WaitSet>, WaitDepths> Waits;
    std::size_t WaitDepth = 0;
    X11Screen ScreenReader;
    QIcon AppIcon;
    QSystemTrayIcon* Tray = nullptr;
    QTimer TrayWatch;
    bool TrayHostSeen = false;
    MenuReleaseGuard Guard;
};

} // namespace Tavo::QtPlatform
