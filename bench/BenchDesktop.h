#pragma once
// A desktop with a real event loop, just enough for the unit link: a real steady clock, real timers
// and scheduled events, and waits that block in select() until the socket is ready or the next timer is
// due. No screen, no tray; boxes are recorded, not shown.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/Desktop.h"

namespace Tavo::Bench {

class BenchDesktop final : public Desktop {
  public:
    // Schedules an event at a clock time (SteadyMilliseconds()).
    void At(double TimeMs, std::function<void()> Event) { Scheduled.emplace(TimeMs, std::move(Event)); }
    // Runs events and timers for Ms milliseconds, sleeping in between.
    void RunFor(double Ms);
    void Paint(int X, int Y, std::uint32_t Colour) { Pixels[{X, Y}] = Colour; }

    std::vector<std::string> Boxes;
    long WaitCalls = 0;

    void SetEventSink(DesktopEvents* S) override { Sink = S; }
    void InitCommonControls() override {}
    VersionNumbers AppVersion() override { return {1, 0, 23}; }
    std::string ExecutableFolder() override { return "."; }
    std::string ExecutableBaseName() override { return "TavoUnitLinkBench"; }
    char PathSeparator() override { return '/'; }
    bool ChangeToFolder(const std::string&) override { return true; }
    void SetTimerInterval(TimerId T, std::uint32_t IntervalMs) override;
    void EnableTimer(TimerId T, bool Enabled) override;
    void DoEvents() override;
    void WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) override;
    double SteadyMilliseconds() override;
    void ShowMessageBox(const std::string& Text, const std::string&, BoxIcon) override {
        Boxes.push_back(Text);
    }
    ScreenAccess TakeScreen(std::string&) override { return ScreenAccess::Readable; }
    void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override;
    bool StartSocketLibrary() override { return true; }
    void* ApplicationIcon() override { return nullptr; }
    void* TrayCallbackWindow() override { return nullptr; }
    void ShellNotifyIcon(std::uint32_t, const TrayIconRecord&) override {}
    MenuItemId ShowPopupMenu(const std::vector<MenuItem>&) override { return MenuItemId::None; }
    int RunEventLoop() override { return 0; }
    [[noreturn]] void EndProcess(int ExitCode) override;

  private:
    struct Timer {
        std::uint32_t Interval = 0;
        bool Enabled = false;
        double Due = 0;
    };
    double NextDue() const;
    // Blocks until Until (clock time), or until the socket is ready when one is given.
    void BlockUntil(double Until, SocketHandle Socket, SocketInterest Interest);

    DesktopEvents* Sink = nullptr;
    std::array<Timer, 2> Timers{};
    std::multimap<double, std::function<void()>> Scheduled;
    std::map<std::pair<int, int>, std::uint32_t> Pixels;
};

} // namespace Tavo::Bench
