// The Windows desktop layer against the real system (wine on the build machines): screen reads, the
// hidden window's timers and tray callbacks, socket waits, the popup menu and the program's resources.
// Needs a display of its own (run-under-xvfb).

#include <gtest/gtest.h>

#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Texts.h"
#include "platform/win32/SingleInstance.h"
#include "platform/win32/Win32Desktop.h"

using namespace Tavo;
using Tavo::Win32::ReadPath;
using Tavo::Win32::Win32Desktop;

namespace {

class RecordingSink final : public DesktopEvents {
  public:
    void OnTimer(TimerId Timer) override { Timers.push_back(Timer); }
    void OnTrayMessage(std::uint32_t MouseMessage) override { TrayMessages.push_back(MouseMessage); }
    void OnTaskbarCreated() override { ++TaskbarCreated; }
    void OnCloseRequest() override { ++CloseRequests; }

    std::vector<TimerId> Timers;
    std::vector<std::uint32_t> TrayMessages;
    int TaskbarCreated = 0;
    int CloseRequests = 0;
};

// Runs events until Done() holds or LimitMs passes; true when Done() held.
bool PumpUntil(Win32Desktop& Desk, const std::function<bool()>& Done, double LimitMs) {
    const double Start = Desk.SteadyMilliseconds();
    for (;;) {
        Desk.DoEvents();
        if (Done())
            return true;
        const double Left = LimitMs - (Desk.SteadyMilliseconds() - Start);
        if (Left <= 0)
            return false;
        Desk.WaitForEventOrSocket(0, SocketInterest::Readable, static_cast<std::int64_t>(Left) + 1);
    }
}

double ProcessCpuMilliseconds() {
    FILETIME Created, Exited, Kernel, User;
    GetProcessTimes(GetCurrentProcess(), &Created, &Exited, &Kernel, &User);
    const auto Ticks = [](const FILETIME& T) {
        return (static_cast<std::uint64_t>(T.dwHighDateTime) << 32) | T.dwLowDateTime;
    };
    return static_cast<double>(Ticks(Kernel) + Ticks(User)) / 10000.0;
}

// --- painted windows at known places ---------------------------------------------------------------------

constexpr int GradientLeft = 100, GradientTop = 100, GradientSize = 80;

// Every pixel of the gradient window has its own colour, so a read from the wrong place shows.
COLORREF GradientColour(int X, int Y) {
    return RGB((X * 3) & 0xFF, (Y * 5) & 0xFF, (X * 7 + Y * 11) & 0xFF);
}

LRESULT CALLBACK PaintProcedure(HWND Hwnd, UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Message == WM_ERASEBKGND)
        return 1;
    if (Message != WM_PAINT)
        return DefWindowProcA(Hwnd, Message, WParam, LParam);
    PAINTSTRUCT Paint;
    HDC Dc = BeginPaint(Hwnd, &Paint);
    const auto Solid = static_cast<COLORREF>(GetWindowLongPtrA(Hwnd, GWLP_USERDATA));
    if (Solid != CLR_INVALID) {
        RECT Client;
        GetClientRect(Hwnd, &Client);
        HBRUSH Brush = CreateSolidBrush(Solid);
        FillRect(Dc, &Client, Brush);
        DeleteObject(Brush);
    } else {
        static std::uint32_t Pixels[GradientSize * GradientSize];
        for (int Y = 0; Y < GradientSize; ++Y)
            for (int X = 0; X < GradientSize; ++X) {
                const COLORREF C = GradientColour(X, Y);
                Pixels[Y * GradientSize + X] = (GetRValue(C) << 16) | (GetGValue(C) << 8) | GetBValue(C);
            }
        BITMAPINFO Info{};
        Info.bmiHeader.biSize = sizeof Info.bmiHeader;
        Info.bmiHeader.biWidth = GradientSize;
        Info.bmiHeader.biHeight = -GradientSize;
        Info.bmiHeader.biPlanes = 1;
        Info.bmiHeader.biBitCount = 32;
        Info.bmiHeader.biCompression = BI_RGB;
        SetDIBitsToDevice(Dc, 0, 0, GradientSize, GradientSize, 0, 0, 0, GradientSize, Pixels, &Info,
                          DIB_RGB_COLORS);
    }
    EndPaint(Hwnd, &Paint);
    return 0;
}

struct PaintedWindow {
    HWND Hwnd = nullptr;
    PaintedWindow(int X, int Y, int W, int H, COLORREF Solid) {
        static const ATOM Class = [] {
            WNDCLASSA C{};
            C.lpfnWndProc = PaintProcedure;
            C.hInstance = GetModuleHandleA(nullptr);
            C.lpszClassName = "TavoTestPaint";
            return RegisterClassA(&C);
        }();
        (void)Class;
        Hwnd = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, "TavoTestPaint", "lamp",
                               WS_POPUP, X, Y, W, H, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(Hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(Solid));
        ShowWindow(Hwnd, SW_SHOWNOACTIVATE);
        UpdateWindow(Hwnd);
    }
    ~PaintedWindow() { DestroyWindow(Hwnd); }
    PaintedWindow(const PaintedWindow&) = delete;
    PaintedWindow& operator=(const PaintedWindow&) = delete;
};

