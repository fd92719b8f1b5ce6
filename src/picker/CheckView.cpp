#include "picker/CheckView.h"

#include <array>
#include <utility>

namespace Tavo::Picker {

namespace {

constexpr std::array<CheckButtonDef, 5> CheckButtonTable{{
    {"Check units again (R)", CheckCommand::RunAgain},
    {"Copy (C)", CheckCommand::Copy},
    {"Print (P)", CheckCommand::Print},
    {"Other file... (O)", CheckCommand::OpenFile},
    {"Close (Esc)", CheckCommand::Close},
}};

} // namespace

CheckCommand CheckCommandForKey(KeyPress Key) {
    switch (Key.Name) {
    case KeyName::Character:
        switch (Key.Character | 0x20) {
        case 'r':
            return CheckCommand::RunAgain;
        case 'c':
            return CheckCommand::Copy;
        case 'p':
            return CheckCommand::Print;
        case 'o':
            return CheckCommand::OpenFile;
        case 'k':
            return CheckCommand::Close;
        default:
            return CheckCommand::None;
        }
    case KeyName::Enter:
        return CheckCommand::Print;
    case KeyName::Escape:
        return CheckCommand::Close;
    default:
        return CheckCommand::None;
    }
}

std::span<const CheckButtonDef> CheckButtons() {
    return CheckButtonTable;
}

CheckView::CheckView(CheckHooks HooksIn) : Hooks(std::move(HooksIn)) {}

void CheckView::Open(const std::vector<std::string>& Candidates) {
    Opened = true;
    Files = Candidates;
    Checks.reset(); // the results of another file's units are dropped as they come
    Current = LoadForCheck(Files, Hooks.Read);
    if (!Hooks.Screen)
        Current.NoLamps = Hooks.NoScreen;
    ReadLamps();
    LastLampLines = LampLines();
    CheckUnitsAgain();
}

void CheckView::CheckUnitsAgain() {
    if (!Opened || !Current.Loaded)
        return;
    // A fresh set: results of the runs before are dropped, however late they come.
    Checks = std::make_unique<UnitChecks>(Hooks.Post, Hooks.Resolve);
    Current.ProgramRunning =
        Hooks.ProgramRunning ? Hooks.ProgramRunning(Current.File, Current.Program) : std::nullopt;
    const CheckLimits Limits = LimitsFor(Current.Loaded->Settings);
    for (int Unit = 1; Unit <= UnitCount; ++Unit) {
        Current.Units[static_cast<std::size_t>(Unit)].reset();
        const UnitSlot& Slot = Current.Loaded->Units[Unit];
        if (Slot.UnitAddress.empty())
            continue;
        // The view outlives nothing it gave away: its checks go first, and with them these calls.
        Checks->Start(Unit, Slot, Limits, [this](const UnitCheck& Result) {
            Current.Units[static_cast<std::size_t>(Result.Unit)] = Result;
            if (Hooks.UnitsChanged)
                Hooks.UnitsChanged(Complete());
        });
    }
}

void CheckView::ReadLamps() {
    if (Current.Loaded && Hooks.Screen)
        Current.Lamps = CheckLamps(Current.Loaded->Units, Current.Loaded->Settings, *Hooks.Screen);
}

std::vector<std::string> CheckView::LampLines() const {
    std::vector<std::string> Lines;
    if (!Current.Lamps)
        return Lines;
    for (const LampCheck& Lamp : Current.Lamps->Rows)
        Lines.push_back(LampLine(Lamp));
    Lines.push_back(SelectionLine(*Current.Lamps));
    return Lines;
}

std::vector<std::string> CheckView::RefreshLamps() {
    std::vector<std::string> Changed;
    if (!Opened)
        return Changed;
    ReadLamps();
    std::vector<std::string> Now = LampLines();
    for (std::size_t I = 0; I < Now.size(); ++I)
        if (I >= LastLampLines.size() || Now[I] != LastLampLines[I])
            Changed.push_back(Now[I]);
    LastLampLines = std::move(Now);
    return Changed;
}

} // namespace Tavo::Picker
