// The Windows desktop layer against the real system: wine on the build machines, on a display of its own.
// (The popup menu is driven end to end, by the tray scenario.)

#include "DesktopProbe.h"
#include "IniCases.h"
#include "SocketHelpers.h"
#include "UnitListener.h"
#include "core/Texts.h"
#include "core/modTCP.h"
#include "platform/win32/Win32Desktop.h"
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <tuple>

using namespace Tavo;
using namespace Tavo::Win32Platform;
using namespace Tavo::Testing;

namespace {
// Every call to the shell, with its record as it went out.
std::vector<DWORD> ShellMessages;
std::vector<NOTIFYICONDATAA> ShellRecords;

BOOL WINAPI RecordShellCall(DWORD Message, PNOTIFYICONDATAA Data) {
    ShellMessages.push_back(Message);
    ShellRecords.push_back(*Data);
    return Shell_NotifyIconA(Message, Data);
}
} // namespace

TEST(Win32Screen, BoxReadGivesWhatGetPixelGivesAndTheBufferOnlyGrows) {
    Win32Desktop Desk;
    // The desktop's hidden window at 100, 100, 80 x 80, each pixel its own colour; it never paints over them.
    HWND Canvas = Desk.HiddenWindow();
    SetWindowPos(Canvas, HWND_TOPMOST, 100, 100, 80, 80, SWP_SHOWWINDOW | SWP_NOACTIVATE);
    const auto Colour = [](int X, int Y) { return RGB(X * 3, Y * 3, X + Y); };
    HDC Screen = GetWindowDC(nullptr), Window = GetDC(Canvas);
    for (int I = 0; I < 80 * 80; ++I)
        SetPixelV(Window, I % 80, I / 80, Colour(I % 80, I / 80));
    const auto Shown = [&] { return GetPixel(Screen, 179, 179) == Colour(79, 79); };
    ASSERT_TRUE(WaitUntil(Desk, 10000, 0, Shown).Done) << "the test window did not appear on the screen";
    ScreenReader Reader;
    std::string Problem;
    ASSERT_TRUE(Reader.Open(Problem)) << Problem;
    const int Width = GetSystemMetrics(SM_CXSCREEN), Height = GetSystemMetrics(SM_CYSCREEN);
    const auto P = [](int X, int Y) { return ScreenPoint{std::int16_t(X), std::int16_t(Y)}; };
    const std::vector<ScreenPoint> Off = {{-1, 10},     {10, -1},         P(Width, 5),
                                          P(5, Height), {-32768, -32768}, {32767, 32767}};
    // Lamps close together, with points off the screen among them that must not widen the box.
    std::vector<ScreenPoint> Lamps = {{100, 100}, {179, 179}, {101, 150}, {150, 101}, {140, 133}};
    Lamps.insert(Lamps.begin() + 2, Off.begin(), Off.end());
    using enum ReadPath;
    // What is read, the path the read takes, and how many box buffers have been made by then.
    const std::tuple<const char*, std::vector<ScreenPoint>, ReadPath, int> Cases[] = {
        {"lamps", Lamps, Box, 1},
        {"a wider box", {{0, 0}, {299, 199}, {140, 133}}, Box, 2},
        {"a smaller box in the larger buffer", Lamps, Box, 2},
        {"a taller box: grows to hold both", {{0, 0}, {199, 299}, {150, 101}}, Box, 3},
        {"a box exactly at the budget", {{0, 0}, {511, 511}, {179, 179}}, Box, 4},
        {"one column over the budget", {{0, 0}, {512, 511}, {140, 133}}, Single, 4},
        {"spread over the screen", {{150, 150}, P(Width - 1, Height - 1), {-5, 0}}, Single, 4},
        {"only off-screen points", Off, Nothing, 4}};
    for (const auto& [Name, Points, Path, Creations] : Cases) {
        std::vector<std::uint32_t> Colours(Points.size(), 0x12345678), Expected;
        Reader.Read(Points, Colours);
        for (const auto [X, Y] : Points) // GetPixel too gives 0xFFFFFFFF off the screen
            Expected.push_back(GetPixel(Screen, X, Y));
        EXPECT_EQ(std::tuple(Name, Colours, Reader.LastReadPath(), Reader.BoxBufferCreations()),
                  std::tuple(Name, Expected, Path, Creations));
    }
    ReleaseDC(Canvas, Window);
    ReleaseDC(nullptr, Screen);
}

