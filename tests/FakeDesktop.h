#pragma once
// A desktop simulated in memory: pixels a test paints, a clock a test advances, message boxes recorded
// and answered at once, an event queue the pump drains, and real sockets for the waits.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/Desktop.h"
#include "app/Version.h"

namespace Tavo::Testing {

// Thrown by EndProcess so a test can see the exit status without losing the test process.
struct ProcessEnded {
    int ExitCode;
};

struct RecordedBox {
    std::string Text;
    std::string Title;
    BoxIcon Icon;
    double ShownAt;
};

struct RecordedNotify {
    std::uint32_t Message;
    TrayIconRecord Record;
};

class FakeDesktop final : public Desktop {
  public:
    // --- what a test sets -------------------------------------------------------------------------
    std::string Folder = ".";
    std::string BaseName = "TavoRouterControl";
    VersionNumbers Version{VersionMajor, VersionMinor, VersionRevision};
    ScreenAccess Screen = ScreenAccess::Readable;
    std::string ScreenProblem;
    bool SocketLibraryStarts = true;
    int ScreenWidth = 1920;
    int ScreenHeight = 1080;
    std::vector<MenuItemId> MenuAnswers; // taken in order; None once exhausted
    // Runs while a box is open (the real boxes run a modal loop); may advance the clock.
    std::function<void(const RecordedBox&)> WhileBoxOpen;
    // Runs while the popup is open.
    std::function<void()> WhileMenuOpen;

    void Paint(int X, int Y, std::uint32_t Colour) { Pixels[{X, Y}] = Colour; }
    // Posts an event (a tray click, say) that the next pump runs.
    void Post(std::function<void()> Event) { Posted.push_back(std::move(Event)); }
    // Schedules an event at a clock time; it runs when the clock reaches it inside a pump or a wait.
    void At(double TimeMs, std::function<void()> Event) { Scheduled.emplace(TimeMs, std::move(Event)); }
    // Moves the clock forward, firing timers and scheduled events that fall due on the way.
    void Advance(double Ms);

    // --- what a test reads ------------------------------------------------------------------------
    std::vector<RecordedBox> Boxes;
    std::vector<RecordedNotify> Notifies;
    std::vector<std::vector<MenuItem>> MenusShown;
    std::vector<std::string> Log; // start-up steps and timer switches, in order
    int PixelReadCalls = 0;
    int PixelsRead = 0;
    int WaitCalls = 0;
    bool TrayIconShown = false; // as the shell would see it
    std::string CurrentFolder;
    std::uint32_t TimerInterval(TimerId T) const { return Timers[Index(T)].Interval; }
    bool TimerEnabled(TimerId T) const { return Timers[Index(T)].Enabled; }
    DesktopEvents* Sink = nullptr;

    // --- Desktop ----------------------------------------------------------------------------------
    void SetEventSink(DesktopEvents* S) override { Sink = S; }
    void InitCommonControls() override { Log.push_back("InitCommonControls"); }
    VersionNumbers AppVersion() override { return Version; }
    std::string ExecutableFolder() override { return Folder; }
    std::string ExecutableBaseName() override { return BaseName; }
    char PathSeparator() override { return '/'; }
    bool ChangeToFolder(const std::string& F) override;
    void SetTimerInterval(TimerId T, std::uint32_t IntervalMs) override;
    void EnableTimer(TimerId T, bool Enabled) override;
    void DoEvents() override;
    void WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) override;
    double SteadyMilliseconds() override { return Now; }
    void ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) override;
    ScreenAccess TakeScreen(std::string& Problem) override;
    void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override;
    bool StartSocketLibrary() override;
    void* ApplicationIcon() override { return &IconToken; }
    void* TrayCallbackWindow() override { return &WindowToken; }
    void ShellNotifyIcon(std::uint32_t Message, const TrayIconRecord& Record) override;
    MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) override;
    int RunEventLoop() override { return 0; }
    [[noreturn]] void EndProcess(int ExitCode) override;

    int IconToken = 0;
    int WindowToken = 0;

  private:
    struct Timer {
        std::uint32_t Interval = 0;
        bool Enabled = false;
        double Due = 0;
    };
    static std::size_t Index(TimerId T) { return static_cast<std::size_t>(T); }
    void Arm(Timer& T) { T.Due = Now + T.Interval; }
    bool SomethingDue() const;
    double NextDue() const;
    void RunDue();

    double Now = 1000.0;
    std::array<Timer, 2> Timers{};
    std::map<std::pair<int, int>, std::uint32_t> Pixels;
    std::deque<std::function<void()>> Posted;
    std::multimap<double, std::function<void()>> Scheduled;
    std::size_t NextMenuAnswer = 0;
};

} // namespace Tavo::Testing
