// Pixel reads against the real X server: colours of windows placed at known points, read through the
// bounding-box request and through one request per point, at the depth this display has.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/qt/ScreenReader.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace Tavo::Testing {
namespace {

using QtPlatform::ScreenReader;
constexpr std::uint32_t Unreadable = 0xFFFFFFFFu;

// Coloured override-redirect windows placed exactly: the stand-in for the panel's indicator lamps.
class PaintedScreen {
  public:
    PaintedScreen() : Connection(XOpenDisplay(nullptr)) {}
    ~PaintedScreen() {
        if (Connection)
            XCloseDisplay(Connection); // its windows go with it
    }
    PaintedScreen(const PaintedScreen&) = delete;
    PaintedScreen& operator=(const PaintedScreen&) = delete;
    bool Open() const { return Connection != nullptr; }
    int Width() const { return DisplayWidth(Connection, DefaultScreen(Connection)); }
    int Height() const { return DisplayHeight(Connection, DefaultScreen(Connection)); }
    // Shows a rectangle of the colour 0x00BBGGRR; returns the colour the screen really holds (the
    // visual may have fewer bits), in the same layout.
    std::uint32_t Paint(int X, int Y, int W, int H, std::uint32_t Colour) {
        XColor C{};
        C.red = static_cast<unsigned short>((Colour & 0xFF) * 0x101);
        C.green = static_cast<unsigned short>(((Colour >> 8) & 0xFF) * 0x101);
        C.blue = static_cast<unsigned short>(((Colour >> 16) & 0xFF) * 0x101);
        C.flags = DoRed | DoGreen | DoBlue;
        XAllocColor(Connection, DefaultColormap(Connection, DefaultScreen(Connection)), &C);
        XSetWindowAttributes A{};
        A.override_redirect = True;
        A.background_pixel = C.pixel;
        XMapRaised(Connection,
                   XCreateWindow(Connection, DefaultRootWindow(Connection), X, Y, static_cast<unsigned>(W),
                                 static_cast<unsigned>(H), 0, CopyFromParent, InputOutput, CopyFromParent,
                                 CWOverrideRedirect | CWBackPixel, &A));
        XSync(Connection, False);
        return static_cast<std::uint32_t>(C.red >> 8) | static_cast<std::uint32_t>(C.green >> 8) << 8 |
               static_cast<std::uint32_t>(C.blue >> 8) << 16;
    }

  private:
    Display* Connection;
};

TEST(Screen, ColoursAgreeOnBothPathsAndNothingIsCached) {
    PaintedScreen Painter;
    ASSERT_TRUE(Painter.Open());
    const int W = Painter.Width(), H = Painter.Height();
    const struct {
        int X, Y, W, H;
        std::uint32_t Colour;
    } Lamps[] = {{10, 10, 20, 20, 0x0034AB12},
                 {300, 200, 5, 5, 0x000000FF},
                 {305, 200, 5, 5, 0x0000FF00},
                 {0, H - 10, 4, 10, 0x00FF0000},
                 {W - 40, H - 30, 100, 100, 0x00FFFFFF}};
    std::vector<std::uint32_t> Shown;
    for (const auto& L : Lamps)
        Shown.push_back(Painter.Paint(L.X, L.Y, L.W, L.H, L.Colour));

    ScreenReader Screen;
    std::string Problem;
    ASSERT_TRUE(Screen.Open(nullptr, Problem)) << Problem;
    auto P = [](int X, int Y) {
        return ScreenPoint{static_cast<std::int16_t>(X), static_cast<std::int16_t>(Y)};
    };
    // clang-format off
    const struct {
        ScreenPoint Point;
        std::uint32_t Expected;
    } Cases[] = {
        {P(15, 15), Shown[0]}, {P(29, 29), Shown[0]}, {P(30, 30), 0}, {P(302, 202), Shown[1]},
        {P(307, 204), Shown[2]}, {P(0, H - 1), Shown[3]}, {P(W - 1, H - 1), Shown[4]}, {P(0, 0), 0},
        {P(W, H - 1), Unreadable}, {P(W - 1, H), Unreadable}, {P(-1, 0), Unreadable},
        {P(-32768, 100), Unreadable}, {P(32767, 32767), Unreadable},
    };
    // clang-format on
    std::vector<ScreenPoint> Points;
    for (const auto& C : Cases)
        Points.push_back(C.Point);
    for (const auto Path : {ScreenReader::ReadPath::BoundingBox, ScreenReader::ReadPath::EachPoint}) {
        SCOPED_TRACE(Path == ScreenReader::ReadPath::BoundingBox ? "bounding box" : "each point");
        std::vector<std::uint32_t> Read(Points.size(), 0x12345678u);
        const auto Before = Screen.ImageRequests();
        Screen.Read(Points, Read, Path);
        for (std::size_t I = 0; I < Points.size(); ++I)
            EXPECT_EQ(Read[I], Cases[I].Expected) << "at (" << Points[I].X << ", " << Points[I].Y << ")";
        EXPECT_EQ(Screen.ImageRequests() - Before, Path == ScreenReader::ReadPath::BoundingBox ? 1u : 8u);
    }
    // Only points off the screen: nothing is asked of the server at all.
    const std::array<ScreenPoint, 2> Off{{P(-5, 5), P(32767, -32768)}};
    std::array<std::uint32_t, 2> OffRead{};
    const auto Before = Screen.ImageRequests();
    Screen.Read(Off, OffRead);
    EXPECT_EQ(OffRead, (std::array<std::uint32_t, 2>{Unreadable, Unreadable}));
    EXPECT_EQ(Screen.ImageRequests(), Before);
    // A later change on the screen shows at the next read.
    const std::uint32_t Repainted = Painter.Paint(10, 10, 20, 20, 0x000000FF);
    std::array<std::uint32_t, 1> One{};
    Screen.Read(std::array<ScreenPoint, 1>{P(15, 15)}, One);
    EXPECT_EQ(One[0], Repainted);
}

} // namespace
} // namespace Tavo::Testing
