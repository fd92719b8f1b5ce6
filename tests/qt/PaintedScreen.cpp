#include "PaintedScreen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace Tavo::Testing {

PaintedScreen::PaintedScreen(const char* DisplayName) : Connection(XOpenDisplay(DisplayName)) {}

PaintedScreen::~PaintedScreen() {
    if (!Connection)
        return;
    for (const unsigned long W : Windows)
        XDestroyWindow(Connection, W);
    XCloseDisplay(Connection);
}

int PaintedScreen::Width() const {
    return DisplayWidth(Connection, DefaultScreen(Connection));
}
int PaintedScreen::Height() const {
    return DisplayHeight(Connection, DefaultScreen(Connection));
}

std::uint32_t PaintedScreen::Paint(int X, int Y, int W, int H, std::uint32_t Colour) {
    XColor C{};
    C.red = static_cast<unsigned short>((Colour & 0xFF) * 0x101);
    C.green = static_cast<unsigned short>(((Colour >> 8) & 0xFF) * 0x101);
    C.blue = static_cast<unsigned short>(((Colour >> 16) & 0xFF) * 0x101);
    C.flags = DoRed | DoGreen | DoBlue;
    XAllocColor(Connection, DefaultColormap(Connection, DefaultScreen(Connection)), &C);
    XSetWindowAttributes A{};
    A.override_redirect = True;
    A.background_pixel = C.pixel;
    const ::Window Win = XCreateWindow(Connection, DefaultRootWindow(Connection), X, Y,
                                       static_cast<unsigned>(W), static_cast<unsigned>(H), 0, CopyFromParent,
                                       InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &A);
    XMapRaised(Connection, Win);
    Windows.push_back(Win);
    Sync();
    return static_cast<std::uint32_t>(C.red >> 8) | static_cast<std::uint32_t>(C.green >> 8) << 8 |
           static_cast<std::uint32_t>(C.blue >> 8) << 16;
}

void PaintedScreen::Sync() {
    XSync(Connection, False);
}

} // namespace Tavo::Testing
