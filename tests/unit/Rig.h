#pragma once
// What the core's unit tests share: the form on a fake desktop, its settings files, loopback units.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "FakeDesktop.h"
#include "SocketHelpers.h"
#include "UnitListener.h"
#include "core/UnitAddress.h"
#include "core/frmMain.h"

namespace Tavo::Testing {

inline const std::string GpOut = "CONTROL:\nGP out: yes\n\n";
inline constexpr int Patience = 5000; // ms for anything loopback does; only reached when something is wrong

// A port nothing listens on: bound once, then released.
inline int DeadPort() {
    UnitListener Gone;
    return Gone.Port();
}

// The form and its fake desktop; the sockets are closed again when the test ends.
struct Rig {
    FakeDesktop Desk;
    frmMain Form;
    explicit Rig(Resolver Resolve = {}) : Form(Desk, std::move(Resolve)) { StartSockets(); }
    ~Rig() {
        for (int Unit = 1; Unit <= UnitCount; ++Unit)
            Form.DisconnectUnit(Unit);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    UnitSlot& Slot(int Unit) { return Form.UnitTable[Unit]; }
    // Configures Unit at Address as the settings loader would.
    void Configure(int Unit, const std::string& Address) {
        UnitSlot& S = Slot(Unit);
        const UnitEndpoint E = ParseUnitAddress(Address, DefaultUnitPort);
        S.UnitAddress = Address;
        S.HostPart = E.HostPart;
        S.Port = E.Port;
        S.PortOutOfRange = E.PortOutOfRange;
    }
    // Loads tests/data/<BaseName>.ini; the FatalError's text when it fails.
    std::optional<std::string> Load(const std::string& BaseName, const std::string& Folder = TAVO_TEST_DATA) {
        Desk.Folder = Folder;
        Desk.BaseName = BaseName;
        try {
            Form.LoadConfiguration();
        } catch (const FatalError& Error) {
            return Error.what();
        }
        return std::nullopt;
    }
    // Runs Form_Load on tests/data/<BaseName>.ini; the exit status when it ended the process.
    std::optional<int> Start(const std::string& BaseName) {
        Desk.Folder = TAVO_TEST_DATA;
        Desk.BaseName = BaseName;
        try {
            Form.Form_Load();
        } catch (const ProcessEnded& Ended) {
            return Ended.ExitCode;
        }
        return std::nullopt;
    }
    // One maintenance pass the way the timer runs it, then the events it leaves (a name lookup's answer
    // and the connect after it) until every configured unit that is not connected has had its say.
    void RunPass() {
        const std::size_t Before = Desk.Diagnostics.size();
        Desk.Sink->OnTimer(TimerId::CheckConnection);
        for (int I = 0; I < 1000 && !PassSettled(Before); ++I) {
            SleepMilliseconds(2);
            Desk.DoEvents();
        }
    }
    bool PassSettled(std::size_t DiagnosticsBefore) {
        for (int Unit = 1; Unit <= UnitCount; ++Unit) {
            const std::string Prefix = "Unit" + std::to_string(Unit) + " ";
            if (!Slot(Unit).UnitAddress.empty() && !Slot(Unit).UnitConnected &&
                std::none_of(Desk.Diagnostics.begin() + static_cast<std::ptrdiff_t>(DiagnosticsBefore),
                             Desk.Diagnostics.end(),
                             [&](const std::string& L) { return L.starts_with(Prefix); }))
                return false;
        }
        return true;
    }
    bool Said(const std::string& Line) const { return std::ranges::count(Desk.Diagnostics, Line) > 0; }
};

// Unit Unit at the listener, connected by one maintenance pass without a greeting wait.
inline void ConnectUnitNow(Rig& R, UnitListener& Unit, int N = 1) {
    const int Before = Unit.Accepted();
    R.Form.Settings.ReconnectDelay = 0;
    R.Configure(N, Unit.Endpoint());
    R.Form.tmrCheckConnection_Timer();
    ASSERT_TRUE(R.Slot(N).UnitConnected);
    ASSERT_TRUE(Unit.WaitForAccepted(Before + 1, Patience));
}

} // namespace Tavo::Testing
