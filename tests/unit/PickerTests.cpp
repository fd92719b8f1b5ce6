// The lamp picker's own logic: the lines it prints must load through the program's real settings
// loader into the same positions and colours; keys, picks, messages and window placement.

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "Rig.h"
#include "picker/PickerSession.h"

using namespace Tavo;
using namespace Tavo::Picker;
using namespace Tavo::Testing;

namespace {

// A folder of its own per test process: ctest may run test processes side by side.
class TempFolder {
  public:
    TempFolder() {
        std::random_device Seed;
        Path = std::filesystem::temp_directory_path() / ("tavo-picker-" + std::to_string(Seed()));
        std::filesystem::create_directories(Path);
    }
    ~TempFolder() {
        std::error_code Ignored;
        std::filesystem::remove_all(Path, Ignored);
    }
    std::filesystem::path Path;
};

struct LoadedBack {
    UnitArray Units;
    SettingsRecord Settings;
    std::size_t Boxes = 0;
};

// Writes Lines below a [General] section into BaseName.ini and loads it the way the program does.
LoadedBack LoadThroughProgram(const TempFolder& Folder, const std::string& BaseName,
                              const std::string& Lines) {
    {
        std::ofstream Out(Folder.Path / (BaseName + ".ini"), std::ios::binary);
        Out << "[General]\nVersion=1\n\n" << Lines;
    }
    Rig R;
    EXPECT_FALSE(R.Load(BaseName, Folder.Path.string()));
    return {R.Form.UnitTable, R.Form.Settings, R.Desk.Boxes.size()};
}

ScreenPoint At(int X, int Y) {
    return {static_cast<std::int16_t>(X), static_cast<std::int16_t>(Y)};
}

} // namespace

TEST(Picker, PrintedLinesLoadBackThroughTheProgramsLoader) {
    struct Case {
        const char* Name;
        LampPicks Picks;
    };
    std::vector<Case> Cases;
    {
        LampPicks All;
        for (int Unit = 1; Unit <= UnitCount; ++Unit)
            All.Lamps[static_cast<std::size_t>(Unit)] = At(100 + 40 * (Unit - 1) + 12, 912);
        All.ActiveColor = 0x00FF9632;
        All.OnAirColor = 0x002F2FE5;
        Cases.push_back({"eight lamps in a row, the usual colours", All});
    }
    {
        // Monitors left of and above the main one have negative coordinates; the extremes of the field.
        LampPicks Edges;
        Edges.Lamps[1] = At(-1920, -1);
        Edges.Lamps[4] = At(32767, -32768);
        Edges.Lamps[8] = At(0, 0);
        Edges.ActiveColor = 0x00000000;
        Edges.OnAirColor = 0x00FFFFFF;
        Cases.push_back({"negative and extreme positions, black and white", Edges});
    }
    {
        // Each channel distinct, so a swapped red and blue would show.
        LampPicks Channels;
        Channels.Lamps[2] = At(812, 1046);
        Channels.ActiveColor = 0x00010203;
        Channels.OnAirColor = 0x00A0B0C0;
        Cases.push_back({"distinct channels", Channels});
    }
    {
        LampPicks LampsOnly;
        LampsOnly.Lamps[3] = At(5, 7);
        Cases.push_back({"a lamp only: the colours keep the program's defaults", LampsOnly});
    }
    {
        LampPicks OnAirOnly;
        OnAirOnly.OnAirColor = 0x00123456;
        Cases.push_back({"one colour only: the lamps keep 0,0", OnAirOnly});
    }

    TempFolder Folder;
    int Index = 0;
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Lines = C.Picks.TavoGuiLines();
        ASSERT_EQ(Lines.rfind("[TavoGUI]\n", 0), 0u) << Lines;
        const LoadedBack Back = LoadThroughProgram(Folder, "Picked" + std::to_string(Index++), Lines);
        EXPECT_EQ(Back.Boxes, 0u);
        for (int Unit = 1; Unit <= UnitCount; ++Unit) {
            SCOPED_TRACE("unit " + std::to_string(Unit));
            const auto& Picked = C.Picks.Lamps[static_cast<std::size_t>(Unit)];
            EXPECT_EQ(Back.Units[Unit].IndicatorX, Picked ? Picked->X : 0);
            EXPECT_EQ(Back.Units[Unit].IndicatorY, Picked ? Picked->Y : 0);
        }
        EXPECT_EQ(Back.Settings.ActiveColor, C.Picks.ActiveColor.value_or(0x00FF9632u));
        EXPECT_EQ(Back.Settings.OnAirColor, C.Picks.OnAirColor.value_or(0x002F2FE5u));
    }
}

