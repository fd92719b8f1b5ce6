#include "platform/win32/Win32Desktop.h"
#include "platform/win32/ProfileReader.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>

#include "core/Texts.h"
#include "core/Version.h"

namespace Tavo::Win32Platform {

// The shell reads the version-3 record (up to guidItem); cbSize says so, whatever the headers add after.
#ifdef _WIN64
static_assert(NOTIFYICONDATAA_V3_SIZE == 520, "x64 notify-icon record must be 520 bytes");
#else
static_assert(NOTIFYICONDATAA_V3_SIZE == 504, "x86 notify-icon record must be 504 bytes");
#endif
static_assert(sizeof(NOTIFYICONDATAA) >= NOTIFYICONDATAA_V3_SIZE);

namespace {

constexpr const char* WindowClassName = "TavoRouterControlHiddenForm";
constexpr WORD IconResourceId = 1;
constexpr UINT TrayFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP; // 7
constexpr UINT PostedEventMessage = WM_APP + 1;

UINT_PTR TimerEventId(TimerId Timer) {
    return static_cast<UINT_PTR>(Timer) + 1;
}

template <std::size_t N> void FillBlanks(char (&Field)[N]) {
    std::memset(Field, ' ', N);
}

} // namespace

std::optional<TrayClick> TrayClickFromMouseMessage(UINT MouseMessage) {
    switch (MouseMessage) {
    case WM_MOUSEMOVE:
        return TrayClick{MouseButton::None, MouseAction::Moved};
    case WM_LBUTTONDOWN:
        return TrayClick{MouseButton::Left, MouseAction::Pressed};
    case WM_LBUTTONUP:
        return TrayClick{MouseButton::Left, MouseAction::Released};
    case WM_LBUTTONDBLCLK:
        return TrayClick{MouseButton::Left, MouseAction::DoubleClicked};
    case WM_RBUTTONDOWN:
        return TrayClick{MouseButton::Right, MouseAction::Pressed};
    case WM_RBUTTONUP:
        return TrayClick{MouseButton::Right, MouseAction::Released};
    case WM_RBUTTONDBLCLK:
        return TrayClick{MouseButton::Right, MouseAction::DoubleClicked};
    case WM_MBUTTONDOWN:
        return TrayClick{MouseButton::Middle, MouseAction::Pressed};
    case WM_MBUTTONUP:
        return TrayClick{MouseButton::Middle, MouseAction::Released};
    case WM_MBUTTONDBLCLK:
        return TrayClick{MouseButton::Middle, MouseAction::DoubleClicked};
    default:
        return std::nullopt;
    }
}

Win32Desktop::Win32Desktop() : Instance(GetModuleHandleA(nullptr)) {
    LARGE_INTEGER Frequency{};
    QueryPerformanceFrequency(&Frequency);
    MillisecondsPerCount = 1000.0 / static_cast<double>(Frequency.QuadPart);

    TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");

    WNDCLASSEXA Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = &Win32Desktop::WindowProcedure;
    Class.hInstance = Instance;
    Class.lpszClassName = WindowClassName;
    RegisterClassExA(&Class); // a second desktop in the same process finds the class already there

    // The form's caption: it is never shown, but names the window for tools that list windows.
    const std::string Caption = std::string(ProductName) + " " + std::to_string(VersionMajor) + "." +
                                std::to_string(VersionMinor) + ".0." + std::to_string(VersionRevision) + " " +
                                CopyrightNotice;
    // Top-level (not message-only), or the taskbar's re-creation broadcast would never arrive.
    Window = CreateWindowExA(WS_EX_TOOLWINDOW, WindowClassName, Caption.c_str(), WS_POPUP, 0, 0, 0, 0,
                             nullptr, nullptr, Instance, this);
    if (Window) {
        // When run elevated, the shell (at normal integrity) must still reach us.
        ChangeWindowMessageFilterEx(Window, TaskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
        ChangeWindowMessageFilterEx(Window, TrayCallbackMessage, MSGFLT_ALLOW, nullptr);
    }
}

Win32Desktop::~Win32Desktop() {
    // The program never gets here (it ends with ExitProcess); the tests make and drop several desktops.
    if (Window) {
        for (const TimerId Timer : {TimerId::CheckConnection, TimerId::Poll})
            KillTimer(Window, TimerEventId(Timer));
        SetWindowLongPtrA(Window, GWLP_USERDATA, 0);
        DestroyWindow(Window);
    }
    if (SocketEvent != WSA_INVALID_EVENT)
        WSACloseEvent(SocketEvent);
    if (Icon)
        DestroyIcon(Icon);
}

void Win32Desktop::SetEventSink(DesktopEvents* NewSink) {
    Sink = NewSink;
}

// --- window and messages -----------------------------------------------------------------------------

LRESULT CALLBACK Win32Desktop::WindowProcedure(HWND Hwnd, UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Message == WM_NCCREATE) {
        auto* Self = static_cast<Win32Desktop*>(reinterpret_cast<CREATESTRUCTA*>(LParam)->lpCreateParams);
        Self->Window = Hwnd;
        SetWindowLongPtrA(Hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Self));
    }
    auto* Self = reinterpret_cast<Win32Desktop*>(GetWindowLongPtrA(Hwnd, GWLP_USERDATA));
    if (!Self)
        return DefWindowProcA(Hwnd, Message, WParam, LParam);
    // An exception must not unwind through the system's frames of the message dispatch.
    try {
        return Self->HandleMessage(Message, WParam, LParam);
    } catch (const std::exception& Error) {
        Self->EndAfterUnexpectedError(Error.what());
    } catch (...) {
        Self->EndAfterUnexpectedError("unknown error");
    }
}