TEST(Win32Tray, RecordTaskbarCreatedAndClicks) {
    Win32Desktop Desk;
    Desk.ReplaceShellNotify(&RecordShellCall);
    // The records sent since the last look: with these messages, each naming the icon the same way.
    const auto Take = [&](const std::vector<DWORD>& Messages) {
        EXPECT_EQ(std::exchange(ShellMessages, {}), Messages);
        for (const NOTIFYICONDATAA& D : ShellRecords)
            EXPECT_EQ(std::tuple(D.cbSize, D.hWnd, D.uID, D.uFlags, D.uCallbackMessage, D.uVersion),
                      std::tuple(NOTIFYICONDATAA_V3_SIZE, Desk.HiddenWindow(), 123u, 7u, 0x200u, 0u));
        return std::exchange(ShellRecords, {});
    };
    Desk.ShowTrayIcon();
    for (const NOTIFYICONDATAA& D : Take({NIM_ADD, NIM_SETVERSION}))
        EXPECT_TRUE(D.hIcon == nullptr && D.szTip[0] == '\0') << "the first add goes without image or tip";
    // The tip, a NUL, blanks to the end of the field and in both balloon fields; a long tip is cut.
    for (const std::string& Tip : {std::string("TavoRouterControl 1.0.0.23 tip"), std::string(200, 'x')}) {
        Desk.UpdateTrayIcon(Tip);
        for (const NOTIFYICONDATAA& D : Take({NIM_MODIFY})) {
            EXPECT_EQ(std::string(D.szTip, 128) + std::string(D.szInfo, 256) + std::string(D.szInfoTitle, 64),
                      (Tip.substr(0, 127) + '\0' + std::string(447, ' ')).substr(0, 448));
            EXPECT_TRUE(D.hIcon != nullptr && D.dwInfoFlags == 0);
        }
    }
    // With no tray host on the X display, wine shows the icons in a window of its own.
    const auto TrayShown = [] { return IsWindowVisible(FindWindowA(nullptr, "Wine System Tray")) != FALSE; };
    EXPECT_TRUE(WaitUntil(Desk, 10000, 0, TrayShown).Done) << "the shell did not show the icon";
    // The taskbar announces itself to every top-level window: the icon goes in again as it stands.
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    WaitUntil(Desk, 5000, 0, [] { return ShellMessages.size() >= 3; });
    for (const NOTIFYICONDATAA& D : Take({NIM_ADD, NIM_SETVERSION, NIM_MODIFY}))
        EXPECT_EQ(std::string(D.szTip), std::string(127, 'x'));
    Desk.RemoveTrayIcon();
    Take({NIM_DELETE});
    EXPECT_TRUE(WaitUntil(Desk, 10000, 0, [&] { return !TrayShown(); }).Done) << "the icon stayed";
    SendMessageA(Desk.HiddenWindow(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    Take({}); // a removed icon does not come back
    // Only our icon's notifications count, the message in lParam's low word; 0x1FF and 0x20A are no clicks.
    RecordingSink Sink;
    Desk.SetEventSink(&Sink);
    SendMessageA(Desk.HiddenWindow(), WM_MOUSEMOVE, 124, WM_LBUTTONUP);
    for (LPARAM Message = 0x1FF; Message <= 0x20A; ++Message)
        SendMessageA(Desk.HiddenWindow(), WM_MOUSEMOVE, 123, 0x70000 | Message);
    EXPECT_EQ(Sink.Clicks, "NMLPLRLDRPRRRDMPMRMD");
}

TEST(Win32Timers, QueuedTicksAndIntervalZero) {
    Win32Desktop Desk;
    RecordingSink Sink;
    Desk.SetEventSink(&Sink);
    const TimerId Poll = TimerId::Poll, Check = TimerId::CheckConnection;
    const auto Count = [&](TimerId Id) { return std::count(Sink.Timers.begin(), Sink.Timers.end(), Id); };
    const auto AnyTick = [&] { return !Sink.Timers.empty(); };
    // A tick already queued (here one of each id) runs its handler only while it is on with an interval.
    const std::tuple<std::uint32_t, bool, int> Queued[] = {{60000, true, 1}, {0, true, 0}, {60000, false, 0}};
    for (const auto& [Interval, Enabled, Runs] : Queued) {
        Desk.SetTimerInterval(Poll, Interval);
        Desk.EnableTimer(Poll, Enabled);
        Sink.Timers.clear();
        for (WPARAM Id = 0; Id < 4; ++Id)
            PostMessageA(Desk.HiddenWindow(), WM_TIMER, Id, 0);
        Desk.DoEvents();
        EXPECT_EQ(std::tuple(Count(Poll), Count(Check)), std::tuple(Runs, 0)) << Interval << " " << Enabled;
    }
    // A real interval fires; interval 0 never does.
    Desk.SetTimerInterval(Poll, 50);
    Desk.EnableTimer(Poll, true);
    EXPECT_TRUE(WaitUntil(Desk, 5000, 0, [&] { return Count(Poll) >= 2; }).Done);
    Desk.SetTimerInterval(Poll, 0);
    Sink.Timers.clear();
    EXPECT_FALSE(WaitUntil(Desk, 300, 0, AnyTick).Done) << "interval 0 fired";
    Desk.SetTimerInterval(Check, 40);
    Desk.EnableTimer(Check, true);
    EXPECT_TRUE(WaitUntil(Desk, 5000, 0, [&] { return Count(Check) == 1; }).Done) << "the other timer fires";
}

TEST(Win32Waits, WakeForConnectDataCloseAndPostedEventsElseSleep) {
    Win32Desktop Desk;
    EXPECT_FALSE(Desk.HasSocketEvent()) << "a socket event made before the socket library started";
    ASSERT_TRUE(Desk.StartNetwork());
    UnitListener Unit;
    // How long one wait on S lasts when what it waits for has happened, or is about to.
    const auto OneWait = [&](SocketHandle S, SocketInterest Interest) {
        const double Start = (Desk.DoEvents(), Desk.SteadyMilliseconds());
        Desk.WaitForEventOrSocket(S, Interest, 5000);
        return Desk.SteadyMilliseconds() - Start;
    };
    // A connect under way ends the wait when it ends: refused at its next try, once its listener has gone.
    auto Hanging = std::make_unique<HangingPort>();
    SocketHandle Refused = modTCP::ConnectTcp("127.0.0.1", Hanging->Port());
    const std::jthread Closer([&] { Sleep(100), Hanging.reset(); });
    EXPECT_LT(OneWait(Refused, SocketInterest::ConnectDone), 3000) << "connect under way";
    EXPECT_EQ(modTCP::CheckConnect(Refused), modTCP::ConnectState::Failed);
    modTCP::CloseTcp(Refused);
    // One that ended before the wait began ends it at once.
    SocketHandle Client = modTCP::ConnectTcp("127.0.0.1", Unit.Port());
    ASSERT_TRUE(WaitForSocket(Client, SocketInterest::ConnectDone, 5000) && Unit.WaitForAccepted(1, 5000));
    EXPECT_LT(OneWait(Client, SocketInterest::ConnectDone), 1000) << "connect ended before";
    // Nothing happens: the wait sleeps through, with or without a socket, on a clock of true milliseconds.
    for (const SocketHandle S : {Client, 0}) {
        const ULONGLONG Start = GetTickCount64();
        const Waited W = WaitUntil(Desk, 400, S, [] { return false; });
        EXPECT_NEAR(W.Ms, static_cast<double>(GetTickCount64() - Start), 50) << "socket " << S;
        EXPECT_LE(W.Wakes, 5) << "the wait spins, socket " << S;
    }
    EXPECT_EQ(modTCP::PeekSocket(Client), 0) << "the socket must stay non-blocking and usable";
    // Another thread acts 100 ms into a wait on Client, which must wake for it rather than time out.
    const auto WakesFor = [&](const std::function<void()>& Act, const std::function<bool()>& Done) {
        const std::jthread Other([&] { Sleep(100), Act(); });
        const Waited W = WaitUntil(Desk, 5000, Client, Done);
        return W.Done && W.Ms < 2000 && W.Wakes <= 5;
    };
    // Data sent while waiting ends the wait; data already waiting ends it at once.
    EXPECT_TRUE(WakesFor([&] { Unit.Send("x"); }, [&] { return modTCP::PeekSocket(Client) > 0; })) << "data";
    EXPECT_LT(OneWait(Client, SocketInterest::Readable), 1000) << "data already waiting";
    EXPECT_EQ(modTCP::ReceiveText(Client), "x");
    // Events posted from another thread run in order, on this thread.
    std::string Ran;
    const auto PostThree = [&, Ui = GetCurrentThreadId()] {
        for (const char Event : {'0', '1', '2'})
            Desk.PostEvent([&, Event] { Ran += GetCurrentThreadId() == Ui ? Event : '!'; });
    };
    EXPECT_TRUE(WakesFor(PostThree, [&] { return Ran.size() == 3; })) << "posted events";
    EXPECT_EQ(Ran, "012");
    // The peer closing ends the wait, also when it closed before the wait began.
    EXPECT_TRUE(WakesFor([&] { Unit.CloseOrderly(); }, [&] { return modTCP::PeekSocket(Client) < 0; }));
    EXPECT_LT(OneWait(Client, SocketInterest::Readable), 1000) << "closed before the wait";
    modTCP::CloseTcp(Client);
}

TEST(Win32Program, ResourcesOfTheBuiltProgram) {
    Win32Desktop Desk;
    const std::string Program = Desk.ExecutableFolder() + "\\" + TAVO_PROGRAM_RELATIVE;
    std::vector<char> Block(GetFileVersionInfoSizeA(Program.c_str(), nullptr));
    ASSERT_TRUE(GetFileVersionInfoA(Program.c_str(), 0, static_cast<DWORD>(Block.size()), Block.data()));
    const auto Query = [&](const std::string& Path) { // a value of the version information, or null
        void* Value = nullptr;
        UINT Length = 0;
        return VerQueryValueA(Block.data(), Path.c_str(), &Value, &Length) ? Value : nullptr;
    };
    const auto* F = static_cast<const VS_FIXEDFILEINFO*>(Query("\\"));
    ASSERT_NE(F, nullptr);
    EXPECT_EQ(std::tuple(F->dwFileVersionMS, F->dwFileVersionLS), std::tuple(0x00010000ul, 23ul));
    EXPECT_EQ(std::tuple(F->dwProductVersionMS, F->dwProductVersionLS), std::tuple(0x00010000ul, 23ul));
    const auto* Copyright = static_cast<const char*>(Query("\\StringFileInfo\\040904B0\\LegalCopyright"));
    EXPECT_EQ(Copyright ? Copyright : "", std::string(CopyrightNotice));
    HMODULE File =
        LoadLibraryExA(Program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(File, nullptr);
    const auto Resource = [&](LPCSTR Type) { // id 1 of that type
        HRSRC Found = FindResourceA(File, MAKEINTRESOURCEA(1), Type);
        return Found ? std::string(static_cast<const char*>(LockResource(LoadResource(File, Found))),
                                   SizeofResource(File, Found))
                     : std::string();
    };
    const std::string Manifest = Resource(RT_MANIFEST), Arch = sizeof(void*) == 8 ? "amd64" : "x86";
    for (const std::string& Needle :
         {"name=\"TavoRouterControl\" version=\"1.0.0.23\" processorArchitecture=\"" + Arch + "\"",
          std::string("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
          std::string("level=\"asInvoker\" uiAccess=\"false\"")})
        EXPECT_NE(Manifest.find(Needle), std::string::npos) << "manifest lacks " << Needle;
    const std::string Group = Resource(RT_GROUP_ICON); // 6 bytes of header, then 14 an image, its width first
    EXPECT_TRUE(Group.size() == 34 && Group[6] == 16 && Group[20] == 32) << "icons not 16 and 32 wide";
    FreeLibrary(File);
}

TEST(Win32Program, PathsVersionSettingsAndInstanceMark) {
    Win32Desktop Desk;
    char Module[MAX_PATH] = {}, Temp[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, Module, MAX_PATH);
    const std::string Folder = Desk.ExecutableFolder();
    EXPECT_EQ(Folder + "\\TavoWin32Tests.exe", std::string(Module));
    EXPECT_EQ(Desk.SettingsFileCandidates(), std::vector<std::string>{Folder + "\\TavoWin32Tests.ini"});
    const VersionNumbers V = Desk.AppVersion();
    EXPECT_EQ(std::tuple(V.Major, V.Minor, V.Revision), std::tuple(1, 0, 23));

    // The settings reader; a file per case, since the system's reader keeps files it has read.
    ASSERT_GT(GetTempPathA(MAX_PATH, Temp), 0u);
    const std::string Stem = Temp + std::string("TavoIniCase-") + std::to_string(GetCurrentProcessId()) + "-";
    for (const IniCase& C : IniCases) {
        const std::string File = Stem + std::to_string(&C - IniCases) + ".ini";
        std::ofstream(File, std::ios::binary) << C.Contents;
        EXPECT_EQ(Desk.ReadIniString(C.Section, C.Key, File, C.Default), C.Expected) << C.Name;
        DeleteFileA(File.c_str());
    }
    EXPECT_EQ(Desk.ReadIniString("General", "Version", Stem + "missing.ini", "0"), "0");

    // One mark per executable file, whatever the case of its path; the first claim holds it.
    const auto Name = &InstanceLock::MutexName;
    const std::wstring Path = L"C:\\Program Files\\Tavo\\TavoRouterControl.exe";
    EXPECT_EQ(Name(Path), Name(L"c:\\PROGRAM FILES\\tavo\\tavoroutercontrol.EXE"));
    EXPECT_EQ(Name(L"D:\\\x00C9T\x00C9\\x.exe"), Name(L"d:\\\x00E9t\x00E9\\X.EXE"));
    for (const wchar_t* Other : {L"C:\\Program Files\\Tavo2\\TavoRouterControl.exe",
                                 L"C:\\Program Files\\Tavo\\TavoRouterControl2.exe",
                                 L"D:\\Program Files\\Tavo\\TavoRouterControl.exe"})
        EXPECT_NE(Name(Path), Name(Other)) << "must differ for another file";
    Win32Desktop Started;
    EXPECT_EQ(Desk.ClaimSingleInstance(), InstanceClaim::Claimed);
    EXPECT_EQ(Started.ClaimSingleInstance(), InstanceClaim::AlreadyRunning);
}
