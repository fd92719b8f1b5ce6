// The lamp picker's own logic: the lines it prints load through the program's real settings loader
// into the same positions and colours, and its window never covers the point it reads.

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

ScreenPoint At(int X, int Y) {
    return {static_cast<std::int16_t>(X), static_cast<std::int16_t>(Y)};
}

} // namespace

TEST(Picker, PrintedLinesLoadBackThroughTheProgramsLoader) {
    LampPicks All, Edges, LampOnly;
    for (int Unit = 1; Unit <= UnitCount; ++Unit)
        All.Lamps[static_cast<std::size_t>(Unit)] = At(100 + 40 * Unit, 912);
    All.ActiveColor = 0x00010203; // each channel distinct, so a swapped red and blue would show
    All.OnAirColor = 0x00A0B0C0;
    Edges.Lamps[1] = At(-1920, -1); // monitors left of and above the main one, and the field's extremes
    Edges.Lamps[4] = At(32767, -32768);
    Edges.ActiveColor = 0x00000000;
    Edges.OnAirColor = 0x00FFFFFF;
    LampOnly.Lamps[3] = At(5, 7); // the colours keep the program's defaults
    const auto Folder =
        std::filesystem::temp_directory_path() / ("tavo-picker-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(Folder);
    for (const LampPicks* Picks : {&All, &Edges, &LampOnly}) {
        const std::string Lines = Picks->TavoGuiLines();
        ASSERT_EQ(Lines.rfind("[TavoGUI]\n", 0), 0u) << Lines;
        std::ofstream(Folder / "Picked.ini", std::ios::binary) << "[General]\nVersion=1\n" << Lines;
        Rig R;
        ASSERT_FALSE(R.Load("Picked", Folder.string()));
        EXPECT_TRUE(R.Desk.Boxes.empty());
        for (int Unit = 1; Unit <= UnitCount; ++Unit) {
            const auto& Picked = Picks->Lamps[static_cast<std::size_t>(Unit)];
            EXPECT_EQ(R.Slot(Unit).IndicatorX, Picked ? Picked->X : 0) << Lines;
            EXPECT_EQ(R.Slot(Unit).IndicatorY, Picked ? Picked->Y : 0) << Lines;
        }
        EXPECT_EQ(R.Form.Settings.ActiveColor, Picks->ActiveColor.value_or(0x00FF9632u)) << Lines;
        EXPECT_EQ(R.Form.Settings.OnAirColor, Picks->OnAirColor.value_or(0x002F2FE5u)) << Lines;
    }
    std::filesystem::remove_all(Folder);
    // Every value of each channel with the others fixed reads back as picked.
    Rig R;
    for (std::uint32_t V = 0; V < 256; ++V)
        for (const std::uint32_t C : {V, V << 8 | 0x5A, V << 16 | 0xA500})
            ASSERT_EQ(R.Form.HexToColor(ColourText(C), "round trip"), C) << ColourText(C);
}

TEST(Picker, WindowBesideThePointerNeverCoversIt) {
    const Area Monitor{0, 0, 1280, 1024};
    const int W = 360, H = 240, Gap = 20;
    const struct {
        int Px, Py;
        Area M;
        int X, Y; // expected corner
    } Cases[] = {
        {600, 500, Monitor, 621, 521},                          // right and below
        {1279, 1023, Monitor, 1279 - 20 - W, 1023 - 20 - H},    // left and above
        {-100, 50, Area{-1920, 0, 0, 1080}, -100 - 20 - W, 71}, // a monitor left of the main one
        {100, 50, Area{0, 0, 300, 200}, 121, 71},               // too small either way: the roomier side
    };
    for (const auto& C : Cases) {
        const Corner P = PlaceBeside(C.Px, C.Py, W, H, C.M, Gap);
        EXPECT_EQ(P.X, C.X) << C.Px << "," << C.Py;
        EXPECT_EQ(P.Y, C.Y) << C.Px << "," << C.Py;
    }
    // Wherever the pointer is, the window leaves the pointer and the Gap pixels around it free.
    for (int Py = -10; Py < 1040; Py += 7)
        for (int Px = -10; Px < 1300; Px += 11) {
            const Corner P = PlaceBeside(Px, Py, W, H, Monitor, Gap);
            ASSERT_TRUE((P.X > Px + Gap || P.X + W <= Px - Gap) && (P.Y > Py + Gap || P.Y + H <= Py - Gap))
                << Px << "," << Py << " -> " << P.X << "," << P.Y;
        }
}
