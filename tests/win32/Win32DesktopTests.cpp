// The Windows desktop layer against the real system (wine on the build machines): screen reads, the
// tray record, timers, waits and posted events, the settings reader, the menu and the program's files.
// Needs a display of its own (run-under-xvfb).

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "IniCases.h"
#include "SocketHelpers.h"
#include "UnitListener.h"
#include "core/Texts.h"
#include "core/modTCP.h"
#include "platform/win32/Win32Desktop.h"

using namespace Tavo;
using namespace Tavo::Win32Platform;

namespace {

struct RecordingSink final : DesktopEvents {
    void OnTimer(TimerId Timer) override { Timers.push_back(Timer); }
    void OnTrayClick(TrayClick Click) override { Clicks.push_back(Click); }
    void OnCloseRequest() override {}
    std::vector<TimerId> Timers;
    std::vector<TrayClick> Clicks;
};

struct Waited {
    bool Done = false;
    double Ms = 0;
    int Wakes = 0;
};

// Waits the way the program does (wait, run events, look) until Done() holds or LimitMs passes.
Waited WaitUntil(Win32Desktop& Desk, double LimitMs, SocketHandle Socket, const std::function<bool()>& Done) {
    Waited R;
    const double Start = Desk.SteadyMilliseconds();
    for (Desk.DoEvents(); !(R.Done = Done()); Desk.DoEvents(), ++R.Wakes) {
        const double Left = LimitMs - (Desk.SteadyMilliseconds() - Start);
        if (Left <= 0)
            break;
        Desk.WaitForEventOrSocket(Socket, SocketInterest::Readable, static_cast<std::int64_t>(Left) + 1);
    }
    R.Ms = Desk.SteadyMilliseconds() - Start;
    return R;
}

bool Within(Win32Desktop& Desk, double LimitMs, const std::function<bool()>& Done) {
    return WaitUntil(Desk, LimitMs, 0, Done).Done;
}

// Every pixel of the test window has its own colour, so a read from the wrong place shows.
constexpr int GradientLeft = 100, GradientTop = 100, GradientSize = 80;

std::uint32_t GradientColour(int X, int Y) { // 0x00BBGGRR
    return static_cast<std::uint32_t>((X * 3 & 0xFF) | (Y * 5 & 0xFF) << 8 | ((X * 7 + Y * 11) & 0xFF) << 16);
}

LRESULT CALLBACK PaintGradient(HWND Hwnd, UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Message != WM_PAINT)
        return Message == WM_ERASEBKGND ? 1 : DefWindowProcA(Hwnd, Message, WParam, LParam);
    std::vector<std::uint32_t> Pixels; // a DIB pixel has blue in the low byte
    for (int Y = 0; Y < GradientSize; ++Y)
        for (int X = 0; X < GradientSize; ++X)
            Pixels.push_back((GradientColour(X, Y) & 0xFF) << 16 | (GradientColour(X, Y) & 0xFF00) |
                             GradientColour(X, Y) >> 16);
    BITMAPINFO Info{};
    Info.bmiHeader = {sizeof Info.bmiHeader, GradientSize, -GradientSize, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    PAINTSTRUCT Paint;
    HDC Dc = BeginPaint(Hwnd, &Paint);
    SetDIBitsToDevice(Dc, 0, 0, GradientSize, GradientSize, 0, 0, 0, GradientSize, Pixels.data(), &Info,
                      DIB_RGB_COLORS);
    EndPaint(Hwnd, &Paint);
    return 0;
}

// Every record that goes to the shell, on its way there.
std::vector<DWORD> ShellMessages;
std::vector<NOTIFYICONDATAA> ShellRecords;

BOOL WINAPI RecordShellCall(DWORD Message, PNOTIFYICONDATAA Data) {
    ShellMessages.push_back(Message);
    ShellRecords.push_back(*Data);
    return Shell_NotifyIconA(Message, Data);
}

std::vector<DWORD> TakeShellMessages() {
    ShellRecords.clear();
    return std::exchange(ShellMessages, {});
}

} // namespace

