#include "platform/win32/Win32Desktop.h"

#include <commctrl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>

#include "app/Texts.h"
#include "app/Version.h"

namespace Tavo::Win32 {

// The program's record is handed to the shell as it is, so it must be the shell's version-3 record.
static_assert(sizeof(TrayIconRecord) == NOTIFYICONDATAA_V3_SIZE, "record differs from NOTIFYICONDATAA V3");
#ifdef _WIN64
static_assert(sizeof(TrayIconRecord) == 520, "x64 record must be 520 bytes");
#else
static_assert(sizeof(TrayIconRecord) == 504, "x86 record must be 504 bytes");
#endif
static_assert(offsetof(TrayIconRecord, hWnd) == offsetof(NOTIFYICONDATAA, hWnd));
static_assert(offsetof(TrayIconRecord, uID) == offsetof(NOTIFYICONDATAA, uID));
static_assert(offsetof(TrayIconRecord, uCallbackMessage) == offsetof(NOTIFYICONDATAA, uCallbackMessage));
static_assert(offsetof(TrayIconRecord, hIcon) == offsetof(NOTIFYICONDATAA, hIcon));
static_assert(offsetof(TrayIconRecord, szTip) == offsetof(NOTIFYICONDATAA, szTip));
static_assert(offsetof(TrayIconRecord, szInfo) == offsetof(NOTIFYICONDATAA, szInfo));
static_assert(offsetof(TrayIconRecord, uVersion) == offsetof(NOTIFYICONDATAA, uVersion));
static_assert(offsetof(TrayIconRecord, szInfoTitle) == offsetof(NOTIFYICONDATAA, szInfoTitle));
static_assert(offsetof(TrayIconRecord, guidItem) == offsetof(NOTIFYICONDATAA, guidItem));

namespace {

constexpr const char* WindowClassName = "TavoRouterControlHiddenForm";
constexpr std::uint32_t Unreadable = 0xFFFFFFFF;
constexpr WORD IconResourceId = 1;

UINT_PTR TimerEventId(TimerId Timer) {
    return static_cast<UINT_PTR>(Timer) + 1;
}

// A 32-bit DIB pixel is blue, green, red, unused in memory; a colour value has red in the low byte.
std::uint32_t ColourFromDibPixel(std::uint32_t Pixel) {
    return ((Pixel & 0xFFu) << 16) | (Pixel & 0xFF00u) | ((Pixel >> 16) & 0xFFu);
}

} // namespace

Win32Desktop::Win32Desktop() : Instance(GetModuleHandleA(nullptr)) {
    LARGE_INTEGER Frequency{};
    QueryPerformanceFrequency(&Frequency);
    MillisecondsPerCount = 1000.0 / static_cast<double>(Frequency.QuadPart);

    SocketEvent = WSACreateEvent();
    TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");

    WNDCLASSEXA Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = &Win32Desktop::WindowProcedure;
    Class.hInstance = Instance;
    Class.lpszClassName = WindowClassName;
    RegisterClassExA(&Class); // a second desktop in the same process finds the class already there

    // The form's caption: it is never shown, but names the window for tools that list windows.
    const std::string Caption = std::string("TavoRouterControl ") + std::to_string(VersionMajor) + "." +
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
    if (BoxDC) {
        SelectObject(BoxDC, BoxDCOriginalBitmap);
        DeleteDC(BoxDC);
    }
    if (BoxBitmap)
        DeleteObject(BoxBitmap);
    if (Screen)
        ReleaseDC(nullptr, Screen);
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
            Sink->OnTrayMessage(LOWORD(static_cast<DWORD>(LParam)));
        return 0;
    }
    if (Message == TaskbarCreatedMessage && TaskbarCreatedMessage != 0) {
        if (Sink)
            Sink->OnTaskbarCreated();
        return 0;
    }
    if (Message == WM_DISPLAYCHANGE) {
        ScreenLayoutKnown = false; // monitors added, removed, moved or resized
        return DefWindowProcA(Window, Message, WParam, LParam);
    }
    if (Message == WM_CLOSE) {
        // Asked to close from outside (task ending, installer): unload as Exit does, rather than lose
        // the window that carries the timers and the tray callbacks.
        if (Sink)
            Sink->OnCloseRequest();
        RemoveOwnTrayIcon();
        ExitProcess(0);
    }
    return DefWindowProcA(Window, Message, WParam, LParam);
}

