// tavo-lamp-panel: a stand-in for the remote-control panel's eight indicator lamps, for the end-to-end
// tests and the benchmark. Each lamp is an override-redirect window (no window manager needed), coloured
// on command from stdin. A change is logged only once the X server has drawn it and a read-back of the
// screen shows the new colour, with its CLOCK_MONOTONIC time.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

const char* const Usage = R"(usage: tavo-lamp-panel [options]

A stand-in for the panel's eight indicator lamps: eight small override-redirect windows, all grey
(#808080) at first, recoloured on command.

options:
  --lamp N=X,Y        top-left corner of lamp N (1..8) in screen pixels
  --grid X,Y,STEP     lamp N at (X + (N-1)*STEP, Y); --lamp given as well overrides single lamps
  --size W,H          lamp size in pixels (default 24,24)
  --legend A,O,G      number the lamps (below each) and draw a legend to the right of them: the
                      colours #RRGGBB shown for selected (A), on air (O) and off (G), in X's "fixed" font
  --help              this text
Every lamp needs a position (from --grid or --lamp). A lamp's centre pixel is at (X + W/2, Y + H/2).

commands, one per line on stdin (end of input counts as quit):
  N #RRGGBB [N #RRGGBB ...]   recolour lamps; all changes of one line reach the screen together
  all #RRGGBB                 recolour every lamp
  quit                        exit

output (t = CLOCK_MONOTONIC seconds, 6 decimals, taken after XSync and a read-back of each changed
lamp's centre pixel from the root window shows the new colour):
  lamp N #RRGGBB t=T          one line per changed lamp
  ready t=T                   once all lamps are mapped and drawn
  error what=TEXT             a bad command; nothing of that line is applied
)";

double Now() {
    timespec Ts{};
    clock_gettime(CLOCK_MONOTONIC, &Ts);
    return static_cast<double>(Ts.tv_sec) + static_cast<double>(Ts.tv_nsec) / 1e9;
}

std::optional<long> ParseNumber(std::string_view Text, long Min, long Max) {
    long Value = 0;
    auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Ec != std::errc() || End != Text.data() + Text.size() || Value < Min || Value > Max)
        return std::nullopt;
    return Value;
}

std::optional<std::vector<long>> ParseList(std::string_view Text, std::size_t Count) {
    std::vector<long> Values;
    while (true) {
        std::size_t Comma = Text.find(',');
        auto Value = ParseNumber(Text.substr(0, Comma), -32768, 32767);
        if (!Value)
            return std::nullopt;
        Values.push_back(*Value);
        if (Comma == std::string_view::npos)
            break;
        Text.remove_prefix(Comma + 1);
    }
    if (Values.size() != Count)
        return std::nullopt;
    return Values;
}

// "#RRGGBB" to 0xRRGGBB.
std::optional<std::uint32_t> ParseColour(std::string_view Text) {
    if (Text.size() != 7 || Text[0] != '#')
        return std::nullopt;
    std::uint32_t Value = 0;
    auto [End, Ec] = std::from_chars(Text.data() + 1, Text.data() + 7, Value, 16);
    if (Ec != std::errc() || End != Text.data() + 7)
        return std::nullopt;
    return Value;
}

std::string ColourText(std::uint32_t Rgb) {
    char Text[8];
    std::snprintf(Text, sizeof Text, "#%06X", Rgb);
    return Text;
}

struct Lamp {
    bool Placed = false;
    int X = 0;
    int Y = 0;
    Window Win = 0;
    std::uint32_t Rgb = 0x808080;
};

int BadUsage(const std::string& What) {
    std::fprintf(stderr, "tavo-lamp-panel: %s (see --help)\n", What.c_str());
    return 2;
}

struct Legend {
    bool Shown = false;
    std::array<std::uint32_t, 3> Colours{};
};

class Panel {
  public:
    Panel(std::array<Lamp, 9> Lamps, int Width, int Height, Legend Key)
        : Lamps(Lamps), Width(Width), Height(Height), Key(Key) {}