LRESULT Win32Desktop::HandleMessage(UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Message == WM_TIMER) {
        for (const TimerId Timer : {TimerId::CheckConnection, TimerId::Poll}) {
            const TimerState& State = Timers[static_cast<std::size_t>(Timer)];
            // A tick already queued when its handler switched the timer off must not run the handler.
            if (WParam == TimerEventId(Timer) && State.Enabled && State.IntervalMs > 0 && Sink)
                Sink->OnTimer(Timer);
        }
        return 0;
    }
    if (Message == TrayCallbackMessage) {
        if (WParam == TrayIconId && Sink)
            if (const auto Click = TrayClickFromMouseMessage(LOWORD(static_cast<DWORD>(LParam))))
                Sink->OnTrayClick(*Click);
        return 0;
    }
    if (Message == PostedEventMessage) {
        RunPostedEvents();
        return 0;
    }
    if (Message == TaskbarCreatedMessage && TaskbarCreatedMessage != 0) {
        // A new taskbar (Explorer restarted) knows no icons. The add is refused when the icon survived,
        // so the modify after it carries image and tip either way.
        if (TrayIconShown) {
            NotifyShell(NIM_ADD);
            NotifyShell(NIM_SETVERSION);
            NotifyShell(NIM_MODIFY);
        }
        return 0;
    }
    if (Message == WM_DISPLAYCHANGE) {
        Screen.ForgetLayout();
        return DefWindowProcA(Window, Message, WParam, LParam);
    }
    if (Message == WM_CLOSE) {
        // Asked to close from outside (task ending, installer): unload as Exit does, rather than lose
        // the window that carries the timers and the tray callbacks.
        if (Sink)
            Sink->OnCloseRequest();
        RemoveShownTrayIcon();
        ExitProcess(0);
    }
    return DefWindowProcA(Window, Message, WParam, LParam);
}

void Win32Desktop::RunPostedEvents() {
    // One at a time, taken under the lock and run outside it: an event may post more, or pump.
    for (;;) {
        std::function<void()> Next;
        {
            const std::lock_guard<std::mutex> Hold(PostedLock);
            if (Posted.empty())
                return;
            Next = std::move(Posted.front());
            Posted.pop_front();
        }
        Next();
    }
}

