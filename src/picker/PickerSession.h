#pragma once
// The picker's behaviour apart from any window: which key does what, what a pick records, the texts the
// window shows, and where the window goes beside the pointer. Both desktops drive this one class.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "picker/LampPicks.h"

namespace Tavo::Picker {

enum class KeyName { Other, Character, Enter, Escape, Space, Backspace, Left, Right, Up, Down };

struct KeyPress {
    KeyName Name = KeyName::Other;
    char Character = 0; // with KeyName::Character: the key's character, either case
};

enum class ActionKind {
    None,
    RecordLamp,
    RecordActive,
    RecordOnAir,
    Undo,
    Copy,
    Print,
    ToggleHold,
    Nudge,
    Check,
    Quit
};

struct Action {
    ActionKind Kind = ActionKind::None;
    int Unit = 0; // RecordLamp
    int Dx = 0;   // Nudge
    int Dy = 0;
};

Action ActionForKey(KeyPress Key);

// The buttons both windows show, in order, with the action each stands for.
struct ButtonDef {
    std::string_view Caption;
    Action Does;
};
std::span<const ButtonDef> Buttons();

// The help the window shows.
std::span<const std::string_view> HelpLines();

// What the desktop has to do after an action.
enum class Effect { None, Copy, Print, Nudge, Check, Quit };

struct Outcome {
    Effect Do = Effect::None;
    std::string Text; // Copy, Print: the [TavoGUI] lines, "\n"-ended
    int Dx = 0;       // Nudge: move the pointer by this much
    int Dy = 0;
};

class PickerSession {
  public:
    // Under is the point the picker reads (the pointer, or the held point) and its colour.
    Outcome Apply(const Action& Do, const Sample& Under);

    const LampPicks& Picks() const { return Current; }
    const std::string& Status() const { return StatusText; }
    // While held, the picker reads HeldPoint instead of following the pointer, so the buttons can be used.
    bool Held() const { return IsHeld; }
    Sample HeldPoint() const { return HeldAt; }

    // "Position 812,1046" and "Colour #3296FF  value 0x00FF9632  (active)".
    std::string PositionLine(const Sample& Under) const;
    std::string ColourLine(const Sample& Under) const;
    // What has been picked, a few lines for the window.
    std::vector<std::string> PickLines() const;

  private:
    void Remember();

    LampPicks Current;
    std::vector<LampPicks> History; // states before each pick, for Undo
    std::string StatusText = "Point at a lamp and press its unit number.";
    bool IsHeld = false;
    Sample HeldAt;
};

// Screen rectangles, right and bottom exclusive.
struct Area {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
};

// Top-left corner for a Width x Height window beside the pointer: Gap pixels right of and below it, or
// left of / above it where the monitor's work area ends. The window never covers the pointer or the Gap
// pixels around it (where the magnifier reads), even where the monitor is too small to hold it.
struct Corner {
    int X = 0;
    int Y = 0;
};
Corner PlaceBeside(int PointerX, int PointerY, int Width, int Height, const Area& Monitor, int Gap);

} // namespace Tavo::Picker
