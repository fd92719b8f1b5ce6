#include "platform/qt/ScreenReader.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <array>
#include <bit>

namespace Tavo::QtPlatform {

namespace {

constexpr std::uint32_t Unreadable = 0xFFFFFFFFu;

// Xlib's default handler ends the process on any error; a refused read must only lose that read.
unsigned long XErrors = 0;
int IgnoreXError(::Display*, XErrorEvent*) {
    ++XErrors;
    return 0;
}

// Scales a channel value of Max+1 steps to 8 bits the way the server widens colours (to 16 bits, top byte).
std::uint32_t Scale(unsigned long Value, unsigned long Max) {
    if (Max == 0)
        return 0;
    return static_cast<std::uint32_t>(((Value * 65535UL) / Max) >> 8) & 0xFFu;
}

} // namespace

ScreenReader::~ScreenReader() {
    if (Display)
        XCloseDisplay(Display);
}

bool ScreenReader::DisplayOpens(std::string& Problem) {
    ::Display* Probe = XOpenDisplay(nullptr);
    if (!Probe) {
        const char* Name = XDisplayName(nullptr);
        Problem = std::string("No X display could be opened (DISPLAY is \"") + (Name ? Name : "") + "\").";
        return false;
    }
    XCloseDisplay(Probe);
    return true;
}

bool ScreenReader::Open(const char* DisplayName, std::string& Problem) {
    if (Display)
        return true;
    XSetErrorHandler(IgnoreXError);
    Display = XOpenDisplay(DisplayName);
    if (!Display) {
        const char* Name = DisplayName ? DisplayName : XDisplayName(nullptr);
        Problem = std::string("No X display could be opened (DISPLAY is \"") + (Name ? Name : "") + "\").";
        return false;
    }
    const int Screen = DefaultScreen(Display);
    Root = RootWindow(Display, Screen);
    Colormap = DefaultColormap(Display, Screen);
    const Visual* V = DefaultVisual(Display, Screen);
    TrueColour = V->c_class == TrueColor;
    auto MakeChannel = [](unsigned long Mask) {
        Channel C;
        C.Mask = Mask;
        C.Shift = Mask ? std::countr_zero(Mask) : 0;
        C.Max = Mask >> C.Shift;
        return C;
    };
    Red = MakeChannel(V->red_mask);
    Green = MakeChannel(V->green_mask);
    Blue = MakeChannel(V->blue_mask);
    // The root window reports its new size when the screen grows or shrinks (a monitor plugged in, a new
    // resolution), as Windows announces a display change.
    XSelectInput(Display, Root, StructureNotifyMask);
    RefreshGeometry();
    return true;
}

void ScreenReader::FollowScreenChanges() {
    // Only what has already arrived: XPending reads the connection without waiting for the server.
    while (XPending(Display) > 0) {
        XEvent Event;
        XNextEvent(Display, &Event);
        if (Event.type == ConfigureNotify && Event.xconfigure.window == Root) {
            ScreenWidth = Event.xconfigure.width;
            ScreenHeight = Event.xconfigure.height;
        }
    }
}

void ScreenReader::RefreshGeometry() {
    ::Window RootReturn = 0;
    int X = 0, Y = 0;
    unsigned int W = 0, H = 0, Border = 0, Depth = 0;
    if (XGetGeometry(Display, Root, &RootReturn, &X, &Y, &W, &H, &Border, &Depth)) {
        ScreenWidth = static_cast<int>(W);
        ScreenHeight = static_cast<int>(H);
    }
}

void ScreenReader::Read(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours,
                        ReadPath Path) {
    const std::size_t Count = std::min(Points.size(), Colours.size());
    std::fill_n(Colours.begin(), Count, Unreadable);
    if (!Display)
        return;
    FollowScreenChanges();

    int MinX = ScreenWidth, MinY = ScreenHeight, MaxX = -1, MaxY = -1;
    long OnScreen = 0;
    for (std::size_t I = 0; I < Count; ++I) {
        const ScreenPoint P = Points[I];
        if (!Inside(P))
            continue;
        ++OnScreen;
        MinX = std::min<int>(MinX, P.X);
        MinY = std::min<int>(MinY, P.Y);
        MaxX = std::max<int>(MaxX, P.X);
        MaxY = std::max<int>(MaxY, P.Y);
    }
    if (MaxX < 0)
        return;

    const long BoxW = MaxX - MinX + 1;
    const long BoxH = MaxY - MinY + 1;
    const bool UseBox = Path == ReadPath::BoundingBox ||
                        (Path == ReadPath::Auto && BoxW * BoxH <= OnScreen * BoxPixelsPerPoint);
    bool Refused = false;
    if (UseBox) {
        ++Requests;
        XImage* Image = XGetImage(Display, Root, MinX, MinY, static_cast<unsigned>(BoxW),
                                  static_cast<unsigned>(BoxH), AllPlanes, ZPixmap);
        if (Image) {
            for (std::size_t I = 0; I < Count; ++I)
                if (Inside(Points[I]))
                    Colours[I] = FromPixel(XGetPixel(Image, Points[I].X - MinX, Points[I].Y - MinY));
            XDestroyImage(Image);
        } else {
            Refused = true;
        }
    } else {
        for (std::size_t I = 0; I < Count; ++I) {
            if (!Inside(Points[I]))
                continue;
            ++Requests;
            XImage* Image = XGetImage(Display, Root, Points[I].X, Points[I].Y, 1, 1, AllPlanes, ZPixmap);
            if (!Image) {
                Refused = true;
                continue;
            }
            Colours[I] = FromPixel(XGetPixel(Image, 0, 0));
            XDestroyImage(Image);
        }
    }
    if (!TrueColour)
        LookUpColours(Points.first(Count), Colours.first(Count));
    // The screen may have changed size (a monitor plugged in or out): the next read uses the new bounds.
    if (Refused)
        RefreshGeometry();
}

bool ScreenReader::OnMonitor(ScreenPoint P) {
    if (!Display)
        return false;
    FollowScreenChanges();
    if (!Inside(P))
        return false;
    int EventBase = 0, ErrorBase = 0, Major = 0, Minor = 0;
    // Monitors came with RandR 1.5; a server without them has the screen as its one monitor.
    if (!XRRQueryExtension(Display, &EventBase, &ErrorBase) || !XRRQueryVersion(Display, &Major, &Minor) ||
        Major * 100 + Minor < 105)
        return true;
    int Count = 0;
    XRRMonitorInfo* Monitors = XRRGetMonitors(Display, Root, True, &Count);
    bool On = Count == 0;
    for (int I = 0; I < Count && !On; ++I)
        On = P.X >= Monitors[I].x && P.Y >= Monitors[I].y && P.X < Monitors[I].x + Monitors[I].width &&
             P.Y < Monitors[I].y + Monitors[I].height;
    if (Monitors)
        XRRFreeMonitors(Monitors);
    return On;
}

std::uint32_t ScreenReader::FromPixel(unsigned long P) const {
    if (!TrueColour)
        return static_cast<std::uint32_t>(P & 0x00FFFFFFUL); // a colormap index, looked up afterwards
    return Scale((P & Red.Mask) >> Red.Shift, Red.Max) |
           Scale((P & Green.Mask) >> Green.Shift, Green.Max) << 8 |
           Scale((P & Blue.Mask) >> Blue.Shift, Blue.Max) << 16;
}

// Colormapped visuals: the values read are indexes; ask the server for their colours, a batch per request.
void ScreenReader::LookUpColours(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) {
    std::array<XColor, 16> Batch{};
    std::array<std::size_t, 16> Where{};
    std::size_t Filled = 0;
    auto Flush = [&] {
        if (Filled == 0)
            return;
        const unsigned long ErrorsBefore = XErrors;
        XQueryColors(Display, Colormap, Batch.data(), static_cast<int>(Filled));
        const bool Refused = XErrors != ErrorsBefore; // the reply wait has run the handler by now
        for (std::size_t K = 0; K < Filled; ++K)
            Colours[Where[K]] = Refused ? Unreadable
                                        : static_cast<std::uint32_t>(Batch[K].red >> 8) |
                                              static_cast<std::uint32_t>(Batch[K].green >> 8) << 8 |
                                              static_cast<std::uint32_t>(Batch[K].blue >> 8) << 16;
        Filled = 0;
    };
    for (std::size_t I = 0; I < Colours.size(); ++I) {
        if (!Inside(Points[I]) || Colours[I] == Unreadable)
            continue;
        Batch[Filled].pixel = Colours[I];
        Where[Filled++] = I;
        if (Filled == Batch.size())
            Flush();
    }
    Flush();
}

} // namespace Tavo::QtPlatform
