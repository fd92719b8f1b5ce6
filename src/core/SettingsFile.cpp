// Reading the settings file into the unit table and the settings: every value converted here, once.

#include "core/SettingsFile.h"

#include <filesystem>
#include <fstream>

#include "core/Colours.h"
#include "core/IniFile.h"
#include "core/Numerals.h"
#include "core/Texts.h"
#include "core/UnitAddress.h"

namespace Tavo {

namespace {

std::string Place(const std::string& File, const char* Section, const std::string& Key) {
    return "In the file " + File + ", section [" + Section + "], key " + Key;
}

bool Readable(const std::string& File) {
    std::error_code Ignored;
    std::ifstream Probe(File, std::ios::binary);
    return Probe && !std::filesystem::is_directory(File, Ignored);
}

#ifdef _WIN32
constexpr const char* Separators = "\\/";
// C:\x, \\server\share\x and \x; a drive-relative C:x is taken as it stands too.
bool IsFullPath(const std::string& Path) {
    return (!Path.empty() && (Path[0] == '\\' || Path[0] == '/')) || (Path.size() >= 2 && Path[1] == ':');
}
#else
constexpr const char* Separators = "/";
bool IsFullPath(const std::string& Path) {
    return !Path.empty() && Path[0] == '/';
}
#endif

} // namespace

std::string LogFileSetting(const std::string& File, const IniReader& ReadIni, const PathExpander& Expand) {
    const std::string Written = Readable(File) ? ReadIni("Diagnostics", "LogFile", File, "") : std::string();
    if (Written.empty())
        return {};
    std::string Path = Expand(Written);
    const std::size_t Slash = File.find_last_of(Separators);
    if (IsFullPath(Path) || Slash == std::string::npos)
        return Path;
    return File.substr(0, Slash + 1) + Path;
}

std::string FindSettingsFile(const std::vector<std::string>& Candidates) {
    for (const std::string& File : Candidates)
        if (Readable(File))
            return File;
    return Candidates.empty() ? std::string() : Candidates.front();
}

std::uint32_t HexToColor(const std::string& ColorText, const std::string& Where) {
    const auto Colour = ColourFromText(ColorText);
    if (!Colour)
        throw FatalError(Where + ": the value \"" + ColorText +
                         "\" is not a colour. Write # and six hexadecimal digits, red, green, blue "
                         "(for example #3296FF).");
    return *Colour;
}

LoadedSettings LoadSettingsFile(const std::vector<std::string>& Candidates, const std::string& BaseName,
                                int MajorVersion, const IniReader& ReadIni, const SettingsWarning& Warn) {
    LoadedSettings Loaded;
    const std::string File = Loaded.File = FindSettingsFile(Candidates);
    if (!Readable(File)) {
        std::string Text = "The configuration file " + File +
                           " could not be opened for reading. It must lie "
                           "beside the program and be named after it";
        for (std::size_t I = 1; I < Candidates.size(); ++I)
            Text += ", or be " + Candidates[I];
        throw FatalError(Text + ".");
    }
    auto Read = [&](const char* Section, const std::string& Key, const char* Default) {
        return ReadIni(Section, Key, File, Default);
    };

    const std::string Version = Read("General", "Version", DefaultVersionText);
    const auto VersionNumber = ParseNumber(Version);
    if (!VersionNumber)
        throw FatalError(Place(File, "General", "Version") + ": the value \"" + Version +
                         "\" is not a number.");
    if (*VersionNumber == 0 || *VersionNumber > MajorVersion)
        Warn("Warning: The file " + BaseName + ".ini is not compatible with this version of " + ProductName +
             ". Dazed and confused, but trying to continue.");

    bool AnyUnit = false;
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        UnitSlot& Slot = Loaded.Units[Unit];
        Slot.UnitAddress = Read("Devices", NumberedKey("Unit", Unit), "");
        const UnitEndpoint Endpoint = ParseUnitAddress(Slot.UnitAddress, DefaultUnitPort);
        Slot.HostPart = Endpoint.HostPart;
        Slot.Port = Endpoint.Port;
        Slot.PortOutOfRange = Endpoint.PortOutOfRange;
        AnyUnit = AnyUnit || !Slot.UnitAddress.empty();
    }

    const std::string PollText = Read("Configuration", "PollInterval", DefaultPollIntervalText);
    const std::string ReconnectText = Read("Configuration", "ReconnectDelay", DefaultReconnectDelayText);

    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        const std::string Key = NumberedKey("UnitIndicator", Unit);
        const std::string Position = Read("TavoGUI", Key, DefaultIndicatorText);
        const std::size_t Comma = Position.find(',');
        if (Comma == std::string::npos)
            continue; // the lamp stays at 0,0
        const auto X = ParseWholeNumber(std::string_view(Position).substr(0, Comma), -32768, 32767);
        const auto Y = ParseWholeNumber(std::string_view(Position).substr(Comma + 1), -32768, 32767);
        if (!X || !Y)
            throw FatalError(Place(File, "TavoGUI", Key) + ": the value \"" + Position +
                             "\" is not a screen position. Write x,y with two whole numbers from -32768 "
                             "to 32767 (for example 812,1046).");
        Loaded.Units[Unit].IndicatorX = static_cast<std::int16_t>(*X);
        Loaded.Units[Unit].IndicatorY = static_cast<std::int16_t>(*Y);
    }

    SettingsRecord& Settings = Loaded.Settings;
    Settings.ActiveColor = HexToColor(Read("TavoGUI", "UnitActiveColor", DefaultActiveColorText),
                                      Place(File, "TavoGUI", "UnitActiveColor"));
    Settings.OnAirColor = HexToColor(Read("TavoGUI", "UnitOnAirColor", DefaultOnAirColorText),
                                     Place(File, "TavoGUI", "UnitOnAirColor"));

    // Both intervals are checked here, before anything is connected, so a bad value leaves nothing behind.
    auto Milliseconds = [&](const std::string& Text, const char* Key) {
        const auto Value = ParseWholeNumber(Text, 0, 65535);
        if (!Value)
            throw FatalError(Place(File, "Configuration", Key) + ": the value \"" + Text +
                             "\" is not a number of milliseconds from 0 to 65535.");
        return static_cast<std::uint16_t>(*Value);
    };
    Settings.ReconnectDelay = Milliseconds(ReconnectText, "ReconnectDelay");
    Settings.PollInterval = Milliseconds(PollText, "PollInterval");

    // A file that configures no unit (a misspelt section, say) would otherwise run without a word.
    if (!AnyUnit)
        Warn("The file " + File +
             " configures no unit: section [Devices] gives no address in Unit1 to Unit8. TavoRouterControl "
             "runs, but has nothing to switch.");
    return Loaded;
}

} // namespace Tavo