std::string Hex(std::uint32_t V) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%08X", static_cast<unsigned>(V));
    return Text;
}

class ScreenFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string Problem;
        ASSERT_EQ(Desk.TakeScreen(Problem), ScreenAccess::Readable) << Problem;
        ScreenDc = GetWindowDC(nullptr);
        // Wait until the windows are on the screen, as the X server shows them.
        const bool Shown = PumpUntil(
            Desk,
            [&] {
                return GetPixel(ScreenDc, GradientLeft + 79, GradientTop + 79) == GradientColour(79, 79) &&
                       GetPixel(ScreenDc, 310, 160) == SolidA && GetPixel(ScreenDc, 435, 315) == SolidB;
            },
            10000);
        ASSERT_TRUE(Shown) << "the painted test windows did not appear on the screen within 10 s";
    }
    void TearDown() override { ReleaseDC(nullptr, ScreenDc); }

    static constexpr COLORREF SolidA = 0x00123456; // red 0x56, green 0x34, blue 0x12
    static constexpr COLORREF SolidB = 0x00A1B2C3;
    Win32Desktop Desk;
    PaintedWindow Gradient{GradientLeft, GradientTop, GradientSize, GradientSize, CLR_INVALID};
    PaintedWindow LampA{300, 150, 30, 30, SolidA};
    PaintedWindow LampB{420, 300, 30, 30, SolidB};
    HDC ScreenDc = nullptr;
};

} // namespace

// --- screen ------------------------------------------------------------------------------------------------

TEST_F(ScreenFixture, BoxReadGivesWhatGetPixelGives) {
    const int Width = GetSystemMetrics(SM_CXVIRTUALSCREEN), Height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    ASSERT_EQ(GetSystemMetrics(SM_XVIRTUALSCREEN), 0) << "the test expects one monitor at the origin";
    const auto X = [](int V) { return static_cast<std::int16_t>(V); };
    struct Case {
        const char* Name;
        std::vector<ScreenPoint> Points;
        ReadPath Expected;
    };
    const std::vector<ScreenPoint> Lamps = {
        {X(GradientLeft), X(GradientTop)},
        {X(GradientLeft + 79), X(GradientTop + 79)},
        {X(GradientLeft + 1), X(GradientTop + 50)},
        {X(GradientLeft + 50), X(GradientTop + 1)},
        {X(GradientLeft + 40), X(GradientTop + 33)},
        {X(310), X(160)},
        {X(435), X(315)},
    };
    const std::vector<ScreenPoint> OffScreen = {{-1, 10},       {10, -1},         {X(Width), 5},
                                                {5, X(Height)}, {-32768, -32768}, {32767, 32767}};
    std::vector<ScreenPoint> LampsAndOff = Lamps;
    LampsAndOff.insert(LampsAndOff.begin() + 2, OffScreen.begin(), OffScreen.end());
    std::vector<ScreenPoint> Spread = Lamps;
    Spread.push_back({0, 0});
    Spread.push_back({X(Width - 1), X(Height - 1)});

    const std::vector<Case> Cases = {
        {"lamps close together", Lamps, ReadPath::Box},
        {"off-screen points among them", LampsAndOff, ReadPath::Box},
        {"spread over the whole screen", Spread, ReadPath::Single},
        {"one point", {{X(GradientLeft + 7), X(GradientTop + 9)}}, ReadPath::Box},
        {"box exactly at the budget", {{0, 0}, {511, 511}}, ReadPath::Box},
        {"box one column over the budget", {{0, 0}, {512, 511}}, ReadPath::Single},
        {"a long thin row", {{0, 200}, {X(Width - 1), 201}}, ReadPath::Box},
        {"only off-screen points", OffScreen, ReadPath::Nothing},
        {"no points", {}, ReadPath::Nothing},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::uint32_t> Colours(C.Points.size(), 0x12345678);
        Desk.ReadPixels(C.Points, Colours);
        EXPECT_EQ(Desk.LastReadPath(), C.Expected);
        for (std::size_t I = 0; I < C.Points.size(); ++I) {
            const ScreenPoint P = C.Points[I];
            const bool On = P.X >= 0 && P.Y >= 0 && P.X < Width && P.Y < Height;
            const std::uint32_t Plain = On ? GetPixel(ScreenDc, P.X, P.Y) : 0xFFFFFFFFu;
            EXPECT_EQ(Hex(Colours[I]), Hex(Plain)) << "at (" << P.X << ", " << P.Y << ")";
            const bool InGradient = P.X >= GradientLeft && P.X < GradientLeft + GradientSize &&
                                    P.Y >= GradientTop && P.Y < GradientTop + GradientSize;
            if (InGradient) {
                EXPECT_EQ(Hex(Colours[I]), Hex(GradientColour(P.X - GradientLeft, P.Y - GradientTop)))
                    << "at (" << P.X << ", " << P.Y << ")";
            }
        }
    }
    // The lamps' own colours, so a red/blue swap in both reads would still show.
    std::vector<std::uint32_t> Colours(2);
    const std::vector<ScreenPoint> Solids = {{310, 160}, {435, 315}};
    Desk.ReadPixels(Solids, Colours);
    EXPECT_EQ(Hex(Colours[0]), Hex(SolidA));
    EXPECT_EQ(Hex(Colours[1]), Hex(SolidB));
}