    bool Open() {
        Dpy = XOpenDisplay(nullptr);
        if (!Dpy) {
            std::fprintf(stderr, "tavo-lamp-panel: cannot open display '%s'\n",
                         std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
            return false;
        }
        Screen = DefaultScreen(Dpy);
        Root = RootWindow(Dpy, Screen);
        Visual* Vis = DefaultVisual(Dpy, Screen);
        if (Vis->c_class != TrueColor) {
            std::fprintf(stderr, "tavo-lamp-panel: the default visual is not TrueColor\n");
            return false;
        }
        for (int N = 1; N <= 8; ++N) {
            Lamp& L = Lamps[static_cast<std::size_t>(N)];
            XSetWindowAttributes Attributes{};
            Attributes.override_redirect = True;
            Attributes.background_pixel = Pixel(L.Rgb);
            Attributes.border_pixel = 0;
            L.Win =
                XCreateWindow(Dpy, Root, L.X, L.Y, static_cast<unsigned>(Width),
                              static_cast<unsigned>(Height), 0, CopyFromParent, InputOutput, CopyFromParent,
                              CWOverrideRedirect | CWBackPixel | CWBorderPixel, &Attributes);
            std::string Name = "tavo-lamp-" + std::to_string(N);
            XStoreName(Dpy, L.Win, Name.c_str());
            XMapRaised(Dpy, L.Win);
        }
        if (Key.Shown)
            OpenLabels();
        XSync(Dpy, False);
        std::vector<int> All{1, 2, 3, 4, 5, 6, 7, 8};
        if (!ShowsColours(All))
            return false;
        std::printf("ready t=%.6f\n", Now());
        std::fflush(stdout);
        return true;
    }

    int Run() {
        std::string Pending;
        while (true) {
            // Expose events need no answer: the server paints the background itself.
            while (XPending(Dpy)) {
                XEvent Event;
                XNextEvent(Dpy, &Event);
                if (Event.type == Expose && Event.xexpose.count == 0 &&
                    (Event.xexpose.window == Numbers || Event.xexpose.window == KeyWin))
                    DrawLabels();
            }
            pollfd Fds[2] = {{0, POLLIN, 0}, {ConnectionNumber(Dpy), POLLIN, 0}};
            if (poll(Fds, 2, -1) < 0)
                continue;
            if (Fds[1].revents & (POLLHUP | POLLERR)) {
                std::fprintf(stderr, "tavo-lamp-panel: lost the display\n");
                return 1;
            }
            if (!(Fds[0].revents))
                continue;
            char Buffer[4096];
            ssize_t Count = read(0, Buffer, sizeof Buffer);
            if (Count <= 0)
                return 0;
            Pending.append(Buffer, static_cast<std::size_t>(Count));
            std::size_t End;
            while ((End = Pending.find('\n')) != std::string::npos) {
                std::string Line = Pending.substr(0, End);
                Pending.erase(0, End + 1);
                if (Line == "quit")
                    return 0;
                if (!Line.empty() && !Command(Line))
                    return 1;
            }
        }
    }

  private:
    // Labels sit beside the lamps, never over them: the program reads each lamp's centre pixel.
    void OpenLabels() {
        Font = XLoadQueryFont(Dpy, "fixed");
        if (!Font) {
            std::fprintf(stderr, "tavo-lamp-panel: the X font \"fixed\" is missing; no legend\n");
            return;
        }
        int Left = Lamps[1].X, Right = Lamps[1].X, Top = Lamps[1].Y, Bottom = Lamps[1].Y;
        for (int N = 2; N <= 8; ++N) {
            Left = std::min(Left, Lamps[static_cast<std::size_t>(N)].X);
            Right = std::max(Right, Lamps[static_cast<std::size_t>(N)].X);
            Top = std::min(Top, Lamps[static_cast<std::size_t>(N)].Y);
            Bottom = std::max(Bottom, Lamps[static_cast<std::size_t>(N)].Y);
        }
        LabelsLeft = Left;
        Numbers = LabelWindow(Left, Bottom + Height + 2, Right + Width - Left, LineHeight());
        KeyWin = LabelWindow(Right + Width + 16, Top, 110, 3 * LineHeight() + 6);
        Gc = XCreateGC(Dpy, Root, 0, nullptr);
        XSetFont(Dpy, Gc, Font->fid);
    }

    int LineHeight() const { return Font->ascent + Font->descent + 4; }

    Window LabelWindow(int X, int Y, int W, int H) {
        XSetWindowAttributes Attributes{};
        Attributes.override_redirect = True;
        Attributes.background_pixel = Pixel(0x202020);
        Attributes.event_mask = ExposureMask;
        Window Win = XCreateWindow(Dpy, Root, X, Y, static_cast<unsigned>(W), static_cast<unsigned>(H), 0,
                                   CopyFromParent, InputOutput, CopyFromParent,
                                   CWOverrideRedirect | CWBackPixel | CWEventMask, &Attributes);
        XMapRaised(Dpy, Win);
        return Win;
    }

    void Text(Window W, int X, int Y, const std::string& What) {
        XSetForeground(Dpy, Gc, Pixel(0xFFFFFF));
        XDrawString(Dpy, W, Gc, X, Y, What.c_str(), static_cast<int>(What.size()));
    }

    void DrawLabels() {
        if (!Font)
            return;
        for (int N = 1; N <= 8; ++N) {
            const Lamp& L = Lamps[static_cast<std::size_t>(N)];
            std::string Digit = std::to_string(N);
            int TextWidth = XTextWidth(Font, Digit.c_str(), static_cast<int>(Digit.size()));
            Text(Numbers, L.X - LabelsLeft + (Width - TextWidth) / 2, Font->ascent + 2, Digit);
        }
        const char* const Names[3] = {"selected", "on air", "off"};
        for (int I = 0; I < 3; ++I) {
            int Y = 3 + I * LineHeight();
            XSetForeground(Dpy, Gc, Pixel(Key.Colours[static_cast<std::size_t>(I)]));
            XFillRectangle(Dpy, KeyWin, Gc, 4, Y + 1, 12, static_cast<unsigned>(LineHeight() - 4));
            Text(KeyWin, 22, Y + Font->ascent + 1, Names[I]);
        }
        XFlush(Dpy);
    }

    unsigned long Pixel(std::uint32_t Rgb) const {
        Visual* Vis = DefaultVisual(Dpy, Screen);
        auto Channel = [](std::uint32_t Value, unsigned long Mask) {
            int Shift = 0;
            while (Mask && !(Mask & 1)) {
                Mask >>= 1;
                ++Shift;
            }
            int Bits = 0;
            while (Mask & 1) {
                Mask >>= 1;
                ++Bits;
            }
            return static_cast<unsigned long>(Value >> (8 - Bits)) << Shift;
        };
        return Channel((Rgb >> 16) & 0xFF, Vis->red_mask) | Channel((Rgb >> 8) & 0xFF, Vis->green_mask) |
               Channel(Rgb & 0xFF, Vis->blue_mask);
    }

    // Reads each lamp's centre pixel back from the root window: the change is on screen only then.
    bool ShowsColours(const std::vector<int>& Changed) {
        for (int Attempt = 0; Attempt < 50; ++Attempt) {
            bool AllShown = true;
            for (int N : Changed) {
                const Lamp& L = Lamps[static_cast<std::size_t>(N)];
                XImage* Image =
                    XGetImage(Dpy, Root, L.X + Width / 2, L.Y + Height / 2, 1, 1, AllPlanes, ZPixmap);
                if (!Image)
                    return false;
                unsigned long Read = XGetPixel(Image, 0, 0);
                XDestroyImage(Image);
                if (Read != Pixel(L.Rgb))
                    AllShown = false;
            }
            if (AllShown)
                return true;
            // Something covers a lamp: raise them once more and look again.
            for (int N : Changed)
                XRaiseWindow(Dpy, Lamps[static_cast<std::size_t>(N)].Win);
            XSync(Dpy, False);
        }
        std::fprintf(stderr, "tavo-lamp-panel: a lamp does not show its colour on the screen (covered?)\n");
        std::printf("error what=lamp-not-shown-on-screen\n");
        std::fflush(stdout);
        return true;
    }

    bool Command(const std::string& Line) {
        std::istringstream Words(Line);
        std::vector<std::pair<int, std::uint32_t>> Changes;
        std::string Which;
        std::string Colour;
        while (Words >> Which) {
            if (!(Words >> Colour))
                return Error("missing colour after '" + Which + "'");
            auto Rgb = ParseColour(Colour);
            if (!Rgb)
                return Error("colour '" + Colour + "' is not #RRGGBB");
            if (Which == "all") {
                for (int N = 1; N <= 8; ++N)
                    Changes.emplace_back(N, *Rgb);
                continue;
            }
            auto N = ParseNumber(Which, 1, 8);
            if (!N)
                return Error("lamp '" + Which + "' is not 1..8 or all");
            Changes.emplace_back(static_cast<int>(*N), *Rgb);
        }
        std::vector<int> Changed;
        for (auto [N, Rgb] : Changes) {
            Lamp& L = Lamps[static_cast<std::size_t>(N)];
            L.Rgb = Rgb;
            XSetWindowBackground(Dpy, L.Win, Pixel(Rgb));
            XClearWindow(Dpy, L.Win);
            Changed.push_back(N);
        }
        XSync(Dpy, False);
        if (!ShowsColours(Changed))
            return false;
        double T = Now();
        for (auto [N, Rgb] : Changes)
            std::printf("lamp %d %s t=%.6f\n", N, ColourText(Rgb).c_str(), T);
        std::fflush(stdout);
        return true;
    }

    bool Error(const std::string& What) {
        std::string Text = What;
        for (char& C : Text)
            if (C == ' ')
                C = '_';
        std::printf("error what=%s\n", Text.c_str());
        std::fflush(stdout);
        return true;
    }

    std::array<Lamp, 9> Lamps;
    int Width;
    int Height;
    Legend Key;
    XFontStruct* Font = nullptr;
    GC Gc = nullptr;
    Window Numbers = 0;
    Window KeyWin = 0;
    int LabelsLeft = 0;
    Display* Dpy = nullptr;
    int Screen = 0;
    Window Root = 0;
};

} // namespace

