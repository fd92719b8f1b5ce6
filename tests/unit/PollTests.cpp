// The poll's choice of unit, as a table of lamp pictures.

#include <string>

#include "Rig.h"

using namespace Tavo;
using namespace Tavo::Testing;

namespace {

constexpr std::uint32_t Active = 0x00FF9632;
constexpr std::uint32_t OnAir = 0x002F2FE5;
constexpr std::uint32_t Grey = 0x00404040;

// Lamps sit on a row at y = 500, unit n at x = 100 n.
struct Poller : Rig {
    explicit Poller(const std::string& Configured = "12345678") {
        for (char C : Configured) {
            const int Unit = C - '0';
            Form.UnitTable[Unit].UnitAddress = "127.0.0.1:1";
            Form.UnitTable[Unit].IndicatorX = static_cast<std::int16_t>(100 * Unit);
            Form.UnitTable[Unit].IndicatorY = 500;
        }
        Desk.SetTimerInterval(TimerId::Poll, 200);
    }
    // One letter per unit 1..8: A active, O on air, anything else grey.
    void Show(const std::string& Picture) {
        for (int Unit = 1; Unit <= 8; ++Unit) {
            const char C = Picture[static_cast<std::size_t>(Unit - 1)];
            Desk.Paint(100 * Unit, 500, C == 'A' ? Active : C == 'O' ? OnAir : Grey);
        }
    }
};

} // namespace

TEST(IndicatorPoll, SelectionRules) {
    struct Case {
        const char* Name;
        std::optional<int> Before;
        const char* Picture;
        std::optional<int> After;
    } Cases[] = {
        {"one active lamp, nothing chosen yet", std::nullopt, "..A.....", 3},
        {"same picture again changes nothing", 3, "..A.....", 3},
        {"two active: the lower wins", std::nullopt, ".A..A...", 2},
        {"a single on-air lamp selects", 4, "O.......", 1},
        {"the last lamp alone on air", 2, ".......O", 8},
        {"two on-air lamps change nothing", 1, "......OO", 1},
        {"two on-air lamps with nothing chosen", std::nullopt, "...O.O..", std::nullopt},
        {"active outranks on-air", std::nullopt, ".A...O..", 2},
        {"active outranks a lower on-air", std::nullopt, "O......A", 8},
        {"no lamp in either colour", 5, "........", 5},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        Poller P;
        P.Form.CurrentUnit = C.Before;
        P.Show(C.Picture);
        P.Form.tmrPoll_Timer();
        EXPECT_EQ(P.Form.CurrentUnit, C.After);
        EXPECT_TRUE(P.Desk.TimerEnabled(TimerId::Poll)) << "the pass must switch its timer back on";
    }
}

TEST(IndicatorPoll, OnlyConfiguredUnitsAreReadAndEmptySamplesAreBlack) {
    {
        // Only 2 and 5 configured; all configured lamps read once, in one screen read.
        Poller P("25");
        P.Show("........");
        P.Form.tmrPoll_Timer();
        EXPECT_EQ(P.Desk.PixelsRead, 2);
        EXPECT_EQ(P.Desk.PixelReadCalls, 1);
        // An unconfigured unit's lamp is never looked at, even in the active colour.
        P.Show("A.......");
        P.Form.tmrPoll_Timer();
        EXPECT_FALSE(P.Form.CurrentUnit);
    }
    {
        // Active colour black: the lowest unit with an empty sample (unconfigured unit 1) is chosen.
        Poller P("345");
        P.Form.Settings.ActiveColor = 0;
        P.Show("........");
        P.Form.tmrPoll_Timer();
        EXPECT_EQ(P.Form.CurrentUnit, 1);
    }
}