TEST(Win32Screen, BoxReadGivesWhatGetPixelGivesAndTheBufferOnlyGrows) {
    Win32Desktop Desk;
    WNDCLASSA Class{};
    Class.lpfnWndProc = PaintGradient;
    Class.lpszClassName = "TavoTestGradient";
    RegisterClassA(&Class);
    HWND Gradient = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, Class.lpszClassName,
                                    "", WS_POPUP | WS_VISIBLE, GradientLeft, GradientTop, GradientSize,
                                    GradientSize, nullptr, nullptr, nullptr, nullptr);
    HDC Screen = GetWindowDC(nullptr);
    const auto Shown = [&] {
        return GetPixel(Screen, GradientLeft + 79, GradientTop + 79) == GradientColour(79, 79);
    };
    ASSERT_TRUE(Within(Desk, 10000, Shown)) << "the test window did not appear on the screen";

    ScreenReader Reader;
    std::string Problem;
    ASSERT_TRUE(Reader.Open(Problem)) << Problem;
    const int Width = GetSystemMetrics(SM_CXSCREEN), Height = GetSystemMetrics(SM_CYSCREEN);
    const auto P = [](int X, int Y) {
        return ScreenPoint{static_cast<std::int16_t>(X), static_cast<std::int16_t>(Y)};
    };
    const std::vector<ScreenPoint> Off = {P(-1, 10),    P(10, -1),         P(Width, 5),
                                          P(5, Height), P(-32768, -32768), P(32767, 32767)};
    // Lamps close together, with points off the screen among them that must not widen the box.
    std::vector<ScreenPoint> Lamps = {P(100, 100), P(179, 179), P(101, 150), P(150, 101), P(140, 133)};
    Lamps.insert(Lamps.begin() + 2, Off.begin(), Off.end());
    const ReadPath Box = ReadPath::Box, Single = ReadPath::Single;
    struct Case {
        const char* Name;
        std::vector<ScreenPoint> Points;
        ReadPath Path;
        int BufferCreations;
    } const Cases[] = {
        {"lamps", Lamps, Box, 1},
        {"the same box again", Lamps, Box, 1},
        {"a wider box", {P(0, 0), P(299, 199), P(140, 133)}, Box, 2},
        {"a smaller box in the larger buffer", Lamps, Box, 2},
        {"a taller box: grows to hold both", {P(0, 0), P(199, 299), P(150, 101)}, Box, 3},
        {"both shapes fit", {P(0, 0), P(299, 299), P(101, 150)}, Box, 3},
        {"a box exactly at the budget", {P(0, 0), P(511, 511), P(179, 179)}, Box, 4},
        {"one column over the budget", {P(0, 0), P(512, 511), P(140, 133)}, Single, 4},
        {"spread over the screen", {P(150, 150), P(Width - 1, Height - 1), P(-5, 0)}, Single, 4},
        {"only off-screen points", Off, ReadPath::Nothing, 4},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::uint32_t> Colours(C.Points.size(), 0x12345678);
        Reader.Read(C.Points, Colours);
        EXPECT_EQ(Reader.LastReadPath(), C.Path);
        EXPECT_EQ(Reader.BoxBufferCreations(), C.BufferCreations);
        for (std::size_t I = 0; I < C.Points.size(); ++I) {
            const int X = C.Points[I].X, Y = C.Points[I].Y, Gx = X - GradientLeft, Gy = Y - GradientTop;
            const bool On = X >= 0 && Y >= 0 && X < Width && Y < Height;
            EXPECT_EQ(Colours[I], On ? GetPixel(Screen, X, Y) : 0xFFFFFFFFu) << "at " << X << ", " << Y;
            const bool InGradient = Gx >= 0 && Gy >= 0 && Gx < GradientSize && Gy < GradientSize;
            EXPECT_TRUE(!InGradient || Colours[I] == GradientColour(Gx, Gy)) << "at " << X << ", " << Y;
        }
    }
    ReleaseDC(nullptr, Screen);
    DestroyWindow(Gradient);
}