int main(int Argc, char** Argv) {
    std::array<Lamp, 9> Lamps{};
    int Width = 24;
    int Height = 24;
    Legend Key;
    for (int I = 1; I < Argc; ++I) {
        std::string_view Arg = Argv[I];
        std::string_view Value = I + 1 < Argc ? std::string_view(Argv[I + 1]) : std::string_view();
        if (Arg == "--help" || Arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (Arg == "--grid") {
            auto V = ParseList(Value, 3);
            if (!V)
                return BadUsage("--grid needs X,Y,STEP");
            for (int N = 1; N <= 8; ++N)
                Lamps[static_cast<std::size_t>(N)] = {true, static_cast<int>((*V)[0] + (N - 1) * (*V)[2]),
                                                      static_cast<int>((*V)[1]), 0, 0x808080};
            ++I;
        } else if (Arg == "--lamp") {
            std::size_t Equals = Value.find('=');
            auto N =
                Equals == std::string_view::npos ? std::nullopt : ParseNumber(Value.substr(0, Equals), 1, 8);
            auto V = N ? ParseList(Value.substr(Equals + 1), 2) : std::nullopt;
            if (!V)
                return BadUsage("--lamp needs N=X,Y with N 1..8, got '" + std::string(Value) + "'");
            Lamps[static_cast<std::size_t>(*N)] = {true, static_cast<int>((*V)[0]), static_cast<int>((*V)[1]),
                                                   0, 0x808080};
            ++I;
        } else if (Arg == "--size") {
            auto V = ParseList(Value, 2);
            if (!V || (*V)[0] < 1 || (*V)[1] < 1)
                return BadUsage("--size needs W,H, both at least 1");
            Width = static_cast<int>((*V)[0]);
            Height = static_cast<int>((*V)[1]);
            ++I;
        } else if (Arg == "--legend") {
            std::string_view Rest = Value;
            for (std::size_t C = 0; C < 3; ++C) {
                std::size_t Comma = Rest.find(',');
                auto Rgb = ParseColour(Rest.substr(0, Comma));
                if (!Rgb || (C < 2) == (Comma == std::string_view::npos))
                    return BadUsage("--legend needs three colours #RRGGBB,#RRGGBB,#RRGGBB");
                Key.Colours[C] = *Rgb;
                Rest.remove_prefix(Comma == std::string_view::npos ? Rest.size() : Comma + 1);
            }
            Key.Shown = true;
            ++I;
        } else {
            return BadUsage("unknown argument '" + std::string(Arg) + "'");
        }
    }
    for (int N = 1; N <= 8; ++N)
        if (!Lamps[static_cast<std::size_t>(N)].Placed)
            return BadUsage("lamp " + std::to_string(N) + " has no position (use --grid or --lamp)");
    Panel P(Lamps, Width, Height, Key);
    if (!P.Open())
        return 1;
    return P.Run();
}