TEST_F(ScreenFixture, BoxBufferIsReusedAndOnlyGrows) {
    const auto Read = [&](std::vector<ScreenPoint> Points) {
        std::vector<std::uint32_t> Colours(Points.size());
        Desk.ReadPixels(Points, Colours);
        EXPECT_EQ(Desk.LastReadPath(), ReadPath::Box);
        return Colours;
    };
    const std::vector<ScreenPoint> Small = {{GradientLeft, GradientTop}, {GradientLeft + 9, GradientTop + 9}};
    Read(Small);
    EXPECT_EQ(Desk.BoxBufferCreations(), 1);
    for (int Pass = 0; Pass < 50; ++Pass)
        Read(Small);
    EXPECT_EQ(Desk.BoxBufferCreations(), 1) << "the same box must not make a new buffer";
    Read({{0, 0}, {299, 199}});
    EXPECT_EQ(Desk.BoxBufferCreations(), 2);
    // Smaller again, then a box needing more height but fitting with the old width: one more buffer.
    const auto Colours = Read(Small);
    EXPECT_EQ(Hex(Colours[1]), Hex(GradientColour(9, 9))) << "a smaller box in the larger buffer";
    EXPECT_EQ(Desk.BoxBufferCreations(), 2);
    Read({{0, 0}, {199, 299}});
    EXPECT_EQ(Desk.BoxBufferCreations(), 3);
    Read({{0, 0}, {299, 299}});
    EXPECT_EQ(Desk.BoxBufferCreations(), 3) << "the grown buffer holds both earlier shapes";
}

TEST_F(ScreenFixture, ReadTimesBoxAgainstSinglePixels) {
    // Figures only: eight lamps read as one box and one by one.
    std::vector<ScreenPoint> Lamps;
    for (int I = 0; I < 8; ++I)
        Lamps.push_back(
            {static_cast<std::int16_t>(GradientLeft + I * 9), static_cast<std::int16_t>(GradientTop + I)});
    std::vector<std::uint32_t> Colours(Lamps.size());
    constexpr int Passes = 200;
    double Start = Desk.SteadyMilliseconds();
    for (int Pass = 0; Pass < Passes; ++Pass)
        Desk.ReadPixels(Lamps, Colours);
    const double BoxMs = (Desk.SteadyMilliseconds() - Start) / Passes;
    ASSERT_EQ(Desk.LastReadPath(), ReadPath::Box);
    Start = Desk.SteadyMilliseconds();
    for (int Pass = 0; Pass < Passes; ++Pass)
        for (std::size_t I = 0; I < Lamps.size(); ++I)
            Colours[I] = GetPixel(ScreenDc, Lamps[I].X, Lamps[I].Y);
    const double SingleMs = (Desk.SteadyMilliseconds() - Start) / Passes;
    Start = Desk.SteadyMilliseconds();
    int OnMonitor = 0;
    for (int Pass = 0; Pass < Passes; ++Pass)
        for (const ScreenPoint& P : Lamps)
            OnMonitor += MonitorFromPoint(POINT{P.X, P.Y}, MONITOR_DEFAULTTONULL) != nullptr;
    const double MonitorMs = (Desk.SteadyMilliseconds() - Start) / Passes;
    EXPECT_EQ(OnMonitor, Passes * 8);
    std::printf(
        "[ FIGURES  ] 8 lamps: one box read %.3f ms per pass, 8 x GetPixel %.3f ms, 8 x MonitorFromPoint "
        "%.3f ms\n",
        BoxMs, SingleMs, MonitorMs);
}

// --- tray callbacks --------------------------------------------------------------------------------------