void Win32Desktop::EndAfterUnexpectedError(const char* What) {
    for (const TimerId Timer : {TimerId::CheckConnection, TimerId::Poll})
        KillTimer(Window, TimerEventId(Timer));
    if (Sink)
        Sink->OnUnexpectedError(What);
    Sink = nullptr;
    RemoveShownTrayIcon();
    const std::string Text = std::string(UnexpectedErrorText) + What;
    MessageBoxA(nullptr, Text.c_str(), ErrorTitle, MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    ExitProcess(1);
}

// --- the program and its files -----------------------------------------------------------------------

VersionNumbers Win32Desktop::AppVersion() {
    return VersionNumbers{VersionMajor, VersionMinor, VersionRevision};
}

std::string Win32Desktop::ModulePath() {
    std::string Path(MAX_PATH, '\0');
    for (;;) {
        const DWORD Length = GetModuleFileNameA(nullptr, Path.data(), static_cast<DWORD>(Path.size()));
        if (Length == 0)
            return {};
        if (Length < Path.size()) {
            Path.resize(Length);
            return Path;
        }
        Path.resize(Path.size() * 2); // cut short: a long path
    }
}

std::string Win32Desktop::ExecutableFolder() {
    const std::string Path = ModulePath();
    const std::size_t Slash = Path.find_last_of("\\/");
    return Slash == std::string::npos ? std::string() : Path.substr(0, Slash);
}

std::string Win32Desktop::ExecutableBaseName() {
    const std::string Path = ModulePath();
    const std::size_t Slash = Path.find_last_of("\\/");
    std::string Name = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
    const std::size_t Dot = Name.rfind('.');
    if (Dot != std::string::npos && Dot > 0)
        Name.resize(Dot);
    return Name;
}

std::vector<std::string> Win32Desktop::SettingsFileCandidates() {
    return {ExecutableFolder() + "\\" + ExecutableBaseName() + ".ini"};
}

bool Win32Desktop::ChangeToFolder(const std::string& Folder) {
    return SetCurrentDirectoryA(Folder.c_str()) != 0;
}

std::string Win32Desktop::ReadIniString(const std::string& Section, const std::string& Key,
                                        const std::string& File, const std::string& Default) {
    return ReadProfileString(Section, Key, File, Default);
}

std::string Win32Desktop::ExpandPath(const std::string& Path) {
    const DWORD Size = ExpandEnvironmentStringsA(Path.c_str(), nullptr, 0);
    if (Size == 0)
        return Path;
    std::string Expanded(Size, '\0');
    if (ExpandEnvironmentStringsA(Path.c_str(), Expanded.data(), Size) == 0)
        return Path;
    Expanded.resize(std::strlen(Expanded.c_str())); // the count may be larger than the text
    return Expanded;
}

InstanceClaim Win32Desktop::ClaimSingleInstance() {
    return SingleInstance.Claim(InstanceLock::OwnExecutablePath());
}

bool Win32Desktop::StartNetwork() {
    WSADATA Data{};
    if (WSAStartup(MAKEWORD(2, 2), &Data) != 0)
        return false;
    if (SocketEvent == WSA_INVALID_EVENT)
        SocketEvent = WSACreateEvent();
    return true;
}

// --- timers ------------------------------------------------------------------------------------------

void Win32Desktop::ApplyTimer(TimerId Timer) {
    const TimerState& State = Timers[static_cast<std::size_t>(Timer)];
    // SetTimer on a running timer replaces it, so every switch-on starts a full interval.
    if (State.Enabled && State.IntervalMs > 0)
        SetTimer(Window, TimerEventId(Timer), State.IntervalMs, nullptr);
    else
        KillTimer(Window, TimerEventId(Timer));
}

void Win32Desktop::SetTimerInterval(TimerId Timer, std::uint32_t IntervalMs) {
    Timers[static_cast<std::size_t>(Timer)].IntervalMs = IntervalMs;
    ApplyTimer(Timer);
}

void Win32Desktop::EnableTimer(TimerId Timer, bool Enabled) {
    Timers[static_cast<std::size_t>(Timer)].Enabled = Enabled;
    ApplyTimer(Timer);
}

// --- events and waits --------------------------------------------------------------------------------

void Win32Desktop::DoEvents() {
    MSG Message;
    while (PeekMessageA(&Message, nullptr, 0, 0, PM_REMOVE)) {
        if (Message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(Message.wParam)); // for the outer loop
            return;
        }
        TranslateMessage(&Message);
        DispatchMessageA(&Message);
    }
}

