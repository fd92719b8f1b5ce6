#include "picker/PickerSession.h"

#include <array>

#include "core/Texts.h"

namespace Tavo::Picker {

namespace {

constexpr std::array<ButtonDef, 15> ButtonTable{{
    {"1", {ActionKind::RecordLamp, 1}},
    {"2", {ActionKind::RecordLamp, 2}},
    {"3", {ActionKind::RecordLamp, 3}},
    {"4", {ActionKind::RecordLamp, 4}},
    {"5", {ActionKind::RecordLamp, 5}},
    {"6", {ActionKind::RecordLamp, 6}},
    {"7", {ActionKind::RecordLamp, 7}},
    {"8", {ActionKind::RecordLamp, 8}},
    {"Active", {ActionKind::RecordActive}},
    {"On air", {ActionKind::RecordOnAir}},
    {"Undo", {ActionKind::Undo}},
    {"Hold", {ActionKind::ToggleHold}},
    {"Copy", {ActionKind::Copy}},
    {"Print", {ActionKind::Print}},
    {"Check", {ActionKind::Check}},
}};

constexpr std::array<std::string_view, 7> HelpTable{{
    "1-8  the point under the pointer is that unit's lamp",
    "A  its colour is the active colour   O  the on-air colour",
    "Arrows  move one pixel   Backspace  undo",
    "Space  hold still (to use the buttons) / follow again",
    "C  copy the [TavoGUI] lines   Enter, P  print them",
    "K  check the settings file: units, lamps, selection",
    "Esc  quit (keys act wherever the pointer is)",
}};

constexpr std::int64_t PositionLow = -32768;
constexpr std::int64_t PositionHigh = 32767;

std::string PointText(int X, int Y) {
    return std::to_string(X) + "," + std::to_string(Y);
}

bool Readable(std::uint32_t Colour) {
    return Colour <= 0x00FFFFFFu;
}

} // namespace

Action ActionForKey(KeyPress Key) {
    switch (Key.Name) {
    case KeyName::Character: {
        const char C = Key.Character;
        if (C >= '1' && C <= '8')
            return {ActionKind::RecordLamp, C - '0'};
        switch (C | 0x20) {
        case 'a':
            return {ActionKind::RecordActive};
        case 'o':
            return {ActionKind::RecordOnAir};
        case 'c':
            return {ActionKind::Copy};
        case 'p':
            return {ActionKind::Print};
        case 'k':
            return {ActionKind::Check};
        default:
            return {};
        }
    }
    case KeyName::Enter:
        return {ActionKind::Print};
    case KeyName::Escape:
        return {ActionKind::Quit};
    case KeyName::Space:
        return {ActionKind::ToggleHold};
    case KeyName::Backspace:
        return {ActionKind::Undo};
    case KeyName::Left:
        return {ActionKind::Nudge, 0, -1, 0};
    case KeyName::Right:
        return {ActionKind::Nudge, 0, 1, 0};
    case KeyName::Up:
        return {ActionKind::Nudge, 0, 0, -1};
    case KeyName::Down:
        return {ActionKind::Nudge, 0, 0, 1};
    case KeyName::Other:
        break;
    }
    return {};
}

std::span<const ButtonDef> Buttons() {
    return ButtonTable;
}

std::span<const std::string_view> HelpLines() {
    return HelpTable;
}

void PickerSession::Remember() {
    History.push_back(Current);
}

Outcome PickerSession::Apply(const Action& Do, const Sample& Under) {
    Outcome Result;
    switch (Do.Kind) {
    case ActionKind::None:
        break;
    case ActionKind::RecordLamp: {
        if (Do.Unit < 1 || Do.Unit > UnitCount) {
            StatusText = "There is no unit " + std::to_string(Do.Unit) + ": units are 1 to 8.";
            break;
        }
        if (Under.X < PositionLow || Under.X > PositionHigh || Under.Y < PositionLow ||
            Under.Y > PositionHigh) {
            StatusText = "The point " + PointText(Under.X, Under.Y) +
                         " lies outside -32768 to 32767, which the settings file cannot hold; nothing "
                         "recorded.";
            break;
        }
        Remember();
        Current.Lamps[static_cast<std::size_t>(Do.Unit)] =
            ScreenPoint{static_cast<std::int16_t>(Under.X), static_cast<std::int16_t>(Under.Y)};
        StatusText = "Unit " + std::to_string(Do.Unit) + " lamp: " + PointText(Under.X, Under.Y);
        if (Readable(Under.Colour))
            StatusText += " (" + ColourText(Under.Colour) + ")";
        for (int Other = 1; Other <= UnitCount; ++Other) {
            const auto& L = Current.Lamps[static_cast<std::size_t>(Other)];
            if (Other != Do.Unit && L && L->X == Under.X && L->Y == Under.Y) {
                StatusText += ". Unit " + std::to_string(Other) + " has the same point: pick again.";
                break;
            }
        }
        break;
    }
    case ActionKind::RecordActive:
    case ActionKind::RecordOnAir: {
        const bool Active = Do.Kind == ActionKind::RecordActive;
        const char* What = Active ? "active" : "on-air";
        if (!Readable(Under.Colour)) {
            StatusText = std::string("The colour at ") + PointText(Under.X, Under.Y) +
                         " could not be read; no " + What + " colour recorded.";
            break;
        }
        Remember();
        (Active ? Current.ActiveColor : Current.OnAirColor) = Under.Colour;
        StatusText = std::string(Active ? "Active" : "On-air") + " colour: " + ColourText(Under.Colour) +
                     " (" + ColourValueText(Under.Colour) + ")";
        const auto& Other = Active ? Current.OnAirColor : Current.ActiveColor;
        if (Other && *Other == Under.Colour)
            StatusText += ". It equals the " + std::string(Active ? "on-air" : "active") +
                          " colour: the program could not tell them apart.";
        break;
    }
    case ActionKind::Undo:
        if (History.empty()) {
            StatusText = "Nothing to undo.";
            break;
        }
        Current = History.back();
        History.pop_back();
        StatusText = "Undone: the last pick is forgotten.";
        break;
    case ActionKind::Copy:
    case ActionKind::Print: {
        if (Current.Empty()) {
            StatusText = "Nothing picked yet: point at a lamp and press 1-8, A or O.";
            break;
        }
        Result.Do = Do.Kind == ActionKind::Copy ? Effect::Copy : Effect::Print;
        Result.Text = Current.TavoGuiLines();
        StatusText =
            Do.Kind == ActionKind::Copy ? "Copied the [TavoGUI] lines." : "Printed the [TavoGUI] lines.";
        // Keys left out keep the program's defaults; say so, since that may not be what the user meant.
        if (!Current.ActiveColor)
            StatusText +=
                std::string(" No active colour picked: the program keeps ") + DefaultActiveColorText + ".";
        if (!Current.OnAirColor)
            StatusText +=
                std::string(" No on-air colour picked: the program keeps ") + DefaultOnAirColorText + ".";
        break;
    }
    case ActionKind::ToggleHold:
        IsHeld = !IsHeld;
        HeldAt = Under;
        StatusText = IsHeld ? "Held at " + PointText(Under.X, Under.Y) +
                                  ": the buttons can be clicked. Space follows the pointer again."
                            : "Following the pointer.";
        break;
    case ActionKind::Nudge:
        if (IsHeld) {
            HeldAt.X += Do.Dx;
            HeldAt.Y += Do.Dy;
        } else {
            Result.Do = Effect::Nudge;
            Result.Dx = Do.Dx;
            Result.Dy = Do.Dy;
        }
        break;
    case ActionKind::Check:
        Result.Do = Effect::Check;
        StatusText = "The settings check is open: select each unit in the panel and watch its lamp's row.";
        break;
    case ActionKind::Quit:
        Result.Do = Effect::Quit;
        break;
    }
    return Result;
}

std::string PickerSession::PositionLine(const Sample& Under) const {
    return "Position " + PointText(Under.X, Under.Y) + (IsHeld ? "  (held)" : "");
}

std::string PickerSession::ColourLine(const Sample& Under) const {
    if (!Readable(Under.Colour))
        return "Colour unreadable  value " + ColourValueText(Under.Colour);
    std::string Line = "Colour " + ColourText(Under.Colour) + "  value " + ColourValueText(Under.Colour);
    if (Current.ActiveColor && *Current.ActiveColor == Under.Colour)
        Line += "  (active)";
    else if (Current.OnAirColor && *Current.OnAirColor == Under.Colour)
        Line += "  (on air)";
    return Line;
}

std::vector<std::string> PickerSession::PickLines() const {
    std::vector<std::string> Lines;
    std::string Lamps;
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        if (const auto& L = Current.Lamps[static_cast<std::size_t>(Unit)]) {
            const std::string Item = std::to_string(Unit) + ": " + PointText(L->X, L->Y);
            // Four lamps a line keeps the window narrow.
            if (!Lamps.empty() && Lamps.size() + Item.size() > 48) {
                Lines.push_back(Lamps);
                Lamps.clear();
            }
            Lamps += (Lamps.empty() ? "" : "   ") + Item;
        }
    Lines.push_back(Lamps.empty() ? "Lamps: none yet" : Lamps);
    Lines.push_back("Active " + (Current.ActiveColor ? ColourText(*Current.ActiveColor) : std::string("-")) +
                    "   On air " + (Current.OnAirColor ? ColourText(*Current.OnAirColor) : std::string("-")));
    return Lines;
}

Corner PlaceBeside(int PointerX, int PointerY, int Width, int Height, const Area& Monitor, int Gap) {
    // Per axis: after the pointer if it fits, else before it if that fits, else the side with more room.
    auto Axis = [Gap](int Pointer, int Size, int Low, int High) {
        const int After = Pointer + Gap + 1;
        const int Before = Pointer - Gap - Size;
        if (After + Size <= High)
            return After;
        if (Before >= Low)
            return Before;
        return High - Pointer > Pointer - Low ? After : Before;
    };
    return {Axis(PointerX, Width, Monitor.Left, Monitor.Right),
            Axis(PointerY, Height, Monitor.Top, Monitor.Bottom)};
}

} // namespace Tavo::Picker