TEST(Win32Tray, CallbackDecodingAndTaskbarCreated) {
    Win32Desktop Desk;
    RecordingSink Sink;
    Desk.SetEventSink(&Sink);
    HWND Hidden = static_cast<HWND>(Desk.TrayCallbackWindow());
    ASSERT_NE(Hidden, nullptr);
    EXPECT_EQ(Hidden, Desk.HiddenWindow());
    EXPECT_FALSE(IsWindowVisible(Hidden));
    EXPECT_EQ(GetParent(Hidden), nullptr) << "must be top-level for the taskbar broadcast";

    struct Case {
        WPARAM Id;
        LPARAM Message;
        std::optional<std::uint32_t> Delivered;
    };
    const Case Cases[] = {
        {123, 0x200, 0x200}, {123, 0x201, 0x201}, {123, 0x202, 0x202},      {123, 0x203, 0x203},
        {123, 0x204, 0x204}, {123, 0x205, 0x205}, {123, 0x207, 0x207},      {123, 0x208, 0x208},
        {124, 0x202, {}},    {0, 0x205, {}},      {123, 0x00070202, 0x202}, {123, 0x7FFF0205, 0x205},
    };
    for (const Case& C : Cases) {
        Sink.TrayMessages.clear();
        SendMessageA(Hidden, WM_MOUSEMOVE, C.Id, C.Message);
        if (C.Delivered) {
            ASSERT_EQ(Sink.TrayMessages.size(), 1u) << "id " << C.Id << " lParam " << Hex(C.Message);
            EXPECT_EQ(Hex(Sink.TrayMessages[0]), Hex(*C.Delivered));
        } else {
            EXPECT_TRUE(Sink.TrayMessages.empty()) << "id " << C.Id << " is not our icon";
        }
    }

    // The taskbar announces itself to every top-level window.
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(PumpUntil(
        Desk, [&] { return Sink.TaskbarCreated == 1; }, 5000))
        << "TaskbarCreated broadcast not delivered within 5 s";
    EXPECT_TRUE(Sink.Timers.empty());
}

TEST(Win32Tray, RecordReachesTheShellAndIconLoads) {
    // The layout itself is checked at compile time; here the record goes through the real shell.
    Win32Desktop Desk;
    HICON Icon = static_cast<HICON>(Desk.ApplicationIcon());
    ASSERT_NE(Icon, nullptr) << "icon resource 1 missing";
    EXPECT_EQ(Desk.ApplicationIcon(), Icon) << "loaded once";
    ICONINFO Info{};
    ASSERT_TRUE(GetIconInfo(Icon, &Info));
    BITMAP Bits{};
    GetObjectA(Info.hbmColor, sizeof Bits, &Bits);
    EXPECT_EQ(Bits.bmWidth, GetSystemMetrics(SM_CXSMICON));
    DeleteObject(Info.hbmColor);
    DeleteObject(Info.hbmMask);

    TrayIconRecord Record{};
    Record.cbSize = TrayIconRecordSize;
    Record.hWnd = Desk.TrayCallbackWindow();
    Record.uID = 123;
    Record.uFlags = 7;
    Record.uCallbackMessage = 0x200;
    Record.hIcon = Icon;
    std::snprintf(Record.szTip, sizeof Record.szTip, "%s", "TavoRouterControl test icon");
    // With no tray on the X display, wine shows the icons in a window of its own.
    Desk.ShellNotifyIcon(NimAdd, Record);
    Desk.ShellNotifyIcon(NimSetVersion, Record);
    Desk.ShellNotifyIcon(NimModify, Record);
    const auto TrayWindow = [] {
        HWND W = FindWindowA(nullptr, "Wine System Tray");
        return W && IsWindowVisible(W) ? W : nullptr;
    };
    EXPECT_TRUE(PumpUntil(
        Desk, [&] { return TrayWindow() != nullptr; }, 10000))
        << "the icon did not show within 10 s";
    Desk.ShellNotifyIcon(NimDelete, Record);
    EXPECT_TRUE(PumpUntil(
        Desk, [&] { return TrayWindow() == nullptr; }, 10000))
        << "the icon was not removed within 10 s";
}

// --- timers ----------------------------------------------------------------------------------------------

TEST(Win32Timers, IntervalZeroRestartAndSwitchOff) {
    Win32Desktop Desk;
    RecordingSink Sink;
    Desk.SetEventSink(&Sink);
    const auto Count = [&](TimerId Id) { return std::count(Sink.Timers.begin(), Sink.Timers.end(), Id); };

    // Interval 0: switched on, never fires.
    Desk.SetTimerInterval(TimerId::Poll, 0);
    Desk.EnableTimer(TimerId::Poll, true);
    EXPECT_FALSE(PumpUntil(
        Desk, [&] { return !Sink.Timers.empty(); }, 500))
        << "interval 0 fired";

    // A real interval fires, and only its own timer.
    Desk.SetTimerInterval(TimerId::Poll, 50);
    EXPECT_TRUE(PumpUntil(
        Desk, [&] { return Count(TimerId::Poll) >= 2; }, 5000))
        << "50 ms timer never fired";
    EXPECT_EQ(Count(TimerId::CheckConnection), 0);

    // Switched off: silent, even when a tick was already due.
    Sleep(120);
    Desk.EnableTimer(TimerId::Poll, false);
    Sink.Timers.clear();
    EXPECT_FALSE(PumpUntil(
        Desk, [&] { return !Sink.Timers.empty(); }, 500))
        << "fired after being switched off";

    // Switching on again (or a new interval) while on restarts a full interval: switched on every
    // 50 ms, a 400 ms timer never comes due; left alone it does.
    Desk.SetTimerInterval(TimerId::CheckConnection, 400);
    Desk.EnableTimer(TimerId::CheckConnection, true);
    const double Start = Desk.SteadyMilliseconds();
    bool Toggle = false;
    while (Desk.SteadyMilliseconds() - Start < 1600) {
        EXPECT_FALSE(PumpUntil(
            Desk, [&] { return !Sink.Timers.empty(); }, 50))
            << "fired although restarted every 50 ms, at " << Desk.SteadyMilliseconds() - Start << " ms";
        if (!Sink.Timers.empty())
            break;
        if ((Toggle = !Toggle))
            Desk.EnableTimer(TimerId::CheckConnection, true);
        else
            Desk.SetTimerInterval(TimerId::CheckConnection, 400);
    }
    EXPECT_TRUE(PumpUntil(
        Desk, [&] { return Count(TimerId::CheckConnection) == 1; }, 5000))
        << "left alone, the 400 ms timer did not fire within 5 s";
    EXPECT_EQ(Count(TimerId::Poll), 0);
}