void Win32Desktop::WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest,
                                        std::int64_t TimeoutMs) {
    const auto Timeout = static_cast<DWORD>(std::clamp<std::int64_t>(TimeoutMs, 0, INFINITE - 1));
    if (Socket <= 0 || SocketEvent == WSA_INVALID_EVENT) {
        MsgWaitForMultipleObjectsEx(0, nullptr, Timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        return;
    }
    const auto Native = static_cast<SOCKET>(Socket);
    const long Wanted = Interest == SocketInterest::Readable ? (FD_READ | FD_CLOSE) : (FD_CONNECT | FD_CLOSE);
    if (WSAEventSelect(Native, SocketEvent, Wanted) != 0)
        return; // not a usable socket: the caller's next look at it reports the failure

    // FD_CONNECT and FD_CLOSE are signalled once, when they happen: a connect that ended, or a peer that
    // closed, before the event was attached would never wake the wait.
    fd_set Ready;
    fd_set Failed;
    FD_ZERO(&Ready);
    FD_ZERO(&Failed);
    FD_SET(Native, &Ready);
    FD_SET(Native, &Failed);
    timeval Now{0, 0};
    const int AlreadyReady = Interest == SocketInterest::Readable ? select(0, &Ready, nullptr, &Failed, &Now)
                                                                  : select(0, nullptr, &Ready, &Failed, &Now);
    if (AlreadyReady == 0)
        MsgWaitForMultipleObjectsEx(1, &SocketEvent, Timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);

    WSANETWORKEVENTS Seen{};
    WSAEnumNetworkEvents(Native, SocketEvent, &Seen);
    WSAEventSelect(Native, nullptr, 0); // detach; the socket stays non-blocking
    WSAResetEvent(SocketEvent);
}

double Win32Desktop::SteadyMilliseconds() {
    LARGE_INTEGER Counter{};
    QueryPerformanceCounter(&Counter);
    return static_cast<double>(Counter.QuadPart) * MillisecondsPerCount;
}

void Win32Desktop::PostEvent(std::function<void()> Event) {
    {
        const std::lock_guard<std::mutex> Hold(PostedLock);
        Posted.push_back(std::move(Event));
    }
    PostMessageA(Window, PostedEventMessage, 0, 0);
}

// --- what the user and the engineer see ----------------------------------------------------------------

void Win32Desktop::ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon BoxKind) {
    UINT Style = MB_OK | MB_SETFOREGROUND;
    switch (BoxKind) {
    case BoxIcon::Exclamation:
        Style |= MB_ICONEXCLAMATION;
        break;
    case BoxIcon::Critical:
        Style |= MB_ICONHAND;
        break;
    case BoxIcon::Information:
        Style |= MB_ICONINFORMATION;
        break;
    }
    MessageBoxA(nullptr, Text.c_str(), Title.c_str(), Style);
}

// What DebugView shows.
void Win32Desktop::WriteDiagnostic(const std::string& Line) {
    OutputDebugStringA((std::string(ProductName) + ": " + Line + "\n").c_str());
}

// --- the screen ----------------------------------------------------------------------------------------

