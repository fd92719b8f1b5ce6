// The settings file into the form's unit table and settings, with its warnings in boxes.

#include <algorithm>
#include <cctype>

#include "core/SettingsFile.h"
#include "core/Texts.h"
#include "core/frmMain.h"

namespace Tavo {

std::string frmMain::ConfigurationPath() {
    return FindSettingsFile(Host.SettingsFileCandidates());
}

void frmMain::OpenLog(const std::string& SettingsFile) {
    const std::string Path = LogFileSetting(
        SettingsFile,
        [this](const std::string& Section, const std::string& Key, const std::string& File,
               const std::string& Default) { return Host.ReadIniString(Section, Key, File, Default); },
        [this](const std::string& Written) { return Host.ExpandPath(Written); });
    if (Path.empty())
        return;
    // One diagnostic line, from the UI thread, and the program runs on.
    const std::string Where =
        "In the file " + SettingsFile + ", section [Diagnostics], key LogFile: the log file " + Path + " ";
    auto Report = [&Desk = Host, Where](const std::string& Problem) {
        Desk.PostEvent([&Desk, Line = Where + Problem] { Desk.WriteDiagnostic(Line); });
    };
    // Lines appended to the settings, and the settings renamed at 1 MiB, would lose them.
    auto Lower = [](std::string Text) {
        std::transform(Text.begin(), Text.end(), Text.begin(),
                       [](unsigned char C) { return std::tolower(C); });
        return Text;
    };
    if (Lower(Path) == Lower(SettingsFile))
        return Report("is the settings file itself: no log is kept");
    Log.Open(Path, Report);
}

void frmMain::LoadConfiguration() {
    const LoadedSettings Loaded = LoadSettingsFile(
        Host.SettingsFileCandidates(), Host.ExecutableBaseName(), Host.AppVersion().Major,
        [this](const std::string& Section, const std::string& Key, const std::string& File,
               const std::string& Default) { return Host.ReadIniString(Section, Key, File, Default); },
        [this](const std::string& Text) { Host.ShowMessageBox(Text, WarningTitle, BoxIcon::Exclamation); });
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        const UnitSlot& From = Loaded.Units[Unit];
        UnitSlot& Slot = UnitTable[Unit];
        Slot.UnitAddress = From.UnitAddress;
        Slot.HostPart = From.HostPart;
        Slot.Port = From.Port;
        Slot.PortOutOfRange = From.PortOutOfRange;
        Slot.IndicatorX = From.IndicatorX;
        Slot.IndicatorY = From.IndicatorY;
        if (!Slot.UnitAddress.empty())
            Slot.UnitConnected = false;
    }
    Settings = Loaded.Settings;
}

void frmMain::LogStart(const std::string& SettingsFile) {
    if (!Log.IsOpen())
        return;
    std::string Units;
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        if (!UnitTable[Unit].UnitAddress.empty())
            Units += (Units.empty() ? "Unit" : ", Unit") + std::to_string(Unit) + " " +
                     UnitTable[Unit].UnitAddress;
    Log.Write(VersionText() + " started: settings " + SettingsFile +
              "; units configured: " + (Units.empty() ? "none" : Units));
}

} // namespace Tavo
