#pragma once
// The picker's settings check apart from any window: the file loaded as the program loads it, the
// units tried off the window's thread, the lamp rows and the selection kept live, and the view's keys.

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/SettingsCheck.h"
#include "picker/PickerSession.h"

namespace Tavo::Picker {

enum class CheckCommand { None, RunAgain, Copy, Print, OpenFile, Close };

// In the check view: R the units again, C copy, Enter or P print, O another file, Esc or K close.
CheckCommand CheckCommandForKey(KeyPress Key);

struct CheckButtonDef {
    std::string_view Caption;
    CheckCommand Does;
};
std::span<const CheckButtonDef> CheckButtons();

struct CheckHooks {
    IniReader Read; // the system's settings reader, the one the program uses
    UnitChecks::Poster Post;
    Resolver Resolve;
    // The program that reads File, and whether it runs now, asked without claiming anything (empty:
    // cannot tell).
    std::function<std::optional<bool>(const std::string& File, std::string& Program)> ProgramRunning;
    CheckScreen* Screen = nullptr; // none: the lamps are not checked, for the reason NoScreen gives
    std::string NoScreen;
    // A unit's result came in (on the window's thread); Complete when it was the last.
    std::function<void(bool Complete)> UnitsChanged;
};

class CheckView {
  public:
    explicit CheckView(CheckHooks Hooks);

    // Checks the first of Candidates that can be read: loaded and its lamps read at once, its units
    // started. The report is complete at once when there is no unit to try.
    void Open(const std::vector<std::string>& Candidates);
    void CheckUnitsAgain();
    // Reads the lamps again: the lamp and selection lines that changed since the last reading.
    std::vector<std::string> RefreshLamps();

    bool IsOpen() const { return Opened; }
    bool Complete() const { return UnitsDone(Current); }
    std::string Text() const { return ReportText(Current); }
    const CheckReport& Report() const { return Current; }

  private:
    void ReadLamps();
    std::vector<std::string> LampLines() const;

    CheckHooks Hooks;
    bool Opened = false;
    CheckReport Current;
    std::vector<std::string> Files;
    std::unique_ptr<UnitChecks> Checks;
    std::vector<std::string> LastLampLines;
};

} // namespace Tavo::Picker
