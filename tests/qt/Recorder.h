#pragma once
// What the desktop reports back, as the form would receive it; plus a pump with a deadline.

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/qt/QtDesktop.h"

namespace Tavo::Testing {

struct Recorder final : DesktopEvents {
    struct Tick {
        TimerId Timer;
        double At;
    };
    explicit Recorder(QtPlatform::QtDesktop& Desk) : Desk(Desk) { Desk.SetEventSink(this); }
    ~Recorder() { Desk.SetEventSink(nullptr); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Like the form's handlers, a tick switches its timer off; the test switches it on again.
    void OnTimer(TimerId Timer) override {
        Ticks.push_back({Timer, Desk.SteadyMilliseconds()});
        Desk.EnableTimer(Timer, false);
    }
    void OnTrayMessage(std::uint32_t Message) override {
        TrayMessages.push_back(Message);
        if (OnTray)
            OnTray(Message);
    }
    void OnTaskbarCreated() override { ++TaskbarCreated; }
    void OnCloseRequest() override { ++CloseRequests; }
    int CloseRequests = 0;

    // Runs the desktop's wait until Done or the deadline; true when Done.
    bool PumpUntil(const std::function<bool()>& Done, double TimeoutMs) {
        const double End = Desk.SteadyMilliseconds() + TimeoutMs;
        while (!Done()) {
            const double Left = End - Desk.SteadyMilliseconds();
            if (Left <= 0)
                return false;
            Desk.WaitForEventOrSocket(0, SocketInterest::Readable, static_cast<std::int64_t>(Left) + 1);
            Desk.DoEvents();
        }
        return true;
    }

    QtPlatform::QtDesktop& Desk;
    std::vector<Tick> Ticks;
    std::vector<std::uint32_t> TrayMessages;
    std::function<void(std::uint32_t)> OnTray;
    int TaskbarCreated = 0;
};

// Processor time of this process so far, user and system, in milliseconds.
double CpuMilliseconds();

} // namespace Tavo::Testing
