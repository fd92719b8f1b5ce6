#include "FakeDesktop.h"

#include <chrono>
#include <cmath>
#include <limits>

#include "unitlink/modTCP.h"

namespace Tavo::Testing {

static const char* TimerName(TimerId T) {
    return T == TimerId::Poll ? "Poll" : "CheckConnection";
}

bool FakeDesktop::ChangeToFolder(const std::string& F) {
    CurrentFolder = F;
    Log.push_back("ChangeToFolder " + F);
    return true;
}

void FakeDesktop::SetTimerInterval(TimerId T, std::uint32_t IntervalMs) {
    Timer& Tm = Timers[Index(T)];
    Tm.Interval = IntervalMs;
    if (Tm.Enabled)
        Arm(Tm);
    Log.push_back(std::string("Interval ") + TimerName(T) + " " + std::to_string(IntervalMs));
}

void FakeDesktop::EnableTimer(TimerId T, bool Enabled) {
    Timer& Tm = Timers[Index(T)];
    if (Enabled && !Tm.Enabled)
        Arm(Tm);
    Tm.Enabled = Enabled;
    Log.push_back(std::string(Enabled ? "On " : "Off ") + TimerName(T));
}

bool FakeDesktop::SomethingDue() const {
    if (!Posted.empty())
        return true;
    if (!Scheduled.empty() && Scheduled.begin()->first <= Now)
        return true;
    for (const Timer& T : Timers)
        if (T.Enabled && T.Interval > 0 && T.Due <= Now)
            return true;
    return false;
}

double FakeDesktop::NextDue() const {
    double Next = std::numeric_limits<double>::infinity();
    if (!Scheduled.empty())
        Next = Scheduled.begin()->first;
    for (const Timer& T : Timers)
        if (T.Enabled && T.Interval > 0)
            Next = std::min(Next, T.Due);
    return Next;
}

void FakeDesktop::RunDue() {
    while (!Posted.empty()) {
        auto Event = std::move(Posted.front());
        Posted.pop_front();
        Event();
    }
    while (!Scheduled.empty() && Scheduled.begin()->first <= Now) {
        auto Event = std::move(Scheduled.begin()->second);
        Scheduled.erase(Scheduled.begin());
        Event();
    }
    for (std::size_t I = 0; I < Timers.size(); ++I) {
        Timer& T = Timers[I];
        // A real timer that fell due fires once, however late; its next interval starts now.
        if (T.Enabled && T.Interval > 0 && T.Due <= Now) {
            Arm(T);
            if (Sink)
                Sink->OnTimer(static_cast<TimerId>(I));
        }
    }
}

void FakeDesktop::DoEvents() {
    RunDue();
}

void FakeDesktop::Advance(double Ms) {
    const double End = Now + Ms;
    for (;;) {
        RunDue();
        const double Next = NextDue();
        if (Next > End)
            break;
        Now = std::max(Now, Next);
    }
    Now = std::max(Now, End);
}

void FakeDesktop::WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) {
    ++WaitCalls;
    if (SomethingDue())
        return;
    const double Wake = std::min(Now + static_cast<double>(std::max<std::int64_t>(TimeoutMs, 0)), NextDue());
    // Loopback peers answer within milliseconds; a bounded real wait keeps silent peers cheap, and the
    // simulated clock then jumps to the wake-up time.
    constexpr int RealWaitCapMs = 150;
    const int RealWait = static_cast<int>(std::min<double>(Wake - Now, RealWaitCapMs));
    const auto Start = std::chrono::steady_clock::now();
    const bool Ready = Socket > 0 && modTCP::WaitUntilReady(Socket, Interest, std::max(RealWait, 0));
    if (Ready)
        Now += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    else
        Now = std::max(Now, Wake);
}

void FakeDesktop::ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) {
    Boxes.push_back({Text, Title, Icon, Now});
    Log.push_back("Box " + Title);
    if (WhileBoxOpen)
        WhileBoxOpen(Boxes.back());
}

ScreenAccess FakeDesktop::TakeScreen(std::string& Problem) {
    Log.push_back("TakeScreen");
    Problem = ScreenProblem;
    return Screen;
}

void FakeDesktop::ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) {
    ++PixelReadCalls;
    for (std::size_t I = 0; I < Points.size(); ++I) {
        ++PixelsRead;
        const int X = Points[I].X;
        const int Y = Points[I].Y;
        if (X < 0 || Y < 0 || X >= ScreenWidth || Y >= ScreenHeight) {
            Colours[I] = 0xFFFFFFFF;
            continue;
        }
        const auto It = Pixels.find({X, Y});
        Colours[I] = It == Pixels.end() ? 0x00808080 : It->second;
    }
}

bool FakeDesktop::StartSocketLibrary() {
    Log.push_back("StartSocketLibrary");
    return SocketLibraryStarts;
}

void FakeDesktop::ShellNotifyIcon(std::uint32_t Message, const TrayIconRecord& Record) {
    Notifies.push_back({Message, Record});
    Log.push_back("Notify " + std::to_string(Message));
    if (Message == NimAdd)
        TrayIconShown = true;
    else if (Message == NimDelete)
        TrayIconShown = false;
}

MenuItemId FakeDesktop::ShowPopupMenu(const std::vector<MenuItem>& Items) {
    MenusShown.push_back(Items);
    if (WhileMenuOpen)
        WhileMenuOpen();
    return NextMenuAnswer < MenuAnswers.size() ? MenuAnswers[NextMenuAnswer++] : MenuItemId::None;
}

void FakeDesktop::EndProcess(int ExitCode) {
    Log.push_back("EndProcess " + std::to_string(ExitCode));
    throw ProcessEnded{ExitCode};
}

} // namespace Tavo::Testing
