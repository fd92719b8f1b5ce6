#include "platform/qt/CheckCommand.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/IniFile.h"
#include "core/SettingsCheck.h"
#include "core/modTCP.h"
#include "platform/qt/InstanceLock.h"
#include "platform/qt/ScreenReader.h"
#include "platform/qt/SettingsPlaces.h"

namespace Tavo::QtPlatform {

namespace {

bool WaylandSession() {
    const char* Wayland = std::getenv("WAYLAND_DISPLAY");
    const char* Session = std::getenv("XDG_SESSION_TYPE");
    return (Wayland && *Wayland) || (Session && std::strcmp(Session, "wayland") == 0);
}

} // namespace

int RunSettingsCheck(int ArgCount, char** Args, const char* File) {
    // Only for the executable's own path, found the way the program finds it; no display is opened.
    const QCoreApplication App(ArgCount, Args);
    const QFileInfo Exe(QCoreApplication::applicationFilePath());
    const std::string Self = QFile::encodeName(Exe.canonicalFilePath()).toStdString();
    std::vector<std::string> Candidates;
    if (File) {
        std::error_code Ignored;
        Candidates.push_back(std::filesystem::absolute(File, Ignored).string());
    } else {
        Candidates = SettingsPlaces(QFile::encodeName(Exe.absolutePath()).toStdString(),
                                    QFile::encodeName(Exe.completeBaseName()).toStdString());
    }

    CheckReport Report = LoadForCheck(
        Candidates, [](const std::string& Section, const std::string& Key, const std::string& Path,
                       const std::string& Default) { return ReadIniFile(Path, Section, Key, Default); });
    if (Report.Loaded) {
        // The program beside it holds its claim on the display it runs on, the one this check would read.
        const std::string Program = ProgramReading(Report.File, Self);
        Report.Program = BaseNameOf(Program);
        Report.ProgramRunning = InstanceLock::IsClaimed(Program);
        for (UnitCheck& Check :
             CheckUnits(Report.Loaded->Units, LimitsFor(Report.Loaded->Settings), &modTCP::ResolveHostname))
            Report.Units[static_cast<std::size_t>(Check.Unit)] = std::move(Check);

        ScreenReader Screen;
        std::string Problem;
        if (WaylandSession()) {
            // As the program says at start-up: it would run, but see nothing.
            Report.NoLamps =
                "this is a Wayland session, where no program can read the panel's pixels: run the "
                "panel and TavoRouterControl in an X11 session";
            Report.LampsUnreadable = true;
        } else if (Screen.Open(nullptr, Problem)) {
            Report.Lamps = CheckLamps(Report.Loaded->Units, Report.Loaded->Settings, Screen);
        } else {
            const char* Display = std::getenv("DISPLAY");
            Report.NoLamps =
                std::string("no X display could be opened, DISPLAY is \"") + (Display ? Display : "") + "\"";
        }
    }
    std::fputs(ReportText(Report).c_str(), stdout);
    std::fflush(stdout);
    return ExitStatus(Report);
}

} // namespace Tavo::QtPlatform