TEST(Win32Tray, RecordReachesTheShellAndTaskbarCreatedAddsItAgainWhileShown) {
    Win32Desktop Desk;
    Desk.ReplaceShellNotify(&RecordShellCall);
    TakeShellMessages();
    // What every record says, whatever the call.
    const auto ExpectIdentity = [&](const NOTIFYICONDATAA& Data) {
        EXPECT_EQ(Data.cbSize, sizeof(void*) == 8 ? 520u : 504u);
        EXPECT_EQ(Data.hWnd, Desk.HiddenWindow());
        EXPECT_EQ(Data.uID, 123u);
        EXPECT_EQ(Data.uFlags, 7u);
        EXPECT_EQ(Data.uCallbackMessage, 0x200u);
        EXPECT_EQ(Data.uVersion, 0u);
    };
    Desk.ShowTrayIcon();
    for (const NOTIFYICONDATAA& Data : ShellRecords) {
        ExpectIdentity(Data);
        EXPECT_EQ(Data.hIcon, nullptr) << "the first add goes without image";
        EXPECT_EQ(Data.szTip[0], '\0') << "and without tooltip";
    }
    EXPECT_EQ(TakeShellMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION}));

    // The tooltip, a NUL, blanks to the end of the field; a long one is cut to fit.
    for (const std::string& Tip : {std::string("TavoRouterControl 1.0.0.23 tip"), std::string(200, 'x')}) {
        Desk.UpdateTrayIcon(Tip);
        ASSERT_EQ(ShellRecords.size(), 1u);
        const NOTIFYICONDATAA& Data = ShellRecords[0];
        const std::size_t Kept = std::min<std::size_t>(Tip.size(), 127);
        EXPECT_EQ(std::string(Data.szTip, 128), Tip.substr(0, Kept) + '\0' + std::string(127 - Kept, ' '));
        EXPECT_EQ(std::string(Data.szInfo, 256) + std::string(Data.szInfoTitle, 64), std::string(320, ' '));
        EXPECT_NE(Data.hIcon, nullptr);
        EXPECT_EQ(Data.dwInfoFlags, 0u);
        ExpectIdentity(Data);
        EXPECT_EQ(TakeShellMessages(), (std::vector<DWORD>{NIM_MODIFY}));
    }
    // With no tray host on the X display, wine shows the icons in a window of its own.
    const auto TrayShown = [] { return IsWindowVisible(FindWindowA(nullptr, "Wine System Tray")) != FALSE; };
    EXPECT_TRUE(Within(Desk, 10000, TrayShown)) << "the shell did not show the icon";

    // The taskbar announces itself to every top-level window: the icon goes in again as it stands.
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(Within(Desk, 5000, [] { return ShellRecords.size() >= 3; }));
    ASSERT_FALSE(ShellRecords.empty());
    EXPECT_EQ(std::string(ShellRecords[0].szTip), std::string(127, 'x'));
    EXPECT_EQ(TakeShellMessages(), (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION, NIM_MODIFY}));

    Desk.RemoveTrayIcon();
    EXPECT_EQ(TakeShellMessages(), (std::vector<DWORD>{NIM_DELETE}));
    EXPECT_TRUE(Within(Desk, 10000, [&] { return !TrayShown(); })) << "the icon stayed";
    SendMessageA(Desk.HiddenWindow(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(ShellMessages.empty()) << "a removed icon must not come back";
}

TEST(Win32Tray, MouseMessagesBecomeClicks) {
    using B = MouseButton;
    using A = MouseAction;
    const std::pair<UINT, TrayClick> Clicks[] = {
        {0x200, {B::None, A::Moved}},          {0x201, {B::Left, A::Pressed}},
        {0x202, {B::Left, A::Released}},       {0x203, {B::Left, A::DoubleClicked}},
        {0x204, {B::Right, A::Pressed}},       {0x205, {B::Right, A::Released}},
        {0x206, {B::Right, A::DoubleClicked}}, {0x207, {B::Middle, A::Pressed}},
        {0x208, {B::Middle, A::Released}},     {0x209, {B::Middle, A::DoubleClicked}},
    };
    for (const auto& [Message, Expected] : Clicks) {
        const auto Click = TrayClickFromMouseMessage(Message);
        ASSERT_TRUE(Click) << std::hex << Message;
        EXPECT_TRUE(Click->Button == Expected.Button && Click->Action == Expected.Action)
            << std::hex << Message;
    }
    for (const UINT Other : {0x20Au, 0x400u, 0u})
        EXPECT_FALSE(TrayClickFromMouseMessage(Other)) << std::hex << Other;

    // Through the window: only our icon's notifications, the mouse message in lParam's low word.
    Win32Desktop Desk;
    RecordingSink Sink;
    Desk.SetEventSink(&Sink);
    SendMessageA(Desk.HiddenWindow(), WM_MOUSEMOVE, 124, 0x202);
    SendMessageA(Desk.HiddenWindow(), WM_MOUSEMOVE, 123, 0x20A);
    SendMessageA(Desk.HiddenWindow(), WM_MOUSEMOVE, 123, 0x70205);
    ASSERT_EQ(Sink.Clicks.size(), 1u);
    EXPECT_TRUE(Sink.Clicks[0].Button == B::Right && Sink.Clicks[0].Action == A::Released);
}

TEST(Win32Timers, IntervalZeroRestartAndSwitchOff) {
    Win32Desktop Desk;
    RecordingSink Sink;
    Desk.SetEventSink(&Sink);
    const auto Count = [&](TimerId Id) { return std::count(Sink.Timers.begin(), Sink.Timers.end(), Id); };
    const auto AnyTick = [&] { return !Sink.Timers.empty(); };

    // A tick already queued runs its handler only while the timer is on with an interval.
    struct Case {
        std::uint32_t Interval;
        bool Enabled;
        long Runs;
    };
    for (const Case& C : {Case{60000, true, 1}, Case{0, true, 0}, Case{60000, false, 0}}) {
        Desk.SetTimerInterval(TimerId::Poll, C.Interval);
        Desk.EnableTimer(TimerId::Poll, C.Enabled);
        Sink.Timers.clear();
        for (WPARAM Id = 0; Id < 4; ++Id)
            PostMessageA(Desk.HiddenWindow(), WM_TIMER, Id, 0);
        Desk.DoEvents();
        EXPECT_EQ(Count(TimerId::Poll), C.Runs) << C.Interval << (C.Enabled ? " on" : " off");
        EXPECT_EQ(Count(TimerId::CheckConnection), 0);
    }

    // A real interval fires, and only its own timer; interval 0 never does.
    Desk.SetTimerInterval(TimerId::Poll, 50);
    Desk.EnableTimer(TimerId::Poll, true);
    EXPECT_TRUE(Within(Desk, 5000, [&] { return Count(TimerId::Poll) >= 2; }));
    EXPECT_EQ(Count(TimerId::CheckConnection), 0);
    Desk.SetTimerInterval(TimerId::Poll, 0);
    Sink.Timers.clear();
    EXPECT_FALSE(Within(Desk, 300, AnyTick)) << "interval 0 fired";

    // Switched on again, or given its interval again, every 50 ms, a 400 ms timer never comes due; left
    // alone it does.
    Desk.SetTimerInterval(TimerId::CheckConnection, 400);
    Desk.EnableTimer(TimerId::CheckConnection, true);
    for (const bool ByInterval : {false, true})
        for (int Step = 0; Step < 12 && Sink.Timers.empty(); ++Step) {
            EXPECT_FALSE(Within(Desk, 50, AnyTick))
                << (ByInterval ? "new interval" : "on again") << " " << Step;
            if (ByInterval)
                Desk.SetTimerInterval(TimerId::CheckConnection, 400);
            else
                Desk.EnableTimer(TimerId::CheckConnection, true);
        }
    EXPECT_TRUE(Within(Desk, 5000, [&] { return Count(TimerId::CheckConnection) == 1; }));
    EXPECT_EQ(Count(TimerId::Poll), 0);
}

TEST(Win32Waits, WakeForConnectDataCloseAndPostedEventsElseSleep) {
    Win32Desktop Desk;
    EXPECT_FALSE(Desk.HasSocketEvent()) << "a socket event made before the socket library started";
    ASSERT_TRUE(Desk.StartNetwork());
    EXPECT_TRUE(Desk.HasSocketEvent());
    Testing::UnitListener Unit;
    // One wait, for something that has already happened.
    const auto Once = [&](SocketHandle S, SocketInterest Interest) {
        Desk.DoEvents();
        const double Start = Desk.SteadyMilliseconds();
        Desk.WaitForEventOrSocket(S, Interest, 5000);
        return Desk.SteadyMilliseconds() - Start;
    };
    const auto Later = [](std::function<void()> Act) {
        return std::thread([Act] {
            Sleep(100);
            Act();
        });
    };

    // A connect under way ends the wait when it ends; one that ended before the wait began, at once.
    for (const bool Before : {false, true}) {
        SocketHandle S = modTCP::ConnectTcp("127.0.0.1", Unit.Port());
        ASSERT_GT(S, 0);
        if (Before) {
            ASSERT_TRUE(Testing::WaitForSocket(S, SocketInterest::ConnectDone, 5000));
        }
        EXPECT_LT(Once(S, SocketInterest::ConnectDone), 1000) << (Before ? "ended before" : "under way");
        EXPECT_EQ(modTCP::CheckConnect(S), modTCP::ConnectState::Connected);
        modTCP::CloseTcp(S);
    }
    SocketHandle Client = modTCP::ConnectTcp("127.0.0.1", Unit.Port());
    ASSERT_TRUE(Testing::WaitForSocket(Client, SocketInterest::ConnectDone, 5000));
    ASSERT_TRUE(Unit.WaitForAccepted(3, 5000));

    // Nothing happens: the wait sleeps through its whole time, with or without a socket.
    for (const SocketHandle S : {Client, 0}) {
        const Waited W = WaitUntil(Desk, 400, S, [] { return false; });
        EXPECT_GE(W.Ms, 390) << "socket " << S;
        EXPECT_LE(W.Wakes, 5) << "the wait spins, socket " << S;
    }
    EXPECT_EQ(modTCP::PeekSocket(Client), 0) << "the socket must stay non-blocking and usable";

    // Data sent while waiting ends the wait; data already waiting ends it at once.
    std::thread Peer = Later([&] { Unit.Send("x"); });
    EXPECT_TRUE(WaitUntil(Desk, 5000, Client, [&] { return modTCP::PeekSocket(Client) > 0; }).Done);
    Peer.join();
    EXPECT_LT(Once(Client, SocketInterest::Readable), 1000);
    EXPECT_EQ(modTCP::ReceiveText(Client), "x");

    // Events posted from another thread wake the wait and run in order on this thread.
    std::vector<std::pair<int, DWORD>> Ran;
    std::thread Poster = Later([&] {
        for (int I = 0; I < 3; ++I)
            Desk.PostEvent([&Ran, I] { Ran.emplace_back(I, GetCurrentThreadId()); });
    });
    const Waited W = WaitUntil(Desk, 5000, Client, [&] { return Ran.size() == 3; });
    Poster.join();
    EXPECT_TRUE(W.Done);
    EXPECT_LE(W.Wakes, 5);
    for (int I = 0; I < static_cast<int>(Ran.size()); ++I)
        EXPECT_EQ(Ran[static_cast<std::size_t>(I)], std::make_pair(I, GetCurrentThreadId()));

    // The peer closing ends the wait, also when it closed before the wait began.
    std::thread Closer = Later([&] { Unit.CloseOrderly(); });
    EXPECT_TRUE(WaitUntil(Desk, 5000, Client, [&] { return modTCP::PeekSocket(Client) < 0; }).Done);
    Closer.join();
    EXPECT_LT(Once(Client, SocketInterest::Readable), 1000);
    modTCP::CloseTcp(Client);
}

TEST(Win32Settings, ReadIniStringAgreesWithTheSharedTable) {
    Win32Desktop Desk;
    char Temp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathA(MAX_PATH, Temp), 0u);
    const std::string Folder = Temp + std::string("TavoIniCases-") + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(Folder.c_str(), nullptr));
    int Number = 0;
    for (const Testing::IniCase& C : Testing::IniCases) {
        // A file per case: the system's reader keeps files it has read.
        const std::string File = Folder + "\\case" + std::to_string(++Number) + ".ini";
        std::ofstream(File, std::ios::binary) << C.Contents;
        EXPECT_EQ(Desk.ReadIniString(C.Section, C.Key, File, C.Default), C.Expected) << C.Name;
        DeleteFileA(File.c_str());
    }
    EXPECT_EQ(Desk.ReadIniString("General", "Version", Folder + "\\missing.ini", "0"), "0");
    EXPECT_TRUE(RemoveDirectoryA(Folder.c_str()));
}

