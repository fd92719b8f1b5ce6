#pragma once
// The one seam between the program and the desktop it runs on. Implemented by the Win32 layer, the Qt
// layer and the fake desktop of the tests; no OS or toolkit header may leak through here.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tray/TrayIconRecord.h"

namespace Tavo {

using SocketHandle = std::int32_t;

enum class BoxIcon { Exclamation, Critical, Information };

enum class TimerId { CheckConnection = 0, Poll = 1 };

// What a socket wait is waiting for: data (or failure) on a connected socket, or a pending connect to end.
enum class SocketInterest { Readable, ConnectDone };

struct ScreenPoint {
    std::int16_t X = 0;
    std::int16_t Y = 0;
};

struct VersionNumbers {
    int Major = 0;
    int Minor = 0;
    int Revision = 0;
};

enum class MenuItemId { None = 0, Header, About, Exit };

struct MenuItem {
    MenuItemId Id = MenuItemId::None; // None marks a separator
    std::string Caption;              // with '&' before the access key
    bool IsDefault = false;
};

// Calls that come from the desktop into the program.
class DesktopEvents {
  public:
    virtual void OnTimer(TimerId Timer) = 0;
    // The mouse message of a tray notification (WM_LBUTTONUP = 0x202, ...).
    virtual void OnTrayMessage(std::uint32_t MouseMessage) = 0;
    // The tray host was (re)created and the icon must be added again.
    virtual void OnTaskbarCreated() = 0;
    // The desktop asks the program to end (a task manager, an installer, the session ending).
    virtual void OnCloseRequest() = 0;

  protected:
    ~DesktopEvents() = default;
};

// Where a screen read stands after start-up.
enum class ScreenAccess { Readable, Unavailable, NotReadable };

class Desktop {
  public:
    virtual ~Desktop() = default;

    virtual void SetEventSink(DesktopEvents* Sink) = 0;

    virtual void InitCommonControls() = 0;
    virtual VersionNumbers AppVersion() = 0;
    virtual std::string ExecutableFolder() = 0;   // no trailing separator
    virtual std::string ExecutableBaseName() = 0; // file name without extension
    virtual char PathSeparator() = 0;
    virtual bool ChangeToFolder(const std::string& Folder) = 0;

    // Timers: interval 0 never fires; switching on (or a new interval while on) starts a full interval.
    virtual void SetTimerInterval(TimerId Timer, std::uint32_t IntervalMs) = 0;
    virtual void EnableTimer(TimerId Timer, bool Enabled) = 0;

    // Runs every event pending now, then returns.
    virtual void DoEvents() = 0;
    // Blocks, without using the processor, until an event is pending, the socket is ready for Interest
    // (or has failed), or TimeoutMs passes. May dispatch events that arrive meanwhile; the caller runs
    // DoEvents afterwards either way.
    virtual void WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest,
                                      std::int64_t TimeoutMs) = 0;
    // Steady clock, in milliseconds (with fraction).
    virtual double SteadyMilliseconds() = 0;

    // Modal; returns when the user has closed the box.
    virtual void ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) = 0;

    // Takes the whole-screen device once. Problem explains a refusal or a screen that cannot be read.
    virtual ScreenAccess TakeScreen(std::string& Problem) = 0;
    // Colours as 0x00BBGGRR in whole-screen coordinates, read fresh; 0xFFFFFFFF where unreadable.
    virtual void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) = 0;

    virtual bool StartSocketLibrary() = 0;

    // Tray primitives. The record is passed as the program holds it; results are not reported.
    virtual void* ApplicationIcon() = 0;
    virtual void* TrayCallbackWindow() = 0;
    virtual void ShellNotifyIcon(std::uint32_t Message, const TrayIconRecord& Record) = 0;
    // Shows the popup at the pointer and returns the item chosen (None when dismissed).
    virtual MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) = 0;

    // Runs the event loop until the process ends.
    virtual int RunEventLoop() = 0;
    [[noreturn]] virtual void EndProcess(int ExitCode) = 0;
};

} // namespace Tavo