TEST(Picker, ColourTextRoundTripsThroughHexToColor) {
    Rig R;
    // Every value of each channel with the others fixed, and a spread of mixed values.
    std::vector<std::uint32_t> Colours;
    for (std::uint32_t V = 0; V < 256; ++V) {
        Colours.push_back(V);
        Colours.push_back(V << 8 | 0x5A);
        Colours.push_back(V << 16 | 0xA500);
    }
    std::mt19937 Random(23);
    for (int I = 0; I < 2000; ++I)
        Colours.push_back(Random() & 0x00FFFFFFu);
    for (const std::uint32_t C : Colours) {
        const std::string Text = ColourText(C);
        ASSERT_EQ(Text.size(), 7u) << Text;
        ASSERT_EQ(R.Form.HexToColor(Text, "round trip"), C) << Text;
    }
    EXPECT_EQ(ColourText(0x00FF9632), "#3296FF");
    EXPECT_EQ(ColourValueText(0x00FF9632), "0x00FF9632");
    EXPECT_EQ(ColourValueText(Unreadable), "0xFFFFFFFF");
}

TEST(Picker, SessionRecordsRefusesAndUndoes) {
    PickerSession S;
    const Sample Lamp1{112, 912, 0x00FF9632};
    const Sample Lamp2{152, 912, 0x002F2FE5};

    // Nothing to print yet: no effect, and the user is told what to do.
    Outcome O = S.Apply({ActionKind::Print}, Lamp1);
    EXPECT_EQ(O.Do, Effect::None);
    EXPECT_NE(S.Status().find("Nothing picked yet"), std::string::npos) << S.Status();

    S.Apply({ActionKind::RecordLamp, 1}, Lamp1);
    EXPECT_EQ(S.Status(), "Unit 1 lamp: 112,912 (#3296FF)");
    S.Apply({ActionKind::RecordActive}, Lamp1);
    EXPECT_EQ(S.Status(), "Active colour: #3296FF (0x00FF9632)");

    // Printing with a colour missing prints what there is and says which default stays.
    O = S.Apply({ActionKind::Print}, Lamp1);
    EXPECT_EQ(O.Do, Effect::Print);
    EXPECT_EQ(O.Text, "[TavoGUI]\nUnitIndicator1=112,912\nUnitActiveColor=#3296FF\n");
    EXPECT_NE(S.Status().find("No on-air colour picked: the program keeps #E52F2F"), std::string::npos)
        << S.Status();

    // An unreadable pixel is no colour; a point beyond what the file holds is no position.
    S.Apply({ActionKind::RecordOnAir}, {5000, 10, Unreadable});
    EXPECT_EQ(S.Status(), "The colour at 5000,10 could not be read; no on-air colour recorded.");
    EXPECT_FALSE(S.Picks().OnAirColor);
    S.Apply({ActionKind::RecordLamp, 2}, {40000, 10, 0});
    EXPECT_NE(S.Status().find("40000,10 lies outside -32768 to 32767"), std::string::npos) << S.Status();
    EXPECT_FALSE(S.Picks().Lamps[2]);
    S.Apply({ActionKind::RecordLamp, 9}, Lamp2);
    EXPECT_EQ(S.Status(), "There is no unit 9: units are 1 to 8.");

    // The same point for two units, the same colour for both roles: recorded, with a warning.
    S.Apply({ActionKind::RecordLamp, 2}, Lamp1);
    EXPECT_NE(S.Status().find("Unit 1 has the same point"), std::string::npos) << S.Status();
    S.Apply({ActionKind::RecordOnAir}, Lamp1);
    EXPECT_NE(S.Status().find("could not tell them apart"), std::string::npos) << S.Status();

    // Undo steps back one pick at a time, and says when there is nothing left.
    S.Apply({ActionKind::Undo}, Lamp1);
    EXPECT_FALSE(S.Picks().OnAirColor);
    S.Apply({ActionKind::Undo}, Lamp1);
    EXPECT_FALSE(S.Picks().Lamps[2]);
    S.Apply({ActionKind::RecordLamp, 2}, Lamp2);
    S.Apply({ActionKind::RecordOnAir}, Lamp2);
    O = S.Apply({ActionKind::Copy}, Lamp2);
    EXPECT_EQ(O.Do, Effect::Copy);
    EXPECT_EQ(O.Text, "[TavoGUI]\nUnitIndicator1=112,912\nUnitIndicator2=152,912\n"
                      "UnitActiveColor=#3296FF\nUnitOnAirColor=#E52F2F\n");
    EXPECT_EQ(S.Status(), "Copied the [TavoGUI] lines.");
    for (int I = 0; I < 4; ++I)
        S.Apply({ActionKind::Undo}, Lamp2);
    EXPECT_TRUE(S.Picks().Empty());
    S.Apply({ActionKind::Undo}, Lamp2);
    EXPECT_EQ(S.Status(), "Nothing to undo.");

    EXPECT_EQ(S.Apply({ActionKind::Quit}, Lamp2).Do, Effect::Quit);
}