void Win32Desktop::EndAfterUnexpectedError(const char* What) {
    for (const TimerId Timer : {TimerId::CheckConnection, TimerId::Poll})
        KillTimer(Window, TimerEventId(Timer));
    Sink = nullptr;
    RemoveOwnTrayIcon();
    const std::string Text = std::string("TavoRouterControl stopped after an unexpected error: ") + What;
    MessageBoxA(nullptr, Text.c_str(), ErrorTitle, MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    ExitProcess(1);
}

void Win32Desktop::RemoveOwnTrayIcon() {
    if (IconAdded)
        Shell_NotifyIconA(NIM_DELETE, &AddedIcon);
    IconAdded = false;
}

// --- start-up helpers --------------------------------------------------------------------------------

void Win32Desktop::InitCommonControls() {
    INITCOMMONCONTROLSEX Controls{};
    Controls.dwSize = sizeof Controls; // 8
    Controls.dwICC = ICC_USEREX_CLASSES;
    (void)InitCommonControlsEx(&Controls);
}

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

char Win32Desktop::PathSeparator() {
    return '\\';
}

bool Win32Desktop::ChangeToFolder(const std::string& Folder) {
    return SetCurrentDirectoryA(Folder.c_str()) != 0;
}

bool Win32Desktop::StartSocketLibrary() {
    WSADATA Data{};
    return WSAStartup(MAKEWORD(2, 2), &Data) == 0;
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

void Win32Desktop::ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) {
    UINT Style = MB_OK | MB_SETFOREGROUND;
    switch (Icon) {
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

// --- screen ------------------------------------------------------------------------------------------

ScreenAccess Win32Desktop::TakeScreen(std::string& Problem) {
    if (!Screen)
        Screen = GetWindowDC(nullptr);
    if (!Screen) {
        Problem = "GetWindowDC for the whole screen failed (error " + std::to_string(GetLastError()) + ").";
        return ScreenAccess::Unavailable;
    }
    return ScreenAccess::Readable;
}

void Win32Desktop::LearnScreenLayout() {
    const int Left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int Top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    VirtualScreen = RECT{Left, Top, Left + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                         Top + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    MonitorCount = 0;
    AllMonitorsKnown = true;
    EnumDisplayMonitors(nullptr, nullptr, &Win32Desktop::CollectMonitor, reinterpret_cast<LPARAM>(this));
    if (MonitorCount == 0)
        AllMonitorsKnown = false;
    ScreenLayoutKnown = true;
}

BOOL CALLBACK Win32Desktop::CollectMonitor(HMONITOR /*Monitor*/, HDC /*Dc*/, LPRECT Area, LPARAM Self) {
    auto* Desk = reinterpret_cast<Win32Desktop*>(Self);
    if (Desk->MonitorCount == MonitorCapacity) {
        Desk->AllMonitorsKnown = false;
        return FALSE;
    }
    Desk->Monitors[static_cast<std::size_t>(Desk->MonitorCount++)] = *Area;
    return TRUE;
}

bool Win32Desktop::IsOnScreen(const ScreenPoint& Point) const {
    const POINT P{Point.X, Point.Y};
    if (!PtInRect(&VirtualScreen, P))
        return false;
    if (!AllMonitorsKnown)
        return true;
    // Between monitors of different sizes lies part of the bounding rectangle that no monitor shows.
    for (int I = 0; I < MonitorCount; ++I)
        if (PtInRect(&Monitors[static_cast<std::size_t>(I)], P))
            return true;
    return false;
}

bool Win32Desktop::PrepareBoxBuffer(int Width, int Height) {
    if (BoxBitmap && Width <= BoxWidth && Height <= BoxHeight)
        return true;
    // Grow to hold both the old and the new box when that stays within the budget, so boxes of
    // alternating shapes do not re-create the buffer every time.
    int NewWidth = std::max(Width, BoxWidth);
    int NewHeight = std::max(Height, BoxHeight);
    if (static_cast<std::int64_t>(NewWidth) * NewHeight > ScreenBoxBudget) {
        NewWidth = Width;
        NewHeight = Height;
    }
    if (!BoxDC) {
        BoxDC = CreateCompatibleDC(Screen);
        if (!BoxDC)
            return false;
    }
    BITMAPINFO Info{};
    Info.bmiHeader.biSize = sizeof Info.bmiHeader;
    Info.bmiHeader.biWidth = NewWidth;
    Info.bmiHeader.biHeight = -NewHeight; // top-down: row 0 first
    Info.bmiHeader.biPlanes = 1;
    Info.bmiHeader.biBitCount = 32;
    Info.bmiHeader.biCompression = BI_RGB;
    void* Bits = nullptr;
    HBITMAP Bitmap = CreateDIBSection(BoxDC, &Info, DIB_RGB_COLORS, &Bits, nullptr, 0);
    if (!Bitmap || !Bits)
        return false;
    const HGDIOBJ Previous = SelectObject(BoxDC, Bitmap);
    if (BoxBitmap)
        DeleteObject(BoxBitmap);
    else
        BoxDCOriginalBitmap = Previous;
    BoxBitmap = Bitmap;
    BoxBits = static_cast<const std::uint32_t*>(Bits);
    BoxWidth = NewWidth;
    BoxHeight = NewHeight;
    ++BoxCreations;
    return true;
}

void Win32Desktop::ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) {
    const std::size_t Count = std::min(Points.size(), Colours.size());
    LastPath = ReadPath::Nothing;
    if (!ScreenLayoutKnown)
        LearnScreenLayout();

    // The box around every point that can be read.
    LONG Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool Any = false;
    for (std::size_t I = 0; I < Count; ++I) {
        const ScreenPoint& P = Points[I];
        if (!Screen || !IsOnScreen(P))
            continue;
        if (!Any) {
            Left = Right = P.X;
            Top = Bottom = P.Y;
            Any = true;
        }
        Left = std::min<LONG>(Left, P.X);
        Right = std::max<LONG>(Right, P.X);
        Top = std::min<LONG>(Top, P.Y);
        Bottom = std::max<LONG>(Bottom, P.Y);
    }
    if (!Any) {
        std::fill_n(Colours.begin(), Count, Unreadable);
        return;
    }

    const int Width = static_cast<int>(Right - Left + 1);
    const int Height = static_cast<int>(Bottom - Top + 1);
    // One read of the box when it is small enough; CAPTUREBLT takes in layered windows, as GetPixel does.
    bool Boxed = static_cast<std::int64_t>(Width) * Height <= ScreenBoxBudget &&
                 PrepareBoxBuffer(Width, Height) &&
                 BitBlt(BoxDC, 0, 0, Width, Height, Screen, Left, Top, SRCCOPY | CAPTUREBLT);
    if (Boxed)
        GdiFlush();
    LastPath = Boxed ? ReadPath::Box : ReadPath::Single;

    for (std::size_t I = 0; I < Count; ++I) {
        const ScreenPoint& P = Points[I];
        if (!IsOnScreen(P))
            Colours[I] = Unreadable;
        else if (Boxed)
            Colours[I] = ColourFromDibPixel(
                BoxBits[static_cast<std::size_t>(P.Y - Top) * static_cast<std::size_t>(BoxWidth) +
                        static_cast<std::size_t>(P.X - Left)]);
        else
            Colours[I] = GetPixel(Screen, P.X, P.Y);
    }
}

// --- tray --------------------------------------------------------------------------------------------

void* Win32Desktop::ApplicationIcon() {
    if (!Icon)
        Icon = static_cast<HICON>(LoadImageA(Instance, MAKEINTRESOURCEA(IconResourceId), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                             LR_DEFAULTCOLOR));
    return Icon;
}

void* Win32Desktop::TrayCallbackWindow() {
    return Window;
}

void Win32Desktop::ShellNotifyIcon(std::uint32_t Message, const TrayIconRecord& Record) {
    // The shell takes a non-const record; hand it a copy laid out the same.
    NOTIFYICONDATAA Data{};
    std::memcpy(&Data, &Record, sizeof Record);
    Shell_NotifyIconA(Message, &Data);
    if (Message == NIM_ADD) {
        AddedIcon = Data;
        IconAdded = true;
    } else if (Message == NIM_DELETE) {
        IconAdded = false;
    }
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

// --- running and ending ------------------------------------------------------------------------------

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

} // namespace Tavo::Win32
