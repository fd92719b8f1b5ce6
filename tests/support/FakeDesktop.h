#pragma once
// A desktop in memory: pixels a test paints, a clock a test advances (or the real one, for benchmarks),
// message boxes recorded and answered, an event queue the pump drains, real sockets for the waits, and
// a record of every tray request and diagnostic line.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/Desktop.h"
#include "core/Version.h"

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

enum class Clock { Simulated, Real };

class FakeDesktop final : public Desktop {
  public:
    explicit FakeDesktop(Clock Kind = Clock::Simulated);

    // --- what a test sets -------------------------------------------------------------------------------
    std::string Folder = ".";
    std::string BaseName = "TavoRouterControl";
    std::vector<std::string> ExtraSettingsFiles; // after the one beside the program
    VersionNumbers Version{VersionMajor, VersionMinor, VersionRevision};
    ScreenAccess Screen = ScreenAccess::Readable;
    std::string ScreenProblem;
    bool NetworkStarts = true;
    bool AnotherInstanceRuns = false;
    int ScreenWidth = 1920;
    int ScreenHeight = 1080;
    std::vector<MenuItemId> MenuAnswers; // taken in order; None once exhausted
    // Each read of the simulated clock moves it on by this much, as if every step took that long.
    double ClockStepPerRead = 0;
    // Runs while a box is open (the real boxes run a modal loop): may pump events and advance the clock.
    std::function<void(const RecordedBox&)> WhileBoxOpen;

    void Paint(int X, int Y, std::uint32_t Colour) { Pixels[{X, Y}] = Colour; }
    // Schedules an event at a clock time; it runs when the clock reaches it inside a pump or a wait.
    void At(double TimeMs, std::function<void()> Event) { Scheduled.emplace(TimeMs, std::move(Event)); }
    // Moves the clock forward (simulated) or lets that much real time pass, running timers and events.
    void Advance(double Ms);

    // --- what a test reads --------------------------------------------------------------------------------
    std::vector<RecordedBox> Boxes;
    std::vector<std::vector<MenuItem>> MenusShown;
    std::vector<std::string> Log; // start-up steps, timer switches and tray requests, in order
    std::vector<std::string> Diagnostics;
    std::string TrayTooltip;
    bool TrayIconShown = false;
    std::vector<MenuItem> TrayMenu; // what a tray host that shows the menu by itself was given
    int PixelReadCalls = 0;
    int PixelsRead = 0;
    int WaitCalls = 0;
    std::uint32_t TimerInterval(TimerId T) const { return Timers[Index(T)].Interval; }
    bool TimerEnabled(TimerId T) const { return Timers[Index(T)].Enabled; }
    DesktopEvents* Sink = nullptr;

    // --- Desktop ------------------------------------------------------------------------------------------
    void SetEventSink(DesktopEvents* S) override { Sink = S; }
    VersionNumbers AppVersion() override { return Version; }
    std::string ExecutableFolder() override { return Folder; }
    std::string ExecutableBaseName() override { return BaseName; }
    std::vector<std::string> SettingsFileCandidates() override;
    bool ChangeToFolder(const std::string& F) override { return Logged("ChangeToFolder " + F), true; }
    std::string ReadIniString(const std::string& Section, const std::string& Key, const std::string& File,
                              const std::string& Default) override;
    std::string ExpandPath(const std::string& Path) override { return Path; }
    InstanceClaim ClaimSingleInstance() override {
        return AnotherInstanceRuns ? InstanceClaim::AlreadyRunning : InstanceClaim::Claimed;
    }
    bool StartNetwork() override;
    void SetTimerInterval(TimerId T, std::uint32_t IntervalMs) override;
    void EnableTimer(TimerId T, bool Enabled) override;
    void DoEvents() override { RunDue(); }
    void WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) override;
    double SteadyMilliseconds() override;
    void PostEvent(std::function<void()> Event) override;
    void ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) override;
    void WriteDiagnostic(const std::string& Line) override { Diagnostics.push_back(Line); }
    ScreenAccess TakeScreen(std::string& Problem) override {
        return Logged("TakeScreen"), Problem = ScreenProblem, Screen;
    }
    void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override;
    void ShowTrayIcon() override { Logged("ShowTrayIcon"), TrayIconShown = true; }
    void UpdateTrayIcon(const std::string& Tooltip) override {
        Logged("UpdateTrayIcon"), TrayTooltip = Tooltip;
    }
    void RemoveTrayIcon() override { Logged("RemoveTrayIcon"), TrayIconShown = false; }
    void SetTrayMenu(const std::vector<MenuItem>& Items) override { TrayMenu = Items; }
    MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) override {
        MenusShown.push_back(Items);
        return NextMenuAnswer < MenuAnswers.size() ? MenuAnswers[NextMenuAnswer++] : MenuItemId::None;
    }
    int RunEventLoop() override { return 0; }
    [[noreturn]] void EndProcess(int ExitCode) override {
        Logged("EndProcess " + std::to_string(ExitCode));
        throw ProcessEnded{ExitCode};
    }

  private:
    struct Timer {
        std::uint32_t Interval = 0;
        bool Enabled = false;
        double Due = 0;
    };
    static std::size_t Index(TimerId T) { return static_cast<std::size_t>(T); }
    void Arm(Timer& T) { T.Due = SteadyMilliseconds() + T.Interval; }
    bool SomethingDue();
    double NextDue() const;
    void RunDue();
    void Logged(std::string Entry) { Log.push_back(std::move(Entry)); }

    Clock Kind;
    double Now = 1000.0; // the simulated clock
    std::array<Timer, 2> Timers{};
    std::map<std::pair<int, int>, std::uint32_t> Pixels;
    std::multimap<double, std::function<void()>> Scheduled;
    std::mutex PostedLock; // events may be posted from any thread
    std::deque<std::function<void()>> Posted;
    std::size_t NextMenuAnswer = 0;
};

} // namespace Tavo::Testing
