#pragma once
// Reads pixels of the whole X screen (the root window) over a connection of its own.
// Xlib stays inside ScreenReader.cpp: its macros (None, Status, Bool...) clash with the program's names.

#include <cstdint>
#include <span>
#include <string>

#include "core/Desktop.h"
#include "core/SettingsCheck.h"

struct _XDisplay; // NOLINT(bugprone-reserved-identifier): Xlib's own name

namespace Tavo::QtPlatform {

class ScreenReader final : public CheckScreen {
  public:
    // How Read fetches the points; Auto picks one request for a small bounding box, else one per point.
    enum class ReadPath { Auto, BoundingBox, EachPoint };

    // Every request costs one round trip (about 25-30 us locally); a box adds transfer, about 2.6 ns a
    // pixel on Xvfb, so a round trip buys some 10,000 pixels there. Half that is allowed per point read,
    // as framebuffers in video memory read back slower: eight lamps in a box up to 32,768 pixels (a
    // row of lamps 1000 pixels wide and 32 high) go in one request, anything more spread out point by point.
    static constexpr long BoxPixelsPerPoint = 4096;

    ScreenReader() = default;
    ScreenReader(const ScreenReader&) = delete;
    ScreenReader& operator=(const ScreenReader&) = delete;
    ~ScreenReader() override;

    // Whether the display in DISPLAY can be opened at all; Problem says why not.
    static bool DisplayOpens(std::string& Problem);

    // Connects to DisplayName (the DISPLAY variable when null). False, with Problem, when no display opens.
    bool Open(const char* DisplayName, std::string& Problem);
    bool IsOpen() const { return Display != nullptr; }
    int Width() const { return ScreenWidth; }
    int Height() const { return ScreenHeight; }

    // Colours as 0x00BBGGRR; 0xFFFFFFFF for points off the screen or when the server refuses the read.
    void Read(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours,
              ReadPath Path = ReadPath::Auto);

    // Whether a monitor shows the point: on the screen and, where the server tells its monitors, on one of
    // them (between monitors of different sizes lies screen that none shows).
    bool OnMonitor(ScreenPoint P) override;
    void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override {
        Read(Points, Colours);
    }

    // Image requests sent so far (for tests that check how many round trips a read takes).
    std::uint64_t ImageRequests() const { return Requests; }

  private:
    struct Channel {
        unsigned long Mask = 0;
        int Shift = 0;
        unsigned long Max = 0;
    };
    bool Inside(ScreenPoint P) const {
        return P.X >= 0 && P.Y >= 0 && P.X < ScreenWidth && P.Y < ScreenHeight;
    }
    void RefreshGeometry();
    void FollowScreenChanges();
    std::uint32_t FromPixel(unsigned long P) const;
    void LookUpColours(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours);

    _XDisplay* Display = nullptr;
    unsigned long Root = 0;
    unsigned long Colormap = 0;
    int ScreenWidth = 0;
    int ScreenHeight = 0;
    bool TrueColour = true; // the pixel value holds the colour itself; otherwise it indexes the colormap
    Channel Red, Green, Blue;
    std::uint64_t Requests = 0;
};

} // namespace Tavo::QtPlatform