// --- waits -----------------------------------------------------------------------------------------------

namespace {

struct LoopbackPair {
    SOCKET Listener = INVALID_SOCKET, Client = INVALID_SOCKET, Server = INVALID_SOCKET;
    sockaddr_in Address{};
    LoopbackPair() {
        Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
        int Length = sizeof Address;
        getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Length);
        listen(Listener, 4);
    }
    void Connect() {
        Client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        connect(Client, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
        Server = accept(Listener, nullptr, nullptr);
        u_long On = 1;
        ioctlsocket(Client, FIONBIO, &On);
    }
    ~LoopbackPair() {
        for (SOCKET S : {Listener, Client, Server})
            if (S != INVALID_SOCKET)
                closesocket(S);
    }
};

bool Readable(SOCKET S) {
    char Byte;
    const int Got = recv(S, &Byte, 1, MSG_PEEK);
    return Got > 0 || Got == 0 || WSAGetLastError() != WSAEWOULDBLOCK;
}

// A window of the test's own that counts the messages posted to it.
struct MessageReceiver {
    HWND Hwnd = nullptr;
    int Received = 0;
    MessageReceiver() {
        static const ATOM Class = [] {
            WNDCLASSA C{};
            C.lpfnWndProc = &MessageReceiver::Procedure;
            C.hInstance = GetModuleHandleA(nullptr);
            C.lpszClassName = "TavoTestReceiver";
            return RegisterClassA(&C);
        }();
        (void)Class;
        Hwnd = CreateWindowExA(0, "TavoTestReceiver", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(Hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~MessageReceiver() { DestroyWindow(Hwnd); }
    static LRESULT CALLBACK Procedure(HWND W, UINT M, WPARAM Wp, LPARAM Lp) {
        if (M == WM_APP + 7) {
            ++reinterpret_cast<MessageReceiver*>(GetWindowLongPtrA(W, GWLP_USERDATA))->Received;
            return 0;
        }
        return DefWindowProcA(W, M, Wp, Lp);
    }
    MessageReceiver(const MessageReceiver&) = delete;
    MessageReceiver& operator=(const MessageReceiver&) = delete;
};

struct WaitResult {
    bool Done = false;
    double Ms = 0;
    int Wakes = 0;
};

// Waits the way the program does (wait, run events, look) until Done() or LimitMs.
WaitResult WaitLikeTheProgram(Win32Desktop& Desk, SocketHandle S, SocketInterest Interest,
                              const std::function<bool()>& Done, double LimitMs) {
    WaitResult R;
    const double Start = Desk.SteadyMilliseconds();
    while (!(R.Done = Done())) {
        const double Left = LimitMs - (Desk.SteadyMilliseconds() - Start);
        if (Left <= 0)
            break;
        Desk.WaitForEventOrSocket(S, Interest, static_cast<std::int64_t>(Left) + 1);
        ++R.Wakes;
        Desk.DoEvents();
    }
    R.Ms = Desk.SteadyMilliseconds() - Start;
    return R;
}

} // namespace

TEST(Win32Waits, WakeForDataCloseMessagesAndConnects) {
    Win32Desktop Desk;
    ASSERT_TRUE(Desk.StartSocketLibrary());
    Desk.DoEvents();
    LoopbackPair Pair;
    Pair.Connect();
    ASSERT_NE(Pair.Server, INVALID_SOCKET);
    const auto Client = static_cast<SocketHandle>(Pair.Client);

    // Nothing happens: the wait sleeps through its whole time without using the processor.
    {
        const double Cpu = ProcessCpuMilliseconds();
        const WaitResult R = WaitLikeTheProgram(
            Desk, Client, SocketInterest::Readable, [] { return false; }, 1000);
        const double Used = ProcessCpuMilliseconds() - Cpu;
        std::printf("[ FIGURES  ] idle socket wait: %.0f ms, %d wake-ups, %.1f ms CPU\n", R.Ms, R.Wakes,
                    Used);
        EXPECT_GE(R.Ms, 990);
        EXPECT_LE(R.Wakes, 20) << "the wait spins";
        EXPECT_LT(Used, 200) << "the wait uses the processor";
        char Byte;
        EXPECT_EQ(recv(Pair.Client, &Byte, 1, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "the socket must stay non-blocking";
    }
    {
        const double Cpu = ProcessCpuMilliseconds();
        const WaitResult R = WaitLikeTheProgram(
            Desk, 0, SocketInterest::Readable, [] { return false; }, 1000);
        const double Used = ProcessCpuMilliseconds() - Cpu;
        std::printf("[ FIGURES  ] wait without socket: %.0f ms, %d wake-ups, %.1f ms CPU\n", R.Ms, R.Wakes,
                    Used);
        EXPECT_LE(R.Wakes, 20);
        EXPECT_LT(Used, 200);
    }

    // Data sent while waiting ends the wait.
    {
        std::thread Peer([&] {
            Sleep(100);
            send(Pair.Server, "x", 1, 0);
        });
        const WaitResult R = WaitLikeTheProgram(
            Desk, Client, SocketInterest::Readable, [&] { return Readable(Pair.Client); }, 10000);
        Peer.join();
        std::printf("[ FIGURES  ] data after 100 ms: wait ended after %.1f ms, %d wake-ups\n", R.Ms, R.Wakes);
        EXPECT_TRUE(R.Done);
        EXPECT_LT(R.Ms, 5000);
        EXPECT_LE(R.Wakes, 20);
    }
    // Data already waiting: at once.
    {
        const double Start = Desk.SteadyMilliseconds();
        Desk.WaitForEventOrSocket(Client, SocketInterest::Readable, 10000);
        EXPECT_LT(Desk.SteadyMilliseconds() - Start, 1000) << "data already waiting";
        char Byte;
        EXPECT_EQ(recv(Pair.Client, &Byte, 1, 0), 1);
    }
    // A message posted while waiting ends the wait, and the events that follow deliver it.
    {
        MessageReceiver Receiver;
        std::thread Poster([&] {
            Sleep(100);
            PostMessageA(Receiver.Hwnd, WM_APP + 7, 0, 0);
        });
        const WaitResult R = WaitLikeTheProgram(
            Desk, Client, SocketInterest::Readable, [&] { return Receiver.Received > 0; }, 10000);
        Poster.join();
        std::printf("[ FIGURES  ] message after 100 ms: wait ended after %.1f ms\n", R.Ms);
        EXPECT_TRUE(R.Done) << "posted message not delivered";
        EXPECT_LT(R.Ms, 5000);
    }
    // The peer closing ends the wait, also when it closed before the wait began.
    {
        std::thread Closer([&] {
            Sleep(100);
            shutdown(Pair.Server, SD_BOTH);
        });
        const WaitResult R = WaitLikeTheProgram(
            Desk, Client, SocketInterest::Readable, [&] { return Readable(Pair.Client); }, 10000);
        Closer.join();
        EXPECT_TRUE(R.Done) << "peer close not seen";
        EXPECT_LT(R.Ms, 5000);
        const double Start = Desk.SteadyMilliseconds();
        Desk.WaitForEventOrSocket(Client, SocketInterest::Readable, 10000);
        EXPECT_LT(Desk.SteadyMilliseconds() - Start, 1000) << "closed before the wait";
    }
}

TEST(Win32Waits, ConnectEndsTheWaitEvenWhenDoneBeforeIt) {
    Win32Desktop Desk;
    ASSERT_TRUE(Desk.StartSocketLibrary());
    Desk.DoEvents();
    const auto Writable = [](SOCKET S, int Ms) {
        fd_set W, E;
        FD_ZERO(&W);
        FD_ZERO(&E);
        FD_SET(S, &W);
        FD_SET(S, &E);
        timeval T{Ms / 1000, (Ms % 1000) * 1000};
        return select(0, nullptr, &W, &E, &T) > 0;
    };
    const auto StartConnect = [](const sockaddr_in& To) {
        SOCKET S = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long On = 1;
        ioctlsocket(S, FIONBIO, &On);
        connect(S, reinterpret_cast<const sockaddr*>(&To), sizeof To);
        return S;
    };

    LoopbackPair Pair;
    // Under way when the wait starts.
    SOCKET S = StartConnect(Pair.Address);
    WaitResult R = WaitLikeTheProgram(
        Desk, static_cast<SocketHandle>(S), SocketInterest::ConnectDone, [&] { return Writable(S, 0); },
        10000);
    EXPECT_TRUE(R.Done);
    EXPECT_LT(R.Ms, 5000);
    closesocket(S);

    // Already connected before the wait: its one connect notice came before the event was attached.
    S = StartConnect(Pair.Address);
    ASSERT_TRUE(Writable(S, 5000));
    double Start = Desk.SteadyMilliseconds();
    Desk.WaitForEventOrSocket(static_cast<SocketHandle>(S), SocketInterest::ConnectDone, 10000);
    EXPECT_LT(Desk.SteadyMilliseconds() - Start, 1000) << "a connect finished before the wait was missed";
    closesocket(S);

    // Refused: the wait ends as well, and the failure is there to see.
    sockaddr_in Closed = Pair.Address;
    closesocket(Pair.Listener);
    Pair.Listener = INVALID_SOCKET;
    S = StartConnect(Closed);
    Start = Desk.SteadyMilliseconds();
    R = WaitLikeTheProgram(
        Desk, static_cast<SocketHandle>(S), SocketInterest::ConnectDone, [&] { return Writable(S, 0); },
        10000);
    std::printf("[ FIGURES  ] refused connect: wait ended after %.1f ms\n", R.Ms);
    EXPECT_TRUE(R.Done);
    int Error = 0, Length = sizeof Error;
    getsockopt(S, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&Error), &Length);
    EXPECT_EQ(Error, WSAECONNREFUSED);
    closesocket(S);
}

// --- popup menu ------------------------------------------------------------------------------------------

TEST(Win32Menu, ItemsDefaultAndChoice) {
    Win32Desktop Desk;
    const std::vector<MenuItem> Items = {
        {MenuItemId::Header, "TavoRouterControl", true},
        {MenuItemId::None, "", false},
        {MenuItemId::About, "&About...", false},
        {MenuItemId::None, "", false},
        {MenuItemId::Exit, "E&xit", false},
    };
    struct Case {
        std::vector<WPARAM> Keys;
        MenuItemId Expected;
    };
    const Case Cases[] = {
        {{VK_DOWN, VK_RETURN}, MenuItemId::Header},
        {{VK_DOWN, VK_DOWN, VK_RETURN}, MenuItemId::About},
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, MenuItemId::Exit},
        {{VK_ESCAPE}, MenuItemId::None},
    };
    for (const Case& C : Cases) {
        std::atomic<bool> Found{false};
        std::string Layout;
        UINT DefaultItem = 0;
        std::thread Operator([&] {
            // Find the open menu, read what it shows, then press the keys.
            for (int Try = 0; Try < 500 && !Found; ++Try) {
                HWND MenuWindow = FindWindowA("#32768", nullptr);
                if (MenuWindow && IsWindowVisible(MenuWindow)) {
                    auto Menu =
                        reinterpret_cast<HMENU>(SendMessageA(MenuWindow, 0x01E1 /* MN_GETHMENU */, 0, 0));
                    for (int I = 0; I < GetMenuItemCount(Menu); ++I) {
                        char Text[64] = {};
                        MENUITEMINFOA Info{};
                        Info.cbSize = sizeof Info;
                        Info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
                        Info.dwTypeData = Text;
                        Info.cch = sizeof Text;
                        GetMenuItemInfoA(Menu, static_cast<UINT>(I), TRUE, &Info);
                        Layout +=
                            (Info.fType & MFT_SEPARATOR) ? std::string("-") : std::to_string(Info.wID) + Text;
                        Layout += "|";
                    }
                    DefaultItem = GetMenuDefaultItem(Menu, FALSE, 0);
                    for (const WPARAM Key : C.Keys)
                        PostMessageA(MenuWindow, WM_KEYDOWN, Key, 0);
                    Found = true;
                }
                Sleep(10);
            }
            if (!Found) // never leave the test hanging in the menu
                PostMessageA(Desk.HiddenWindow(), WM_KEYDOWN, VK_ESCAPE, 0);
        });
        const MenuItemId Chosen = Desk.ShowPopupMenu(Items);
        Operator.join();
        ASSERT_TRUE(Found) << "the popup menu did not appear within 5 s";
        EXPECT_EQ(Layout, "1TavoRouterControl|-|2&About...|-|3E&xit|");
        EXPECT_EQ(DefaultItem, 1u) << "the header is the default (bold) item";
        EXPECT_EQ(static_cast<int>(Chosen), static_cast<int>(C.Expected));
    }
}

// --- program file, paths, single instance, clock ---------------------------------------------------------

TEST(Win32Program, ResourcesOfTheBuiltProgram) {
    Win32Desktop Desk;
    const std::string Program = Desk.ExecutableFolder() + "\\" + TAVO_PROGRAM_RELATIVE;
    DWORD Ignored = 0;
    const DWORD Size = GetFileVersionInfoSizeA(Program.c_str(), &Ignored);
    ASSERT_GT(Size, 0u) << "no version information in " << Program;
    std::vector<char> Block(Size);
    ASSERT_TRUE(GetFileVersionInfoA(Program.c_str(), 0, Size, Block.data()));
    VS_FIXEDFILEINFO* Fixed = nullptr;
    UINT Length = 0;
    ASSERT_TRUE(VerQueryValueA(Block.data(), "\\", reinterpret_cast<void**>(&Fixed), &Length));
    EXPECT_EQ(Hex(Fixed->dwFileVersionMS), Hex(0x00010000u));
    EXPECT_EQ(Hex(Fixed->dwFileVersionLS), Hex(0x00000017u));
    EXPECT_EQ(Hex(Fixed->dwProductVersionLS), Hex(0x00000017u));
    const auto Text = [&](const char* Name) {
        char* Value = nullptr;
        UINT Chars = 0;
        const std::string Path = std::string("\\StringFileInfo\\040904B0\\") + Name;
        return VerQueryValueA(Block.data(), Path.c_str(), reinterpret_cast<void**>(&Value), &Chars) && Value
                   ? std::string(Value)
                   : std::string("<missing>");
    };
    EXPECT_EQ(Text("ProductName"), "TavoRouterControl");
    EXPECT_EQ(Text("FileVersion"), "1.0.0.23");
    EXPECT_EQ(Text("ProductVersion"), "1.0.0.23");
    EXPECT_EQ(Text("LegalCopyright"), CopyrightNotice);
    EXPECT_EQ(Text("OriginalFilename"), "TavoRouterControl.exe");

    HMODULE File =
        LoadLibraryExA(Program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(File, nullptr);
    HRSRC Found = FindResourceA(File, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(Found, nullptr) << "no manifest with id 1";
    const std::string Manifest(static_cast<const char*>(LockResource(LoadResource(File, Found))),
                               SizeofResource(File, Found));
    const char* Arch =
        sizeof(void*) == 8 ? "processorArchitecture=\"amd64\"" : "processorArchitecture=\"x86\"";
    for (const std::string& Needle :
         {std::string("name=\"TavoRouterControl\" version=\"1.0.0.23\" ") + Arch,
          std::string("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
          std::string("level=\"asInvoker\" uiAccess=\"false\""), std::string(">PerMonitorV2, PerMonitor<"),
          std::string(">true/pm<")})
        EXPECT_NE(Manifest.find(Needle), std::string::npos) << "manifest lacks " << Needle;
    HICON Big = static_cast<HICON>(LoadImageA(File, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, 0));
    EXPECT_NE(Big, nullptr) << "icon 1 missing in the program";
    if (Big)
        DestroyIcon(Big);
    FreeLibrary(File);
}

TEST(Win32Program, PathsClockAndVersion) {
    Win32Desktop Desk;
    char Module[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, Module, MAX_PATH);
    const std::string Folder = Desk.ExecutableFolder();
    ASSERT_FALSE(Folder.empty());
    EXPECT_NE(Folder.back(), '\\');
    EXPECT_EQ(Folder + Desk.PathSeparator() + Desk.ExecutableBaseName() + ".exe", std::string(Module));
    EXPECT_EQ(Desk.ExecutableBaseName(), "TavoWin32Tests");

    char Previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, Previous);
    ASSERT_TRUE(Desk.ChangeToFolder("C:\\windows"));
    EXPECT_TRUE(Desk.ChangeToFolder(Folder));
    char Now[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, Now);
    EXPECT_EQ(std::string(Now), Folder);
    EXPECT_FALSE(Desk.ChangeToFolder(Folder + "\\no such folder"));
    SetCurrentDirectoryA(Previous);

    const VersionNumbers V = Desk.AppVersion();
    EXPECT_EQ(V.Major * 10000 + V.Minor * 100 + V.Revision, 10023);

    const double Before = Desk.SteadyMilliseconds();
    Sleep(100);
    const double Slept = Desk.SteadyMilliseconds() - Before;
    EXPECT_GE(Slept, 90) << "the clock does not count milliseconds";
    EXPECT_LT(Slept, 5000) << "the clock does not count milliseconds";
}

TEST(Win32Program, SingleInstanceMark) {
    using Tavo::Win32::InstanceMutexName;
    const std::wstring Name = InstanceMutexName(L"C:\\Program Files\\Tavo\\TavoRouterControl.exe");
    EXPECT_EQ(Name.rfind(L"Local\\TavoRouterControl-", 0), 0u);
    EXPECT_EQ(Name.size(), std::wstring(L"Local\\TavoRouterControl-").size() + 16);
    EXPECT_EQ(Name, InstanceMutexName(L"c:\\PROGRAM FILES\\tavo\\tavoroutercontrol.EXE"));
    EXPECT_EQ(InstanceMutexName(L"D:\\\x00C9T\x00C9\\x.exe"), InstanceMutexName(L"d:\\\x00E9t\x00E9\\X.EXE"));
    for (const wchar_t* Other : {L"C:\\Program Files\\Tavo2\\TavoRouterControl.exe",
                                 L"C:\\Program Files\\Tavo\\TavoRouterControl2.exe",
                                 L"D:\\Program Files\\Tavo\\TavoRouterControl.exe"})
        EXPECT_NE(Name, InstanceMutexName(Other)) << "must differ for another file";

    // In-process: the first claim holds the mark, so a second finds it taken.
    EXPECT_TRUE(Tavo::Win32::ClaimSingleInstance());
    EXPECT_FALSE(Tavo::Win32::ClaimSingleInstance());
}
