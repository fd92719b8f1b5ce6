#pragma once
// The desktop on Windows: a hidden top-level window carries the two timers, the tray notifications and
// the events posted from other threads; the notify-icon record lives here, as the shell reads it.

#include <windows.h>
#include <winsock2.h>

#include <shellapi.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "core/Desktop.h"
#include "platform/win32/InstanceLock.h"
#include "platform/win32/ScreenReader.h"

namespace Tavo::Win32Platform {

// The icon's id, and the message its notifications arrive as; the mouse message is in lParam's low word.
inline constexpr UINT TrayIconId = 123;
inline constexpr UINT TrayCallbackMessage = WM_MOUSEMOVE;

// The click a tray notification's mouse message stands for; nothing for messages that are no click.
std::optional<TrayClick> TrayClickFromMouseMessage(UINT MouseMessage);

class Win32Desktop final : public Desktop {
  public:
    // The shell call, replaceable so the tests can see each record as it goes out.
    using ShellNotifyCall = BOOL(WINAPI*)(DWORD Message, PNOTIFYICONDATAA Data);

    Win32Desktop();
    ~Win32Desktop() override;
    Win32Desktop(const Win32Desktop&) = delete;
    Win32Desktop& operator=(const Win32Desktop&) = delete;

    void SetEventSink(DesktopEvents* Sink) override;

    VersionNumbers AppVersion() override;
    std::string ExecutableFolder() override;
    std::string ExecutableBaseName() override;
    std::vector<std::string> SettingsFileCandidates() override;
    bool ChangeToFolder(const std::string& Folder) override;
    std::string ReadIniString(const std::string& Section, const std::string& Key, const std::string& File,
                              const std::string& Default) override;
    std::string ExpandPath(const std::string& Path) override;
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
    // The notification area never shows a menu of its own: the program opens it on the click.
    void SetTrayMenu(const std::vector<MenuItem>& /*Items*/) override {}
    MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) override;

    int RunEventLoop() override;
    [[noreturn]] void EndProcess(int ExitCode) override;

    // For the tests.
    HWND HiddenWindow() const { return Window; }
    bool HasSocketEvent() const { return SocketEvent != WSA_INVALID_EVENT; }
    void ReplaceShellNotify(ShellNotifyCall Call) { ShellNotify = Call; }

  private:
    struct TimerState {
        UINT IntervalMs = 0;
        bool Enabled = false;
    };

    static LRESULT CALLBACK WindowProcedure(HWND Hwnd, UINT Message, WPARAM WParam, LPARAM LParam);
    LRESULT HandleMessage(UINT Message, WPARAM WParam, LPARAM LParam);
    void RunPostedEvents();
    void ApplyTimer(TimerId Timer);
    void NotifyShell(DWORD Message);
    void RemoveShownTrayIcon();
    [[noreturn]] void EndAfterUnexpectedError(const char* What);
    std::string ModulePath();

    HINSTANCE Instance = nullptr;
    HWND Window = nullptr;
    DesktopEvents* Sink = nullptr;
    UINT TaskbarCreatedMessage = 0;
    std::array<TimerState, 2> Timers{};
    double MillisecondsPerCount = 0.0;
    InstanceLock SingleInstance;

    // Made once the socket library has started: before that it has no events to give.
    WSAEVENT SocketEvent = WSA_INVALID_EVENT;

    std::mutex PostedLock; // filled from any thread, emptied on the user-interface thread
    std::deque<std::function<void()>> Posted;

    ScreenReader Screen;

    HICON Icon = nullptr; // the application's icon at tray size, held for the run
    NOTIFYICONDATAA TrayIconData{};
    bool TrayIconShown = false; // added and not removed since
    ShellNotifyCall ShellNotify = &Shell_NotifyIconA;
};

} // namespace Tavo::Win32Platform