ScreenAccess Win32Desktop::TakeScreen(std::string& Problem) {
    return Screen.Open(Problem) ? ScreenAccess::Readable : ScreenAccess::Unavailable;
}

void Win32Desktop::ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) {
    Screen.Read(Points, Colours);
}

// --- the tray icon -------------------------------------------------------------------------------------

void Win32Desktop::NotifyShell(DWORD Message) {
    ShellNotify(Message, &TrayIconData); // results are never looked at: a later taskbar gets it again
}

void Win32Desktop::ShowTrayIcon() {
    if (!Icon)
        Icon = static_cast<HICON>(LoadImageA(Instance, MAKEINTRESOURCEA(IconResourceId), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                             LR_DEFAULTCOLOR));
    TrayIconData.cbSize = NOTIFYICONDATAA_V3_SIZE;
    TrayIconData.hWnd = Window;
    TrayIconData.uID = TrayIconId;
    TrayIconData.uFlags = TrayFlags;
    TrayIconData.uCallbackMessage = TrayCallbackMessage;
    TrayIconShown = true;
    NotifyShell(NIM_ADD);
    NotifyShell(NIM_SETVERSION);
}

void Win32Desktop::UpdateTrayIcon(const std::string& Tooltip) {
    FillBlanks(TrayIconData.szTip);
    const std::size_t Length = std::min(Tooltip.size(), sizeof TrayIconData.szTip - 1);
    std::memcpy(TrayIconData.szTip, Tooltip.data(), Length);
    TrayIconData.szTip[Length] = '\0';
    TrayIconData.hIcon = Icon;
    TrayIconData.dwInfoFlags = 0;
    FillBlanks(TrayIconData.szInfo);
    FillBlanks(TrayIconData.szInfoTitle);
    TrayIconData.uVersion = 0;
    TrayIconData.uFlags = TrayFlags;
    NotifyShell(NIM_MODIFY);
}

void Win32Desktop::RemoveTrayIcon() {
    TrayIconShown = false;
    NotifyShell(NIM_DELETE);
}

void Win32Desktop::RemoveShownTrayIcon() {
    if (TrayIconShown)
        RemoveTrayIcon();
}

MenuItemId Win32Desktop::ShowPopupMenu(const std::vector<MenuItem>& Items) {
    HMENU Menu = CreatePopupMenu();
    if (!Menu)
        return MenuItemId::None;
    for (const MenuItem& Item : Items) {
        if (Item.Id == MenuItemId::None) {
            AppendMenuA(Menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        AppendMenuA(Menu, MF_STRING, static_cast<UINT_PTR>(Item.Id), Item.Caption.c_str());
        if (Item.IsDefault)
            SetMenuDefaultItem(Menu, static_cast<UINT>(Item.Id), FALSE);
    }
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(Window);
    POINT Cursor{};
    GetCursorPos(&Cursor);
    const BOOL Chosen = TrackPopupMenu(Menu, TPM_CENTERALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD, Cursor.x,
                                       Cursor.y, 0, Window, nullptr);
    PostMessageA(Window, WM_NULL, 0, 0); // lets the menu close properly on the next click elsewhere
    DestroyMenu(Menu);
    for (const MenuItem& Item : Items)
        if (Item.Id != MenuItemId::None && static_cast<BOOL>(Item.Id) == Chosen)
            return Item.Id;
    return MenuItemId::None;
}

// --- running and ending --------------------------------------------------------------------------------

int Win32Desktop::RunEventLoop() {
    MSG Message;
    BOOL Result;
    while ((Result = GetMessageA(&Message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&Message);
        DispatchMessageA(&Message);
    }
    return Result == 0 ? static_cast<int>(Message.wParam) : 1;
}

void Win32Desktop::EndProcess(int ExitCode) {
    ExitProcess(static_cast<UINT>(ExitCode));
}

} // namespace Tavo::Win32Platform
