// Pixel reads against real X servers: colours of windows placed at known points, read through the
// bounding-box request and through one request per point, at the colour depths a screen may have.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "PaintedScreen.h"
#include "QtTestEnvironment.h"
#include "XvfbServer.h"
#include "platform/qt/QtDesktop.h"
#include "platform/qt/X11Screen.h"

namespace Tavo::Testing {
namespace {

using QtPlatform::X11Screen;
constexpr std::uint32_t Unreadable = 0xFFFFFFFFu;

struct Lamp {
    int X, Y, W, H;
    std::uint32_t Colour;
};

// The lamps every depth is checked with; the last one hangs over the bottom right corner.
const std::array<Lamp, 5> Lamps{{
    {10, 10, 20, 20, 0x0034AB12},
    {300, 200, 5, 5, 0x000000FF},
    {305, 200, 5, 5, 0x0000FF00},
    {0, 470, 4, 10, 0x00FF0000},
    {600, 450, 100, 100, 0x00FFFFFF},
}};

TEST(ScreenRead, ColoursAtEveryDepthAgreeOnBothPaths) {
    for (const char* Geometry : {"640x480x24", "640x480x16", "640x480x8"}) {
        SCOPED_TRACE(Geometry);
        XvfbServer Server(Geometry);
        ASSERT_TRUE(Server.Running()) << Server.Problem();
        PaintedScreen Painter(Server.DisplayName());
        ASSERT_TRUE(Painter.Open());
        std::array<std::uint32_t, Lamps.size()> Shown{};
        for (std::size_t I = 0; I < Lamps.size(); ++I)
            Shown[I] = Painter.Paint(Lamps[I].X, Lamps[I].Y, Lamps[I].W, Lamps[I].H, Lamps[I].Colour);

        X11Screen Screen;
        std::string Problem;
        ASSERT_TRUE(Screen.Open(Server.DisplayName().c_str(), Problem)) << Problem;
        ASSERT_EQ(Screen.Width(), 640);
        ASSERT_EQ(Screen.Height(), 480);

        struct Case {
            ScreenPoint Point;
            std::uint32_t Expected;
        };
        const std::vector<Case> Cases{
            {{15, 15}, Shown[0]},           {{10, 10}, Shown[0]},
            {{29, 29}, Shown[0]},           {{30, 30}, 0},
            {{302, 202}, Shown[1]},         {{307, 204}, Shown[2]},
            {{0, 479}, Shown[3]},           {{639, 479}, Shown[4]},
            {{600, 450}, Shown[4]},         {{0, 0}, 0},
            {{640, 479}, Unreadable},       {{639, 480}, Unreadable},
            {{-1, 0}, Unreadable},          {{0, -1}, Unreadable},
            {{-32768, -32768}, Unreadable}, {{32767, 32767}, Unreadable},
            {{-32768, 100}, Unreadable},    {{100, 32767}, Unreadable},
        };
        std::vector<ScreenPoint> Points;
        std::vector<std::uint32_t> Expected;
        for (const Case& C : Cases) {
            Points.push_back(C.Point);
            Expected.push_back(C.Expected);
        }
        constexpr std::size_t OnScreen = 10;

        for (const auto Path : {X11Screen::ReadPath::BoundingBox, X11Screen::ReadPath::EachPoint}) {
            const bool Box = Path == X11Screen::ReadPath::BoundingBox;
            SCOPED_TRACE(Box ? "bounding box" : "each point");
            std::vector<std::uint32_t> Read(Points.size(), 0x12345678u);
            const auto Before = Screen.ImageRequests();
            Screen.Read(Points, Read, Path);
            for (std::size_t I = 0; I < Points.size(); ++I)
                EXPECT_EQ(Read[I], Expected[I]) << "at (" << Points[I].X << ", " << Points[I].Y << ")";
            EXPECT_EQ(Screen.ImageRequests() - Before, Box ? 1u : OnScreen) << "image requests for one read";
        }

        // Only points off the screen: nothing is asked of the server at all.
        const std::array<ScreenPoint, 3> Off{{{-5, 5}, {700, 5}, {32767, -32768}}};
        std::array<std::uint32_t, 3> OffRead{};
        const auto Before = Screen.ImageRequests();
        Screen.Read(Off, OffRead);
        EXPECT_EQ(OffRead, (std::array<std::uint32_t, 3>{Unreadable, Unreadable, Unreadable}));
        EXPECT_EQ(Screen.ImageRequests(), Before);

        // A later change on the screen shows at the next read: nothing is cached.
        const std::uint32_t Repainted = Painter.Paint(10, 10, 20, 20, 0x000000FF);
        const std::array<ScreenPoint, 1> One{{{15, 15}}};
        std::array<std::uint32_t, 1> OneRead{};
        Screen.Read(One, OneRead);
        EXPECT_EQ(OneRead[0], Repainted);
    }
}

TEST(ScreenRead, AutoTakesOneRequestForCloseLampsAndOneEachForSpreadLamps) {
    XvfbServer Server("1280x1024x24");
    ASSERT_TRUE(Server.Running()) << Server.Problem();
    X11Screen Screen;
    std::string Problem;
    ASSERT_TRUE(Screen.Open(Server.DisplayName().c_str(), Problem)) << Problem;
    struct Case {
        const char* Name;
        std::vector<ScreenPoint> Points;
        std::uint64_t Requests;
    };
    const std::vector<Case> Cases{
        {"eight lamps in a row",
         {{100, 50}, {130, 50}, {160, 50}, {190, 50}, {220, 50}, {250, 50}, {280, 50}, {310, 50}},
         1},
        {"one lamp", {{5, 5}}, 1},
        {"eight lamps in a 200x150 box",
         {{100, 100}, {300, 100}, {100, 250}, {300, 250}, {150, 150}, {160, 160}, {170, 170}, {180, 180}},
         1},
        {"two lamps 100 pixels apart both ways", {{100, 100}, {200, 200}}, 2},
        {"two corners of the screen", {{0, 0}, {1279, 1023}}, 2},
        {"three lamps across the screen and one off it", {{0, 0}, {640, 512}, {1279, 0}, {-1, 0}}, 3},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::uint32_t> Read(C.Points.size());
        const auto Before = Screen.ImageRequests();
        Screen.Read(C.Points, Read);
        EXPECT_EQ(Screen.ImageRequests() - Before, C.Requests);
    }
}

// Through the desktop seam, on the display the program's QApplication uses.
TEST(ScreenRead, DesktopTakesTheScreenAndReadsIt) {
    PaintedScreen Painter(TestDisplay());
    ASSERT_TRUE(Painter.Open());
    const std::uint32_t Shown = Painter.Paint(500, 400, 8, 8, 0x00563412);
    QtPlatform::QtDesktop Desk;
    std::string Problem;
    ASSERT_EQ(Desk.TakeScreen(Problem), ScreenAccess::Readable) << Problem;
    const std::array<ScreenPoint, 3> Points{{{503, 403}, {0, 0}, {-1, 3}}};
    std::array<std::uint32_t, 3> Read{};
    Desk.ReadPixels(Points, Read);
    EXPECT_EQ(Read, (std::array<std::uint32_t, 3>{Shown, 0u, Unreadable}));
}

TEST(ScreenRead, DesktopExplainsAScreenItCannotRead) {
    struct Case {
        const char* Name;
        const char* Variable;
        const char* Value;
        ScreenAccess Expected;
        const char* ProblemMentions;
    };
    const std::array<Case, 3> Cases{{
        {"Wayland session", "XDG_SESSION_TYPE", "wayland", ScreenAccess::NotReadable, "Wayland"},
        {"Wayland display", "WAYLAND_DISPLAY", "wayland-0", ScreenAccess::NotReadable, "Wayland"},
        {"no X server", "DISPLAY", ":4242", ScreenAccess::Unavailable, "no X display could be opened"},
    }};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        const char* Old = std::getenv(C.Variable);
        const std::string Saved = Old ? Old : "";
        setenv(C.Variable, C.Value, 1);
        QtPlatform::QtDesktop Desk;
        std::string Problem;
        const ScreenAccess Got = Desk.TakeScreen(Problem);
        if (Old)
            setenv(C.Variable, Saved.c_str(), 1);
        else
            unsetenv(C.Variable);
        EXPECT_EQ(Got, C.Expected);
        EXPECT_NE(Problem.find(C.ProblemMentions), std::string::npos) << Problem;
        // Whatever the screen, a read never fails the program: it only reads as nothing matching.
        const std::array<ScreenPoint, 1> Points{{{-1, -1}}};
        std::array<std::uint32_t, 1> Read{};
        Desk.ReadPixels(Points, Read);
        EXPECT_EQ(Read[0], Unreadable);
    }
}

// Figures, not limits: what one read costs on each path, and how the box path grows with its area.
TEST(ScreenReadBenchmark, BoxAgainstOneRequestPerPoint) {
    X11Screen Screen;
    std::string Problem;
    ASSERT_TRUE(Screen.Open(TestDisplay().c_str(), Problem)) << Problem;
    auto Time = [&](const std::vector<ScreenPoint>& Points, X11Screen::ReadPath Path) {
        std::vector<std::uint32_t> Read(Points.size());
        constexpr int Rounds = 500;
        const auto Start = std::chrono::steady_clock::now();
        for (int R = 0; R < Rounds; ++R)
            Screen.Read(Points, Read, Path);
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Start).count() /
               Rounds;
    };
    std::vector<ScreenPoint> Row;
    for (int I = 0; I < 8; ++I)
        Row.push_back({static_cast<std::int16_t>(100 + 30 * I), 50});
    std::printf("[ figures ] 8 lamps in a 211x1 box: box %.1f us, one request per point %.1f us\n",
                Time(Row, X11Screen::ReadPath::BoundingBox), Time(Row, X11Screen::ReadPath::EachPoint));
    std::printf("[ figures ] 1 lamp: %.1f us per read\n", Time({{5, 5}}, X11Screen::ReadPath::EachPoint));
    for (const int Side : {16, 64, 128, 181, 256, 512, 1024}) {
        const std::vector<ScreenPoint> Corners{
            {0, 0}, {static_cast<std::int16_t>(Side - 1), static_cast<std::int16_t>(Side - 1)}};
        std::printf("[ figures ] box %4dx%-4d (%7d px): %8.1f us; two 1x1 requests %.1f us\n", Side, Side,
                    Side * Side, Time(Corners, X11Screen::ReadPath::BoundingBox),
                    Time(Corners, X11Screen::ReadPath::EachPoint));
    }
    std::vector<std::uint32_t> A(Row.size()), B(Row.size());
    Screen.Read(Row, A, X11Screen::ReadPath::BoundingBox);
    Screen.Read(Row, B, X11Screen::ReadPath::EachPoint);
    EXPECT_EQ(A, B);
}

} // namespace
} // namespace Tavo::Testing