TEST(Win32Menu, ItemsDefaultAndChoice) {
    Win32Desktop Desk;
    const std::vector<MenuItem> Items = {{MenuItemId::Header, "TavoRouterControl", true},
                                         {MenuItemId::None, "", false},
                                         {MenuItemId::About, "&About...", false},
                                         {MenuItemId::None, "", false},
                                         {MenuItemId::Exit, "E&xit", false}};
    const std::pair<std::vector<WPARAM>, MenuItemId> Cases[] = {
        {{VK_DOWN, VK_RETURN}, MenuItemId::Header},
        {{VK_DOWN, VK_DOWN, VK_RETURN}, MenuItemId::About},
        {{VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}, MenuItemId::Exit},
        {{VK_ESCAPE}, MenuItemId::None}};
    for (const auto& [Keys, Expected] : Cases) {
        std::atomic<bool> Found{false};
        std::string Layout;
        UINT DefaultItem = 0;
        // Finds the open menu, reads what it shows (id and text of each item), then presses the keys.
        std::thread Operator([&, Keys = Keys] {
            for (int Try = 0; Try < 500 && !Found; ++Try, Sleep(10)) {
                HWND MenuWindow = FindWindowA("#32768", nullptr);
                if (!IsWindowVisible(MenuWindow))
                    continue;
                auto Menu = reinterpret_cast<HMENU>(SendMessageA(MenuWindow, 0x01E1 /* MN_GETHMENU */, 0, 0));
                for (int I = 0; I < GetMenuItemCount(Menu); ++I) {
                    char Text[64] = {};
                    GetMenuStringA(Menu, static_cast<UINT>(I), Text, sizeof Text, MF_BYPOSITION);
                    Layout += std::to_string(GetMenuItemID(Menu, I)) + Text + "|";
                }
                DefaultItem = GetMenuDefaultItem(Menu, FALSE, 0);
                for (const WPARAM Key : Keys)
                    PostMessageA(MenuWindow, WM_KEYDOWN, Key, 0);
                Found = true;
            }
        });
        const MenuItemId Chosen = Desk.ShowPopupMenu(Items);
        Operator.join();
        ASSERT_TRUE(Found) << "the popup menu did not appear within 5 s";
        EXPECT_EQ(Layout, "1TavoRouterControl|0|2&About...|0|3E&xit|");
        EXPECT_EQ(DefaultItem, 1u) << "the header is the default (bold) item";
        EXPECT_EQ(Chosen, Expected);
    }
}

