#pragma once
// The desktop on Windows: a hidden top-level window carries the two timers and receives the tray
// notifications; screen reads go through the whole-screen device context.

#include <windows.h>
#include <winsock2.h>

#include <shellapi.h>

#include <array>
#include <cstdint>

#include "app/Desktop.h"

namespace Tavo::Win32 {

static_assert(Tavo::TrayCallbackMessage == WM_MOUSEMOVE);

// Largest screen area (in pixels) read with one BitBlt. Under desktop composition every screen read
// costs about one frame's read-back whatever its size, and 512 x 512 pixels is a 1 MiB buffer, copied
// in well under a millisecond; lamps spread wider than that are read one pixel at a time.
inline constexpr std::int64_t ScreenBoxBudget = 512 * 512;

// How the last ReadPixels got its colours.
enum class ReadPath { Nothing, Box, Single };

class Win32Desktop final : public Desktop {
  public:
    Win32Desktop();
    ~Win32Desktop() override;
    Win32Desktop(const Win32Desktop&) = delete;
    Win32Desktop& operator=(const Win32Desktop&) = delete;

    void SetEventSink(DesktopEvents* Sink) override;

    void InitCommonControls() override;
    VersionNumbers AppVersion() override;
    std::string ExecutableFolder() override;
    std::string ExecutableBaseName() override;
    char PathSeparator() override;
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

    void* ApplicationIcon() override;
    void* TrayCallbackWindow() override;
    void ShellNotifyIcon(std::uint32_t Message, const TrayIconRecord& Record) override;
    MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) override;

    int RunEventLoop() override;
    [[noreturn]] void EndProcess(int ExitCode) override;

    // For the tests and the figures.
    HWND HiddenWindow() const { return Window; }
    ReadPath LastReadPath() const { return LastPath; }
    int BoxBufferCreations() const { return BoxCreations; }

  private:
    struct TimerState {
        UINT IntervalMs = 0;
        bool Enabled = false;
    };

    static LRESULT CALLBACK WindowProcedure(HWND Hwnd, UINT Message, WPARAM WParam, LPARAM LParam);
    LRESULT HandleMessage(UINT Message, WPARAM WParam, LPARAM LParam);
    void ApplyTimer(TimerId Timer);
    bool PrepareBoxBuffer(int Width, int Height);
    void LearnScreenLayout();
    static BOOL CALLBACK CollectMonitor(HMONITOR Monitor, HDC Dc, LPRECT Area, LPARAM Self);
    bool IsOnScreen(const ScreenPoint& Point) const;
    [[noreturn]] void EndAfterUnexpectedError(const char* What);
    void RemoveOwnTrayIcon();
    std::string ModulePath();

    HINSTANCE Instance = nullptr;
    HWND Window = nullptr;
    DesktopEvents* Sink = nullptr;
    UINT TaskbarCreatedMessage = 0;
    std::array<TimerState, 2> Timers{};

    WSAEVENT SocketEvent = WSA_INVALID_EVENT;
    double MillisecondsPerCount = 0.0;

    // Where the monitors are, learnt once and again after every display change: asking the system for
    // every point costs more than reading the pixel under wine.
    static constexpr int MonitorCapacity = 16;
    bool ScreenLayoutKnown = false;
    RECT VirtualScreen{};
    std::array<RECT, MonitorCapacity> Monitors{};
    int MonitorCount = 0;
    bool AllMonitorsKnown = false;

    HDC Screen = nullptr;
    HDC BoxDC = nullptr;
    HBITMAP BoxBitmap = nullptr;
    HGDIOBJ BoxDCOriginalBitmap = nullptr;
    const std::uint32_t* BoxBits = nullptr;
    int BoxWidth = 0;
    int BoxHeight = 0;
    ReadPath LastPath = ReadPath::Nothing;
    int BoxCreations = 0;

    HICON Icon = nullptr;
    // The icon as last added, so a close request from outside can take it away before ending.
    NOTIFYICONDATAA AddedIcon{};
    bool IconAdded = false;
};

} // namespace Tavo::Win32
