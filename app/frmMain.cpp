#include "app/frmMain.h"

#include <cstdlib>
#include <exception>

#include "app/Texts.h"
#include "config/Numerals.h"

namespace Tavo {

frmMain::frmMain(Desktop& Host) : Host(Host) {
    Host.SetEventSink(this);
}

frmMain::~frmMain() {
    Host.SetEventSink(nullptr);
}

std::string frmMain::VersionText() {
    const VersionNumbers V = Host.AppVersion();
    return std::string(ProductName) + " " + std::to_string(V.Major) + "." + std::to_string(V.Minor) + ".0." +
           std::to_string(V.Revision);
}

std::string frmMain::ConfigurationPath() {
    return Host.ExecutableFolder() + Host.PathSeparator() + Host.ExecutableBaseName() + ".ini";
}

std::uint32_t frmMain::TimerInterval(const std::string& Text, const char* Key) {
    const auto Value = ParseWholeNumber(Text, 0, 65535);
    if (!Value)
        throw FatalError("In the file " + ConfigurationPath() + ", section [Configuration], key " + Key +
                         ": the value \"" + Text + "\" is not a number of milliseconds from 0 to 65535.");
    return static_cast<std::uint32_t>(*Value);
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

        LoadConfiguration();
        // Both intervals are checked before anything is connected, so a bad value leaves nothing behind.
        (void)TimerInterval(Settings.ReconnectDelay, "ReconnectDelay");
        (void)TimerInterval(Settings.PollInterval, "PollInterval");

        if (!Host.StartSocketLibrary()) {
            if (!MessagesSuppressed)
                Host.ShowMessageBox("The TCP Stack could not be initialized.", ErrorTitle,
                                    BoxIcon::Exclamation);
            Form_Unload(1);
        }
        if (Screen == ScreenAccess::NotReadable)
            Host.ShowMessageBox(ScreenProblem, "Warning", BoxIcon::Exclamation);

        AddTrayIcon();

        Host.SetTimerInterval(TimerId::CheckConnection,
                              TimerInterval(Settings.ReconnectDelay, "ReconnectDelay"));
        Host.EnableTimer(TimerId::CheckConnection, true);
        tmrCheckConnection_Timer();

        Host.SetTimerInterval(TimerId::Poll, TimerInterval(Settings.PollInterval, "PollInterval"));
        Host.EnableTimer(TimerId::Poll, true);
    } catch (const FatalError& Error) {
        if (TrayIconAdded)
            DeleteTrayIcon();
        Host.ShowMessageBox(Error.what(), ErrorTitle, BoxIcon::Exclamation);
        Host.EndProcess(1);
    } catch (const std::exception& Error) {
        if (TrayIconAdded)
            DeleteTrayIcon();
        Host.ShowMessageBox(std::string(ProductName) + " could not start: " + Error.what(), ErrorTitle,
                            BoxIcon::Exclamation);
        Host.EndProcess(1);
    }
}

void frmMain::Form_Unload(int ExitCode) {
    if (TrayIconAdded)
        DeleteTrayIcon();
    Host.EndProcess(ExitCode);
    std::abort(); // a desktop that failed to end the process must not run on half unloaded
}

void frmMain::OnTimer(TimerId Timer) {
    if (Timer == TimerId::Poll)
        tmrPoll_Timer();
    else
        tmrCheckConnection_Timer();
}

void frmMain::OnTrayMessage(std::uint32_t MouseMessage) {
    picTray_MouseMove(MouseMessage);
}

// Any unload the desktop asks for goes the way Exit goes, so no icon is left behind.
void frmMain::OnCloseRequest() {
    Form_Unload(0);
}

int Main(Desktop& Host) {
    Host.InitCommonControls();
    frmMain Form(Host);
    Form.Form_Load();
    return Host.RunEventLoop();
}

} // namespace Tavo
