#pragma once
// The one seam between the program and the desktop it runs on, in the program's own terms: what it
// wants done, never how a system does it. Implemented by platform/win32, platform/qt and the tests'
// fake desktop; no system or toolkit header may leak through here.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace Tavo {

// A socket as the socket library hands it out; 0 is "none", -1 a failed connect.
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

// A mouse event over the tray icon.
enum class MouseButton { None, Left, Right, Middle };
enum class MouseAction { Moved, Pressed, Released, DoubleClicked };
struct TrayClick {
    MouseButton Button = MouseButton::None;
    MouseAction Action = MouseAction::Moved;
};

enum class MenuItemId { None = 0, Header, About, Exit };

struct MenuItem {
    MenuItemId Id = MenuItemId::None; // None marks a separator
    std::string Caption;              // with '&' before the access key
    bool IsDefault = false;
};

// Where a screen read stands after start-up.
enum class ScreenAccess { Readable, Unavailable, NotReadable };

enum class InstanceClaim { Claimed, AlreadyRunning };

// Calls that come from the desktop into the program, always on the user-interface thread.
class DesktopEvents {
  public:
    virtual void OnTimer(TimerId Timer) = 0;
    virtual void OnTrayClick(TrayClick Click) = 0;
    // An item chosen in the menu a tray host shows by itself (SetTrayMenu).
    virtual void OnTrayMenuChoice(MenuItemId Item) = 0;
    // The desktop asks the program to end (a task manager, an installer, the session ending).
    virtual void OnCloseRequest() = 0;
    // The desktop ends the process after an error nobody expected, and says so itself; the program's
    // last chance to note What.
    virtual void OnUnexpectedError(const std::string& /*What*/) {}

  protected:
    ~DesktopEvents() = default;
};

class Desktop {
  public:
    virtual ~Desktop() = default;

    virtual void SetEventSink(DesktopEvents* Sink) = 0;

    // --- the program and its files ------------------------------------------------------------------
    virtual VersionNumbers AppVersion() = 0;
    virtual std::string ExecutableFolder() = 0;   // no trailing separator
    virtual std::string ExecutableBaseName() = 0; // file name without extension
    // Where the settings file may lie, most preferred first; the first that exists is read.
    virtual std::vector<std::string> SettingsFileCandidates() = 0;
    virtual bool ChangeToFolder(const std::string& Folder) = 0;
    // The value of Key in Section of File (a full path), Default when the file, section or key is missing.
    virtual std::string ReadIniString(const std::string& Section, const std::string& Key,
                                      const std::string& File, const std::string& Default) = 0;
    // A path as the user wrote it, the system's variables in it filled in (%APPDATA% on Windows);
    // unchanged where paths carry none.
    virtual std::string ExpandPath(const std::string& Path) = 0;
    // One running copy per executable file: the claim lasts until the process ends.
    virtual InstanceClaim ClaimSingleInstance() = 0;
    // Makes sockets usable; false when the system refuses.
    virtual bool StartNetwork() = 0;

    // --- time and events ------------------------------------------------------------------------------
    // Interval 0 never fires; switching on (or a new interval while on) starts a full interval.
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
    // Runs Event on the user-interface thread from the event queue. The only call any thread may make.
    virtual void PostEvent(std::function<void()> Event) = 0;

    // --- what the user and the engineer see -------------------------------------------------------------
    // Modal; returns when the user has closed the box. Events keep running meanwhile.
    virtual void ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) = 0;
    // One line for whoever diagnoses the program (a terminal, a debug-output viewer); never a window.
    virtual void WriteDiagnostic(const std::string& Line) = 0;

    // --- the screen -------------------------------------------------------------------------------------
    // Takes the whole screen once. Problem explains a refusal or a screen that cannot be read.
    virtual ScreenAccess TakeScreen(std::string& Problem) = 0;
    // Colours as 0x00BBGGRR in whole-screen coordinates, read fresh; 0xFFFFFFFF where unreadable.
    virtual void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) = 0;

    // --- the tray icon ----------------------------------------------------------------------------------
    // Puts the icon into the notification area, still without image and tooltip. Failures are not
    // reported; a tray host that appears (or restarts) later gets the icon as it stands.
    virtual void ShowTrayIcon() = 0;
    // Gives the icon the application's image and this tooltip.
    virtual void UpdateTrayIcon(const std::string& Tooltip) = 0;
    virtual void RemoveTrayIcon() = 0;
    // The icon's menu, told before the icon is shown, for a tray host that shows the menu by itself (some
    // draw it in their own style, some only then let a right click open a menu at all); a choice there
    // comes back as OnTrayMenuChoice. Where the program opens the menu on a click, the host is not given
    // it, so no click ever opens two menus.
    virtual void SetTrayMenu(const std::vector<MenuItem>& Items) = 0;
    // Shows the popup at the pointer and returns the item chosen (None when dismissed).
    virtual MenuItemId ShowPopupMenu(const std::vector<MenuItem>& Items) = 0;

    // --- running and ending -------------------------------------------------------------------------------
    // Runs the event loop until the process ends.
    virtual int RunEventLoop() = 0;
    [[noreturn]] virtual void EndProcess(int ExitCode) = 0;
};

} // namespace Tavo
