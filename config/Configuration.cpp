// Reading the settings file into the unit table and the settings.

#include <filesystem>
#include <fstream>
#include <string>

#include "app/frmMain.h"
#include "config/IniFile.h"
#include "config/Numerals.h"
#include "config/modAPI.h"

namespace Tavo {

static bool IsHexDigit(char C) {
    return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F');
}

static int HexValue(char C) {
    if (C >= '0' && C <= '9')
        return C - '0';
    return (C | 0x20) - 'a' + 10;
}

static std::string Place(const std::string& File, const char* Section, const std::string& Key) {
    return "In the file " + File + ", section [" + Section + "], key " + Key;
}

std::uint32_t frmMain::HexToColor(const std::string& ColorText, const std::string& Where) {
    std::string Digits = ColorText;
    if (!Digits.empty() && Digits.front() == '#')
        Digits.erase(0, 1);
    if (Digits.size() < 6)
        Digits.append(6 - Digits.size(), '0');
    std::uint32_t Red = 0, Green = 0, Blue = 0;
    for (int I = 0; I < 6; ++I) {
        const char C = Digits[static_cast<std::size_t>(I)];
        if (!IsHexDigit(C))
            throw FatalError(Where + ": the value \"" + ColorText +
                             "\" is not a colour. Write # and six hexadecimal digits, red, green, blue "
                             "(for example #3296FF).");
        std::uint32_t& Channel = I < 2 ? Red : (I < 4 ? Green : Blue);
        Channel = Channel * 16 + static_cast<std::uint32_t>(HexValue(C));
    }
    return Blue * 65536 + Green * 256 + Red;
}

void frmMain::LoadConfiguration() {
    const std::string File = ConfigurationPath();
    {
        std::error_code Ignored;
        std::ifstream Probe(File, std::ios::binary);
        if (!Probe || std::filesystem::is_directory(File, Ignored))
            throw FatalError("The configuration file " + File +
                             " could not be opened for reading. It must lie beside the program and be "
                             "named after it.");
    }

    const std::string Version = modAPI::ReadIniString("General", "Version", File, "0");
    const auto VersionNumber = ParseNumber(Version);
    if (!VersionNumber)
        throw FatalError(Place(File, "General", "Version") + ": the value \"" + Version +
                         "\" is not a number.");
    if (*VersionNumber == 0 || *VersionNumber > Host.AppVersion().Major)
        Host.ShowMessageBox("Warning: The file " + Host.ExecutableBaseName() +
                                ".ini is not compatible with this version of " + ProductName +
                                ". Dazed and confused, but trying to continue.",
                            "Warning", BoxIcon::Exclamation);

    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        UnitTable[Unit].UnitAddress = modAPI::ReadIniString("Devices", NumberedKey("Unit", Unit), File, "");
        if (!UnitTable[Unit].UnitAddress.empty())
            UnitTable[Unit].UnitConnected = false;
    }

    Settings.PollInterval = modAPI::ReadIniString("Configuration", "PollInterval", File, "200");
    Settings.ReconnectDelay = modAPI::ReadIniString("Configuration", "ReconnectDelay", File, "3000");

    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        const std::string Key = NumberedKey("UnitIndicator", Unit);
        const std::string Position = modAPI::ReadIniString("TavoGUI", Key, File, "0,0");
        const std::size_t Comma = Position.find(',');
        if (Comma == std::string::npos)
            continue;
        const auto X = ParseWholeNumber(std::string_view(Position).substr(0, Comma), -32768, 32767);
        const auto Y = ParseWholeNumber(std::string_view(Position).substr(Comma + 1), -32768, 32767);
        if (!X || !Y)
            throw FatalError(Place(File, "TavoGUI", Key) + ": the value \"" + Position +
                             "\" is not a screen position. Write x,y with two whole numbers from -32768 "
                             "to 32767 (for example 812,1046).");
        UnitTable[Unit].IndicatorX = static_cast<std::int16_t>(*X);
        UnitTable[Unit].IndicatorY = static_cast<std::int16_t>(*Y);
    }

    Settings.ActiveColor = HexToColor(modAPI::ReadIniString("TavoGUI", "UnitActiveColor", File, "#3296FF"),
                                      Place(File, "TavoGUI", "UnitActiveColor"));
    Settings.OnAirColor = HexToColor(modAPI::ReadIniString("TavoGUI", "UnitOnAirColor", File, "#E52F2F"),
                                     Place(File, "TavoGUI", "UnitOnAirColor"));
}

} // namespace Tavo
