#include "FakeDesktop.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "SocketHelpers.h"
#include "core/IniFile.h"

namespace Tavo::Testing {

namespace {

const char* TimerName(TimerId T) {
    return T == TimerId::Poll ? "Poll" : "CheckConnection";
}

} // namespace

FakeDesktop::FakeDesktop(Clock ClockKind) : Kind(ClockKind) {}

std::vector<std::string> FakeDesktop::SettingsFileCandidates() {
    std::vector<std::string> Files{Folder + "/" + BaseName + ".ini"};
    Files.insert(Files.end(), ExtraSettingsFiles.begin(), ExtraSettingsFiles.end());
    return Files;
}

std::string FakeDesktop::ReadIniString(const std::string& Section, const std::string& Key,
                                       const std::string& File, const std::string& Default) {
    return ReadIniFile(File, Section, Key, Default);
}

bool FakeDesktop::StartNetwork() {
    Log.push_back("StartNetwork");
    return NetworkStarts && StartSockets();
}

double FakeDesktop::SteadyMilliseconds() {
    if (Kind == Clock::Real)
        return RealMilliseconds();
    Now += ClockStepPerRead;
    return Now;
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

void FakeDesktop::PostEvent(std::function<void()> Event) {
    const std::lock_guard Guard(PostedLock);
    Posted.push_back(std::move(Event));
}

bool FakeDesktop::SomethingDue() {
    {
        const std::lock_guard Guard(PostedLock);
        if (!Posted.empty())
            return true;
    }
    return NextDue() <= SteadyMilliseconds();
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
    for (;;) {
        std::function<void()> Event;
        {
            const std::lock_guard Guard(PostedLock);
            if (Posted.empty())
                break;
            Event = std::move(Posted.front());
            Posted.pop_front();
        }
        Event();
    }
    while (!Scheduled.empty() && Scheduled.begin()->first <= SteadyMilliseconds()) {
        auto Event = std::move(Scheduled.begin()->second);
        Scheduled.erase(Scheduled.begin());
        Event();
    }
    for (std::size_t I = 0; I < Timers.size(); ++I) {
        Timer& T = Timers[I];
        // A real timer that fell due fires once, however late; its next interval starts now.
        if (T.Enabled && T.Interval > 0 && T.Due <= SteadyMilliseconds()) {
            Arm(T);
            if (Sink)
                Sink->OnTimer(static_cast<TimerId>(I));
        }
    }
}

void FakeDesktop::Advance(double Ms) {
    const double End = SteadyMilliseconds() + Ms;
    for (;;) {
        RunDue();
        const double Next = std::min(NextDue(), End);
        if (Kind == Clock::Real) {
            if (SteadyMilliseconds() >= End)
                break;
            WaitForEventOrSocket(0, SocketInterest::Readable,
                                 static_cast<std::int64_t>(std::ceil(Next - SteadyMilliseconds())));
            continue;
        }
        if (NextDue() > End)
            break;
        Now = std::max(Now, Next);
    }
    if (Kind == Clock::Simulated)
        Now = std::max(Now, End);
}

void FakeDesktop::WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest, std::int64_t TimeoutMs) {
    ++WaitCalls;
    if (SomethingDue())
        return;
    const double Start = SteadyMilliseconds();
    const double Wake =
        std::min(Start + static_cast<double>(std::max<std::int64_t>(TimeoutMs, 0)), NextDue());
    // Simulated: loopback peers answer within milliseconds, so a short real wait is enough before the
    // clock jumps to the wake-up time. Real: the whole wait, in slices, since events may be posted from
    // other threads (name lookups).
    const double RealLimit = Kind == Clock::Real ? Wake - Start : std::min(Wake - Start, 150.0);
    const double RealStart = RealMilliseconds();
    const double SliceMs = Kind == Clock::Real ? 50.0 : 20.0;
    bool Woken = false;
    for (double Left = RealLimit; Left > 0 && !Woken; Left = RealLimit - (RealMilliseconds() - RealStart)) {
        const int Slice = static_cast<int>(std::ceil(std::min(Left, SliceMs)));
        Woken = Socket > 0 ? WaitForSocket(Socket, Interest, Slice) : (SleepMilliseconds(Slice), false);
        const std::lock_guard Guard(PostedLock);
        Woken = Woken || !Posted.empty();
    }
    if (Kind == Clock::Simulated)
        Now = Woken ? Now + (RealMilliseconds() - RealStart) : std::max(Now, Wake);
}

void FakeDesktop::ShowMessageBox(const std::string& Text, const std::string& Title, BoxIcon Icon) {
    Boxes.push_back({Text, Title, Icon, SteadyMilliseconds()});
    Log.push_back("Box " + Title);
    if (WhileBoxOpen)
        WhileBoxOpen(Boxes.back());
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

} // namespace Tavo::Testing