TEST(Picker, HoldKeepsThePointAndNudgesIt) {
    PickerSession S;
    const Sample Under{300, 400, 0x00FF9632};
    // Following: a nudge moves the pointer.
    Outcome O = S.Apply({ActionKind::Nudge, 0, 1, 0}, Under);
    EXPECT_EQ(O.Do, Effect::Nudge);
    EXPECT_EQ(O.Dx, 1);
    EXPECT_EQ(O.Dy, 0);
    // Held: the held point moves and the pointer stays.
    S.Apply({ActionKind::ToggleHold}, Under);
    ASSERT_TRUE(S.Held());
    O = S.Apply({ActionKind::Nudge, 0, 0, -1}, Under);
    EXPECT_EQ(O.Do, Effect::None);
    EXPECT_EQ(S.HeldPoint().X, 300);
    EXPECT_EQ(S.HeldPoint().Y, 399);
    EXPECT_EQ(S.PositionLine(S.HeldPoint()), "Position 300,399  (held)");
    S.Apply({ActionKind::RecordActive}, Under);
    EXPECT_EQ(S.ColourLine(Under), "Colour #3296FF  value 0x00FF9632  (active)");
    EXPECT_EQ(S.ColourLine({0, 0, Unreadable}), "Colour unreadable  value 0xFFFFFFFF");
    S.Apply({ActionKind::ToggleHold}, Under);
    EXPECT_FALSE(S.Held());
    EXPECT_EQ(S.PositionLine(Under), "Position 300,400");
}

TEST(Picker, WindowBesideThePointerNeverCoversIt) {
    const Area Monitor{0, 0, 1280, 1024};
    const Area LeftMonitor{-1920, 0, 0, 1080};
    const int W = 360, H = 240, Gap = 20;
    struct Case {
        const char* Name;
        int Px, Py;
        Area M;
        int X, Y; // expected corner
    } Cases[] = {
        {"middle: right and below", 600, 500, Monitor, 621, 521},
        {"near the right edge: left of it", 1200, 500, Monitor, 1200 - 20 - W, 521},
        {"bottom right corner: left and above", 1279, 1023, Monitor, 1279 - 20 - W, 1023 - 20 - H},
        {"monitor left of the main one", -100, 50, LeftMonitor, -100 - 20 - W, 71},
        {"monitor too small either way: the roomier side", 100, 50, Area{0, 0, 300, 200}, 121, 71},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        const Corner P = PlaceBeside(C.Px, C.Py, W, H, C.M, Gap);
        EXPECT_EQ(P.X, C.X);
        EXPECT_EQ(P.Y, C.Y);
    }
    // Wherever the pointer is, the window leaves the pointer and the Gap pixels around it free.
    for (int Py = -10; Py < 1040; Py += 7)
        for (int Px = -10; Px < 1300; Px += 11) {
            const Corner P = PlaceBeside(Px, Py, W, H, Monitor, Gap);
            const bool ApartX = P.X > Px + Gap || P.X + W <= Px - Gap;
            const bool ApartY = P.Y > Py + Gap || P.Y + H <= Py - Gap;
            ASSERT_TRUE(ApartX && ApartY) << Px << "," << Py << " -> " << P.X << "," << P.Y;
        }
}
