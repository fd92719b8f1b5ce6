#pragma once
// Reads pixels of the whole screen through the one whole-screen device context, the way the panel's
// lamps look to the eye: one BitBlt of the box around the points when it is small, else pixel by pixel.

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/Desktop.h"
#include "core/SettingsCheck.h"

namespace Tavo::Win32Platform {

// Largest screen area (in pixels) read with one BitBlt. Under desktop composition every screen read
// costs about one frame's read-back whatever its size, and 512 x 512 pixels is a 1 MiB buffer, copied
// in well under a millisecond; lamps spread wider than that are read one pixel at a time.
inline constexpr std::int64_t ScreenBoxBudget = 512 * 512;

// How the last Read got its colours.
enum class ReadPath { Nothing, Box, Single };

class ScreenReader final : public CheckScreen {
  public:
    ScreenReader() = default;
    ~ScreenReader() override;
    ScreenReader(const ScreenReader&) = delete;
    ScreenReader& operator=(const ScreenReader&) = delete;

    // Takes the whole-screen device context, once for the run. False, with Problem, when refused.
    bool Open(std::string& Problem);
    // Colours as 0x00BBGGRR; 0xFFFFFFFF for points no monitor shows, or everything before Open.
    void Read(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours);
    // Monitors were added, removed, moved or resized: learn where they are before the next read.
    void ForgetLayout() { LayoutKnown = false; }
    // Whether a monitor shows the point (as the layout was last learnt).
    bool OnMonitor(ScreenPoint Point) override;
    void ReadPixels(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) override {
        Read(Points, Colours);
    }

    ReadPath LastReadPath() const { return LastPath; }
    int BoxBufferCreations() const { return BoxCreations; }

  private:
    void LearnLayout();
    static BOOL CALLBACK CollectMonitor(HMONITOR Monitor, HDC Dc, LPRECT Area, LPARAM Self);
    bool IsOnScreen(const ScreenPoint& Point) const;
    bool PrepareBoxBuffer(int Width, int Height);

    HDC Screen = nullptr;

    // Where the monitors are, learnt once and again after every display change: asking the system for
    // every point costs more than reading the pixel under wine.
    static constexpr int MonitorCapacity = 16;
    bool LayoutKnown = false;
    RECT VirtualScreen{};
    std::array<RECT, MonitorCapacity> Monitors{};
    int MonitorCount = 0;
    bool AllMonitorsKnown = false;

    HDC BoxDC = nullptr;
    HBITMAP BoxBitmap = nullptr;
    HGDIOBJ BoxDCOriginalBitmap = nullptr;
    const std::uint32_t* BoxBits = nullptr;
    int BoxWidth = 0;
    int BoxHeight = 0;
    ReadPath LastPath = ReadPath::Nothing;
    int BoxCreations = 0;
};

} // namespace Tavo::Win32Platform
