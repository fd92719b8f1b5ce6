#pragma once
// The desktop on Linux: Qt Widgets for the tray, menus, boxes, timers and the event loop; X11 for pixels
// and the single-instance claim. Needs a QApplication constructed first.

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

#include "core/Desktop.h"
#include "platform/qt/InstanceLock.h"
#include "platform/qt/ScreenReader.h"

class QMenu;
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

    VersionNumbers AppVersion() override;
    std::string ExecutableFolder() override;
    std::string ExecutableBaseName() override;
    std::vector<std::string> SettingsFileCandidates() override;
    bool ChangeToFolder(const std::string& Folder) override;
    std::string ReadIniString(const std::string& Section, const std::string& Key, const std::string& File,
                              const std::string& Default) override;
    std::string ExpandPath(const std::string& Path) override { return Path; } // no variables in Linux paths
    InstanceClaim ClaimSingleInstance() override;
    bool StartNetwork() override;

    void SetTimerInterval(TimerId Timer, std::uint32_t IntervalMs) override;
    void EnableTimer(TimerId Timer, bool Enabled) override;
    void DoEvents() override;
    void WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) override;
    double SteadyMilliseconds() override;
    void PostEvent(std::function<void()> Event) override;

    void ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) override;
    void WriteDiagnostic(const std::string& Line) override;

    ScreenAccess TakeScreen(std::string& Problem) override;
    void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override;

    void ShowTrayIcon() override;
    void UpdateTrayIcon(const std::string& Tooltip) override;
    void RemoveTrayIcon() override;
    void SetTrayMenu(const std::vector<MenuItem>& Items) override;
    MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) override;

    int RunEventLoop() override;
    [[noreturn]] void EndProcess(int ExitCode) override;

    // An exception that escapes a call into the program ends it here, with a box saying why, instead of
    // unwinding through Qt's event dispatch (which aborts without a word). Tests put their own in.
    std::function<void(const std::string& What)> UnexpectedError;

    // For the platform tests.
    ScreenReader& Screen() { return Pixels; }
    QSystemTrayIcon* TrayIcon() const { return Tray; }
    QMenu* TrayMenu() const { return HostMenu.get(); }
    const MenuReleaseGuard& ReleaseGuard() const { return Guard; }
    // How often the tray host is looked for; a new one gets the icon as it stands.
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

    template <typename Call> void Guarded(Call&& Run);
    [[noreturn]] void EndAfterUnexpectedError(const std::string& What);
    QTimer& TimerOf(TimerId Timer) { return Timers[static_cast<std::size_t>(Timer)]; }
    void MakeTrayIcon();
    void OfferTrayMenu();
    void CheckTrayHost();

    DesktopEvents* EventSink = nullptr;
    std::array<QTimer, 2> Timers;
    std::array<std::uint32_t, 2> Intervals{};
    std::array<bool, 2> Enabled{};
    std::array<std::unique_ptr<WaitSet>, WaitDepths> Waits;
    std::size_t WaitDepth = 0;
    ScreenReader Pixels;
    InstanceLock Instance;
    QIcon AppIcon;
    // The icon the program asked for, kept so a tray host that appears later gets it as it stands.
    QSystemTrayIcon* Tray = nullptr;
    bool TrayWanted = false;
    bool TrayImage = false;
    QString TrayTooltip;
    QTimer TrayWatch;
    std::unique_ptr<QMenu> HostMenu; // the icon's menu as a host that shows it by itself gets it
    bool TrayHostSeen = false;
    MenuReleaseGuard Guard;
};

} // namespace Tavo::QtPlatform
