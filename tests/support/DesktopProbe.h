#pragma once
// For the platform layers' tests: what a desktop reports back, and a wait the way the program waits.

#include <functional>
#include <string>
#include <vector>

#include "core/Desktop.h"

namespace Tavo::Testing {

// Each tray click as its button's and its action's initials, one after the other.
struct RecordingSink final : DesktopEvents {
    void OnTimer(TimerId Timer) override {
        Timers.push_back(Timer);
        if (OnTick)
            OnTick(Timer);
    }
    void OnTrayClick(TrayClick C) override {
        Clicks += {"NLRM"[static_cast<int>(C.Button)], "MPRD"[static_cast<int>(C.Action)]};
    }
    void OnTrayMenuChoice(MenuItemId Item) override { Choices.push_back(Item); }
    void OnCloseRequest() override {}
    std::vector<TimerId> Timers;
    std::string Clicks;
    std::vector<MenuItemId> Choices;
    std::function<void(TimerId)> OnTick;
};

struct Waited {
    bool Done = false;
    double Ms = 0; // on the desktop's own clock
    int Wakes = 0;
};

// Waits the way the program does (wait, run events, look) until Done() holds or LimitMs passes.
inline Waited WaitUntil(Desktop& Desk, double LimitMs, SocketHandle Socket,
                        const std::function<bool()>& Done) {
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

} // namespace Tavo::Testing
