#pragma once
// Texts the program shows, and the settings' defaults as the file would write them: each in one place.

#include <string>

namespace Tavo {

inline constexpr const char* ProductName = "TavoRouterControl";

inline constexpr const char* CopyrightNotice = "Copyright (C) 2026 The TavoRouterControl developers";

inline constexpr const char* TermsText =
    "All rights reserved. This program is provided \"as is\", without warranty of any kind, express or "
    "implied; in no event shall the authors be liable for any claim, damages or other liability arising "
    "from its use. You may use it in your own control room; redistribution in any form requires the "
    "authors' written permission.";

inline constexpr const char* ErrorTitle = "TavoRouterControl - Error";
inline constexpr const char* WarningTitle = "Warning";

inline constexpr const char* AlreadyRunningText = "TavoRouterControl is already running.";
inline constexpr const char* UnexpectedErrorText = "TavoRouterControl stopped after an unexpected error: ";
inline constexpr const char* SocketLibraryText = "The TCP Stack could not be initialized.";
inline constexpr const char* UnknownUnitErrorText =
    "An unknown error occurred while connecting to or communicating with the unit.";

// The product name and the version as the program shows it ("TavoRouterControl 1.0.0.23"): the third
// number is always 0.
inline std::string VersionTextOf(int Major, int Minor, int Revision) {
    return std::string(ProductName) + " " + std::to_string(Major) + "." + std::to_string(Minor) + ".0." +
           std::to_string(Revision);
}

// Defaults of the settings file, as text.
inline constexpr const char* DefaultVersionText = "0";
inline constexpr const char* DefaultPollIntervalText = "200";
inline constexpr const char* DefaultReconnectDelayText = "3000";
inline constexpr const char* DefaultIndicatorText = "0,0";
inline constexpr const char* DefaultActiveColorText = "#3296FF";
inline constexpr const char* DefaultOnAirColorText = "#E52F2F";

} // namespace Tavo
