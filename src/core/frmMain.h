#pragma once
// The hidden main form: it owns every piece of run-time state for the life of the process, and its
// handlers are the whole program. Only the form's own handler files (frmMain*.cpp) include this.

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "core/Desktop.h"
#include "core/DiagnosticLog.h"
#include "core/HostLookup.h"
#include "core/SettingsFile.h"
#include "core/Units.h"

namespace Tavo {

class frmMain final : public DesktopEvents {
  public:
    // Resolve is the blocking name lookup, run off the user-interface thread.
    explicit frmMain(Desktop& Host, Resolver Resolve = {});
    ~frmMain();
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    // --- state -------------------------------------------------------------------------------------------
    UnitArray UnitTable;
    SettingsRecord Settings;
    std::optional<int> CurrentUnit;
    bool MessagesSuppressed = false;
    bool ScreenDC = false;
    bool TrayIconAdded = false;
    // The selection whose block could not be sent yet (always CurrentUnit's); sent once that unit connects.
    std::optional<int> PendingSelection;

    // --- start-up and shutdown (frmMainStartup.cpp) --------------------------------------------------
    void Form_Load();
    // Why: how the run ended, in the log's last line.
    [[noreturn]] void Form_Unload(int ExitCode = 0, const std::string& Why = "unloaded");
    std::string VersionText();
    // The log's last line; it is on disk (or given up on) when this returns.
    void LogEnd(const std::string& Why);

    // --- settings (frmMainSettings.cpp) ------------------------------------------------------------------
    void LoadConfiguration();
    // The file LoadConfiguration reads: the first of the desktop's candidates that exists.
    std::string ConfigurationPath();

    // --- unit connections (frmMainConnections.cpp) ---------------------------------------------------
    void ConnectUnit(const std::string& Address, int Unit);
    void DisconnectUnit(int Unit);
    void tmrCheckConnection_Timer();

    // --- unit commands (frmMainCommands.cpp) -----------------------------------------------------------
    std::string SendToUnit(const std::string& UnitCommand, int UnitID);
    void TriggerUnit(int Unit);

    // --- indicator poll (frmMainPoll.cpp) ----------------------------------------------------------------
    void tmrPoll_Timer();

    // --- tray (frmMainTray.cpp) ----------------------------------------------------------------------------
    void AddTrayIcon();
    void ModifyTrayIcon();
    void DeleteTrayIcon();
    void picTray_MouseMove(TrayClick Click);
    // What an item of the icon's menu does, wherever it was chosen.
    void RunMenuItem(MenuItemId Item);
    void mnuAbout_Click();
    [[noreturn]] void mnuExit_Click();

    // DesktopEvents
    void OnTimer(TimerId Timer) override;
    void OnTrayClick(TrayClick Click) override;
    void OnTrayMenuChoice(MenuItemId Item) override;
    void OnCloseRequest() override;
    void OnUnexpectedError(const std::string& What) override;

    Desktop& Host;

  private:
    // A connection box found by a handler, shown once no handler is under way.
    struct PendingBox {
        int Unit;
        std::string Text;
        BoxIcon Icon;
    };

    // Per unit, what only the connection handlers keep: bytes read so far (a wait sees from it that a
    // handler nested inside it has taken what the wait was waiting for), a connect or lookup under way,
    // and a looked-up address waiting to be connected to.
    struct LinkState {
        std::uint64_t BytesDrained = 0;
        bool Connecting = false;
        bool LookingUp = false;
        std::optional<std::string> LookedUp;
    };

    // What a drain may still read, and until when: one budget per maintenance pass (and one per reply),
    // so units that flood hold the thread only so long.
    struct DrainBudget {
        std::size_t BytesLeft = 0;
        double UntilMs = 0;
    };

    enum class ConnectOutcome { Connected, Refused, TimedOut };

    // frmMainConnections.cpp
    DrainBudget NewDrainBudget();
    ConnectOutcome WaitForConnect(int Unit, SocketHandle Socket);
    void WaitForData(int Unit);
    std::string SettleAfterWait(int Unit, bool Collect, DrainBudget& Budget);
    std::string Drain(int Unit, bool Collect, DrainBudget& Budget);
    void OnLookupDone(int Unit, const std::string& Address);
    void ConnectionMessage(int Unit, const std::string& Text, BoxIcon Icon);
    void Diagnose(int Unit, const std::string& What);
    // frmMainSettings.cpp: the log of [Diagnostics] LogFile, when the file asks for one; its first line.
    void OpenLog(const std::string& SettingsFile);
    void LogStart(const std::string& SettingsFile);
    // Runs a handler the desktop called. When no other handler is under way, what had to wait for that
    // follows: connects to hosts looked up meanwhile, then the boxes found.
    template <typename Handler> void Dispatch(Handler&& Run);
    void FinishOutermostHandler();
    void ShowPendingBoxes();

    // frmMainCommands.cpp
    // Sends, waits for the reply and settles. False when the send did not take the whole command;
    // SentNote, when given, is said as soon as it did.
    bool SendCommand(const std::string& UnitCommand, int Unit, std::string* Reply, const char* SentNote);
    void SendSelection(int Unit, const char* SentNote);
    void DeliverPendingSelection(int Unit);

    std::array<LinkState, UnitCount + 1> Links{};
    DrainBudget PassBudget;
    std::deque<PendingBox> PendingBoxes; // the front one is on screen while BoxOpen
    bool BoxOpen = false;
    int HandlerDepth = 0;
    // A maintenance pass that fell due while a poll waited for a unit's reply: it runs once the poll is
    // done, since inside that wait it would hold up every later poll for as long as it takes.
    int ReplyWaits = 0;
    bool PassDeferred = false;
    HostLookups Lookups;
    DiagnosticLog Log;
};

} // namespace Tavo

namespace Tavo {

template <typename Handler> void frmMain::Dispatch(Handler&& Run) {
    struct Depth {
        int& Count;
        explicit Depth(int& C) : Count(++C) {}
        ~Depth() { --Count; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
    } Guard(HandlerDepth);
    Run();
    if (HandlerDepth == 1)
        FinishOutermostHandler();
}

} // namespace Tavo
