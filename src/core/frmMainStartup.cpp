// Start-up and shutdown, and the desktop's calls into the form.

#include <cstdlib>
#include <exception>

#include "core/Texts.h"
#include "core/frmMain.h"
#include "core/modMain.h"
#include "core/modTCP.h"

namespace Tavo {

frmMain::frmMain(Desktop& Desk, Resolver Resolve)
    : Host(Desk), Lookups(Desk, Resolve ? std::move(Resolve) : Resolver(&modTCP::ResolveHostname)) {
    Host.SetEventSink(this);
}

frmMain::~frmMain() {
    Host.SetEventSink(nullptr);
}

std::string frmMain::VersionText() {
    const VersionNumbers V = Host.AppVersion();
    return VersionTextOf(V.Major, V.Minor, V.Revision);
}

void frmMain::Form_Load() {
    // Nothing here can stop the start: a form that cannot change folder still finds its file by full path.
    (void)Host.ChangeToFolder(Host.ExecutableFolder());

    try {
        std::string ScreenProblem;
        const ScreenAccess Screen = Host.TakeScreen(ScreenProblem);
        if (Screen == ScreenAccess::Unavailable)
            throw FatalError("The screen could not be opened for reading: " + ScreenProblem);
        ScreenDC = true;

        // The log before the rest of the settings, so that a value that stops the start is logged too.
        const std::string SettingsFile = ConfigurationPath();
        OpenLog(SettingsFile);
        LoadConfiguration();
        LogStart(SettingsFile);

        if (!Host.StartNetwork()) {
            if (!MessagesSuppressed)
                Host.ShowMessageBox(SocketLibraryText, ErrorTitle, BoxIcon::Exclamation);
            Form_Unload(1, SocketLibraryText);
        }
        if (Screen == ScreenAccess::NotReadable)
            Host.ShowMessageBox(ScreenProblem, WarningTitle, BoxIcon::Exclamation);

        AddTrayIcon();
    } catch (const FatalError& Error) {
        if (TrayIconAdded)
            DeleteTrayIcon();
        LogEnd(std::string("settings error: ") + Error.what());
        Host.ShowMessageBox(Error.what(), ErrorTitle, BoxIcon::Exclamation);
        Host.EndProcess(1);
    }

    // The poll runs from here on, before the first pass has connected anyone: a selection shown at
    // start-up waits, pending, for its unit.
    Host.SetTimerInterval(TimerId::CheckConnection, Settings.ReconnectDelay);
    Host.EnableTimer(TimerId::CheckConnection, true);
    Host.SetTimerInterval(TimerId::Poll, Settings.PollInterval);
    Host.EnableTimer(TimerId::Poll, true);
    Dispatch([this] { tmrCheckConnection_Timer(); });
}

void frmMain::Form_Unload(int ExitCode, const std::string& Why) {
    if (TrayIconAdded)
        DeleteTrayIcon();
    LogEnd(Why);
    Host.EndProcess(ExitCode);
    std::abort(); // a desktop that failed to end the process must not run on half unloaded
}

void frmMain::LogEnd(const std::string& Why) {
    // Long enough for any disk that works; a share that hangs must not keep the process for ever.
    constexpr int LogEndWaitMs = 2000;
    Log.End(VersionText(), Why, LogEndWaitMs);
}

void frmMain::OnTimer(TimerId Timer) {
    if (Timer == TimerId::CheckConnection && ReplyWaits > 0) {
        PassDeferred = true;
        return;
    }
    Dispatch([this, Timer] {
        if (Timer == TimerId::Poll)
            tmrPoll_Timer();
        else
            tmrCheckConnection_Timer();
    });
}

void frmMain::OnTrayClick(TrayClick Click) {
    Dispatch([this, Click] { picTray_MouseMove(Click); });
}

void frmMain::OnTrayMenuChoice(MenuItemId Item) {
    Dispatch([this, Item] { RunMenuItem(Item); });
}

// Any unload the desktop asks for goes the way Exit goes, so no icon is left behind.
void frmMain::OnCloseRequest() {
    Form_Unload(0, "the desktop asked it to close");
}

void frmMain::OnUnexpectedError(const std::string& What) {
    try {
        LogEnd(std::string("an unexpected error: ") + What);
    } catch (...) { // NOLINT(bugprone-empty-catch): the desktop's own report must still come
    }
}

int Main(Desktop& Host) {
    if (Host.ClaimSingleInstance() == InstanceClaim::AlreadyRunning) {
        Host.ShowMessageBox(AlreadyRunningText, ProductName, BoxIcon::Information);
        return 0;
    }
    frmMain Form(Host);
    try {
        Form.Form_Load();
    } catch (const std::exception& Error) { // the platform's main reports it; the log's last word first
        Form.OnUnexpectedError(Error.what());
        throw;
    }
    return Host.RunEventLoop();
}

} // namespace Tavo