TEST(Win32Program, ResourcesOfTheBuiltProgram) {
    Win32Desktop Desk;
    const std::string Program = Desk.ExecutableFolder() + "\\" + TAVO_PROGRAM_RELATIVE;
    DWORD Ignored = 0;
    std::vector<char> Block(GetFileVersionInfoSizeA(Program.c_str(), &Ignored));
    ASSERT_TRUE(GetFileVersionInfoA(Program.c_str(), 0, static_cast<DWORD>(Block.size()), Block.data()));
    VS_FIXEDFILEINFO* Fixed = nullptr;
    UINT Length = 0;
    ASSERT_TRUE(VerQueryValueA(Block.data(), "\\", reinterpret_cast<void**>(&Fixed), &Length));
    EXPECT_EQ(Fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(Fixed->dwFileVersionLS, 23u);
    EXPECT_EQ(Fixed->dwProductVersionLS, 23u);
    const std::pair<std::string, std::string> Strings[] = {{"ProductName", "TavoRouterControl"},
                                                           {"FileVersion", "1.0.0.23"},
                                                           {"ProductVersion", "1.0.0.23"},
                                                           {"LegalCopyright", CopyrightNotice},
                                                           {"OriginalFilename", "TavoRouterControl.exe"}};
    for (const auto& [Name, Expected] : Strings) {
        char* Value = nullptr;
        const std::string Path = "\\StringFileInfo\\040904B0\\" + Name;
        ASSERT_TRUE(VerQueryValueA(Block.data(), Path.c_str(), reinterpret_cast<void**>(&Value), &Length))
            << Name;
        EXPECT_EQ(std::string(Value), Expected);
    }

    HMODULE File =
        LoadLibraryExA(Program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(File, nullptr);
    const auto Resource = [&](ULONG_PTR Type) { // id 1 of that type
        HRSRC Found =
            FindResourceA(File, reinterpret_cast<LPCSTR>(ULONG_PTR{1}), reinterpret_cast<LPCSTR>(Type));
        return Found ? std::string(static_cast<const char*>(LockResource(LoadResource(File, Found))),
                                   SizeofResource(File, Found))
                     : std::string();
    };
    const std::string Manifest = Resource(24); // RT_MANIFEST
    const std::string Arch = sizeof(void*) == 8 ? "amd64" : "x86";
    for (const std::string& Needle :
         {"name=\"TavoRouterControl\" version=\"1.0.0.23\" processorArchitecture=\"" + Arch + "\"",
          std::string("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
          std::string("level=\"asInvoker\" uiAccess=\"false\"")})
        EXPECT_NE(Manifest.find(Needle), std::string::npos) << "manifest lacks " << Needle;
    // The icon group: six bytes of header, then 14 bytes an image, its width first.
    const std::string Group = Resource(14); // RT_GROUP_ICON
    std::string Widths;
    for (std::size_t At = 6; At + 14 <= Group.size(); At += 14)
        Widths += std::to_string(static_cast<unsigned char>(Group[At])) + " ";
    EXPECT_EQ(Widths, "16 32 ");
    FreeLibrary(File);
}

TEST(Win32Program, PathsVersionAndClock) {
    Win32Desktop Desk;
    char Module[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, Module, MAX_PATH);
    const std::string Folder = Desk.ExecutableFolder();
    EXPECT_EQ(Folder + "\\" + Desk.ExecutableBaseName() + ".exe", std::string(Module));
    EXPECT_EQ(Desk.ExecutableBaseName(), "TavoWin32Tests");
    EXPECT_EQ(Desk.SettingsFileCandidates(), std::vector<std::string>{Folder + "\\TavoWin32Tests.ini"});
    const VersionNumbers V = Desk.AppVersion();
    EXPECT_EQ(V.Major * 10000 + V.Minor * 100 + V.Revision, 10023);
    const double Before = Desk.SteadyMilliseconds();
    Sleep(100);
    const double Slept = Desk.SteadyMilliseconds() - Before;
    EXPECT_TRUE(Slept >= 90 && Slept < 5000) << Slept << " ms: the clock does not count milliseconds";
}

TEST(Win32Program, SingleInstanceMark) {
    const auto Name = &InstanceLock::MutexName;
    const std::wstring Path = L"C:\\Program Files\\Tavo\\TavoRouterControl.exe";
    EXPECT_EQ(Name(Path), Name(L"c:\\PROGRAM FILES\\tavo\\tavoroutercontrol.EXE"));
    EXPECT_EQ(Name(L"D:\\\x00C9T\x00C9\\x.exe"), Name(L"d:\\\x00E9t\x00E9\\X.EXE"));
    for (const wchar_t* Other : {L"C:\\Program Files\\Tavo2\\TavoRouterControl.exe",
                                 L"C:\\Program Files\\Tavo\\TavoRouterControl2.exe",
                                 L"D:\\Program Files\\Tavo\\TavoRouterControl.exe"})
        EXPECT_NE(Name(Path), Name(Other)) << "must differ for another file";

    // The first claim holds the mark, so a second is refused.
    Win32Desktop Running, Started;
    EXPECT_EQ(Running.ClaimSingleInstance(), InstanceClaim::Claimed);
    EXPECT_EQ(Started.ClaimSingleInstance(), InstanceClaim::AlreadyRunning);
}
