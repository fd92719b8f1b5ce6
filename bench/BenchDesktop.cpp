#include "BenchDesktop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

#include "unitlink/modTCP.h"

namespace Tavo::Bench {

double BenchDesktop::SteadyMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void BenchDesktop::SetTimerInterval(TimerId T, std::uint32_t IntervalMs) {
    Timer& Tm = Timers[static_cast<std::size_t>(T)];
    Tm.Interval = IntervalMs;
    if (Tm.Enabled)
        Tm.Due = SteadyMilliseconds() + IntervalMs;
}

void BenchDesktop::EnableTimer(TimerId T, bool Enabled) {
    Timer& Tm = Timers[static_cast<std::size_t>(T)];
    if (Enabled && !Tm.Enabled)
        Tm.Due = SteadyMilliseconds() + Tm.Interval;
    Tm.Enabled = Enabled;
}

double BenchDesktop::NextDue() const {
    double Next = std::numeric_limits<double>::infinity();
    if (!Scheduled.empty())
        Next = Scheduled.begin()->first;
    for (const Timer& T : Timers)
        if (T.Enabled && T.Interval > 0)
            Next = std::min(Next, T.Due);
    return Next;
}

void BenchDesktop::DoEvents() {
    while (!Scheduled.empty() && Scheduled.begin()->first <= SteadyMilliseconds()) {
        auto Event = std::move(Scheduled.begin()->second);
        Scheduled.erase(Scheduled.begin());
        Event();
    }
    for (std::size_t I = 0; I < Timers.size(); ++I) {
        Timer& T = Timers[I];
        const double Now = SteadyMilliseconds();
        if (T.Enabled && T.Interval > 0 && T.Due <= Now) {
            T.Due = Now + T.Interval;
            if (Sink)
                Sink->OnTimer(static_cast<TimerId>(I));
        }
    }
}

void BenchDesktop::BlockUntil(double Until, SocketHandle Socket, SocketInterest Interest) {
    ++WaitCalls;
    const double Left = Until - SteadyMilliseconds();
    if (Left <= 0)
        return;
    const int Ms = static_cast<int>(std::ceil(std::min(Left, 3600000.0)));
    if (Socket > 0)
        (void)modTCP::WaitUntilReady(Socket, Interest, Ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

void BenchDesktop::WaitForEventOrSocket(SocketHandle Socket, SocketInterest Interest,
                                        std::int64_t TimeoutMs) {
    const double Until =
        std::min(SteadyMilliseconds() + static_cast<double>(std::max<std::int64_t>(TimeoutMs, 0)), NextDue());
    BlockUntil(Until, Socket, Interest);
}

void BenchDesktop::RunFor(double Ms) {
    const double End = SteadyMilliseconds() + Ms;
    while (SteadyMilliseconds() < End) {
        DoEvents();
        BlockUntil(std::min(End, NextDue()), 0, SocketInterest::Readable);
    }
}

void BenchDesktop::ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) {
    for (std::size_t I = 0; I < Points.size(); ++I) {
        const auto It = Pixels.find({Points[I].X, Points[I].Y});
        Colours[I] = It == Pixels.end() ? 0x00808080 : It->second;
    }
}

void BenchDesktop::EndProcess(int ExitCode) {
    std::exit(ExitCode);
}

} // namespace Tavo::Bench
